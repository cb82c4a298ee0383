#!/bin/bash
# The Linux tool on mail: an mbox, a Maildir and an Outlook Express folder holding
# messages written by the sample generator (every transfer encoding, an attached
# message): a message whose attachments are nothing but the worm is removed, every other
# message byte for byte as it was; any other infected message is reported with its
# Message-ID, subject and sender and left alone; .dbx folders are only read; mail inside
# archives; the locks of mail programs; --dry-run, --no-mail, JSON; broken mailboxes;
# a run killed before each of its file-changing calls.
#   mail_e2e.sh PROGRAM SAMPLEGEN
set -u
program=$(realpath "$1") samplegen=$(realpath "$2")
export LC_ALL=C
source "$(dirname "$0")/../support/check.sh"

for tool in zip unzip bsdtar strace timeout; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is missing (wanted: zip, unzip, libarchive-tools, strace)"
        exit 77
    fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-mail-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"

run() {  # run NAME ARGS...: NAME.out, NAME.err, the status in $rc
    timeout 120 "$program" "${@:2}" >"$1.out" 2>"$1.err"
    rc=$?
}
findings() {  # findings OUT PREFIX: the finding lines below PREFIX, without it, sorted
    sed '/^-* SCAN SUMMARY/,$d' "$1" | awk -v p="$2" 'index($0, p) == 1 {
        print substr($0, length(p) + 1) }' | sed 's/ (dry run)$//' | sort
}
message() {  # message NAME ARGS...: NAME.eml, LF line ends, its own Message-ID
    "$samplegen" mail-message --lf --message-id "<$1@example.invalid>" --subject "About $1" \
        --from "Sender $1 <$1@example.invalid>" "${@:2}" "$1.eml" >/dev/null
}
postmark() { printf 'From %s@example.invalid Mon Jan  1 00:00:00 2001\n' "$1"; }
mbox_of() {  # mbox_of NAME...: the messages NAME.eml in an mbox, each ending in an empty line
    local name
    for name in "$@"; do postmark "$name" && cat "$name.eml" && echo; done
}

"$samplegen" exe --variant e --no-host worm.exe >/dev/null
"$samplegen" exe --variant a program.exe >/dev/null
"$samplegen" page page.htm >/dev/null
printf 'minutes of the meeting\n' >notes.txt

message wormonly --attach setup.exe=worm.exe
message mixed --attach program.exe=program.exe --attach notes.txt=notes.txt
message clean --attach notes.txt=notes.txt
message uu --encoding uuencode --attach game.exe=worm.exe
message qp --encoding qp --attach card.exe=worm.exe
message forward --attach-message wormonly.eml
message webpage --attach index.htm=page.htm

# --- mbox: the worm's messages go, the others stay byte for byte -----------------------
mbox_of wormonly mixed clean uu qp forward webpage >box
mbox_of mixed clean webpage >box.expected
run mbox box
check "mbox: status 1" [ $rc = 1 ]
check "mbox: messages of nothing but the worm removed, every other byte as it was" cmp -s box box.expected
check "mbox: the worm's attachments reported deleted, in every encoding" cmp -s \
    <(findings mbox.out box// | grep DELETED) <(sort <<'EOF'
1/setup.exe: Win32.Torvo.E@mm DELETED
4/game.exe: Win32.Torvo.E@mm DELETED
5/card.exe: Win32.Torvo.E@mm DELETED
6/message1/setup.exe: Win32.Torvo.E@mm DELETED
EOF
)
check "mbox: an infected message with more in it is reported, and left" \
    grep -q '^box//2/program.exe: Win32.Torvo.A@mm DISINFECTION FAILED: the message holds more than the worm' mbox.out
check "  with its Message-ID, subject and sender" \
    grep -q '^  in message <mixed@example.invalid>, "About mixed", from Sender mixed <mixed@example.invalid>$' mbox.out
check "mbox: an infected page in a message is reported" grep -q '^box//7/index.htm: JS.Torvo.A DISINFECTION FAILED' mbox.out
check "mbox: no lock file is left" [ ! -e box.lock ]
check "mbox: a second run removes nothing more" eval '"$program" -q box; cmp -s box box.expected'

# --- the lock of mail programs is waited for ---------------------------------------------
mbox_of wormonly clean >locked && touch locked.lock
"$program" -q locked >/dev/null 2>&1 &
tool=$!
sleep 1
check "a locked mbox is not written while its .lock stands" cmp -s locked <(mbox_of wormonly clean)
rm locked.lock
wait $tool
check "  and is written once the lock is gone" cmp -s locked <(mbox_of clean)

# --- Maildir: a file a message ---------------------------------------------------------------
mkdir -p Maildir/cur Maildir/new Maildir/tmp
cp wormonly.eml 'Maildir/new/1700000000.1.host' && cp mixed.eml 'Maildir/cur/1700000001.2.host:2,S'
cp clean.eml Maildir/cur/1700000002.3.host:2,S
run maildir Maildir
check "Maildir: the worm's message is deleted" [ ! -e Maildir/new/1700000000.1.host ]
check "Maildir: the others stay as they were" eval 'cmp -s Maildir/cur/1700000001.2.host:2,S mixed.eml && cmp -s Maildir/cur/1700000002.3.host:2,S clean.eml'
check "Maildir: findings named by the message file" \
    grep -q '^Maildir/new/1700000000.1.host//setup.exe: Win32.Torvo.E@mm DELETED$' maildir.out

# --- Outlook Express: reported, never written ----------------------------------------------
"$samplegen" dbx Inbox.dbx wormonly.eml mixed.eml clean.eml >/dev/null
cp Inbox.dbx Inbox.orig
run dbx Inbox.dbx
check "dbx: the worm in its first message is found" \
    grep -q '^Inbox.dbx//1/setup.exe: Win32.Torvo.E@mm DISINFECTION FAILED: Outlook Express folders are not written' dbx.out
check "dbx: and in its second" grep -q '^Inbox.dbx//2/program.exe: Win32.Torvo.A@mm' dbx.out
check "dbx: left byte for byte" cmp -s Inbox.dbx Inbox.orig

# --- mail inside archives, archives inside mail -------------------------------------------
zip -q mails.zip wormonly.eml clean.eml
run zipped mails.zip
check "a message of nothing but the worm is left out of its ZIP" [ "$(bsdtar -tf mails.zip)" = clean.eml ]
mbox_of wormonly clean >inner && bsdtar -czf mbox.tar.gz inner
run tarred mbox.tar.gz
check "an mbox in a TAR is written anew inside it" cmp -s <(bsdtar -xOf mbox.tar.gz inner) <(mbox_of clean)
zip -q worm.zip worm.exe && message zipped --attach worm.zip=worm.zip
run inmail zipped.eml
check "a ZIP attached to a message is looked into" grep -q '^zipped.eml//worm.zip//worm.exe: Win32.Torvo.E@mm' inmail.out

# --- --dry-run, --no-mail, JSON -----------------------------------------------------------
mbox_of wormonly clean >dry && cp dry dry.orig
run dry --dry-run dry
check "dry run: the finding, and the mbox as it was" eval 'grep -q "^dry//1/setup.exe: .*DELETED (dry run)" dry.out && cmp -s dry dry.orig'
run nomail --no-mail dry
check "--no-mail: nothing is looked into" [ $rc = 0 ]
run json --json mixed.eml
check "JSON: the message's Message-ID, subject and sender" \
    grep -q '"message":{"from":"Sender mixed <mixed@example.invalid>","message_id":"<mixed@example.invalid>","subject":"About mixed"}' json.out

# --- broken mailboxes: a message, never a crash ---------------------------------------------
head -c 3000 Inbox.orig >truncated.dbx
{ postmark x; printf 'Subject: no end\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Transfer-Encoding: base64\n\n%%%%%%\n'; } >broken.mbox
run broken truncated.dbx broken.mbox
check "broken mailboxes: no crash" [ $rc -le 2 ]
check "a truncated .dbx is told" grep -q '^torvoclean: truncated.dbx.*not scanned whole' broken.err

# --- a run killed before each of its file-changing calls loses nothing ------------------
mbox_of wormonly clean mixed >k.orig && mbox_of clean mixed >k.expected
calls=openat,write,pwrite64,ftruncate,fsync,fdatasync,unlinkat,renameat2,rename,fchmod
lost=0 points=0
for n in $(seq 1 200); do
    cp k.orig k && rm -f k.cln restart-list.ini  # the lock of a killed run is stale
    # (the shell of the substitution tells of the kill, to /dev/null)
    status=$(exec 2>/dev/null; TORVOCLEAN_JOBS=1 strace -f -qq -o /dev/null \
        --inject="$calls:signal=KILL:when=$n" "$program" -q k >/dev/null; echo $?)
    [ "$status" = 137 ] || break
    points=$((points + 1))
    cmp -s k k.orig || cmp -s k k.expected || lost=$((lost + 1))
    "$program" -q k >/dev/null 2>&1
    cmp -s k k.expected && [ ! -e k.cln ] || lost=$((lost + 1))
done
echo "the mbox repair was killed at $points points"
check "killed at $points points: the mbox always whole, and cleaned by the next run" \
    [ $points -gt 10 ] && [ $lost = 0 ]

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
