# The lab's one reader and writer of settings files: KEY=VALUE a line, the
# last value of a key wins. Sourced by lab.sh and the Linux side of wsl.exe
# on the host, and by the simulated tools inside a distribution (as
# /var/lib/qvlab/conf.sh). Plain POSIX sh: dash on the host, dash or
# busybox ash in a root.

# conf_get FILE KEY [DEFAULT]: the last value of KEY, or DEFAULT when it is
# missing or empty.
conf_get() {
  _v=""
  if [ -f "$1" ]; then
    while IFS= read -r _line || [ -n "$_line" ]; do
      case "$_line" in "$2="*) _v=${_line#*=} ;; esac
    done <"$1"
  fi
  if [ -n "$_v" ]; then printf '%s\n' "$_v"; else printf '%s\n' "${3-}"; fi
}

# conf_set FILE KEY VALUE
conf_set() {
  { grep -v "^$2=" "$1" 2>/dev/null; printf '%s=%s\n' "$2" "$3"; } >"$1.new" && mv "$1.new" "$1"
}
