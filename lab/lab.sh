#!/bin/sh
# The simulated WSL lab: a Wine prefix whose system32\wsl.exe is the lab's
# stand-in, distributions (simulated busybox roots run with chroot, or a
# real Debian userland in namespaces of its own) and the Quenvale service,
# set up from a named scenario.
#
#   lab.sh setup SCENARIO [KEY=VALUE...]   a fresh lab; prints a valid code
#   lab.sh code [--base URL] [--name NAME] a new valid one-time code
#   lab.sh commands                        every command line wsl.exe received
#   lab.sh reboot                          Windows restarts
#   lab.sh first-run [DISTRO]              the user completes Ubuntu's first-run set-up
#   lab.sh wake                            the stuck WSL service (wsl_hang=yes) answers the calls waiting
#   lab.sh set KEY=VALUE...                the PC changes while the lab runs (a fault
#                                          goes away, or comes): network, service,
#                                          archive, dns, tls; DISTRO.apt, DISTRO.disk
#   lab.sh exec DISTRO [USER] -- ARGV...   ARGV inside DISTRO, as wsl.exe would run it
#   lab.sh status                          the state of the simulated PC
#   lab.sh packages [DISTRO]               the packages installed in DISTRO
#   lab.sh leftovers TOKEN                 what an attempt left behind that it must not
#   lab.sh scenarios                       the scenarios and what each is
#   lab.sh teardown                        removes everything setup placed
#
# WINEPREFIX names the prefix (it must exist; tools/wine-session.sh makes
# one). The state lives in QVLAB_STATE, by default $WINEPREFIX/quenvale-lab.
# The stand-in is taken from QVLAB_WSL_EXE, by default
# build/windows/lab/wsl.exe of this checkout. A real distribution's
# userland is cached in QVLAB_USERLAND, by default build/lab-userland of
# this checkout, and built there by the first setup that needs it. Needs
# root (chroot, mknod, mount, namespaces).
set -eu
LC_ALL=C
export LC_ALL

LAB_DIR=$(cd "$(dirname "$0")" && pwd)
REPO_DIR=$(dirname "$LAB_DIR")

die() {
  echo "lab.sh: $*" >&2
  exit 1
}

usage() {
  sed -n '2,/^set -eu/p' "$0" | sed -e '/^set -eu/d' -e 's/^# \{0,1\}//' >&2
  exit 2
}
case "${1:-}" in
  setup | code | commands | reboot | first-run | wake | set | exec | status | packages | leftovers | scenarios | teardown) ;;
  *) usage ;;
esac

if [ "$1" = scenarios ]; then
  for file in "$LAB_DIR"/scenarios/*; do
    printf '%-30s %s\n' "$(basename "$file")" "$(sed -n 's/^# *//p' "$file" | head -n 1)"
  done
  exit 0
fi

[ -n "${WINEPREFIX:-}" ] || die "WINEPREFIX is not set"
STATE=${QVLAB_STATE:-$WINEPREFIX/quenvale-lab}
# The real userland's cache (real/userland.sh): built once, shared by labs.
USERLAND=${QVLAB_USERLAND:-$REPO_DIR/build/lab-userland}
SYSTEM32="$WINEPREFIX/drive_c/windows/system32"
DOCKER_DESKTOP_DIR="$WINEPREFIX/drive_c/Program Files/Docker/Docker"
MARKER="$STATE/.quenvale-lab"
. "$LAB_DIR/sim/conf.sh"
. "$LAB_DIR/sim/machine.sh"
. "$LAB_DIR/real/distro.sh"
# machine.sh's LIB is the state's copy; while setting up, the source's.
LIB="$STATE/lib"

require_state() {
  [ -f "$MARKER" ] || die "no lab in $STATE (lab.sh setup SCENARIO first)"
}

# Everything a lab placed goes: the namespaces of its real distributions
# (every process in them with their first one) and their overlays, then
# the files. A mount left under the state would stop it.
remove_state() {
  if [ -e "$STATE" ]; then
    [ -f "$MARKER" ] || die "$STATE exists and is not a lab; not removing it"
    for _dir in "$STATE"/distros/*/; do
      [ -d "$_dir" ] && real_teardown "$(basename "$_dir")"
    done
    _left=$(awk -v state="$STATE/" 'index($2, state) == 1 { print $2 }' /proc/self/mounts)
    [ -z "$_left" ] || die "still mounted under $STATE: $_left"
    rm -rf "$STATE"
  fi
}

# The scenario's settings, comments and blank lines dropped, overrides last.
read_scenario() { # FILE OVERRIDES...
  _file=$1
  shift
  sed -e 's/[[:space:]]*#.*$//' -e '/^[[:space:]]*$/d' "$_file"
  for _override in "$@"; do
    case "$_override" in
      *=*) printf '%s\n' "$_override" ;;
      *) die "not KEY=VALUE: $_override" ;;
    esac
  done
}

new_token() {
  printf 'qvt_lab_%s\n' "$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
}

# A new one-time code: the token goes into the service's issued list.
issue_code() { # BASE NAME
  _token=$(new_token)
  printf '%s\n' "$_token" >>"$STATE/service/issued"
  if [ -n "$2" ]; then
    printf 'qvw1|%s|%s|%s\n' "$1" "$_token" "$(printf '%s' "$2" | base64 -w 0)"
  else
    printf 'qvw1|%s|%s\n' "$1" "$_token"
  fi
}

cmd_setup() {
  [ $# -ge 1 ] || die "usage: lab.sh setup SCENARIO [KEY=VALUE...]"
  scenario=$1
  shift
  case "$scenario" in
    */*) scenario_file=$scenario ;;
    *) scenario_file="$LAB_DIR/scenarios/$scenario" ;;
  esac
  [ -f "$scenario_file" ] || die "no scenario '$scenario' (lab.sh scenarios lists them)"
  [ -d "$SYSTEM32" ] || die "no Wine prefix at $WINEPREFIX (tools/wine-session.sh creates one)"
  [ "$(id -u)" -eq 0 ] || die "the lab needs root (chroot, mknod)"
  wsl_exe=${QVLAB_WSL_EXE:-$REPO_DIR/build/windows/lab/wsl.exe}
  [ -f "$wsl_exe" ] || die "no stand-in at $wsl_exe (build the qv_lab_wsl target, or set QVLAB_WSL_EXE)"
  busybox=$(command -v busybox || true)
  [ -n "$busybox" ] || die "busybox is missing (Debian package busybox-static)"

  remove_state
  mkdir -p "$STATE/lib" "$STATE/profiles" "$STATE/distros" "$STATE/service" "$STATE/run"
  : >"$MARKER"
  cp -R "$LAB_DIR/sim/." "$STATE/lib/"
  cp -R "$LAB_DIR/real" "$STATE/lib/real"
  cp "$busybox" "$STATE/lib/busybox"
  cp "$(command -v dash)" "$STATE/lib/dash"
  base_build || die "could not build the distributions' common root"
  read_scenario "$scenario_file" "$@" >"$STATE/scenario.conf"
  printf '%s\n' "$scenario" >"$STATE/scenario.name"
  s() { conf_get "$STATE/scenario.conf" "$@"; }

  cat >"$STATE/lab.conf" <<CONF
wsl=$(s wsl enabled)
install=$(s install ok)
install_exit=$(s install_exit -1)
reboot_pending=0
docker_desktop=$(s docker_desktop none)
first_run_on_open=$(s first_run_on_open yes)
new_user=$(s new_user alice)
timeout_cap=$(s timeout_cap 0)
userland=$USERLAND
wsl_lang=$(s wsl_lang zh-CN)
wsl_hang=$(s wsl_hang no)
CONF

  # The service: its settings, its installer and its token books, each file
  # hard-linked into every root.
  printf 'network=%s\nservice=%s\narchive=%s\ndns=%s\ntls=%s\n' "$(s network up)" "$(s service ok)" \
    "$(s archive ok)" "$(s dns up)" "$(s tls ok)" >"$STATE/service/service.conf"
  {
    sed -n '1p' "$LAB_DIR/sim/service/install.sh"
    printf 'noise_before=%s\nnoise_after=%s\n' "$(s noise_before 0)" "$(s noise_after 0)"
    sed '1d' "$LAB_DIR/sim/service/install.sh"
  } >"$STATE/service/install.sh"
  : >"$STATE/service/issued"
  : >"$STATE/service/used"
  : >"$STATE/service/enrolled"
  chmod 644 "$STATE/service/install.sh" "$STATE/service/issued" "$STATE/service/service.conf"
  chmod 666 "$STATE/service/used" "$STATE/service/enrolled"

  # Each distribution's profile: the scenario's NAME.KEY settings.
  sed -n 's/^\([A-Za-z0-9._-]*\)\.\([a-z_]*\)=\(.*\)$/\1 \2=\3/p' "$STATE/scenario.conf" |
    while read -r name setting; do
      printf '%s\n' "$setting" >>"$STATE/profiles/$name"
    done
  : >"$STATE/distros.list"
  releases=$(real_releases)
  if [ -n "$releases" ]; then
    # shellcheck disable=SC2086
    sh "$LAB_DIR/real/userland.sh" "$USERLAND" $releases >&2 || die "could not build the real userland in $USERLAND"
    for release in $releases; do
      real_archive_ahead "$release" || die "could not sign $release's Release file dated ahead"
    done
  fi
  for name in $(s distros); do
    [ -f "$STATE/profiles/$name" ] || : >"$STATE/profiles/$name"
    distro_build "$name" || die "could not build distribution $name"
    distro_register "$name"
  done
  if [ "$(s docker_desktop none)" != none ]; then
    printf 'os=docker-desktop\nuser=root\ntools=none\n' >"$STATE/profiles/docker-desktop"
    distro_build docker-desktop || die "could not build docker-desktop"
    distro_register docker-desktop
  fi
  # Another default than the first of distros (wsl --set-default).
  default_distro=$(s default_distro)
  if [ -n "$default_distro" ]; then
    grep -qxF "$default_distro" "$STATE/distros.list" || die "default_distro $default_distro is not registered"
    { printf '%s\n' "$default_distro"; grep -vxF "$default_distro" "$STATE/distros.list"; } >"$STATE/distros.list.new"
    mv "$STATE/distros.list.new" "$STATE/distros.list"
  fi
  for name in $(s distros); do
    /usr/sbin/chroot "$STATE/distros/$name/root" /bin/sh -c 'exit 0' ||
      die "$busybox does not run inside a root: the lab needs the statically linked busybox (busybox-static)"
  done

  # The Windows side: the stand-in (or its absence, or a file that is not a
  # program) and Docker Desktop's executable.
  rm -f "$SYSTEM32/wsl.exe" "$SYSTEM32/wsl-lab.conf"
  case "$(s wsl enabled)" in
    absent) ;;
    broken) printf 'This file was damaged during an update.\r\n' >"$SYSTEM32/wsl.exe" ;;
    *) cp "$wsl_exe" "$SYSTEM32/wsl.exe" ;;
  esac
  printf '%s\n' "$STATE" >"$SYSTEM32/wsl-lab.conf"
  rm -f "$DOCKER_DESKTOP_DIR/Docker Desktop.exe"
  if [ "$(s docker_desktop none)" != none ]; then
    mkdir -p "$DOCKER_DESKTOP_DIR"
    printf 'Docker Desktop (Quenvale lab placeholder)\r\n' >"$DOCKER_DESKTOP_DIR/Docker Desktop.exe"
  fi

  issue_code "$(s base https://quenvale.com)" "$(s node_name)"
}

cmd_code() {
  require_state
  base=$(conf_get "$STATE/scenario.conf" base https://quenvale.com)
  name=$(conf_get "$STATE/scenario.conf" node_name)
  while [ $# -gt 0 ]; do
    case "$1" in
      --base) base=$2; shift 2 ;;
      --name) name=$2; shift 2 ;;
      *) die "usage: lab.sh code [--base URL] [--name NAME]" ;;
    esac
  done
  issue_code "$base" "$name"
}

cmd_commands() {
  require_state
  cat "$STATE/commands.log" 2>/dev/null || true
}

cmd_reboot() {
  require_state
  # WSL's virtual machine does not survive a restart.
  for dir in "$STATE"/distros/*/; do
    [ -d "$dir" ] && real_vm_stop "$(basename "$dir")"
  done
  conf_set "$STATE/lab.conf" reboot_pending 0
  after=$(conf_get "$STATE/lab.conf" after_reboot_install)
  if [ -n "$after" ]; then
    conf_set "$STATE/lab.conf" install "$after"
    conf_set "$STATE/lab.conf" after_reboot_install ""
  fi
  case "$(conf_get "$STATE/lab.conf" wsl enabled)" in
    not-installed | vm-off) conf_set "$STATE/lab.conf" wsl enabled ;;
  esac
}

cmd_first_run() {
  require_state
  name=$(distro_resolve "${1:-Ubuntu}") || die "no distribution ${1:-Ubuntu}"
  dir="$STATE/distros/$name"
  [ "$(conf_get "$dir/conf" first_run done)" = pending ] || die "$name has no pending first-run set-up"
  first_run_complete "$name"
}

# Settings that change while the lab runs, as a PC changes: what the
# distributions can reach (network, service, archive, dns, tls: the real
# servers and the simulated tools read them at every request), and of a
# real distribution its apt lock (DISTRO.apt=ok ends the apt that holds it)
# and its disk (DISTRO.disk=MB, when its profile set a size).
cmd_set() {
  require_state
  [ $# -ge 1 ] || die "usage: lab.sh set KEY=VALUE..."
  for setting in "$@"; do
    key=${setting%%=*}
    value=${setting#*=}
    [ "$key" != "$setting" ] || die "not KEY=VALUE: $setting"
    case "$key" in
      network | service | archive | dns | tls)
        # In place: the simulated roots hold the file as a hard link.
        { grep -v "^$key=" "$STATE/service/service.conf" || true; printf '%s=%s\n' "$key" "$value"; } \
          >"$STATE/service/service.conf.new"
        cat "$STATE/service/service.conf.new" >"$STATE/service/service.conf"
        rm -f "$STATE/service/service.conf.new"
        while IFS= read -r name; do
          if [ -n "$name" ] && real_distro "$name"; then real_network_apply "$name"; fi
        done <"$STATE/distros.list"
        ;;
      *.apt | *.disk)
        name=$(distro_resolve "${key%.*}") || die "no distribution ${key%.*}"
        real_distro "$name" || die "$key: only a real distribution's can change while the lab runs"
        case "${key##*.}=$value" in
          apt=ok) real_apt_release "$name" || die "could not end the apt that holds $name's lock" ;;
          apt=locked) real_apt_hold "$name" || die "could not hold $name's apt lock" ;;
          disk=*) real_disk_resize "$name" "$value" || die "could not resize $name's disk" ;;
          *) die "$key=$value cannot be set while the lab runs" ;;
        esac
        conf_set "$STATE/profiles/$name" "${key##*.}" "$value"
        ;;
      *) die "$key cannot change while the lab runs" ;;
    esac
  done
}

cmd_exec() {
  require_state
  [ $# -ge 2 ] || die "usage: lab.sh exec DISTRO [USER] -- ARGV..."
  distro=$1
  user=""
  shift
  if [ "$1" != -- ]; then user=$1; shift; fi
  [ "${1-}" = -- ] || die "usage: lab.sh exec DISTRO [USER] -- ARGV..."
  run="$STATE/run/exec-$$"
  : >"$run.in"
  : >"$run.out"
  : >"$run.msg"
  sh "$STATE/lib/wslhost.sh" "$STATE" "$run" run "$distro" "$user" "$@" || true
  cat "$run.out" "$run.msg"
  rc=$(cat "$run.rc" 2>/dev/null || echo -1)
  rm -f "$run.in" "$run.out" "$run.msg" "$run.rc"
  exit $((rc & 255))
}

cmd_status() {
  require_state
  echo "scenario: $(cat "$STATE/scenario.name")"
  echo "state: $STATE"
  sed 's/^/windows: /' "$STATE/lab.conf"
  if [ -f "$SYSTEM32/wsl.exe" ]; then echo "wsl.exe: present"; else echo "wsl.exe: absent"; fi
  default=$(distro_default)
  while IFS= read -r name; do
    [ -n "$name" ] || continue
    dir="$STATE/distros/$name"
    flags=""
    [ "$name" = "$default" ] && flags=" (default)"
    user=$(conf_get "$dir/conf" default_user)
    extra=""
    if real_distro "$name"; then
      userland=real
      packages=$(real_packages "$name" | awk '$1 ~ /^(ca-certificates|curl|python3|docker\.io)$/ { printf "%s,", $1 }')
      docker=$(real_docker_state "$name")
      extra=" pid1=$(real_init_state "$name")"
    else
      userland=busybox
      packages=$(tr '\n' ',' <"$dir/root/var/lib/qvlab/packages")
      docker=none
      if [ -x "$dir/root/usr/bin/dockerd" ]; then
        docker=stopped
        [ -e "$dir/root/var/lib/qvlab/dockerd.up" ] && docker=running
      fi
    fi
    echo "distro: $name$flags userland=$userland wsl=$(conf_get "$dir/conf" version 2) user=${user:-root}" \
      "first_run=$(conf_get "$dir/conf" first_run done) packages=$packages" \
      "docker=$docker docker_group=$(awk -F: '$1 == "docker" { print $4 }' "$dir/root/etc/group")$extra"
  done <"$STATE/distros.list"
  echo "tokens: $(grep -c . "$STATE/service/issued" || true) issued, $(grep -c . "$STATE/service/used" || true) used"
  sed 's/^/enrolled: /' "$STATE/service/enrolled"
}

# Every installed package of DISTRO, one a line (with its version on a
# real userland): what an attempt may change only after a Yes.
cmd_packages() {
  require_state
  name=$(distro_resolve "${1:-Ubuntu}") || die "no distribution ${1:-Ubuntu}"
  if real_distro "$name"; then
    real_packages "$name"
  else
    cat "$STATE/distros/$name/root/var/lib/qvlab/packages"
  fi
}

# What must not outlive an attempt, one finding a line: a file that a
# distribution keeps and that holds TOKEN, a copy of install.sh left in a
# distribution's /tmp, and the command lines that carried TOKEN while the
# real service saw it enroll. Prints nothing when all is well.
cmd_leftovers() {
  require_state
  [ $# -eq 1 ] && [ -n "$1" ] || die "usage: lab.sh leftovers TOKEN"
  while IFS= read -r name; do
    [ -n "$name" ] || continue
    if real_distro "$name"; then
      kept=$(real_kept_files "$name")
    else
      kept="$STATE/distros/$name/root"
    fi
    # The simulated roots hold the service's books (hard links) in /var/lib/qvlab.
    grep -rlF --exclude-dir=qvlab -- "$1" "$kept" 2>/dev/null | sed "s|^|$name: holds the token: |"
    if [ -d "$kept/tmp" ]; then
      find "$kept/tmp" -type f -exec cmp -s "$STATE/service/install.sh" {} \; -print |
        sed "s|^|$name: install.sh left behind: |"
    fi
  done <"$STATE/distros.list"
  sed 's/^/token on a command line: /' "$STATE/service/leaks" 2>/dev/null || true
}

# The stuck WSL service recovers: the calls that wait on it go on as if
# nothing had happened, and later ones do not wait. A call that is on its
# way is waited for (20 s); that none ever waited is an error.
cmd_wake() {
  require_state
  tries=0
  while ! ls "$STATE"/run/*.stuck >/dev/null 2>&1 && [ $tries -lt 100 ]; do
    sleep 0.2
    tries=$((tries + 1))
  done
  conf_set "$STATE/lab.conf" wsl_hang no
  ls "$STATE"/run/*.stuck >/dev/null 2>&1 || die "no wsl.exe call was waiting on the WSL service"
}

cmd_teardown() {
  if [ -f "$SYSTEM32/wsl-lab.conf" ]; then
    rm -f "$SYSTEM32/wsl.exe" "$SYSTEM32/wsl-lab.conf"
  fi
  if grep -q 'Quenvale lab placeholder' "$DOCKER_DESKTOP_DIR/Docker Desktop.exe" 2>/dev/null; then
    rm -f "$DOCKER_DESKTOP_DIR/Docker Desktop.exe"
    rmdir "$DOCKER_DESKTOP_DIR" "$(dirname "$DOCKER_DESKTOP_DIR")" 2>/dev/null || true
  fi
  remove_state
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
  setup) cmd_setup "$@" ;;
  code) cmd_code "$@" ;;
  commands) cmd_commands ;;
  reboot) cmd_reboot ;;
  first-run) cmd_first_run "$@" ;;
  wake) cmd_wake ;;
  set) cmd_set "$@" ;;
  exec) cmd_exec "$@" ;;
  status) cmd_status ;;
  packages) cmd_packages "$@" ;;
  leftovers) cmd_leftovers "$@" ;;
  teardown) cmd_teardown ;;
esac
