# What every shell script of the lab leans on: reading and writing a
# settings file (KEY=VALUE lines), waiting for a condition, telling whether
# a PID is still the lab's process, and its Python. Plain POSIX sh: dash on
# the host, dash or busybox ash inside a busybox root (as
# /var/lib/qvlab/basics.sh).

# Debian's own python3 (tools/install-deps.sh installs it): one found first
# on PATH may be a version manager's shim, which costs a second a start.
PYTHON=/usr/bin/python3

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

# wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds
# (0) or SECONDS have passed (1).
wait_until() {
  _ticks=$(($1 * 10))
  shift
  until "$@"; do
    [ "$_ticks" -gt 0 ] || return 1
    _ticks=$((_ticks - 1))
    sleep 0.1
  done
}

# pid_of FILE TEXT: the PID that FILE holds, while that process runs and its
# command line holds TEXT (a PID file can outlive its process, whose PID is
# then reused).
pid_of() {
  _pid=$(cat "$1" 2>/dev/null) && [ -n "$_pid" ] || return 1
  tr '\0' ' ' <"/proc/$_pid/cmdline" 2>/dev/null | grep -qF -- "$2" || return 1
  printf '%s\n' "$_pid"
}
