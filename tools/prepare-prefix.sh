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
# Chinese in title bars and message boxes: Wine draws them in Tahoma, and
# once fonts-wine is installed that is Wine's own Tahoma, which has no
# Chinese; Wine 10 then follows Tahoma's font links, which name Windows'
# Chinese fonts, absent here, and draws boxes. Linked to WenQuanYi Micro Hei
# (fonts-wqy-microhei), as Windows links it to Microsoft YaHei, Tahoma draws
# Chinese under Wine 8 and 10 alike.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
  /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f </dev/null >/dev/null 2>&1
# The caption buttons (minimize, maximize, close) are glyphs of Marlett.
# Debian's Wine 8 does not look for its own fonts where fonts-wine puts them
# (/usr/share/wine/fonts) and draws the letters "0 1 r" instead: the prefix
# gets Marlett where Windows keeps it.
cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
wineserver -w
rm -f "$reg"
