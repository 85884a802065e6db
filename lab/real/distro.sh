# The lab's real distributions: the real Debian userland that userland.sh
# builds once, under an overlay of the distribution's own, run in
# namespaces that outlive each wsl.exe call (vm-init.sh), as a WSL 2 VM
# outlives them. Sourced by lab.sh and the Linux side of wsl.exe
# (wslhost.sh) after conf.sh and machine.sh, with STATE and LIB set.
#
# A profile asks for one with userland=real. Its other keys: user (a name,
# or none: first run pending), tools ("curl python3 ca-certificates", or
# none), docker (none, installed: docker.io with its daemon stopped,
# running), docker_group (yes, no). The lab-wide settings network, service
# and archive (ok, down, broken) shape what the distribution can reach.
#
# Beside conf and environment, a real distribution's directory holds:
#   upper/ work/  the overlay's writable layer: every file the distribution
#                 changed or created, so what it keeps after a run
#   root/         the overlay's mount point: the cached root, upper/ above
#   vm.pid        the first process of its namespaces, while they run
#   vm.ready      present once the namespaces' servers listen
#   vm.log        what vm-init.sh and services.py printed
#   setup.log     what setting the distribution up printed (apt, dockerd)

# The addresses vm-init.sh gives the namespace: the plain-HTTP base, the
# HTTPS one (quenvale.com, www.quenvale.com), the package archive.
REAL_SERVICE_HTTP=203.0.113.10
REAL_SERVICE_HTTPS=198.51.100.43
REAL_ARCHIVE=198.51.100.80

real_distro() { # NAME
  [ "$(conf_get "$STATE/profiles/$1" userland busybox)" = real ]
}

# The first process of NAME's namespaces, if they run. A PID counts only
# while it is this lab's vm-init.sh for NAME: a stale file may name a PID
# that has been reused since.
real_vm_pid() { # NAME
  _file="$STATE/distros/$1/vm.pid"
  [ -f "$_file" ] || return 1
  _pid=$(cat "$_file")
  tr '\0' ' ' <"/proc/$_pid/cmdline" 2>/dev/null | grep -qF "vm-init.sh $STATE $1 " || return 1
  printf '%s\n' "$_pid"
}

# Boots NAME's namespaces unless they run. "setup" leaves every address in
# place, so that setting up can install from the archive; otherwise the
# scenario's network settings apply at once.
real_vm_start() { # NAME [setup]
  _dir="$STATE/distros/$1"
  real_vm_pid "$1" >/dev/null && return 0
  rm -f "$_dir/vm.pid" "$_dir/vm.ready"
  unshare --mount --propagation private --pid --net --uts --ipc --fork --kill-child \
    sh "$LIB/real/vm-init.sh" "$STATE" "$1" </dev/null >>"$_dir/vm.log" 2>&1 &
  _unshare=$!
  _tries=0
  while [ ! -e "$_dir/vm.ready" ] && [ $_tries -lt 150 ] && kill -0 "$_unshare" 2>/dev/null; do
    sleep 0.1
    _tries=$((_tries + 1))
  done
  # The namespace's first process is unshare's only child.
  _init=$(cat "/proc/$_unshare/task/$_unshare/children" 2>/dev/null | tr -d ' ')
  if [ ! -e "$_dir/vm.ready" ] || [ -z "$_init" ]; then
    kill -KILL "$_unshare" 2>/dev/null
    echo "the namespaces of $1 did not come up; see $_dir/vm.log" >&2
    return 1
  fi
  printf '%s\n' "$_init" >"$_dir/vm.pid"
  [ "${2-}" = setup ] || real_network_apply "$1"
}

# Ends NAME's namespaces: every process in them ends with their first one
# (the daemon included), and their mounts with the last.
real_vm_stop() { # NAME
  _dir="$STATE/distros/$1"
  if _pid=$(real_vm_pid "$1"); then
    kill -KILL "$_pid"
    _tries=0
    while [ -d "/proc/$_pid" ] && [ $_tries -lt 100 ]; do
      sleep 0.1
      _tries=$((_tries + 1))
    done
  fi
  rm -f "$_dir/vm.pid" "$_dir/vm.ready"
}

# Takes away the addresses the scenario says cannot be reached.
real_network_apply() { # NAME
  _pid=$(real_vm_pid "$1") || return 1
  _gone=""
  [ "$(conf_get "$STATE/service/service.conf" network up)" = down ] &&
    _gone="$REAL_SERVICE_HTTP $REAL_SERVICE_HTTPS $REAL_ARCHIVE"
  [ "$(conf_get "$STATE/service/service.conf" archive ok)" = down ] && _gone="$_gone $REAL_ARCHIVE"
  for _address in $_gone; do
    nsenter --target "$_pid" --net ip addr del "$_address/32" dev lo 2>/dev/null || true
  done
}

# ARGV as root inside NAME, as `wsl.exe --user root` would run it.
real_as_root() { # NAME ARGV...
  _name=$1
  shift
  _pid=$(real_vm_pid "$_name") || return 1
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    nsenter --target "$_pid" --mount --uts --ipc --net --pid -- /usr/sbin/chroot "$STATE/distros/$_name/root" "$@"
}

# The normal user that Ubuntu's first-run set-up creates: a home, a login
# shell, its own group, and the usual groups that the root has.
real_user_add() { # NAME USER
  _root="$STATE/distros/$1/root"
  chroot "$_root" id "$2" >/dev/null 2>&1 && return 0
  _groups=""
  for _group in adm dialout cdrom floppy sudo audio dip video plugdev netdev; do
    chroot "$_root" getent group "$_group" >/dev/null && _groups="$_groups${_groups:+,}$_group"
  done
  chroot "$_root" useradd --create-home --shell /bin/bash --user-group --groups "$_groups" "$2"
}

# Whether the daemon answers inside NAME, waiting up to 15 seconds.
real_docker_answers() { # NAME
  real_as_root "$1" timeout 15 sh -c \
    'until docker info --format "{{.OSType}}" 2>/dev/null | grep -qx linux; do sleep 0.2; done'
}

# (Re)creates NAME from its profile: a fresh overlay over the cached root,
# then what the PC already had, installed from the lab's archive by the
# distribution's own apt and started by docker.io's own init script.
real_build() { # NAME
  _name=$1
  _dir="$STATE/distros/$_name"
  _profile="$STATE/profiles/$_name"
  _cache=$(conf_get "$STATE/lab.conf" userland)
  [ -f "$_cache/recipe.sha256" ] || { echo "no real userland in '$_cache' (userland.sh builds it)" >&2; return 1; }
  [ "$(conf_get "$_profile" wsl 2)" = 2 ] || { echo "$_name: a real distribution runs under WSL 2 only" >&2; return 1; }
  real_teardown "$_name"
  rm -rf "$_dir"
  mkdir -p "$_dir/upper" "$_dir/work" "$_dir/root"
  mount -t overlay overlay -o "lowerdir=$_cache/root,upperdir=$_dir/upper,workdir=$_dir/work" "$_dir/root" ||
    return 1
  : >"$_dir/environment"
  printf 'version=2\ndefault_user=\nfirst_run=pending\n' >"$_dir/conf"
  real_vm_start "$_name" setup || return 1

  _user=$(conf_get "$_profile" user alice)
  if [ "$_user" != none ]; then
    real_user_add "$_name" "$_user" || return 1
    conf_set "$_dir/conf" default_user "$_user"
    conf_set "$_dir/conf" first_run done
  fi
  _tools=$(conf_get "$_profile" tools "curl python3 ca-certificates")
  _docker=$(conf_get "$_profile" docker none)
  [ "$_tools" = none ] && _tools=""
  case "$_docker" in
    none) ;;
    installed | running) _tools="$_tools docker.io" ;;
    *) echo "$_name: docker=$_docker is not available on the real userland" >&2; return 1 ;;
  esac
  if [ -n "$_tools" ]; then
    # shellcheck disable=SC2086
    { real_as_root "$_name" apt-get update && real_as_root "$_name" apt-get install -y --no-install-recommends $_tools; } \
      >>"$_dir/setup.log" 2>&1 || { echo "$_name: installing$_tools failed; see $_dir/setup.log" >&2; return 1; }
  fi
  if [ "$_docker" = running ]; then
    { real_as_root "$_name" service docker start && real_docker_answers "$_name"; } >>"$_dir/setup.log" 2>&1 ||
      { echo "$_name: the Docker daemon did not start; see $_dir/setup.log" >&2; return 1; }
  fi
  if [ "$_docker" != none ] && [ "$_user" != none ] && [ "$(conf_get "$_profile" docker_group yes)" = yes ]; then
    real_as_root "$_name" usermod -aG docker -- "$_user" || return 1
  fi
  real_network_apply "$_name"
}

# Ends NAME's namespaces and unmounts its overlay; nothing of it runs or
# stays mounted afterwards. Harmless for a distribution that is not real.
real_teardown() { # NAME
  _dir="$STATE/distros/$1"
  real_vm_stop "$1"
  if mountpoint -q "$_dir/root" 2>/dev/null; then
    umount "$_dir/root" 2>/dev/null || umount -l "$_dir/root"
  fi
}

# The packages installed in NAME, with their versions.
real_packages() { # NAME
  chroot "$STATE/distros/$1/root" dpkg-query -W -f '${db:Status-Abbrev} ${Package} ${Version}\n' |
    awk '$1 == "ii" { print $2, $3 }'
}

# The Docker daemon of NAME: none (no docker.io), stopped, or running.
real_docker_state() { # NAME
  if [ ! -x "$STATE/distros/$1/root/usr/sbin/dockerd" ]; then
    echo none
  elif real_as_root "$1" timeout 5 docker info --format '{{.OSType}}' 2>/dev/null | grep -qx linux; then
    echo running
  else
    echo stopped
  fi
}

# Where NAME keeps the files it changed or created.
real_kept_files() { # NAME
  printf '%s\n' "$STATE/distros/$1/upper"
}
