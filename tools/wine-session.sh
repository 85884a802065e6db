#!/bin/sh
# Runs one command inside a prepared, throwaway Wine session: its own prefix
# under /tmp, a private Xvfb display, a warm wineserver. Everything started
# here is stopped here, so no Wine process outlives the command holding its
# caller's output open.
#
#   tools/wine-session.sh COMMAND [ARGS...]
#
# WINEPREFIX may be given; otherwise one prefix per checkout is kept in /tmp
# and reused. QV_DISPLAY=host uses $DISPLAY instead of a private Xvfb.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
tag=$(printf '%s' "$root" | md5sum | cut -c1-10)
export WINEPREFIX="${WINEPREFIX:-/tmp/quenvale-wine-$tag}"
export WINEARCH=win64
# Wine's messages off, but for its errors of the virtual channel: the
# signature of a process that Wine failed to start (tools/wine-start-failure.sh).
export WINEDEBUG=-all,err+virtual
export HOME="$WINEPREFIX/home"
export LANG=zh_CN.UTF-8
export LC_ALL=zh_CN.UTF-8
# No Mono or Gecko: nothing here needs them and nothing could download them.
export WINEDLLOVERRIDES="mscoree,mshtml="

mkdir -p "$HOME"

xvfb_pid=""
cleanup() {
  # A lab that a stopped test (a timeout) could not take down itself: its
  # real distributions' namespaces and mounts go with the session.
  if [ -f "$WINEPREFIX/quenvale-lab/.quenvale-lab" ]; then
    "$root/lab/lab.sh" teardown >/dev/null 2>&1 || echo "wine-session: the lab in $WINEPREFIX could not be taken down" >&2
  fi
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT INT TERM

QV_SESSION_DISPLAY=host
if [ "${QV_DISPLAY:-}" != host ] || [ -z "${DISPLAY:-}" ]; then
  QV_SESSION_DISPLAY=xvfb
  displayfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
  xvfb_pid=$!
  tries=0
  while [ ! -s "$displayfile" ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
  DISPLAY=":$(cat "$displayfile")"
  export DISPLAY
  rm -f "$displayfile"
fi
export QV_SESSION_DISPLAY

# A reused prefix is prepared again when prepare-prefix.sh has changed
# since: its marker holds the settings' hash.
settings=$(sha256sum "$root/tools/prepare-prefix.sh" | cut -d' ' -f1)
if [ "$(cat "$WINEPREFIX/.quenvale-ready" 2>/dev/null)" != "$settings" ]; then
  if [ ! -f "$WINEPREFIX/.quenvale-ready" ]; then
    rm -rf "$WINEPREFIX.tmp"
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  "$root/tools/prepare-prefix.sh"
  printf '%s\n' "$settings" >"$WINEPREFIX/.quenvale-ready"
fi

# Start the prefix outside the command with every stream closed: services
# that Wine starts on first use would otherwise inherit the caller's pipes.
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1

"$@"
