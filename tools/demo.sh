#!/bin/sh
# make demo: QuenvaleEnroll.exe against a simulated PC (lab/), inside
# tools/wine-session.sh. With a display of the user's, the window opens
# there; without one, an automatic walk-through on Xvfb saves a picture of
# each step into build/demo/.
#   SCENARIO=name (lab/lab.sh scenarios lists them)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
scenario=${SCENARIO:-ubuntu-no-docker}
lab="$root/lab/lab.sh"
export QVLAB_WSL_EXE="$root/build/windows/lab/wsl.exe"
[ "$(id -u)" -eq 0 ] || { echo "make demo needs root: the simulated distributions run in a chroot" >&2; exit 1; }

trap '"$lab" teardown >/dev/null 2>&1 || true' EXIT
code=$("$lab" setup "$scenario" | tail -n 1)
echo
echo "Scenario: $("$lab" scenarios | grep "^$scenario ")"
echo "One-time demo code (paste it into the code field):"
echo
echo "    $code"
echo

if [ "${QV_SESSION_DISPLAY:-xvfb}" = host ]; then
  # A window manager is there: let it manage the window.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f >/dev/null 2>&1
  echo "Starting QuenvaleEnroll.exe on $DISPLAY; close its window to end the demo."
  wine "$root/dist/QuenvaleEnroll.exe" </dev/null >/dev/null 2>&1
else
  out="$root/build/demo"
  rm -rf "$out"
  mkdir -p "$out"
  echo "No display: walking through one attempt on Xvfb (Yes to every question)."
  echo "Screenshots:"
  wine "$root/build/windows/tools/demo_walkthrough.exe" 'Z:'"$(printf '%s' "$root/dist/QuenvaleEnroll.exe" | tr '/' '\\')" \
    "$code" "$out" </dev/null | tr -d '\r' | sed 's/^/    /'
fi
