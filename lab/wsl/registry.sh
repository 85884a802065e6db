# What Windows' WSL service keeps and does for every distribution, whatever
# its kind: the registry, first runs, and each distribution's instance:
# booted by a call, kept running by calls and what they leave running,
# stopped when idle, terminated, or shut down. Sourced by lab.sh, the WSL
# service (wslservice.sh) and the idle timer (lifetime.sh), after
# settings.sh, with STATE set to the lab's state directory:
#
#   lab.conf              the PC and Windows: the pc keys of settings.sh
#   network.conf          what the distributions can reach: the live pc keys
#   profiles/NAME         every distro key of NAME's kind: the scenario's
#                         value, else the default
#   distros.list          the registered distributions, default first
#   distros/NAME/         one distribution:
#     conf                  version, default_user (empty: root), first_run
#     environment           extra variables of every process, NAME=VALUE
#     root/                 its root file system
#     cgroups               its own cgroup in each of the host's writable
#                           hierarchies, one a line; made at build, removed
#                           at teardown
#     calls.cgroups         the cgroup "calls" below each: every call's
#                           processes, and all they start, live there
#     calls/PID             a call under way (the WSL service's process)
#     calls/last            when the last call ended, in ms
#     instance.lock         serialises boots, stops and the start of calls
#     lifetime.pid          the idle timer of a running distribution
#   service/              the Quenvale service's installer and books
#   lib/                  the lab's own files (wsl/, kinds/, service/)
#   commands.log          every command line wsl.exe received
#   run/                  the files of one wsl.exe run (input, output, ...)
#
# Each kind (kinds/KIND/kind.sh) provides the same operations, as functions
# named KIND_OPERATION NAME ...; kind_do OPERATION NAME ... calls NAME's:
#   prepare               (once per lab, no NAME) what its distributions share
#   build NAME            make it from its profile (it may be left running)
#   boot NAME             start it: PID 1, /run, what is enabled at boot
#   running NAME          whether it runs
#   stop NAME hard|idle   end every process of it: at once, as terminate,
#                         shutdown or a restart of Windows do; or as its
#                         init powers off an idle one
#   enter NAME CGROUPS ARGV...   run ARGV (a chroot into its root) inside
#                         it, as a member of the cgroups the file CGROUPS
#                         lists
#   exec_root NAME ARGV...       ARGV as root inside it, for the lab's own
#                         steps: neither a call nor a boot
#   user_add NAME USER    the normal user of a first run
#   set NAME KEY VALUE    a live key (lab.sh set) changes
#   network NAME          the network's keys changed
#   packages NAME         its installed packages, one a line
#   docker_state NAME     none, stopped or running
#   status NAME           more of its state, for lab.sh status
#   kept NAME             the folder of the files it changed or created
#   teardown NAME         nothing of it runs or stays mounted afterwards

LIB=${LIB:-$STATE/lib}
. "$LIB/kinds/busybox/kind.sh"
. "$LIB/kinds/real/kind.sh"

# The kernel releases WSL 2's VM and WSL 1 report to every distribution.
WSL2_KERNEL_RELEASE=5.15.167.4-microsoft-standard-WSL2
WSL1_KERNEL_RELEASE=4.4.0-26100-Microsoft

# Ubuntu's first-run set-up makes the user with this shell and adds it to
# those of these groups that the distribution has.
FIRST_RUN_SHELL=/bin/bash
FIRST_RUN_GROUPS="adm dialout cdrom floppy sudo audio dip video plugdev users netdev"

lower() {
  printf '%s' "$1" | tr 'A-Z' 'a-z'
}

# The registered name matching NAME, letter case ignored, as WSL matches it.
distro_resolve() {
  _want=$(lower "$1")
  while IFS= read -r _name; do
    [ -n "$_name" ] || continue
    if [ "$(lower "$_name")" = "$_want" ]; then
      printf '%s\n' "$_name"
      return 0
    fi
  done <"$STATE/distros.list"
  return 1
}

distro_default() {
  sed -n '/./{p;q;}' "$STATE/distros.list"
}

distro_register() {
  grep -qxF "$1" "$STATE/distros.list" 2>/dev/null || printf '%s\n' "$1" >>"$STATE/distros.list"
}

kind_of() { # NAME
  conf_get "$STATE/profiles/$1" kind busybox
}

kind_do() { # OPERATION NAME ARGS...
  _operation=$1
  shift
  "$(kind_of "$1")_$_operation" "$@"
}

# A distro key of NAME, from its profile (settings_complete gave it every
# key of its kind).
profile_get() { # NAME KEY
  conf_get "$STATE/profiles/$1" "$2"
}

# Whether NAME boots systemd: its /etc/wsl.conf says "[boot] systemd=true",
# as WSL reads it (sections and keys in any letter case).
wants_systemd() { # NAME
  awk '
    /^[ \t]*\[/ { section = tolower($0); gsub(/[ \t\r]/, "", section); next }
    section == "[boot]" && index($0, "=") {
      key = tolower(substr($0, 1, index($0, "=") - 1)); value = tolower(substr($0, index($0, "=") + 1))
      gsub(/[ \t\r]/, "", key); gsub(/[ \t\r]/, "", value)
      if (key == "systemd") on = (value == "true")
    }
    END { exit !on }' "$STATE/distros/$1/root/etc/wsl.conf" 2>/dev/null
}

# What every kind's build shares once its root exists: /etc/wsl.conf as the
# profile's systemd asks, the kernel release the distribution's uname
# reports (/var/lib/qvlab/kernel.release), the environment, and a first
# run still to come.
distro_dress() { # NAME
  _dir="$STATE/distros/$1"
  mkdir -p "$_dir/root/var/lib/qvlab"
  if [ "$(profile_get "$1" version)" = 1 ]; then
    echo "$WSL1_KERNEL_RELEASE" >"$_dir/root/var/lib/qvlab/kernel.release"
  else
    echo "$WSL2_KERNEL_RELEASE" >"$_dir/root/var/lib/qvlab/kernel.release"
  fi
  if [ "$(profile_get "$1" systemd)" = yes ]; then
    printf '[boot]\nsystemd=true\n' >"$_dir/root/etc/wsl.conf"
  else
    rm -f "$_dir/root/etc/wsl.conf"
  fi
  : >"$_dir/environment"
  _docker_host=$(profile_get "$1" docker_host)
  [ -z "$_docker_host" ] || printf 'DOCKER_HOST=%s\n' "$_docker_host" >>"$_dir/environment"
  printf 'version=%s\ndefault_user=\nfirst_run=pending\n' "$(profile_get "$1" version)" >"$_dir/conf"
}

# The default user of a profile that has one, as a first run made it, in
# the docker group where the profile says so.
distro_default_user() { # NAME
  _user=$(profile_get "$1" user)
  [ "$_user" != none ] || return 0
  first_run_complete "$1" "$_user" || return 1
  if [ "$(profile_get "$1" docker_group)" = yes ] && grep -q '^docker:' "$STATE/distros/$1/root/etc/group"; then
    kind_do exec_root "$1" usermod -aG docker -- "$_user" >/dev/null || return 1
  fi
}

# What the user does in Ubuntu's first window: USER (the lab's new_user)
# becomes the normal user and the default user.
first_run_complete() { # NAME [USER]
  _dir="$STATE/distros/$1"
  _new=${2:-$(conf_get "$STATE/lab.conf" new_user alice)}
  kind_do user_add "$1" "$_new" || return 1
  conf_set "$_dir/conf" default_user "$_new"
  conf_set "$_dir/conf" first_run done
}

# ---- cgroups ---------------------------------------------------------------

# NAME's own cgroups in the host's writable hierarchies (name=systemd and
# cgroup2; or the one cgroup2 tree), each with a child "calls". Named by the
# distribution's folder, its path and its inode, so that two labs never
# share one, even in roots of their own where the same path is another
# folder.
distro_cgroups_make() { # NAME
  _dir="$STATE/distros/$1"
  _id="quenvale-lab-$( (printf '%s\n' "$_dir"; stat -c '%d:%i' "$_dir") | md5sum | cut -c1-12)"
  : >"$_dir/cgroups"
  : >"$_dir/calls.cgroups"
  if [ "$(stat -f -c %T /sys/fs/cgroup)" = cgroup2fs ]; then
    set -- /sys/fs/cgroup
  else
    set -- /sys/fs/cgroup/systemd /sys/fs/cgroup/unified
  fi
  for _hierarchy in "$@"; do
    [ -d "$_hierarchy" ] || continue
    mkdir -p "$_hierarchy/$_id/calls" || return 1
    printf '%s\n' "$_hierarchy/$_id" >>"$_dir/cgroups"
    printf '%s\n' "$_hierarchy/$_id/calls" >>"$_dir/calls.cgroups"
  done
  [ -s "$_dir/cgroups" ] || { echo "no writable cgroup hierarchy under /sys/fs/cgroup" >&2; return 1; }
}

# The processes in the cgroups that the file LIST names, and below them.
cgroup_pids() { # LIST
  _first=$(sed -n 1p "$1" 2>/dev/null)
  [ -n "$_first" ] && [ -d "$_first" ] || return 0
  find "$_first" -name cgroup.procs -exec cat {} + 2>/dev/null
}

# Removes the cgroups below NAME's (every one with ALL, else all but calls),
# deepest first, once their last process is gone.
distro_cgroups_clear() { # NAME [all]
  _dir="$STATE/distros/$1"
  [ -f "$_dir/cgroups" ] || return 0
  while IFS= read -r _cgroup; do
    _tries=0
    while [ $_tries -lt 50 ]; do
      if [ "${2-}" = all ]; then
        find "$_cgroup" -depth -type d -exec rmdir {} \; 2>/dev/null
        [ -d "$_cgroup" ] || break
      else
        find "$_cgroup" -mindepth 1 -depth -type d ! -path "$_cgroup/calls" -exec rmdir {} \; 2>/dev/null
        [ -z "$(find "$_cgroup" -mindepth 1 -maxdepth 1 -type d ! -name calls)" ] && break
      fi
      sleep 0.1
      _tries=$((_tries + 1))
    done
    [ $_tries -lt 50 ] || echo "lab: the cgroup $_cgroup still has processes" >&2
  done <"$_dir/cgroups"
  [ "${2-}" != all ] || rm -f "$_dir/cgroups" "$_dir/calls.cgroups"
}

# Ends every process in the cgroups that LIST names (the lab's own, by the
# PIDs the kernel lists there), and waits until they are gone.
cgroup_kill() { # LIST
  _tries=0
  while _pids=$(cgroup_pids "$1") && [ -n "$_pids" ] && [ $_tries -lt 50 ]; do
    # shellcheck disable=SC2086
    kill -KILL $_pids 2>/dev/null
    sleep 0.1
    _tries=$((_tries + 1))
  done
  [ -z "$(cgroup_pids "$1")" ]
}

# ---- the instance ----------------------------------------------------------

now_ms() {
  date +%s%3N
}

# Boots, stops and the start of calls take NAME's lock in turn, so that the
# idle timer never stops a distribution that a call is just entering.
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
# not count. (The idle timer asks five times a second: no process is
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

# The idle timer of NAME (lifetime.sh), unless it runs already.
distro_watch() { # NAME
  _dir="$STATE/distros/$1"
  lifetime_pid "$1" >/dev/null && return 0
  setsid -f sh "$LIB/wsl/lifetime.sh" "$STATE" "$1" </dev/null >>"$_dir/lifetime.log" 2>&1 9>&-
}

# The PID of NAME's idle timer while it runs.
lifetime_pid() { # NAME
  _pid=$(cat "$STATE/distros/$1/lifetime.pid" 2>/dev/null) || return 1
  tr '\0' ' ' <"/proc/$_pid/cmdline" 2>/dev/null | grep -qF "lifetime.sh $STATE $1" || return 1
  printf '%s\n' "$_pid"
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

# A call ends: the idle timer counts from now (calls/last, in ms), even if
# it never saw the call under way.
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
  if _timer=$(lifetime_pid "$1") && [ "$_timer" != "$$" ]; then
    kill "$_timer" 2>/dev/null
  fi
  rm -f "$_dir/lifetime.pid"
  if [ -f "$_dir/cgroups" ]; then
    kind_do stop "$1" "${2:-hard}"
    cgroup_kill "$_dir/calls.cgroups" || echo "lab: processes of $1's calls would not end" >&2
    rm -rf "$_dir/calls"
    distro_cgroups_clear "$1"
  fi
}

# Everything of NAME goes: its processes, its mounts, its cgroups.
distro_teardown() { # NAME
  _dir="$STATE/distros/$1"
  [ -d "$_dir" ] || return 0
  distro_stop "$1" hard
  kind_do teardown "$1"
  distro_cgroups_clear "$1" all
}
