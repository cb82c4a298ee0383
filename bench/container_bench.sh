#!/bin/bash
# Whole-process times, warm cache, median of ROUNDS, on one thread:
#   zips: a tree of 1,000 ZIP files of 20 small members each, scanned by torvoclean,
#         against `bsdtar -tvf` plus reading every member (bsdtar -xOf) of each;
#   mbox: an mbox of 10,000 messages with an attachment each, scanned by torvoclean,
#         against Python's email parser splitting it and decoding every attachment.
#   container_bench.sh BUILD [ROUNDS]      BUILD: build/native
set -eu
build=$(realpath "$1") rounds=${2:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/container-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TORVOCLEAN_RESTART_LIST=$work/restart-list.ini TORVOCLEAN_JOBS=1

python3 - "$work" <<'EOF'
import base64, os, random, sys, zipfile
work = sys.argv[1]
rng = random.Random(7)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(2000)]
def text(size):
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])
for n in range(1000):
    folder = os.path.join(work, "zips", "%02d" % (n // 100))
    os.makedirs(folder, exist_ok=True)
    with zipfile.ZipFile(os.path.join(folder, "a%04d.zip" % n), "w", zipfile.ZIP_DEFLATED) as z:
        for m in range(20):
            z.writestr("dir/member%02d.txt" % m, text(rng.randint(500, 6000)))
with open(os.path.join(work, "box.mbox"), "wb") as box:
    for n in range(10000):
        attachment = base64.encodebytes(bytes(rng.getrandbits(8) for _ in range(rng.randint(500, 6000))))
        box.write(b"From sender%d@example.com Mon Jan  1 00:00:00 2001\n" % n +
                  b"From: <sender%d@example.com>\nTo: <you@example.com>\n" % n +
                  b"Subject: message %d\nMessage-ID: <%d@example.com>\n" % (n, n) +
                  b"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n" +
                  b"--b\nContent-Type: text/plain\n\n" + text(300) + b"\n" +
                  b"--b\nContent-Type: application/octet-stream\n" +
                  b"Content-Disposition: attachment; filename=\"file%d.bin\"\n" % n +
                  b"Content-Transfer-Encoding: base64\n\n" + attachment + b"--b--\n\n")
EOF

zips_tool() { "$build/bin/torvoclean" -q "$work/zips"; }
zips_bsdtar() {
    find "$work/zips" -name '*.zip' | while read -r zip; do
        bsdtar -tvf "$zip" >/dev/null && bsdtar -xOf "$zip" >/dev/null
    done
}
mbox_tool() { "$build/bin/torvoclean" -q "$work/box.mbox"; }
mbox_python() {
    python3 -c '
import mailbox, sys
for message in mailbox.mbox(sys.argv[1]):
    for part in message.walk():
        part.get_payload(decode=True)' "$work/box.mbox"
}

seconds() {
    local start end
    start=$(date +%s.%N)
    "$1" >/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

runs="zips_tool zips_bsdtar mbox_tool mbox_python"
for run in $runs; do $run >/dev/null; done  # warm the cache
for round in $(seq "$rounds"); do
    for run in $runs; do seconds $run >>"$work/$run.times"; done
done
for run in $runs; do
    printf '%-12s %s s\n' "$run" "$(median <"$work/$run.times")"
done
