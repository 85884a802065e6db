#!/bin/sh
# The Debian archives this machine's apt reads, one "URI SUITE" a line, from
# both of apt's formats: the one-line sources.list files and the deb822
# *.sources files; binary ("deb") sources only. The Debian roots that the
# project makes (tools/debian-root.sh, the lab's kinds/real/userland.sh)
# take their mirrors from here, as the machine's own apt does.
#
#   tools/apt-sources.sh
set -eu
{
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    sed -e 's/#.*//' -e 's/\[[^]]*\]//' | awk '$1 == "deb" { print $2, $3 }'
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk '
      function flush() { if (types ~ /(^| )deb( |$)/) { n = split(uris, u, " "); m = split(suites, s, " ");
                         for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j] } types = uris = suites = "" }
      /^[[:space:]]*$/ { flush(); next }
      /^Types:/ { sub(/^Types:[[:space:]]*/, ""); types = $0 }
      /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
      /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
      END { flush() }' "$file"
  done
} | awk '!seen[$0]++'
