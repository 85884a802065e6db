#!/bin/sh
# Runs a test's command in the Wine session of the slot that ctest gave it
# (resource "wine", tools/wine-session.sh with QV_WINE_SLOTS): that slot's
# prefix, display and home, so that tests running at once never share a
# prefix, a lab or a window. A test run without slots keeps the caller's.
#   wine-slot.sh COMMAND [ARGS...]
set -eu
case "${CTEST_RESOURCE_GROUP_0_WINE:-}" in
  id:*)
    id=${CTEST_RESOURCE_GROUP_0_WINE#id:}
    id=${id%%,*}
    case "$id" in *[!0-9]* | "") echo "wine-slot: a slot id that is not a number: $id" >&2; exit 2 ;; esac
    eval "WINEPREFIX=\${QV_WINE_SLOT_PREFIX_$id:?no Wine session for slot $id}"
    eval "DISPLAY=\${QV_WINE_SLOT_DISPLAY_$id:?no Wine session for slot $id}"
    HOME=$WINEPREFIX/home
    export WINEPREFIX DISPLAY HOME
    ;;
esac
exec "$@"
