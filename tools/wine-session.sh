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
#
# QV_WINE_SLOTS=N (default 1) prepares N such sessions side by side, each
# with its prefix (WINEPREFIX, then WINEPREFIX-slot1 ...), display and warm
# wineserver, for ctest to run that many Wine tests at once:
# tools/wine-slot.sh puts each test into a free slot's session
# (QV_WINE_SLOT_PREFIX_I, QV_WINE_SLOT_DISPLAY_I).
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

slots=${QV_WINE_SLOTS:-1}
case "$slots" in
  [1-9] | [1-9][0-9]) ;;
  *) echo "wine-session: QV_WINE_SLOTS must be a number from 1" >&2; exit 2 ;;
esac
slot_prefix() { # I
  if [ "$1" -eq 0 ]; then printf '%s' "$WINEPREFIX"; else printf '%s-slot%s' "$WINEPREFIX" "$1"; fi
}

xvfb_pids=""
cleanup() {
  i=0
  while [ $i -lt "$slots" ]; do
    prefix=$(slot_prefix $i)
    # A lab that a stopped test (a timeout) could not take down itself: its
    # real distributions' namespaces and mounts go with the session.
    if [ -f "$prefix/quenvale-lab/.quenvale-lab" ]; then
      WINEPREFIX=$prefix "$root/lab/lab.sh" teardown >/dev/null 2>&1 ||
        echo "wine-session: the lab in $prefix could not be taken down" >&2
    fi
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    i=$((i + 1))
  done
  for pid in $xvfb_pids; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

# A private Xvfb; its display into xvfb_display.
start_xvfb() {
  displayfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
  xvfb_pids="$xvfb_pids $!"
  tries=0
  while [ ! -s "$displayfile" ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
  xvfb_display=":$(cat "$displayfile")"
  rm -f "$displayfile"
}

QV_SESSION_DISPLAY=host
if [ "${QV_DISPLAY:-}" != host ] || [ -z "${DISPLAY:-}" ]; then
  QV_SESSION_DISPLAY=xvfb
  start_xvfb
  DISPLAY=$xvfb_display
  export DISPLAY
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

# The other slots' prefixes are copies of the first, made again when it was;
# a lab in it is the first slot's own.
i=1
while [ $i -lt "$slots" ]; do
  prefix=$(slot_prefix $i)
  if [ "$(cat "$prefix/.quenvale-ready" 2>/dev/null)" != "$settings" ]; then
    wineserver -w
    rm -rf "$prefix"
    mkdir -p "$prefix/home"
    find "$WINEPREFIX" -mindepth 1 -maxdepth 1 ! -name quenvale-lab ! -name home -exec cp -a {} "$prefix/" \;
  fi
  i=$((i + 1))
done

# Start each prefix outside the command with every stream closed: services
# that Wine starts on first use would otherwise inherit the caller's pipes.
i=0
while [ $i -lt "$slots" ]; do
  prefix=$(slot_prefix $i)
  display=$DISPLAY
  if [ $i -gt 0 ]; then
    start_xvfb
    display=$xvfb_display
  fi
  WINEPREFIX=$prefix DISPLAY=$display HOME=$prefix/home wineserver -p </dev/null >/dev/null 2>&1
  WINEPREFIX=$prefix DISPLAY=$display HOME=$prefix/home wine cmd /c exit </dev/null >/dev/null 2>&1
  export "QV_WINE_SLOT_PREFIX_$i=$prefix" "QV_WINE_SLOT_DISPLAY_$i=$display"
  i=$((i + 1))
done
QV_WINE_SLOTS=$slots
export QV_WINE_SLOTS

"$@"
