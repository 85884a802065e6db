#!/bin/sh
# One-time settings of a fresh test prefix (WINEPREFIX is set by the caller).
set -eu
reg=$(mktemp --suffix=.reg)
cat >"$reg" <<'REG'
REGEDIT4

; No window manager under Xvfb: unmanaged windows, or every message box
; that closes costs two seconds.
[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
REG
wine regedit /S "$reg" </dev/null >/dev/null 2>&1
wineserver -w
rm -f "$reg"
