# A distribution's instance, as Windows' WSL service keeps it: booted by a
# call, kept running by calls and by what they leave running, stopped
# instance_idle_ms after it falls idle (the idle watcher below), terminated,
# shut down, or torn down with the lab; and the cgroups its processes live in.
# Sourced after basics.sh and registry.sh (and kinds.sh before use), with
# STATE and LIB set. The idle watcher is this file run as
#
#   instance.sh STATE NAME        (started detached by distro_watch)

# ---- cgroups ---------------------------------------------------------------

# The cgroups of the folder DIR (a distribution's, or any VM's the lab
# runs): one in each of the host's writable hierarchies (name=systemd and
# cgroup2; or the one cgroup2 tree), each with a child "calls", listed in
# DIR/cgroups and DIR/calls.cgroups and in the lab's STATE/cgroups, from
# which teardown removes them whatever else is left. Named by the folder's
# path and inode, so that two labs never share one, even in roots of their
# own where the same path is another folder.
cgroups_make() { # DIR
  _id="quenvale-lab-$( (printf '%s\n' "$1"; stat -c '%d:%i' "$1") | md5sum | cut -c1-12)"
  : >"$1/cgroups"
  : >"$1/calls.cgroups"
  if [ "$(stat -f -c %T /sys/fs/cgroup)" = cgroup2fs ]; then
    set -- "$1" /sys/fs/cgroup
  else
    set -- "$1" /sys/fs/cgroup/systemd /sys/fs/cgroup/unified
  fi
  _dir=$1
  shift
  for _hierarchy in "$@"; do
    [ -d "$_hierarchy" ] || continue
    printf '%s\n' "$_hierarchy/$_id" >>"$STATE/cgroups"
    mkdir -p "$_hierarchy/$_id/calls" || return 1
    printf '%s\n' "$_hierarchy/$_id" >>"$_dir/cgroups"
    printf '%s\n' "$_hierarchy/$_id/calls" >>"$_dir/calls.cgroups"
  done
  [ -s "$_dir/cgroups" ] || { echo "no writable cgroup hierarchy under /sys/fs/cgroup" >&2; return 1; }
}

# The processes in the cgroups that the file LIST names, and below them.
cgroup_pids() { # LIST
  while IFS= read -r _cgroup; do
    [ -d "$_cgroup" ] && find "$_cgroup" -name cgroup.procs -exec cat {} + 2>/dev/null
  done <"$1"
  return 0
}

# Kills what is left in the cgroups that LIST names; true once nothing is.
cgroup_killed() { # LIST
  _pids=$(cgroup_pids "$1")
  [ -n "$_pids" ] || return 0
  # shellcheck disable=SC2086
  kill -KILL $_pids 2>/dev/null
  return 1
}

# Ends every process in the cgroups that LIST names (the lab's own, by the
# PIDs the kernel lists there), and waits until they are gone.
cgroup_kill() { # LIST
  wait_until 5 cgroup_killed "$1"
}

cgroup_removed() { # CGROUP
  find "$1" -depth -type d -exec rmdir {} \; 2>/dev/null
  [ ! -d "$1" ]
}

cgroup_emptied() { # CGROUP: all below it goes but calls
  find "$1" -mindepth 1 -depth -type d ! -path "$1/calls" -exec rmdir {} \; 2>/dev/null
  [ -z "$(find "$1" -mindepth 1 -maxdepth 1 -type d ! -name calls)" ]
}

# Removes the cgroups that LIST names, or with "below" only what is below
# them but calls, deepest first, once their last process is gone.
cgroups_clear() { # LIST [below]
  while IFS= read -r _cgroup; do
    if [ "${2-}" = below ]; then
      wait_until 5 cgroup_emptied "$_cgroup"
    else
      wait_until 5 cgroup_removed "$_cgroup"
    fi || echo "lab: the cgroup $_cgroup still has processes" >&2
  done <"$1"
}

# ---- the instance ----------------------------------------------------------

now_ms() {
  date +%s%3N
}

# Boots, stops and the start of calls take NAME's lock in turn, so that the
# idle watcher never stops a distribution that a call is just entering.
instance_lock() { # NAME
  exec 9>>"$STATE/distros/$1/instance.lock"
  flock 9
}

instance_unlock() {
  flock -u 9
  exec 9>&-
}

distro_state() { # NAME
  if kind_do running "$1"; then echo Running; else echo Stopped; fi
}

# Whether NAME is in use: a call is under way, or a process that a call
# started still runs (as WSL's relay keeps the instance while any of its
# descendants lives). What systemd runs lives in its own cgroups and does
# not count. (The idle watcher asks five times a second: no process is
# started to answer.)
distro_busy() { # NAME
  _dir="$STATE/distros/$1"
  for _marker in "$_dir"/calls/[0-9]*; do
    [ -e "$_marker" ] || continue
    if kill -0 "${_marker##*/}" 2>/dev/null; then return 0; fi
    rm -f "$_marker"
  done
  _cgroup=""
  { read -r _cgroup <"$_dir/calls.cgroups"; } 2>/dev/null
  [ -n "$_cgroup" ] || return 1
  _pid=""
  { read -r _pid <"$_cgroup/cgroup.procs"; } 2>/dev/null
  [ -n "$_pid" ]
}

watcher_pid() { # NAME
  pid_of "$STATE/distros/$1/watcher.pid" "instance.sh $STATE $1"
}

# NAME's idle watcher, unless it runs already.
distro_watch() { # NAME
  watcher_pid "$1" >/dev/null && return 0
  setsid -f sh "$LIB/wsl/instance.sh" "$STATE" "$1" </dev/null >>"$STATE/distros/$1/watcher.log" 2>&1 9>&-
}

# The idle watcher: once no call uses NAME and nothing a call started still
# runs, it waits instance_idle_ms (negative: never) and then stops NAME as
# its init powers off. Any use in between starts the wait again; a call
# that ended counts from its end (calls/last), even one never seen under
# way. It ends when NAME stops, by its own hand or another's.
instance_idle_watch() { # NAME
  _dir="$STATE/distros/$1"
  printf '%s\n' "$$" >"$_dir/watcher.pid"
  _idle=$(conf_get "$STATE/lab.conf" instance_idle_ms)
  _since=$(now_ms)
  while [ -f "$STATE/lab.conf" ] && kind_do running "$1"; do
    _now=$(now_ms)
    _last=0
    { read -r _last <"$_dir/calls/last"; } 2>/dev/null
    [ "${_last:-0}" -le "$_since" ] || _since=$_last
    if distro_busy "$1"; then
      _since=$_now
    elif [ "$_idle" -ge 0 ] && [ $((_now - _since)) -ge "$_idle" ]; then
      instance_lock "$1"
      # A call may have begun while the lock was awaited.
      if ! distro_busy "$1"; then
        echo "$(date -u '+%H:%M:%S') idle for $_idle ms: stopping $1"
        distro_stop_locked "$1" idle
      fi
      instance_unlock
      _since=$(now_ms)
    fi
    sleep 0.2
  done
  [ "$(cat "$_dir/watcher.pid" 2>/dev/null)" != "$$" ] || rm -f "$_dir/watcher.pid"
}

# A call begins: it counts from now, and NAME boots unless it runs.
distro_call_begin() { # NAME
  _dir="$STATE/distros/$1"
  mkdir -p "$_dir/calls"
  : >"$_dir/calls/$$"
  instance_lock "$1"
  _status=0
  if ! kind_do running "$1"; then
    kind_do boot "$1" || _status=1
  fi
  [ $_status -ne 0 ] || distro_watch "$1"
  instance_unlock
  return $_status
}

# A call ends: the idle watcher counts from now (calls/last, in ms).
distro_call_end() { # NAME
  { now_ms >"$STATE/distros/$1/calls/last"; } 2>/dev/null
  rm -f "$STATE/distros/$1/calls/$$"
}

# Stops NAME, and every process its calls left: at once (hard), or as its
# init powers off (idle). A stopped distribution boots again at its next call.
distro_stop() { # NAME [hard|idle]
  instance_lock "$1"
  distro_stop_locked "$@"
  instance_unlock
}

distro_stop_locked() { # NAME [hard|idle]
  _dir="$STATE/distros/$1"
  if _watcher=$(watcher_pid "$1") && [ "$_watcher" != "$$" ]; then
    kill "$_watcher" 2>/dev/null
  fi
  rm -f "$_dir/watcher.pid"
  if [ -f "$_dir/cgroups" ]; then
    kind_do stop "$1" "${2:-hard}"
    cgroup_kill "$_dir/calls.cgroups" || echo "lab: processes of $1's calls would not end" >&2
    rm -rf "$_dir/calls"
    cgroups_clear "$_dir/cgroups" below
  fi
}

# Everything the lab runs goes: each distribution as its kind takes it
# down, then whatever is left, even of a setup cut short (a half-built
# distribution or package layer): every process in the lab's cgroups,
# every mount under the state, the cgroups themselves.
lab_teardown() {
  # (Nothing that fails here may stop the rest: what is left goes below.)
  for _dir in "$STATE"/distros/*/; do
    _name=$(basename "$_dir")
    [ -f "$STATE/profiles/$_name" ] || continue
    distro_stop "$_name" hard || true
    kind_do teardown "$_name" || true
  done
  if [ -f "$STATE/cgroups" ]; then
    cgroup_kill "$STATE/cgroups" || echo "lab: processes of the lab would not end" >&2
  fi
  awk -v state="$STATE/" 'index($2, state) == 1 { print $2 }' /proc/self/mounts | sort -r |
    while IFS= read -r _mount; do
      umount "$_mount" 2>/dev/null || umount -l "$_mount" || true
    done
  if [ -f "$STATE/cgroups" ]; then
    sort -ru "$STATE/cgroups" >"$STATE/cgroups.all"
    cgroups_clear "$STATE/cgroups.all"
  fi
}

case "$0" in
  */instance.sh)
    STATE=$1
    LIB="$STATE/lib"
    . "$LIB/wsl/basics.sh"
    . "$LIB/wsl/registry.sh"
    . "$LIB/wsl/kinds.sh"
    instance_idle_watch "$2"
    ;;
esac
