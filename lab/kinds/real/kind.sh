# The real kind of distribution: the real Debian userland that userland.sh
# builds once, under an overlay of the distribution's own, run in
# namespaces that outlive each call (vm-init.sh), as a WSL 2 VM outlives
# them. Its operations are those of wsl/kinds.sh.
#
# What a profile's tools and docker.io bring is installed once per package
# set into a layer of the userland's cache (layers/) by the real apt, in a
# VM of its own under STATE/layers/, and every distribution that needs that
# set mounts the layer under its own.
#
# A VM's folder (a distribution's, or a layer's build) holds, beside what
# wsl/ keeps there:
#   disk/         the distribution's disk: a tmpfs of the profile's size, or
#                 a plain directory; it holds the overlay's layers:
#     upper/ work/  the writable layer: every file the distribution changed
#                 or created, so what it keeps after a run
#   root/         the overlay's mount point: the cached root (and a package
#                 layer), disk/upper above
#   vm.pid        the first process of its namespaces, while they run
#   vm.init       what runs as PID 1 there: systemd or init
#   vm.ready      present once the namespaces' servers listen
#   vm.log        what vm-init.sh, systemd and network.py printed
#   setup.log     what setting it up printed (apt, dockerd)
#   userland      the userland's cache it is built from
#   network.conf  only in a layer's VM: settings of its own, the defaults
# and the kind's own lib folder holds "cache", the userland's cache.

# The addresses vm-init.sh gives the namespace, which exist nowhere else:
# the plain-HTTP base, the HTTPS one (quenvale.com, www.quenvale.com), the
# package archive (deb.debian.org), the DNS server (where WSL's DNS
# tunnelling puts it).
REAL_SERVICE_HTTP=203.0.113.10
REAL_SERVICE_HTTPS=198.51.100.43
REAL_ARCHIVE=198.51.100.80
REAL_DNS=10.255.255.254
REAL_ADDRESSES="$REAL_SERVICE_HTTP $REAL_SERVICE_HTTPS $REAL_ARCHIVE $REAL_DNS"

pid_gone() { # PID
  [ ! -d "/proc/$1" ]
}

# The first process of the VM of DIR, if it runs. A PID counts only while
# it is that VM's: vm-init.sh, or the systemd it became (whose root is
# DIR's). A stale file may name a PID reused since.
real_vm_pid() { # DIR
  if [ "$(cat "$1/vm.init" 2>/dev/null)" = systemd ]; then
    _pid=$(cat "$1/vm.pid" 2>/dev/null) && [ "$(readlink "/proc/$_pid/root" 2>/dev/null)" = "$1/root" ] || return 1
    printf '%s\n' "$_pid"
  else
    pid_of "$1/vm.pid" "vm-init.sh $STATE $1"
  fi
}

# Whether the VM of DIR is up (its servers listen) or its starter UNSHARE
# has given up.
real_vm_up() { # DIR UNSHARE
  [ -e "$1/vm.ready" ] || pid_gone "$2"
}

# Whether systemd runs as the VM's first process, or the process FIRST that
# was to become it has ended.
real_vm_systemd() { # DIR FIRST
  real_vm_pid "$1" >/dev/null || pid_gone "$2"
}

# Boots the VM of DIR unless it runs. "setup" leaves every address in place,
# so that setting up can install from the archive; otherwise the lab's
# network settings apply at once. With systemd, it waits until systemd has
# started what it starts at boot, as a wsl.exe call waits for it.
real_vm_start() { # DIR [setup]
  _dir=$1
  real_vm_pid "$_dir" >/dev/null && return 0
  rm -f "$_dir/vm.pid" "$_dir/vm.ready" "$_dir/vm.init"
  _init=init
  wants_systemd "$_dir/root" && _init=systemd
  printf '%s\n' "$_init" >"$_dir/vm.init"
  # The starter joins the VM's cgroups, then unshares: the new cgroup
  # namespace is rooted there.
  sh "$LIB/wsl/in-cgroups.sh" "$_dir/cgroups" \
    unshare --mount --propagation private --pid --net --uts --ipc --cgroup --fork --kill-child \
    sh "$LIB/kinds/real/vm-init.sh" "$STATE" "$_dir" </dev/null >>"$_dir/vm.log" 2>&1 9>&- &
  _unshare=$!
  wait_until 15 real_vm_up "$_dir" "$_unshare"
  # The namespace's first process is unshare's only child.
  _first=$(cat "/proc/$_unshare/task/$_unshare/children" 2>/dev/null | tr -d ' ')
  if [ ! -e "$_dir/vm.ready" ] || [ -z "$_first" ]; then
    kill -KILL "$_unshare" 2>/dev/null || true
    echo "the namespaces of $_dir did not come up; see $_dir/vm.log" >&2
    return 1
  fi
  printf '%s\n' "$_first" >"$_dir/vm.pid"
  if [ "$_init" = systemd ]; then
    # vm-init.sh is PID 1 until it has exec'd systemd in the root. Then, as
    # WSL waits for it: until systemd says running (or degraded), asked
    # every 0.25 s, for at most 10 s (WSL's boot.initTimeout), and on
    # whatever it still starts (apt's timers that fire at boot keep it
    # starting). Until systemd has made its private bus socket, systemctl
    # fails at once or says offline: it is asked again.
    wait_until 10 real_vm_systemd "$_dir" "$_first"
    # shellcheck disable=SC2016
    _state=$(real_in "$_dir" "$_dir/cgroups" timeout 60 sh -c 'end=$(($(date +%s) + 10))
      until state=$(systemctl is-system-running 2>/dev/null)
        case "$state" in running | degraded) true ;; "" | offline) false ;; *) [ "$(date +%s)" -ge "$end" ] ;; esac
      do sleep 0.25; done; printf "%s\n" "$state"' 2>/dev/null)
    case "$_state" in
      running | degraded | starting) ;;
      *)
        echo "systemd in $_dir did not come up (${_state:-no answer}); see $_dir/vm.log" >&2
        real_vm_stop "$_dir" hard
        return 1
        ;;
    esac
  fi
  [ "${2-}" = setup ] || real_addresses "$_dir"
}

# Ends the VM of DIR: every process in it ends with its first one, and its
# mounts with the last. systemd is powered off (SIGRTMIN+4; SIGTERM would
# only make it re-execute itself), as WSL's init powers an idle
# distribution off; "hard" kills at once, as a restart of Windows, `wsl
# --terminate` or `wsl --shutdown` ends the VM under whatever runs in it.
real_vm_stop() { # DIR [hard]
  if _pid=$(real_vm_pid "$1"); then
    if [ "${2-}" != hard ] && [ "$(cat "$1/vm.init")" = systemd ]; then
      kill -s RTMIN+4 "$_pid" 2>/dev/null || true
      wait_until 10 pid_gone "$_pid"
    fi
    kill -KILL "$_pid" 2>/dev/null || true
    wait_until 10 pid_gone "$_pid"
  fi
  rm -f "$1/vm.pid" "$1/vm.ready" "$1/vm.init"
}

# Gives the VM of DIR the addresses the lab's settings let it reach, and
# takes the others away: network=down takes all four, archive=down the
# archive's.
real_addresses() { # DIR
  _pid=$(real_vm_pid "$1") || return 0
  _gone=""
  [ "$(conf_get "$STATE/network.conf" network)" = down ] && _gone=$REAL_ADDRESSES
  [ "$(conf_get "$STATE/network.conf" archive)" = down ] && _gone="$_gone $REAL_ARCHIVE"
  for _address in $REAL_ADDRESSES; do
    case " $_gone " in
      *" $_address "*) nsenter --target "$_pid" --net ip addr del "$_address/32" dev lo 2>/dev/null || true ;;
      *) nsenter --target "$_pid" --net ip addr add "$_address/32" dev lo 2>/dev/null || true ;;
    esac
  done
  return 0
}

# ARGV as root inside the running VM of DIR, as `wsl.exe --user root` would
# run it, in the cgroups that the file CGROUPS lists.
real_in() { # DIR CGROUPS ARGV...
  _dir=$1
  _cgroups=$2
  shift 2
  real_vm_pid "$_dir" >/dev/null || return 1
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    /bin/sh "$LIB/kinds/real/enter.sh" "$_dir" "$_cgroups" /usr/sbin/chroot "$_dir/root" "$@"
}

# A step of the lab: in the distribution's own cgroup, so that what it
# leaves running does not keep the distribution running.
real_exec_root() { # NAME ARGV...
  _name=$1
  shift
  real_in "$STATE/distros/$_name" "$STATE/distros/$_name/cgroups" "$@"
}

# A step as a call of the provider's: what it leaves running keeps the
# distribution running, as a daemon started by hand from a shell does.
real_as_call() { # NAME ARGV...
  _name=$1
  shift
  real_in "$STATE/distros/$_name" "$STATE/distros/$_name/calls.cgroups" "$@"
}

# The normal user that Ubuntu's first-run set-up creates, with Debian's
# useradd: a home, the login shell, its own group, and those of the usual
# groups that the root has.
real_user_add() { # NAME USER
  _root="$STATE/distros/$1/root"
  chroot "$_root" id "$2" >/dev/null 2>&1 && return 0
  _groups=""
  for _group in $FIRST_RUN_GROUPS; do
    chroot "$_root" getent group "$_group" >/dev/null && _groups="$_groups${_groups:+,}$_group"
  done
  chroot "$_root" useradd --create-home --shell "$FIRST_RUN_SHELL" --user-group --groups "$_groups" "$2"
}

# Whether the daemon answers inside NAME, waiting up to 15 seconds.
real_docker_answers() { # NAME
  real_exec_root "$1" timeout 15 sh -c \
    'until docker info --format "{{.OSType}}" 2>/dev/null | grep -qx linux; do sleep 0.2; done'
}

# Starts the daemon the ways Ubuntu's docker.io allows: its systemd unit,
# or without systemd by hand, detached, as a provider without systemd does.
real_docker_start() { # NAME
  if [ "$(cat "$STATE/distros/$1/vm.init")" = systemd ]; then
    real_exec_root "$1" systemctl start docker
  else
    real_as_call "$1" sh -c 'setsid -f dockerd </dev/null >>/var/log/docker.log 2>&1'
  fi
}

# What every real distribution of a lab shares: the userland of each
# release its profiles ask for, built once into its cache (the only time
# the lab uses the network): QVLAB_USERLAND, else build/lab-userland of the
# checkout the lab is set up from (QVLAB_CHECKOUT); and each archive's
# Release file dated ahead, for a clock behind.
real_prepare() {
  _top=${QVLAB_USERLAND:-$QVLAB_CHECKOUT/build/lab-userland}
  printf '%s\n' "$_top" >"$LIB/kinds/real/cache"
  _releases=$(grep -lx 'kind=real' "$STATE"/profiles/* | xargs sed -n 's/^release=//p' | sort -u)
  # shellcheck disable=SC2086
  sh "$LIB/kinds/real/userland.sh" "$_top" $_releases >&2 || return 1
  for _release in $_releases; do
    real_archive_ahead "$_top/$_release" ||
      { echo "could not sign $_release's Release file dated ahead" >&2; return 1; }
  done
}

# The userland's cache of NAME's release (userland.sh builds each release
# in a folder of its own).
real_cache() { # NAME
  printf '%s/%s\n' "$(cat "$LIB/kinds/real/cache")" "$(profile_get "$1" release)"
}

# The layer of the userland's cache CACHE that holds PACKAGES installed,
# built the first time a set is asked for: a VM of its own (WSL's init,
# every address, servers without the lab's faults) over the cached root,
# the real apt from the lab's archive, and its writable layer kept. Keyed
# by the set, the userland's recipe and this file; a rebuilt set replaces
# the layer it supersedes.
real_layer() { # CACHE PACKAGES...
  _cache=$1
  shift
  _set=$(printf '%s\n' "$@" | sort -u | tr '\n' '+' | sed 's/+$//')
  _key=$( (printf '%s\n' "$_set"; cat "$_cache/recipe.sha256" "$LIB/kinds/real/kind.sh") | sha256sum | cut -c1-16)
  _layer="$_cache/layers/$_set-$_key"
  if [ ! -d "$_layer/upper" ]; then
    _vm="$STATE/layers/$_key"
    rm -rf "$_layer.new" "$_vm"
    mkdir -p "$_layer.new/upper" "$_layer.new/work" "$_vm/root"
    : >"$_vm/network.conf"
    printf '%s\n' "$_cache" >"$_vm/userland"
    mount -t overlay overlay -o "lowerdir=$_cache/root,upperdir=$_layer.new/upper,workdir=$_layer.new/work" \
      "$_vm/root" || return 1
    _status=0
    if cgroups_make "$_vm" && real_vm_start "$_vm" setup; then
      { real_in "$_vm" "$_vm/cgroups" apt-get update &&
        real_in "$_vm" "$_vm/cgroups" apt-get install -y --no-install-recommends "$@" &&
        real_in "$_vm" "$_vm/cgroups" apt-get clean; } >>"$_vm/setup.log" 2>&1 || _status=1
    else
      _status=1
    fi
    real_vm_stop "$_vm" hard
    umount "$_vm/root"
    cgroups_clear "$_vm/cgroups"
    if [ $_status -ne 0 ]; then
      echo "installing $* into a layer failed; see $_vm/setup.log" >&2
      return 1
    fi
    rm -rf "$_vm" "$_layer.new/work"
    for _old in "$_cache/layers/$_set"-*; do
      [ "$_old" = "$_layer.new" ] || rm -rf "$_old"
    done
    mv "$_layer.new" "$_layer"
  fi
  printf '%s\n' "$_layer/upper"
}

# (Re)creates NAME from its profile: a fresh overlay over the cached root
# and the layer of what the PC already had, then what the profile says of
# its user, Docker, apt and dpkg. It is left running, unless an
# installation was cut short.
real_build() { # NAME
  _name=$1
  _dir="$STATE/distros/$_name"
  _cache=$(real_cache "$_name")
  [ -f "$_cache/recipe.sha256" ] || { echo "no real userland in '$_cache' (userland.sh builds it)" >&2; return 1; }
  real_teardown "$_name"
  rm -rf "$_dir"
  mkdir -p "$_dir/disk" "$_dir/root"
  printf '%s\n' "$_cache" >"$_dir/userland"

  _tools=$(profile_get "$_name" tools)
  _docker=$(profile_get "$_name" docker)
  [ "$_tools" = none ] && _tools=""
  [ "$_docker" = none ] || _tools="$_tools docker.io"
  _lower="$_cache/root"
  if [ -n "$_tools" ]; then
    # shellcheck disable=SC2086
    _layer=$(real_layer "$_cache" $_tools) || return 1
    _lower="$_layer:$_lower"
  fi
  _disk=$(profile_get "$_name" disk)
  if [ -n "$_disk" ]; then
    mount -t tmpfs -o "size=${_disk}m,mode=755" disk "$_dir/disk" || return 1
  fi
  mkdir -p "$_dir/disk/upper" "$_dir/disk/work"
  mount -t overlay overlay -o "lowerdir=$_lower,upperdir=$_dir/disk/upper,workdir=$_dir/disk/work" "$_dir/root" ||
    return 1
  cgroups_make "$_dir" || return 1
  distro_dress "$_name" || return 1
  real_vm_start "$_dir" setup || return 1
  distro_default_user "$_name" || return 1
  {
    case "$_docker" in
      # With systemd, the package's units are enabled and started at boot.
      installed) [ "$(cat "$_dir/vm.init")" = init ] || real_exec_root "$_name" systemctl disable --now docker.service docker.socket ;;
      running) real_docker_start "$_name" && real_docker_answers "$_name" ;;
    esac
  } >>"$_dir/setup.log" 2>&1 || { echo "$_name: docker=$_docker could not be set up; see $_dir/setup.log" >&2; return 1; }
  real_addresses "$_dir"
  if [ "$(profile_get "$_name" apt)" = locked ]; then
    real_apt_hold "$_name" || return 1
  fi
  case "$(profile_get "$_name" dpkg)" in
    interrupted-unpacking) real_dpkg_interrupt "$_name" Unpacking 2 || return 1 ;;
    interrupted-configuring) real_dpkg_interrupt "$_name" Configuring 3 || return 1 ;;
  esac
  real_upgrades "$_name"
}

# Ubuntu busy with itself: apt's daily timers (the list update, then
# unattended-upgrades, which installs the archive's update of
# quenvale-lab-update, taking upgrade_seconds to configure), as the
# profile's upgrades has them. none: not due (apt's own day stamps from now,
# so that a timer firing by chance does nothing). missed: due since the PC
# was off, so that they fire at the next boot; Ubuntu's timers wait a
# random delay after a boot (up to 12 h, 60 min), which the lab takes as
# drawn short. under-way: missed, and the distribution booted again, left
# running with the update configuring.
real_upgrades() { # NAME
  _root="$STATE/distros/$1/root"
  mkdir -p "$_root/etc/quenvale-lab" "$_root/var/lib/apt/periodic"
  profile_get "$1" upgrade_seconds >"$_root/etc/quenvale-lab/update-seconds"
  _stamps="update-stamp update-success-stamp download-upgradeable-stamp upgrade-stamp unattended-upgrades-stamp"
  if [ "$(profile_get "$1" upgrades)" = none ]; then
    (cd "$_root/var/lib/apt/periodic" && touch $_stamps)
    return 0
  fi
  (cd "$_root/var/lib/apt/periodic" && rm -f $_stamps)
  mkdir -p "$_root/var/lib/systemd/timers"
  for _timer in apt-daily apt-daily-upgrade; do
    touch -d '-3 days' "$_root/var/lib/systemd/timers/stamp-$_timer.timer"
    mkdir -p "$_root/etc/systemd/system/$_timer.timer.d"
    printf '[Timer]\nRandomizedDelaySec=0\nAccuracySec=1s\n' >"$_root/etc/systemd/system/$_timer.timer.d/quenvale-lab.conf"
  done
  [ "$(profile_get "$1" upgrades)" = under-way ] || return 0
  real_vm_stop "$STATE/distros/$1" && real_vm_start "$STATE/distros/$1" || return 1
  # shellcheck disable=SC2016
  real_exec_root "$1" timeout 120 sh -c \
    'until [ "$(dpkg-query -W -f "\${db:Status-Abbrev}" quenvale-lab-update)" = "iF " ]; do sleep 0.2; done' ||
    { echo "$1: unattended-upgrades did not get to configuring its update" >&2; return 1; }
}

# Another apt holds dpkg's frontend lock, as unattended-upgrades does for
# minutes after a distribution starts: a real apt-get, held in its
# pre-invoke hook (after it has locked, before dpkg runs) until
# real_apt_release. It reinstalls a package the distribution has, so
# nothing changes when it is ended there. It is started as a call, so that
# the distribution runs on while it holds the lock.
real_apt_hold() { # NAME
  # shellcheck disable=SC2016
  real_as_call "$1" sh -c 'mkdir -p /run/quenvale-lab
    setsid -f sh -c "echo \$\$ >/run/quenvale-lab/apt-holder.pid; exec apt-get -y \
      -o DPkg::Pre-Invoke::=\"touch /run/quenvale-lab/apt-holding; exec sleep infinity\" \
      install --reinstall ca-certificates" </dev/null >/dev/null 2>&1' || return 1
  real_exec_root "$1" timeout 60 sh -c 'until [ -e /run/quenvale-lab/apt-holding ]; do sleep 0.2; done' ||
    { echo "$1: the apt that should hold the lock never got there" >&2; return 1; }
}

# Ends the apt that real_apt_hold started, by its process group, and waits
# until the group is gone.
real_apt_release() { # NAME
  # shellcheck disable=SC2016
  real_exec_root "$1" sh -c 'pid=$(cat /run/quenvale-lab/apt-holder.pid 2>/dev/null) || exit 0
    pkill -TERM -g "$pid" || exit 1
    timeout 10 sh -c "while pgrep -g $pid >/dev/null; do sleep 0.1; done" &&
      rm -f /run/quenvale-lab/apt-holder.pid /run/quenvale-lab/apt-holding'
}

# A package installation cut short: the whole stack is installed by the
# real apt, and the VM is killed (as a restart of Windows kills it) when
# apt reports the COUNTth package entering ACTION (Unpacking or
# Configuring). dpkg is left interrupted: the setup checks that it is.
real_dpkg_interrupt() { # NAME ACTION COUNT
  _dir="$STATE/distros/$1"
  real_exec_root "$1" apt-get update >>"$_dir/setup.log" 2>&1 || return 1
  # shellcheck disable=SC2016,SC2086
  real_exec_root "$1" sh -c 'exec apt-get -o APT::Status-Fd=3 -y --no-install-recommends install "$@" 3>&1 >/dev/null 2>&1' \
    sh $STACK | {
    _seen=0
    while IFS= read -r _line; do
      case "$_line" in
        pmstatus:*:"$2 "*)
          _seen=$((_seen + 1))
          if [ $_seen -ge "$3" ]; then
            printf 'killed the VM at: %s\n' "$_line" >>"$_dir/setup.log"
            real_vm_stop "$_dir" hard
            break
          fi
          ;;
      esac
    done
  }
  [ -n "$(ls -A "$_dir/root/var/lib/dpkg/updates" 2>/dev/null)" ] ||
    { echo "$1: the installation was not cut short in time ($2 $3); see $_dir/setup.log" >&2; return 1; }
}

# The distribution's disk grows to MB, as when the provider frees space.
real_disk_resize() { # NAME MB
  mountpoint -q "$STATE/distros/$1/disk" || { echo "$1 has no disk limit (profile key disk)" >&2; return 1; }
  mount -o "remount,size=${2}m" "$STATE/distros/$1/disk"
}

# The archive's Release file of CACHE as a distribution whose clock is
# behind sees it: dated two days ahead, signed again with the archive's key,
# in the service's ahead/ under its path in the archive. network.py serves
# it while archive=clock-behind.
real_archive_ahead() { # CACHE
  _release=$(ls "$1"/archive/debian/dists/*/Release) || return 1
  _suite=$(basename "$(dirname "$_release")")
  _home=$(mktemp -d)
  cp -R "$1/archive-gnupg/." "$_home/"
  chmod 700 "$_home"
  sed "s/^Date: .*/Date: $(date -u -d '+2 days' '+%a, %d %b %Y %H:%M:%S UTC')/" "$_release" >"$_home/Release"
  mkdir -p "$STATE/service/ahead/debian/dists/$_suite"
  _status=0
  GNUPGHOME=$_home gpg --batch --yes --clearsign -o "$STATE/service/ahead/debian/dists/$_suite/InRelease" "$_home/Release" \
    >/dev/null 2>&1 || _status=1
  # gpg leaves an agent behind it.
  GNUPGHOME=$_home gpgconf --kill all 2>/dev/null
  rm -rf "$_home"
  return $_status
}

# ---- the operations of wsl/kinds.sh ----------------------------------------

real_boot() { # NAME
  real_vm_start "$STATE/distros/$1"
}

real_running() { # NAME
  real_vm_pid "$STATE/distros/$1" >/dev/null
}

real_stop() { # NAME hard|idle
  if [ "$2" = idle ]; then real_vm_stop "$STATE/distros/$1"; else real_vm_stop "$STATE/distros/$1" hard; fi
}

real_enter() { # NAME CGROUPS ARGV...
  _dir="$STATE/distros/$1"
  shift
  sh "$LIB/kinds/real/enter.sh" "$_dir" "$@"
}

real_set() { # NAME KEY VALUE
  case "$2=$3" in
    apt=ok) real_apt_release "$1" || { echo "could not end the apt that holds $1's lock" >&2; return 1; } ;;
    apt=locked) real_apt_hold "$1" ;;
    disk=*) real_disk_resize "$1" "$3" ;;
  esac
}

real_refresh() { # NAME
  real_addresses "$STATE/distros/$1"
}

# The Docker daemon of NAME: none (no docker.io), stopped, or running. A
# stopped distribution is not booted to ask.
real_docker_state() { # NAME
  if [ ! -x "$STATE/distros/$1/root/usr/bin/dockerd" ]; then
    echo none
  elif real_running "$1" && real_exec_root "$1" timeout 5 docker info --format '{{.OSType}}' 2>/dev/null | grep -qx linux; then
    echo running
  else
    echo stopped
  fi
}

# What runs as PID 1 of NAME: systemd's state (running, degraded, ...),
# init (WSL's own), or stopped (no VM runs).
real_status() { # NAME
  if ! real_running "$1"; then
    echo "pid1=stopped"
  elif [ "$(cat "$STATE/distros/$1/vm.init")" = systemd ]; then
    echo "pid1=systemd:$(real_exec_root "$1" systemctl is-system-running 2>/dev/null)"
  else
    echo "pid1=init"
  fi
}

# Where NAME keeps the files it changed or created.
real_kept() { # NAME
  printf '%s\n' "$STATE/distros/$1/disk/upper"
}

# Ends NAME's VM, if it still runs, and unmounts its overlay and disk.
real_teardown() { # NAME
  _dir="$STATE/distros/$1"
  real_vm_stop "$_dir" hard
  for _mount in "$_dir/root" "$_dir/disk"; do
    if mountpoint -q "$_mount" 2>/dev/null; then
      umount "$_mount" 2>/dev/null || umount -l "$_mount"
    fi
  done
}

# The packages installed in NAME, with their versions.
real_packages() { # NAME
  chroot "$STATE/distros/$1/root" dpkg-query -W -f '${db:Status-Abbrev} ${Package} ${Version}\n' |
    awk '$1 == "ii" { print $2, $3 }'
}
