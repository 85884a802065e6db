# Shared by the busybox kind's tools inside a distribution (as
# /var/lib/qvlab/lib.sh, R empty) and by the lab when it builds a
# distribution from outside (R set to the root's path). Plain POSIX sh: it
# runs under busybox ash in the root and under dash on the host.
#
# The lab's own state inside a root lives in /var/lib/qvlab:
#   distro.conf       how this distribution behaves (apt, dockerd, mktemp, ...)
#   network.conf      what the PC's network lets through (the lab's,
#                     copied in again whenever it changes)
#   spool/            requests to the service and its replies (network.py)
#   kernel.release    the kernel release WSL gives the distribution
#   packages          the packages apt has installed, one a line
#   python3.version   the version the python3 stand-in reports
#   python3.venv      present when python3's venv module is installed
#   dockerd.up        present while the Docker daemon runs
#   docker.sock.inode a socket inode; the daemon links it to /run/docker.sock
#   archive/          what apt-get unpacks: the stand-in programs

QVLAB="${R-}/var/lib/qvlab"

. "${R-}/var/lib/qvlab/basics.sh"

# distro_setting KEY [DEFAULT]: how this distribution behaves.
distro_setting() {
  conf_get "$QVLAB/distro.conf" "$@"
}

# net_setting KEY [DEFAULT]: what the network lets through.
net_setting() {
  conf_get "$QVLAB/network.conf" "$@"
}

pkg_installed() {
  grep -qxF "$1" "$QVLAB/packages" 2>/dev/null
}

# The numeric id of a group of this root, or nothing.
group_id() {
  awk -F: -v g="$1" '$1 == g { print $3; exit }' "${R-}/etc/group"
}

# group_add NAME GID: creates the group unless it exists.
group_add() {
  [ -n "$(group_id "$1")" ] && return 0
  printf '%s:x:%s:\n' "$1" "$2" >>"${R-}/etc/group"
}

# group_add_member GROUP USER: appends USER to GROUP's member list.
group_add_member() {
  awk -F: -v OFS=: -v g="$1" -v u="$2" '
    $1 == g { if ($4 == "") $4 = u; else if (index("," $4 ",", "," u ",") == 0) $4 = $4 "," u }
    { print }' "${R-}/etc/group" >"${R-}/etc/group.qvlab-new" &&
    cat "${R-}/etc/group.qvlab-new" >"${R-}/etc/group" && rm -f "${R-}/etc/group.qvlab-new"
}

user_exists() {
  awk -F: -v u="$1" '$1 == u { found = 1 } END { exit !found }' "${R-}/etc/passwd"
}

# The Docker daemon: a state, not a process. Starting it links the socket
# into place, owned by the docker group as docker.io's unit does.
daemon_running() {
  [ -e "$QVLAB/dockerd.up" ] && [ -S "${R-}/run/docker.sock" ]
}

daemon_start() {
  if [ "$(distro_setting dockerd ok)" = fails ]; then
    return 1
  fi
  _gid=$(group_id docker)
  [ -n "$_gid" ] || _gid=0
  ln -f "$QVLAB/docker.sock.inode" "${R-}/run/docker.sock" || return 1
  chown "0:$_gid" "${R-}/run/docker.sock" && chmod 660 "${R-}/run/docker.sock" || return 1
  : >"$QVLAB/dockerd.up"
}

daemon_stop() {
  rm -f "$QVLAB/dockerd.up" "${R-}/run/docker.sock"
}

# docker.service enabled: systemd starts the daemon at every boot.
DOCKER_UNIT_LINK=/etc/systemd/system/multi-user.target.wants/docker.service

unit_enable() {
  mkdir -p "${R-}${DOCKER_UNIT_LINK%/*}"
  ln -sf /usr/lib/systemd/system/docker.service "${R-}$DOCKER_UNIT_LINK"
}

unit_disable() {
  rm -f "${R-}$DOCKER_UNIT_LINK"
}

unit_enabled() {
  [ -L "${R-}$DOCKER_UNIT_LINK" ]
}

# The packages of the archive of stand-ins and what installing each one puts
# into the root. pkg_unpack PACKAGE [VERSION]
pkg_known() {
  case "$1" in
    curl | ca-certificates | python3 | python3-venv | docker.io) return 0 ;;
    *) return 1 ;;
  esac
}

pkg_unpack() {
  case "$1" in
    curl)
      install_tool curl /usr/bin/curl
      ;;
    ca-certificates)
      mkdir -p "${R-}/etc/ssl/certs"
      printf '%s\n' "# Simulated certificate bundle" >"${R-}/etc/ssl/certs/ca-certificates.crt"
      ;;
    python3)
      install_tool python3 /usr/bin/python3
      printf '%s\n' "${2:-$(distro_setting archive_python 3.12.3)}" >"$QVLAB/python3.version"
      # Ubuntu's venv module is a package of its own; the archive
      # brings it along unless the distribution says otherwise.
      if [ "$(distro_setting archive_venv yes)" = yes ]; then : >"$QVLAB/python3.venv"; fi
      ;;
    python3-venv)
      : >"$QVLAB/python3.venv"
      ;;
    docker.io)
      install_tool docker /usr/bin/docker
      install_tool dockerd /usr/bin/dockerd
      group_add docker 998
      # Ubuntu's docker.io: a systemd unit and no init script.
      mkdir -p "${R-}/usr/lib/systemd/system"
      printf '%s\n' "[Unit]" "Description=Docker Application Container Engine" >"${R-}/usr/lib/systemd/system/docker.service"
      ;;
    *) return 1 ;;
  esac
  pkg_installed "$1" || printf '%s\n' "$1" >>"$QVLAB/packages"
}

install_tool() {
  cp "$QVLAB/archive/$1" "${R-}$2" && chmod 755 "${R-}$2"
}
