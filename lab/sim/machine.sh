# The simulated PC, as both lab.sh and the stand-in wsl.exe's Linux side
# (wslhost.sh) see it. Sourced with STATE set to the lab's state directory:
#
#   lab.conf              the Windows side: wsl, install, install_exit,
#                         reboot_pending, docker_desktop, first_run_on_open,
#                         new_user, timeout_cap, wsl_lang, wsl_hang
#   profiles/NAME         how distribution NAME is (or will be, once the WSL
#                         installer registers it) built
#   distros.list          the registered distributions, default first
#   distros/NAME/conf     default_user (empty: root), first_run, version
#   distros/NAME/environment   extra variables of every process, NAME=VALUE
#   distros/NAME/root     its root file system
#   service/              the simulated service; hard-linked into every root
#   lib/                  the lab's own files (this one, root/, service/)
#   commands.log          every command line wsl.exe received
#   run/                  the files of one wsl.exe run (input, output, ...)

LIB="$STATE/lib"

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

# A socket inode at PATH (no process listens on it; -S is what counts).
# Bound by a name relative to its directory: a socket's path may not exceed
# 108 bytes, the lab's paths may.
make_socket() {
  rm -f "$1"
  (cd "$(dirname "$1")" &&
    perl -MSocket -e 'socket(my $s, PF_UNIX, SOCK_STREAM, 0) or die "socket: $!\n"; bind($s, sockaddr_un($ARGV[0])) or die "bind $ARGV[0]: $!\n"' "$(basename "$1")")
}

os_release() { # OS
  case "$1" in
    ubuntu-24.04) _ver=24.04 _full="24.04.1 LTS" _code=noble _nick="Noble Numbat" ;;
    ubuntu-22.04) _ver=22.04 _full="22.04.5 LTS" _code=jammy _nick="Jammy Jellyfish" ;;
    ubuntu-20.04) _ver=20.04 _full="20.04.6 LTS" _code=focal _nick="Focal Fossa" ;;
    debian-12)
      cat <<'OS'
PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"
NAME="Debian GNU/Linux"
VERSION_ID="12"
VERSION="12 (bookworm)"
VERSION_CODENAME=bookworm
ID=debian
HOME_URL="https://www.debian.org/"
SUPPORT_URL="https://www.debian.org/support"
BUG_REPORT_URL="https://bugs.debian.org/"
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
HOME_URL="https://www.ubuntu.com/"
SUPPORT_URL="https://help.ubuntu.com/"
BUG_REPORT_URL="https://bugs.launchpad.net/ubuntu/"
PRIVACY_POLICY_URL="https://www.ubuntu.com/legal/terms-and-policies/privacy-policy"
UBUNTU_CODENAME=$_code
LOGO=ubuntu-logo
OS
}

os_python() { # OS: the python3 version the release ships
  case "$1" in
    ubuntu-24.04) echo 3.12.3 ;;
    ubuntu-22.04) echo 3.10.12 ;;
    ubuntu-20.04) echo 3.8.10 ;;
    debian-12) echo 3.11.2 ;;
    *) echo 3.12.3 ;;
  esac
}

# user_add ROOT NAME: the normal user that Ubuntu's first-run set-up
# creates: uid 1000 and the groups adduser and the launcher give it.
user_add() {
  _root=$1 _user=$2
  awk -F: -v u="$_user" '$1 == u { found = 1 } END { exit !found }' "$_root/etc/passwd" && return 0
  printf '%s:x:1000:1000:%s,,,:/home/%s:/bin/sh\n' "$_user" "$_user" "$_user" >>"$_root/etc/passwd"
  printf '%s:x:1000:\n' "$_user" >>"$_root/etc/group"
  printf '%s:!:20000:0:99999:7:::\n' "$_user" >>"$_root/etc/shadow"
  mkdir -p "$_root/home/$_user"
  chown 1000:1000 "$_root/home/$_user"
  chmod 750 "$_root/home/$_user"
  awk -F: -v OFS=: -v u="$_user" '
    BEGIN { split("adm dialout cdrom floppy sudo audio dip video plugdev users netdev", names, " "); for (i in names) wanted[names[i]] = 1 }
    $1 in wanted { if ($4 == "") $4 = u; else $4 = $4 "," u }
    { print }' "$_root/etc/group" >"$_root/etc/group.new" && mv "$_root/etc/group.new" "$_root/etc/group"
}

# base_build: the part every root shares, built once per lab in lib/base
# and copied into each distribution: the directory tree, busybox's applets
# with the lab's stand-ins in place of some, dash as /bin/sh as on Ubuntu
# (busybox's own shell would run its applets ahead of PATH and so never
# reach a stand-in), the device nodes the scripts use, the stock accounts.
base_build() {
  _base="$LIB/base"
  rm -rf "$_base"
  mkdir -p "$_base"
  (
    cd "$_base" || exit 1
    mkdir -p usr/bin usr/sbin usr/lib usr/local/bin usr/lib/wsl/lib etc/ssl/certs tmp root home dev run proc sys \
      var/lib/qvlab/service var/lib/qvlab/archive var/lib/dpkg/updates var/log var/tmp mnt/wsl
    ln -s usr/bin bin
    ln -s usr/sbin sbin
    ln -s usr/lib lib
    ln -s usr/lib lib64
    ln -s ../run var/run
    chmod 1777 tmp var/tmp
    chmod 700 root
    mknod -m 666 dev/null c 1 3
    mknod -m 666 dev/zero c 1 5
    mknod -m 666 dev/random c 1 8
    mknod -m 666 dev/urandom c 1 9
    mknod -m 666 dev/tty c 5 0
  ) || return 1
  cp "$LIB/busybox" "$_base/usr/bin/busybox"
  /usr/sbin/chroot "$_base" /usr/bin/busybox --install -s /usr/bin || return 1
  # (cp would write through busybox's links into busybox itself.)
  rm -f "$_base/usr/bin/sh" "$_base/usr/bin/uname" "$_base/usr/bin/timeout" "$_base/usr/bin/mktemp" \
    "$_base/usr/bin/setsid" "$_base/usr/bin/dpkg"
  cp "$LIB/dash" "$_base/usr/bin/dash"
  ln -s dash "$_base/usr/bin/sh"
  for _lib in $(ldd "$LIB/dash" | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^\//) print $i }'); do
    mkdir -p "$_base$(dirname "$_lib")"
    cp -L "$_lib" "$_base$_lib"
  done
  for _tool in uname timeout mktemp apt-get systemctl setsid dpkg; do
    cp "$LIB/root/bin/$_tool" "$_base/usr/bin/$_tool"
    chmod 755 "$_base/usr/bin/$_tool"
  done
  for _tool in usermod service; do
    cp "$LIB/root/bin/$_tool" "$_base/usr/sbin/$_tool"
    chmod 755 "$_base/usr/sbin/$_tool"
  done
  ln -sf apt-get "$_base/usr/bin/apt"
  cp "$LIB/root/lib.sh" "$_base/var/lib/qvlab/lib.sh"
  cp "$LIB/conf.sh" "$_base/var/lib/qvlab/conf.sh"
  cp "$LIB"/root/archive/* "$_base/var/lib/qvlab/archive/"
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

# first_run_complete NAME: what the user does in Ubuntu's first window:
# the lab's new_user becomes the normal user and the default user.
first_run_complete() {
  _dir="$STATE/distros/$1"
  _new=$(conf_get "$STATE/lab.conf" new_user alice)
  if real_distro "$1"; then
    real_user_add "$1" "$_new" || return 1
  else
    user_add "$_dir/root" "$_new"
  fi
  conf_set "$_dir/conf" default_user "$_new"
  conf_set "$_dir/conf" first_run done
}

# distro_build NAME: (re)creates distribution NAME from profiles/NAME; one
# whose profile says userland=real is real_build's (real/distro.sh).
# Profile keys, with their defaults:
#   os=ubuntu-24.04 (ubuntu-22.04, ubuntu-20.04, debian-12, docker-desktop)
#   wsl=2 (1)                  user=alice (none: first-run set-up pending)
#   tools="curl python3 ca-certificates" (any of them, or none)
#   python=the release's       venv=yes (no)     archive_python=the release's
#   docker=none (installed: docker.io with the daemon stopped; running;
#          client: a docker client and nothing else)
#   docker_init=no (yes: /etc/init.d/docker, as Docker's own docker-ce has)
#   docker_group=yes (no)      docker_host= (DOCKER_HOST of every process)
#   systemd=yes (no)           dd_integration=yes (no)
#   apt=ok (update-fails, install-fails, update-hangs, install-hangs, locked)
#   dockerd=ok (fails)         mktemp=ok (fails)
distro_build() {
  _name=$1
  if real_distro "$_name"; then
    real_build "$_name"
    return
  fi
  _profile="$STATE/profiles/$_name"
  _dir="$STATE/distros/$_name"
  _root="$_dir/root"
  p() { conf_get "$_profile" "$1" "${2-}"; }

  _os=$(p os ubuntu-24.04)
  _wsl=$(p wsl 2)
  _user=$(p user alice)
  _tools=$(p tools "curl python3 ca-certificates")
  _docker=$(p docker none)
  _dd=$(conf_get "$STATE/lab.conf" docker_desktop none)

  rm -rf "$_dir"
  mkdir -p "$_root"
  cp -a "$LIB/base/." "$_root/" || return 1

  os_release "$_os" >"$_root/etc/os-release" || return 1
  if [ "$_wsl" = 1 ]; then
    _release=4.4.0-26100-Microsoft
  else
    _release=5.15.167.4-microsoft-standard-WSL2
  fi
  printf '%s\n' "$_release" >"$_root/var/lib/qvlab/kernel.release"
  _python=$(p python "$(os_python "$_os")")
  cat >"$_root/var/lib/qvlab/sim.conf" <<CONF
apt=$(p apt ok)
dockerd=$(p dockerd ok)
mktemp=$(p mktemp ok)
archive_python=$(p archive_python "$(os_python "$_os")")
archive_venv=$(p archive_venv yes)
timeout_cap=$(conf_get "$STATE/lab.conf" timeout_cap 0)
CONF
  : >"$_root/var/lib/qvlab/packages"
  make_socket "$_root/var/lib/qvlab/docker.sock.inode" || return 1
  for _file in install.sh issued used enrolled service.conf; do
    ln "$STATE/service/$_file" "$_root/var/lib/qvlab/service/$_file"
  done

  if [ "$(p systemd yes)" = yes ] && [ "$_os" != docker-desktop ]; then
    mkdir -p "$_root/run/systemd/system"
  fi

  # What the release ships, then what the profile adds.
  (
    R=$_root
    . "$LIB/root/lib.sh"
    [ "$_tools" = none ] && _tools=""
    for _pkg in $_tools; do
      case "$_pkg" in
        python3) pkg_unpack python3 "$_python" || exit 1
          if [ "$(p venv yes)" = yes ]; then : >"$QVLAB/python3.venv"; else rm -f "$QVLAB/python3.venv"; fi ;;
        *) pkg_unpack "$_pkg" || exit 1 ;;
      esac
    done
    case "$_docker" in
      none) ;;
      installed | running)
        pkg_unpack docker.io || exit 1
        if [ "$(p docker_init no)" = yes ]; then
          # What the script does is the lab's service(8); it only has to be there.
          mkdir -p "$_root/etc/init.d"
          printf '#!/bin/sh\nexec service docker "$@"\n' >"$_root/etc/init.d/docker"
          chmod 755 "$_root/etc/init.d/docker"
        fi
        if [ "$_docker" = running ]; then daemon_start || exit 1; fi
        ;;
      client) install_tool docker /usr/bin/docker || exit 1 ;;
      *) echo "unknown docker '$_docker'" >&2; exit 1 ;;
    esac
  ) || return 1

  : >"$_dir/environment"
  _docker_host=$(p docker_host)
  [ -n "$_docker_host" ] && printf 'DOCKER_HOST=%s\n' "$_docker_host" >>"$_dir/environment"

  if [ "$_user" = none ]; then
    printf 'version=%s\ndefault_user=\nfirst_run=pending\n' "$_wsl" >"$_dir/conf"
  else
    user_add "$_root" "$_user"
    if [ "$_docker" != none ] && [ "$(p docker_group yes)" = yes ] && [ -n "$(awk -F: '$1 == "docker"' "$_root/etc/group")" ]; then
      (R=$_root . "$LIB/root/lib.sh" && group_add_member docker "$_user")
    fi
    printf 'version=%s\ndefault_user=%s\nfirst_run=done\n' "$_wsl" "$_user" >"$_dir/conf"
  fi

  distro_docker_desktop "$_name" "$_dd"
}

# Docker Desktop's traces in a distribution, by its state on the host:
# running: the shared mount /mnt/wsl/docker-desktop and, where the WSL
# integration is on, its client and socket; stopped: only the integration's
# links, left dangling.
distro_docker_desktop() { # NAME STATE
  _root="$STATE/distros/$1/root"
  _profile="$STATE/profiles/$1"
  [ "$(conf_get "$_profile" os ubuntu-24.04)" = docker-desktop ] && return 0
  [ "$(conf_get "$_profile" wsl 2)" = 2 ] || return 0
  _mount="$_root/mnt/wsl/docker-desktop"
  _integrated=$(conf_get "$_profile" dd_integration yes)
  rm -rf "$_mount"
  case "$2" in
    running)
      mkdir -p "$_mount/cli-tools/usr/bin" "$_mount/shared-sockets/guest-services"
      cp "$LIB/root/archive/docker" "$_mount/cli-tools/usr/bin/docker"
      chmod 755 "$_mount/cli-tools/usr/bin/docker"
      make_socket "$_mount/shared-sockets/guest-services/docker.proxy.sock"
      chmod 666 "$_mount/shared-sockets/guest-services/docker.proxy.sock"
      ;;
  esac
  if [ "$2" != none ] && [ "$_integrated" = yes ] && [ ! -e "$_root/usr/bin/docker" ]; then
    ln -sfn /mnt/wsl/docker-desktop/cli-tools/usr/bin/docker "$_root/usr/bin/docker"
    ln -sfn /mnt/wsl/docker-desktop/shared-sockets/guest-services/docker.proxy.sock "$_root/run/docker.sock"
  fi
}
