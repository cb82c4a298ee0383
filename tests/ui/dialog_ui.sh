#!/bin/bash
# The main dialog as a user meets it: TorvoClean.exe under Wine on Xvfb, driven by
# uidriver.exe, on folders made with samplegen. Screenshots go to SHOTS as PNG.
#   dialog_ui.sh TORVOCLEAN.EXE UIDRIVER.EXE SAMPLEGEN WINE_RUN E2ETOOL FAKEWORM SHOTS
set -u
exe=$(realpath "$1") driver=$(realpath "$2") samplegen=$(realpath "$3")
wine_run=$(realpath "$4") e2etool=$(realpath "$5") fakeworm=$(realpath "$6") shots=$7
export LC_ALL=C.UTF-8
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-ui-XXXXXX")
export TORVO_WINE_PREFIXES="$work/wine"
source "$(dirname "$0")/../support/check.sh"
stop_wine() {
    for version in nt win98; do
        WINEPREFIX="$TORVO_WINE_PREFIXES/$version" timeout 15 /usr/lib/wine/wineserver64 -k >/dev/null 2>&1
    done
}
trap 'touch "$work/release"; stop_wine; rm -rf "$work"' EXIT
mkdir -p "$shots"

"$wine_run" "$e2etool" attributes 'c:\' >/dev/null  # makes the prefix
drive_c="$TORVO_WINE_PREFIXES/nt/drive_c"
ui="$drive_c/ui"
mkdir -p "$ui/empty" "$ui/unreadable" "$ui/mixed" "$ui/big/aaa" "$work/droot"
"$samplegen" page "$ui/unreadable/locked.htm" >/dev/null
"$samplegen" page "$ui/mixed/page.htm" >/dev/null
"$samplegen" page "$ui/mixed/busy.htm" >/dev/null
"$samplegen" mail --variant e "$ui/mixed/worm.eml" >/dev/null
"$samplegen" exe --variant a --no-host "$work/worm.exe" >/dev/null
{ printf 'MZ'; head -c 62 /dev/zero; tail -c +65 "$work/worm.exe"; } >"$ui/mixed/broken.exe"
(cd "$ui/big/aaa" && seq -f 'file%05g.txt' 1 20000 | xargs touch)
"$samplegen" page "$ui/big/zzz.htm" >/dev/null
cp "$ui/big/zzz.htm" "$work/zzz.htm"
"$samplegen" page "$work/droot/root.htm" >/dev/null
ln -sfn "$work/droot" "$TORVO_WINE_PREFIXES/nt/dosdevices/d:"
head -c -120 "$ui/mixed/page.htm" >"$work/plain.htm"

holders=()
hold() {  # hold FILE read|none
    local ready="$work/ready.${#holders[@]}"
    "$wine_run" "$e2etool" hold "$1" "$2" "z:${ready//\//\\}" "z:${work//\//\\}\\release" &
    holders+=($!)
    for _ in $(seq 300); do [ -e "$ready" ] && return; sleep 0.1; done
}
hold 'c:\ui\unreadable\locked.htm' none
hold 'c:\ui\mixed\busy.htm' read

"$wine_run" "$driver" main "$exe" 'C:\ui' "z:${work//\//\\}" >"$work/main.txt"
cat "$work/main.txt"
read -r p _ f _ < <(grep -E '^[0-9]+ passed, [0-9]+ failed' "$work/main.txt")
passes=$((passes + ${p:-0})) failures=$((failures + ${f:-1}))

touch "$work/release"
wait "${holders[@]}"  # the files are free once their holders have ended

# The link and the About box, with a recorder standing in for the web browser.
cp "$(dirname "$driver")/recorder.exe" "$work/recorder.exe"
WINEPREFIX="$TORVO_WINE_PREFIXES/nt" /usr/lib/wine/wine64 reg add 'HKCR\http\shell\open\command' /ve \
    /d "\"z:${work//\//\\}\\recorder.exe\" \"%1\"" /f >/dev/null 2>&1 </dev/null
"$wine_run" "$driver" link "$exe" "z:${work//\//\\}\\recorder.exe.log" "z:${work//\//\\}" >"$work/link.txt"
cat "$work/link.txt"
read -r p _ f _ < <(grep -E '^[0-9]+ passed, [0-9]+ failed' "$work/link.txt")
passes=$((passes + ${p:-0})) failures=$((failures + ${f:-1}))
check "the browser was asked for the maker's address" grep -q 'http://www.torvoclean.example/' "$work/recorder.exe.log"
check "Yes stopped the walk before the last entry" cmp -s "$ui/big/zzz.htm" "$work/zzz.htm"
check "cleaned file repaired" cmp -s "$ui/mixed/page.htm" "$work/plain.htm"
check "deleted file gone" [ ! -e "$ui/mixed/worm.eml" ]
check "pending file waits beside its work file" [ -e "$ui/mixed/busy.htm.cln" ]
# The restart: a fresh wineserver carries the restart list out once, before the next
# program runs. ("wineboot -r" raced with the wineboot that a server starting afresh
# runs by itself whenever the last one had just timed out, and the list ran twice.)
WINEPREFIX="$TORVO_WINE_PREFIXES/nt" timeout 15 /usr/lib/wine/wineserver64 -k >/dev/null 2>&1
WINEPREFIX="$TORVO_WINE_PREFIXES/nt" timeout 15 /usr/lib/wine/wineserver64 -w >/dev/null 2>&1
"$wine_run" "$e2etool" attributes 'c:' >/dev/null
check "pending file repaired at the restart" cmp -s "$ui/mixed/busy.htm" "$work/plain.htm"

# A worm running when the dialog starts, in a Windows 98 prefix (the NT family would end
# Wine's own explorer.exe, the desktop of this test).
export TORVO_WINE_VERSION=win98
"$wine_run" "$e2etool" attributes 'c:\' >/dev/null
"$wine_run" "$driver" worm "$exe" "z:${fakeworm//\//\\}" "z:${work//\//\\}" >"$work/worm.txt"
cat "$work/worm.txt"
read -r p _ f _ < <(grep -E '^[0-9]+ passed, [0-9]+ failed' "$work/worm.txt")
passes=$((passes + ${p:-0})) failures=$((failures + ${f:-1}))

for shot in "$work"/*.bmp; do
    [ -e "$shot" ] && convert "$shot" "$shots/$(basename "${shot%.bmp}").png"
done
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
