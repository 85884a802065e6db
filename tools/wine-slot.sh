#!/bin/sh
# Runs a test's command in a free Wine slot of the session
# (tools/wine-session.sh with QV_WINE_SLOTS): that slot's prefix, display
# and home, so that tests running at once never share a prefix, a lab or a
# window. A slot is held by a lock on its prefix, which the kernel lets go
# when the command ends, however it ends. Without slots, the caller's
# session stays.
#   wine-slot.sh COMMAND [ARGS...]
set -eu
[ -n "${QV_WINE_SLOTS:-}" ] || exec "$@"
while :; do
  id=0
  while [ "$id" -lt "$QV_WINE_SLOTS" ]; do
    eval "prefix=\${QV_WINE_SLOT_PREFIX_$id:?no Wine session for slot $id}"
    eval "display=\${QV_WINE_SLOT_DISPLAY_$id:?no Wine session for slot $id}"
    status=0
    WINEPREFIX=$prefix DISPLAY=$display HOME=$prefix/home \
      flock -n -o -E 75 "$prefix/.slot" "$@" || status=$?
    [ "$status" -eq 75 ] || exit "$status"
    id=$((id + 1))
  done
  sleep 0.5
done
