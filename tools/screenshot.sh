#!/bin/sh
# Saves a picture of the window as a user first sees it, a code pasted into
# the masked field. Run inside tools/wine-session.sh.
#   tools/screenshot.sh OUTPUT.png
set -eu
out=$1
root=$(cd "$(dirname "$0")/.." && pwd)
wine "$root/dist/QuenvaleEnroll.exe" </dev/null >/dev/null 2>&1 &
geometry=$(wine "$root/build/windows/tests/gui/window_geometry.exe" 'qvw1|https://quenvale.com|qvt_demo_code_0001' </dev/null 2>/dev/null | tr -d '\r')
[ -n "$geometry" ] || { echo "the window did not appear" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
import -window root -crop "$geometry" +repage "$out"
echo "saved $out ($geometry)"
