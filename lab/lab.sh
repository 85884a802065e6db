#!/bin/sh
# The WSL lab: a Wine prefix whose system32\wsl.exe is the lab's stand-in,
# a WSL service on the Linux side with its distributions (of two kinds:
# busybox roots, or a real Debian userland in namespaces of its own) and
# the Quenvale service, set up from a named scenario.
#
#   lab.sh setup SCENARIO [KEY=VALUE...]   a fresh lab; prints a valid code
#   lab.sh code [--base URL] [--name NAME] a new valid one-time code
#   lab.sh commands                        every command line wsl.exe received
#   lab.sh runs                            each wsl.exe call as it ended: NAME:CODE (NAME!CODE: no shell ran)
#   lab.sh reboot                          Windows restarts
#   lab.sh first-run [DISTRO]              the user completes Ubuntu's first-run set-up
#   lab.sh wake                            the stuck WSL service (wsl_hang=yes) answers the calls waiting
#   lab.sh set KEY=VALUE...                the PC changes while the lab runs (a fault
#                                          goes away, or comes): the keys whose
#                                          "when" is live (lab.sh settings)
#   lab.sh exec DISTRO [USER] -- ARGV...   ARGV inside DISTRO, as wsl.exe would run it
#   lab.sh status                          the state of the PC and its distributions
#   lab.sh await DISTRO STATE [SECONDS]    waits until DISTRO is Running or Stopped (30 s)
#   lab.sh stays DISTRO STATE SECONDS      fails unless DISTRO stays Running or Stopped
#   lab.sh packages [DISTRO]               the packages installed in DISTRO
#   lab.sh leftovers [TOKEN]               what an attempt left behind that it must not
#                                          (every token issued, without TOKEN)
#   lab.sh scenarios                       the scenarios and what each is
#   lab.sh settings                        every key a scenario may set, as a table
#   lab.sh teardown                        removes everything setup placed
#
# WINEPREFIX names the prefix (it must exist; tools/wine-session.sh makes
# one). The state lives in QVLAB_STATE, by default $WINEPREFIX/quenvale-lab.
# The stand-in is taken from QVLAB_WSL_EXE, by default
# build/windows/lab/wsl.exe of this checkout. A real distribution's
# userland is cached in QVLAB_USERLAND, by default build/lab-userland of
# this checkout, and built there by the first setup that needs it. Needs
# root (chroot, mknod, mount, namespaces, cgroups).
set -eu
LC_ALL=C
export LC_ALL

LAB_DIR=$(cd "$(dirname "$0")" && pwd)
REPO_DIR=$(dirname "$LAB_DIR")
. "$LAB_DIR/wsl/basics.sh"

die() {
  echo "lab.sh: $*" >&2
  exit 1
}

usage() {
  sed -n '2,/^set -eu/p' "$0" | sed -e '/^set -eu/d' -e 's/^# \{0,1\}//' >&2
  exit 2
}

cmd_scenarios() {
  for file in "$LAB_DIR"/scenarios/*; do
    printf '%-30s %s\n' "$(basename "$file")" "$(sed -n 's/^# *//p' "$file" | head -n 1)"
  done
}

cmd_settings() {
  "$PYTHON" "$LAB_DIR/settings.py" table
}

# The command: a function cmd_NAME of this file (first-run: cmd_first_run).
command=$(printf '%s' "${1:-}" | tr - _)
grep -q "^cmd_$command() {" "$0" || usage
[ $# -gt 0 ] && shift
case "$command" in
  scenarios | settings) "cmd_$command" && exit 0 ;;
esac

[ -n "${WINEPREFIX:-}" ] || die "WINEPREFIX is not set"
STATE=${QVLAB_STATE:-$WINEPREFIX/quenvale-lab}
SYSTEM32="$WINEPREFIX/drive_c/windows/system32"
DOCKER_DESKTOP_DIR="$WINEPREFIX/drive_c/Program Files/Docker/Docker"
MARKER="$STATE/.quenvale-lab"
LIB="$STATE/lib"
# Where the lab is set up from, for a kind that needs more of the checkout.
QVLAB_CHECKOUT=$REPO_DIR
export QVLAB_CHECKOUT

# The WSL layer, once the state holds its copy of the lab's files.
load_wsl() {
  . "$LIB/wsl/basics.sh"
  . "$LIB/wsl/registry.sh"
  . "$LIB/wsl/instance.sh"
  . "$LIB/wsl/kinds.sh"
}

require_state() {
  [ -f "$MARKER" ] || die "no lab in $STATE (lab.sh setup SCENARIO first)"
  load_wsl
}

pc_get() {
  conf_get "$STATE/lab.conf" "$@"
}

# Everything a lab placed goes, whatever a setup cut short left behind. A
# mount left under the state would stop it.
remove_state() {
  [ -e "$STATE" ] || return 0
  [ -f "$MARKER" ] || die "$STATE exists and is not a lab; not removing it"
  if [ -f "$LIB/wsl/instance.sh" ]; then
    load_wsl
    lab_teardown
  fi
  _left=$(awk -v state="$STATE/" 'index($2, state) == 1 { print $2 }' /proc/self/mounts)
  [ -z "$_left" ] || die "still mounted under $STATE: $_left"
  rm -rf "$STATE"
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
  # Nothing is built, and no lab is taken down, for a scenario with a
  # setting the lab would not honour.
  resolved=$(mktemp -d)
  if ! "$PYTHON" "$LAB_DIR/settings.py" resolve "$scenario_file" "$resolved" "$@"; then
    rm -rf "$resolved"
    die "scenario $scenario refused; nothing was set up"
  fi

  remove_state
  mkdir -p "$LIB" "$STATE/distros" "$STATE/service" "$STATE/run"
  : >"$MARKER"
  : >"$STATE/cgroups"
  cp -R "$LAB_DIR/wsl" "$LAB_DIR/kinds" "$LAB_DIR/service" "$LAB_DIR/settings.py" "$LAB_DIR/windows/zh-CN.txt" "$LIB/"
  mv "$resolved/lab.conf" "$resolved/network.conf" "$resolved/profiles" "$STATE/"
  rm -rf "$resolved"
  printf '%s\n' "$scenario" >"$STATE/scenario.name"
  printf 'reboot_pending=0\n' >>"$STATE/lab.conf"
  load_wsl

  # The service: its installer and its token books.
  {
    sed -n '1p' "$LAB_DIR/service/install.sh"
    printf 'noise_before=%s\nnoise_after=%s\n' "$(pc_get noise_before)" "$(pc_get noise_after)"
    sed '1d' "$LAB_DIR/service/install.sh"
  } >"$STATE/service/install.sh"
  : >"$STATE/service/issued"
  : >"$STATE/service/used"
  : >"$STATE/service/enrolled"
  chmod 644 "$STATE/service/install.sh" "$STATE/network.conf"

  : >"$STATE/distros.list"
  kinds_prepare || die "could not prepare the lab's kinds of distribution"
  for name in $(pc_get distros); do
    kind_do build "$name" || die "could not build distribution $name"
    distro_register "$name"
    # The lab's setup was the provider's last use: the distribution idles
    # out from now, unless something it left runs on.
    if kind_do running "$name"; then distro_watch "$name"; fi
  done
  if [ -f "$STATE/profiles/docker-desktop" ]; then
    kind_do build docker-desktop || die "could not build docker-desktop"
    conf_set "$STATE/distros/docker-desktop/conf" first_run done
    distro_register docker-desktop
    distro_watch docker-desktop
  fi
  # Another default than the first of distros (wsl --set-default).
  default_distro=$(pc_get default_distro)
  if [ -n "$default_distro" ]; then
    grep -qxF "$default_distro" "$STATE/distros.list" || die "default_distro $default_distro is not registered"
    { printf '%s\n' "$default_distro"; grep -vxF "$default_distro" "$STATE/distros.list"; } >"$STATE/distros.list.new"
    mv "$STATE/distros.list.new" "$STATE/distros.list"
  fi

  cp "$wsl_exe" "$LIB/wsl.exe"
  printf '%s\n' "$STATE" >"$SYSTEM32/wsl-lab.conf"
  place_windows_files

  issue_code "$(pc_get base)" "$(pc_get node_name)"
}

# Windows' files as the PC's keys have them: system32\wsl.exe (the stand-in,
# none, or a file that is not a program) and Docker Desktop's executable.
place_windows_files() {
  rm -f "$SYSTEM32/wsl.exe" "$DOCKER_DESKTOP_DIR/Docker Desktop.exe"
  case "$(pc_get wsl)" in
    absent) ;;
    broken) printf 'This file was damaged during an update.\r\n' >"$SYSTEM32/wsl.exe" ;;
    *) cp "$LIB/wsl.exe" "$SYSTEM32/wsl.exe" ;;
  esac
  if [ "$(pc_get docker_desktop)" != none ]; then
    mkdir -p "$DOCKER_DESKTOP_DIR"
    printf 'Docker Desktop (Quenvale lab placeholder)\r\n' >"$DOCKER_DESKTOP_DIR/Docker Desktop.exe"
  fi
}

cmd_code() {
  require_state
  base=$(conf_get "$STATE/lab.conf" base)
  name=$(conf_get "$STATE/lab.conf" node_name)
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

cmd_runs() {
  require_state
  cat "$STATE/runs.log" 2>/dev/null || true
}

# Windows restarts: every distribution stops at once, as WSL's VM goes with
# Windows; the next call boots each again.
cmd_reboot() {
  require_state
  while IFS= read -r name; do
    [ -n "$name" ] && distro_stop "$name" hard
  done <"$STATE/distros.list"
  conf_set "$STATE/lab.conf" reboot_pending 0
  # What waited for this restart, and WSL's service failing heals with it.
  for key in install wsl; do
    after=$(pc_get "${key}_at_restart")
    [ -z "$after" ] || conf_set "$STATE/lab.conf" "$key" "$after"
    conf_set "$STATE/lab.conf" "${key}_at_restart" ""
  done
  [ "$(pc_get wsl)" != service-failing ] || conf_set "$STATE/lab.conf" wsl enabled
  place_windows_files
}

cmd_first_run() {
  require_state
  name=$(distro_resolve "${1:-Ubuntu}") || die "no distribution ${1:-Ubuntu}"
  [ "$(conf_get "$STATE/distros/$name/conf" first_run)" = pending ] || die "$name has no pending first-run set-up"
  first_run_complete "$name"
}

# Settings that change while the lab runs, as a PC changes: what the
# distributions can reach (the network's keys, read at every request), and
# a distribution's live keys (NAME.KEY, or a bare KEY for every
# distribution that honours it). All are checked before any applies.
cmd_set() {
  require_state
  [ $# -ge 1 ] || die "usage: lab.sh set KEY=VALUE..."
  plan=$("$PYTHON" "$LIB/settings.py" set "$STATE" "$@") || exit 1
  while read -r where name key value; do
    case "$where" in
      distro)
        kind_do set "$name" "$key" "$value" || die "could not set $name.$key=$value"
        conf_set "$STATE/profiles/$name" "$key" "$value"
        continue
        ;;
      net) conf_set "$STATE/network.conf" "$key" "$value" ;;
      # What WSL needs a restart for (the firmware, the network stack,
      # WSL's own components) changes at the next one.
      pc)
        case "$key=$(pc_get "$key")" in
          wsl=not-installed | wsl=vm-off | wsl=winsock-lsp) conf_set "$STATE/lab.conf" wsl_at_restart "$value" ;;
          *) conf_set "$STATE/lab.conf" "$key" "$value" ;;
        esac
        place_windows_files
        ;;
    esac
    while IFS= read -r each; do
      [ -n "$each" ] && kind_do refresh "$each"
    done <"$STATE/distros.list"
  done <<PLAN
$plan
PLAN
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
  sh "$LIB/wsl/wslservice.sh" "$STATE" "$run" run "$distro" "$user" "$@" || true
  cat "$run.out" "$run.msg"
  [ ! -s "$run.err" ] || cat "$run.err" >&2
  rc=$(cat "$run.rc" 2>/dev/null || echo -1)
  rm -f "$run.in" "$run.out" "$run.msg" "$run.err" "$run.rc" "$run.started"
  exit $((rc & 255))
}

cmd_status() {
  require_state
  echo "scenario: $(cat "$STATE/scenario.name")"
  echo "state: $STATE"
  sed 's/^/windows: /' "$STATE/lab.conf"
  sed 's/^/network: /' "$STATE/network.conf"
  if [ -f "$SYSTEM32/wsl.exe" ]; then echo "wsl.exe: present"; else echo "wsl.exe: absent"; fi
  default=$(distro_default)
  while IFS= read -r name; do
    [ -n "$name" ] || continue
    dir="$STATE/distros/$name"
    flags=""
    [ "$name" = "$default" ] && flags=" (default)"
    user=$(conf_get "$dir/conf" default_user)
    packages=$(kind_do packages "$name" | awk -v wanted="$STACK" '
      BEGIN { n = split(wanted, w, " "); for (i = 1; i <= n; i++) want[w[i]] = 1 }
      $1 in want { printf "%s,", $1 }')
    extra=$(kind_do status "$name")
    echo "distro: $name$flags kind=$(kind_of "$name") state=$(distro_state "$name") wsl=$(conf_get "$dir/conf" version)" \
      "user=${user:-root} first_run=$(conf_get "$dir/conf" first_run) packages=$packages" \
      "docker=$(kind_do docker_state "$name") docker_group=$(awk -F: '$1 == "docker" { print $4 }' "$dir/root/etc/group")${extra:+ $extra}"
  done <"$STATE/distros.list"
  echo "tokens: $(grep -c . "$STATE/service/issued" || true) issued, $(grep -c . "$STATE/service/used" || true) used"
  sed 's/^/enrolled: /' "$STATE/service/enrolled"
}

in_state() { # NAME STATE
  [ "$(distro_state "$1")" = "$2" ]
}

# Waits until DISTRO is in STATE (Running or Stopped), or fails after SECONDS.
cmd_await() {
  require_state
  [ $# -ge 2 ] || die "usage: lab.sh await DISTRO Running|Stopped [SECONDS]"
  name=$(distro_resolve "$1") || die "no distribution $1"
  case "$2" in Running | Stopped) ;; *) die "a state is Running or Stopped, not $2" ;; esac
  wait_until "${3:-30}" in_state "$name" "$2" || die "$name is still $(distro_state "$name") after ${3:-30} s"
}

# Fails as soon as DISTRO is not in STATE, within SECONDS.
cmd_stays() {
  require_state
  [ $# -eq 3 ] || die "usage: lab.sh stays DISTRO Running|Stopped SECONDS"
  name=$(distro_resolve "$1") || die "no distribution $1"
  case "$2" in Running | Stopped) ;; *) die "a state is Running or Stopped, not $2" ;; esac
  other=Running
  [ "$2" = Running ] && other=Stopped
  started=$(now_ms)
  if wait_until "$3" in_state "$name" "$other"; then
    die "$name is $other after $((($(now_ms) - started) / 1000)) s, not $2"
  fi
}

# Every installed package of DISTRO, one a line (with its version on a
# real userland): what an attempt may change only after a Yes.
cmd_packages() {
  require_state
  name=$(distro_resolve "${1:-Ubuntu}") || die "no distribution ${1:-Ubuntu}"
  kind_do packages "$name"
}

# What must not outlive an attempt, one finding a line: a file that a
# distribution keeps and that holds a token (TOKEN, or each one issued), a
# copy of install.sh left in a distribution's /tmp, and the command lines
# that carried a token while the service saw a node enroll. Prints nothing
# when all is well.
cmd_leftovers() {
  require_state
  [ $# -le 1 ] || die "usage: lab.sh leftovers [TOKEN]"
  if [ $# -eq 1 ]; then
    [ -n "$1" ] || die "usage: lab.sh leftovers [TOKEN]"
    printf '%s\n' "$1" >"$STATE/run/tokens"
  else
    grep . "$STATE/service/issued" >"$STATE/run/tokens" || true
  fi
  while IFS= read -r name; do
    [ -n "$name" ] || continue
    kept=$(kind_do kept "$name")
    # The lab's own machinery in a root lives in /var/lib/qvlab.
    if [ -s "$STATE/run/tokens" ]; then
      grep -rlF --exclude-dir=qvlab -f "$STATE/run/tokens" "$kept" 2>/dev/null | sed "s|^|$name: holds a token: |"
    fi
    if [ -d "$kept/tmp" ]; then
      find "$kept/tmp" -type f -exec cmp -s "$STATE/service/install.sh" {} \; -print |
        sed "s|^|$name: install.sh left behind: |"
    fi
  done <"$STATE/distros.list"
  sed 's/^/a token on a command line: /' "$STATE/service/leaks" 2>/dev/null || true
  rm -f "$STATE/run/tokens"
}

# The stuck WSL service recovers: the calls that wait on it go on as if
# nothing had happened, and later ones do not wait. A call that is on its
# way is waited for (20 s); that none ever waited is an error.
cmd_wake() {
  require_state
  waiting=0
  wait_until 20 sh -c 'ls "$1"/run/*.stuck >/dev/null 2>&1' sh "$STATE" && waiting=1
  conf_set "$STATE/lab.conf" wsl_hang no
  [ $waiting -eq 1 ] || die "no wsl.exe call was waiting on the WSL service"
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

"cmd_$command" "$@"
