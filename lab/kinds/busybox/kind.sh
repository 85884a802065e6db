# The busybox kind of distribution: a root directory entered with chroot:
# busybox's applets, dash as /bin/sh, the lab's stand-ins (root/bin,
# root/archive) for the tools whose failures the lab plays, and real users
# with real uids. Its Docker daemon is a state, not a process. Its network
# is a server on the host (network.py, in the distribution's cgroups) that
# the stand-in curl reaches through a spool folder in the root. Its
# operations are those of wsl/kinds.sh. Inside the root, the lab's own state
# lives in /var/lib/qvlab (the stand-ins' lib.sh says what each file is).

# A socket inode at PATH (no process listens on it; -S is what counts).
# Bound by a name relative to its directory: a socket's path may not exceed
# 108 bytes, the lab's paths may.
make_socket() {
  rm -f "$1"
  (cd "$(dirname "$1")" &&
    perl -MSocket -e 'socket(my $s, PF_UNIX, SOCK_STREAM, 0) or die "socket: $!\n"; bind($s, sockaddr_un($ARGV[0])) or die "bind $ARGV[0]: $!\n"' "$(basename "$1")")
}

busybox_os_release() { # OS
  case "$1" in
    ubuntu-24.04) _ver=24.04 _full="24.04.1 LTS" _code=noble _nick="Noble Numbat" ;;
    ubuntu-22.04) _ver=22.04 _full="22.04.5 LTS" _code=jammy _nick="Jammy Jellyfish" ;;
    ubuntu-20.04) _ver=20.04 _full="20.04.6 LTS" _code=focal _nick="Focal Fossa" ;;
    debian-12)
      cat <<'OS'
PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"
NAME="Debian GNU/Linux"
VERSION_ID="12"
VERSION_CODENAME=bookworm
ID=debian
OS
      return 0
      ;;
    docker-desktop)
      cat <<'OS'
NAME="Docker Desktop"
ID=docker-desktop
PRETTY_NAME="Docker Desktop"
OS
      return 0
      ;;
    *) echo "unknown os '$1'" >&2; return 1 ;;
  esac
  cat <<OS
PRETTY_NAME="Ubuntu $_full"
NAME="Ubuntu"
VERSION_ID="$_ver"
VERSION="$_full ($_nick)"
VERSION_CODENAME=$_code
ID=ubuntu
ID_LIKE=debian
UBUNTU_CODENAME=$_code
OS
}

busybox_os_python() { # OS: the python3 version the release ships
  case "$1" in
    ubuntu-24.04) echo 3.12.3 ;;
    ubuntu-22.04) echo 3.10.12 ;;
    ubuntu-20.04) echo 3.8.10 ;;
    debian-12) echo 3.11.2 ;;
    *) echo 3.12.3 ;;
  esac
}

# The part every root shares, built into BASE and copied into each
# distribution: the directory tree, busybox's applets with the lab's
# stand-ins in place of some, dash as /bin/sh as on Ubuntu (busybox's own
# shell would run its applets ahead of PATH and so never reach a stand-in),
# the device nodes the scripts use, the stock accounts.
busybox_base_build() { # BASE BUSYBOX DASH
  _base=$1
  _from="$LIB/kinds/busybox/root"
  rm -rf "$_base"
  mkdir -p "$_base"
  (
    cd "$_base" || exit 1
    mkdir -p usr/bin usr/sbin usr/lib usr/local/bin usr/lib/wsl/lib etc/ssl/certs tmp root home dev run proc sys \
      var/lib/qvlab/archive var/lib/dpkg/updates var/log var/tmp mnt/wsl
    ln -s usr/bin bin
    ln -s usr/sbin sbin
    ln -s usr/lib lib
    ln -s usr/lib lib64
    ln -s ../run var/run
    chmod 1777 tmp var/tmp
    chmod 700 root
    for _node in "null 1 3" "zero 1 5" "random 1 8" "urandom 1 9" "tty 5 0"; do
      set -- $_node
      mknod -m 666 "dev/$1" c "$2" "$3"
    done
  ) || return 1
  cp "$2" "$_base/usr/bin/busybox"
  /usr/sbin/chroot "$_base" /usr/bin/busybox --install -s /usr/bin || return 1
  # (cp would write through busybox's links into busybox itself.)
  rm -f "$_base/usr/bin/sh"
  cp "$3" "$_base/usr/bin/dash"
  ln -s dash "$_base/usr/bin/sh"
  # The users' login shell; no command the lab runs asks for more than sh.
  ln -s dash "$_base/usr/bin/bash"
  for _lib in $(ldd "$3" | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^\//) print $i }'); do
    mkdir -p "$_base$(dirname "$_lib")"
    cp -L "$_lib" "$_base$_lib"
  done
  for _tool in "$_from"/bin/*; do
    case "${_tool##*/}" in usermod | service) _to="$_base/usr/sbin/${_tool##*/}" ;; *) _to="$_base/usr/bin/${_tool##*/}" ;; esac
    rm -f "$_to"
    cp "$_tool" "$_to"
    chmod 755 "$_to"
  done
  ln -sf apt-get "$_base/usr/bin/apt"
  cp "$_from/lib.sh" "$_base/var/lib/qvlab/lib.sh"
  cp "$LIB/wsl/basics.sh" "$_base/var/lib/qvlab/basics.sh"
  cp "$_from"/archive/* "$_base/var/lib/qvlab/archive/"
  chmod 755 "$_base"/var/lib/qvlab/archive/*
  printf 'desktop-lab\n' >"$_base/etc/hostname"
  cat >"$_base/etc/passwd" <<'PASSWD'
root:x:0:0:root:/root:/bin/sh
daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin
nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin
PASSWD
  cat >"$_base/etc/group" <<'GROUP'
root:x:0:
daemon:x:1:
adm:x:4:
tty:x:5:
dialout:x:20:
cdrom:x:24:
floppy:x:25:
sudo:x:27:
audio:x:29:
dip:x:30:
video:x:44:
plugdev:x:46:
users:x:100:
netdev:x:110:
nogroup:x:65534:
GROUP
  printf 'root:*:20000:0:99999:7:::\n' >"$_base/etc/shadow"
  chmod 640 "$_base/etc/shadow"
}

# What every busybox distribution of a lab shares: the base, built once for
# the machine's busybox and dash and these stand-ins, and kept for the next
# lab in QVLAB_BUSYBOX_BASE (by default build/lab-busybox of the checkout).
busybox_prepare() {
  _busybox=$(command -v busybox) || { echo "busybox is missing (Debian package busybox-static)" >&2; return 1; }
  _dash=$(command -v dash)
  _key=$( (cd "$LIB" && sha256sum "$_busybox" "$_dash" wsl/basics.sh kinds/busybox/kind.sh
    find kinds/busybox/root -type f | LC_ALL=C sort | xargs sha256sum) | sha256sum | cut -c1-16)
  _cache="${QVLAB_BUSYBOX_BASE:-$QVLAB_CHECKOUT/build/lab-busybox}/$_key"
  if [ ! -d "$_cache" ]; then
    busybox_base_build "$_cache.new.$$" "$_busybox" "$_dash" || return 1
    /usr/sbin/chroot "$_cache.new.$$" /bin/sh -c 'exit 0' || {
      echo "busybox does not run inside a root: the lab needs the statically linked busybox (busybox-static)" >&2
      return 1
    }
    # Another lab may have built the same base meanwhile: theirs stays.
    mv -T "$_cache.new.$$" "$_cache" 2>/dev/null || rm -rf "$_cache.new.$$"
  fi
  # Kept while labs use it; a base no lab has used for a day goes.
  touch "$_cache"
  find "${_cache%/*}" -mindepth 1 -maxdepth 1 -mmin +1440 -exec rm -rf {} +
  ln -s "$_cache" "$LIB/base"
}

# (Re)creates NAME from its profile: the shared base, what the release
# ships, then what the profile adds. It is left running, as after the
# provider's last session.
busybox_build() { # NAME
  _name=$1
  _dir="$STATE/distros/$_name"
  _root="$_dir/root"
  _os=$(profile_get "$_name" os)
  _tools=$(profile_get "$_name" tools)
  _docker=$(profile_get "$_name" docker)

  rm -rf "$_dir"
  mkdir -p "$_root"
  cp -a "$LIB/base/." "$_root/" || return 1
  cgroups_make "$_dir" || return 1
  distro_dress "$_name" || return 1

  busybox_os_release "$_os" >"$_root/etc/os-release" || return 1
  _python=$(profile_get "$_name" python)
  [ -n "$_python" ] || _python=$(busybox_os_python "$_os")
  _archive_python=$(profile_get "$_name" archive_python)
  [ -n "$_archive_python" ] || _archive_python=$(busybox_os_python "$_os")
  cat >"$_root/var/lib/qvlab/distro.conf" <<CONF
apt=$(profile_get "$_name" apt)
dockerd=$(profile_get "$_name" dockerd)
mktemp=$(profile_get "$_name" mktemp)
archive_python=$_archive_python
archive_venv=$(profile_get "$_name" archive_venv)
timeout_cap=$(profile_get "$_name" timeout_cap)
CONF
  : >"$_root/var/lib/qvlab/packages"
  make_socket "$_root/var/lib/qvlab/docker.sock.inode" || return 1
  busybox_refresh "$_name"
  mkdir -p "$_root/var/lib/qvlab/spool"
  chmod 1777 "$_root/var/lib/qvlab/spool"

  # What the release ships, then what the profile adds.
  (
    R=$_root
    . "$LIB/kinds/busybox/root/lib.sh"
    [ "$_tools" = none ] && _tools=""
    for _pkg in $_tools; do
      case "$_pkg" in
        python3) pkg_unpack python3 "$_python" || exit 1
          if [ "$(profile_get "$_name" venv)" = yes ]; then : >"$QVLAB/python3.venv"; else rm -f "$QVLAB/python3.venv"; fi ;;
        *) pkg_unpack "$_pkg" || exit 1 ;;
      esac
    done
    case "$_docker" in
      none) ;;
      installed | running)
        pkg_unpack docker.io || exit 1
        if [ "$(profile_get "$_name" docker_init)" = yes ]; then
          # What the script does is the lab's service(8); it only has to be there.
          mkdir -p "$_root/etc/init.d"
          printf '#!/bin/sh\nexec service docker "$@"\n' >"$_root/etc/init.d/docker"
          chmod 755 "$_root/etc/init.d/docker"
        fi
        # Ubuntu's docker.io enables its units when it is installed; a
        # daemon left stopped had them disabled. Without systemd, a running
        # daemon was started by hand.
        if [ "$_docker" = running ]; then
          if [ "$(profile_get "$_name" systemd)" = yes ]; then unit_enable; else daemon_start || exit 1; fi
        fi
        ;;
      client) install_tool docker /usr/bin/docker || exit 1 ;;
    esac
  ) || return 1

  distro_default_user "$_name" || return 1
  busybox_boot "$_name"
}

# Docker Desktop's traces in a distribution, by its state on Windows,
# placed again whenever the distribution starts: running: the shared mount
# /mnt/wsl/docker-desktop and, where the WSL integration is on, its client
# and socket; stopped: only the integration's links, left dangling.
busybox_docker_desktop() { # NAME
  _root="$STATE/distros/$1/root"
  _state=$(conf_get "$STATE/lab.conf" docker_desktop none)
  [ "$(profile_get "$1" os)" = docker-desktop ] && return 0
  [ "$(profile_get "$1" version)" = 2 ] || return 0
  _mount="$_root/mnt/wsl/docker-desktop"
  rm -rf "$_mount"
  case "$_state" in
    running)
      mkdir -p "$_mount/cli-tools/usr/bin" "$_mount/shared-sockets/guest-services"
      cp "$LIB/kinds/busybox/root/archive/docker" "$_mount/cli-tools/usr/bin/docker"
      chmod 755 "$_mount/cli-tools/usr/bin/docker"
      make_socket "$_mount/shared-sockets/guest-services/docker.proxy.sock"
      chmod 666 "$_mount/shared-sockets/guest-services/docker.proxy.sock"
      ;;
  esac
  if [ "$_state" != none ] && [ "$(profile_get "$1" dd_integration)" = yes ] && [ ! -e "$_root/usr/bin/dockerd" ]; then
    ln -sfn /mnt/wsl/docker-desktop/cli-tools/usr/bin/docker "$_root/usr/bin/docker"
    ln -sfn /mnt/wsl/docker-desktop/shared-sockets/guest-services/docker.proxy.sock "$_root/run/docker.sock"
  fi
}

busybox_running() { # NAME
  [ -e "$STATE/distros/$1/running" ]
}

# As WSL starts it: a fresh /run, systemd's marker when /etc/wsl.conf asks
# for systemd and then the units enabled at boot (docker), Docker
# Desktop's integration, and the server its curl reaches.
busybox_boot() { # NAME
  _dir="$STATE/distros/$1"
  _root="$_dir/root"
  mkdir -p "$_root/run"
  if wants_systemd "$_root"; then
    mkdir -p "$_root/run/systemd/system"
    (R=$_root . "$LIB/kinds/busybox/root/lib.sh" && if unit_enabled; then daemon_start || true; fi)
  fi
  busybox_docker_desktop "$1"
  sh "$LIB/wsl/in-cgroups.sh" "$_dir/cgroups" setsid -f "$PYTHON" "$LIB/kinds/busybox/network.py" "$STATE" "$1" \
    </dev/null >>"$_dir/network.log" 2>&1 9>&-
  : >"$_dir/running"
}

# Its processes end (those of its cgroups: its network server too), its
# daemon with them, and /run empties, as a tmpfs does.
busybox_stop() { # NAME [hard|idle]
  _dir="$STATE/distros/$1"
  cgroup_kill "$_dir/cgroups"
  rm -f "$_dir/running"
  if [ -d "$_dir/root/run" ]; then
    (R="$_dir/root" . "$LIB/kinds/busybox/root/lib.sh" && daemon_stop)
    find "$_dir/root/run" -mindepth 1 -delete
  fi
}

busybox_enter() { # NAME CGROUPS ARGV...
  shift
  sh "$LIB/wsl/in-cgroups.sh" "$@"
}

busybox_exec_root() { # NAME ARGV...
  _root="$STATE/distros/$1/root"
  shift
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root /usr/sbin/chroot "$_root" "$@"
}

# The normal user that Ubuntu's first-run set-up creates: uid 1000, a home,
# and the groups the launcher gives it.
busybox_user_add() { # NAME USER
  _root="$STATE/distros/$1/root"
  _user=$2
  awk -F: -v u="$_user" '$1 == u { found = 1 } END { exit !found }' "$_root/etc/passwd" && return 0
  printf '%s:x:1000:1000:%s,,,:/home/%s:%s\n' "$_user" "$_user" "$_user" "$FIRST_RUN_SHELL" >>"$_root/etc/passwd"
  printf '%s:x:1000:\n' "$_user" >>"$_root/etc/group"
  printf '%s:!:20000:0:99999:7:::\n' "$_user" >>"$_root/etc/shadow"
  mkdir -p "$_root/home/$_user"
  chown 1000:1000 "$_root/home/$_user"
  chmod 750 "$_root/home/$_user"
  awk -F: -v OFS=: -v u="$_user" -v wanted="$FIRST_RUN_GROUPS" '
    BEGIN { n = split(wanted, names, " "); for (i = 1; i <= n; i++) want[names[i]] = 1 }
    $1 in want { if ($4 == "") $4 = u; else $4 = $4 "," u }
    { print }' "$_root/etc/group" >"$_root/etc/group.new" && mv "$_root/etc/group.new" "$_root/etc/group"
}

busybox_set() { # NAME KEY VALUE
  case "$2" in
    apt | mktemp) conf_set "$STATE/distros/$1/root/var/lib/qvlab/distro.conf" "$2" "$3" ;;
    dd_integration) conf_set "$STATE/profiles/$1" "$2" "$3" && busybox_docker_desktop "$1" ;;
  esac
}

busybox_packages() { # NAME
  cat "$STATE/distros/$1/root/var/lib/qvlab/packages"
}

busybox_docker_state() { # NAME
  _root="$STATE/distros/$1/root"
  if [ ! -x "$_root/usr/bin/dockerd" ]; then
    echo none
  elif [ -e "$_root/var/lib/qvlab/dockerd.up" ]; then
    echo running
  else
    echo stopped
  fi
}

busybox_kept() { # NAME
  printf '%s\n' "$STATE/distros/$1/root"
}

# What the PC's network lets through, read by the stand-ins at every use
# from their copy in the root, and Docker Desktop's traces in a running one.
busybox_refresh() { # NAME
  cp "$STATE/network.conf" "$STATE/distros/$1/root/var/lib/qvlab/network.conf.new" &&
    mv "$STATE/distros/$1/root/var/lib/qvlab/network.conf.new" "$STATE/distros/$1/root/var/lib/qvlab/network.conf"
  if busybox_running "$1"; then busybox_docker_desktop "$1"; fi
}
