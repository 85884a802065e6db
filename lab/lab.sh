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

die() {
  echo "lab.sh: $*" >&2
  exit 1
}

usage() {
  sed -n '2,/^set -eu/p' "$0" | sed -e '/^set -eu/d' -e 's/^# \{0,1\}//' >&2
  exit 2
}
case "${1:-}" in
  setup | code | commands | runs | reboot | first-run | wake | set | exec | status | await | stays | packages | leftovers | \
    scenarios | settings | teardown) ;;
  *) usage ;;
esac

. "$LAB_DIR/wsl/settings.sh"

if [ "$1" = scenarios ]; then
  for file in "$LAB_DIR"/scenarios/*; do
    printf '%-30s %s\n' "$(basename "$file")" "$(sed -n 's/^# *//p' "$file" | head -n 1)"
  done
  exit 0
fi
if [ "$1" = settings ]; then
  settings_markdown
  exit 0
fi

[ -n "${WINEPREFIX:-}" ] || die "WINEPREFIX is not set"
STATE=${QVLAB_STATE:-$WINEPREFIX/quenvale-lab}
# The real userland's cache (kinds/real/userland.sh): built once, shared by labs.
USERLAND=${QVLAB_USERLAND:-$REPO_DIR/build/lab-userland}
SYSTEM32="$WINEPREFIX/drive_c/windows/system32"
DOCKER_DESKTOP_DIR="$WINEPREFIX/drive_c/Program Files/Docker/Docker"
MARKER="$STATE/.quenvale-lab"
LIB="$STATE/lib"

# The WSL layer, once the state holds its copy of the lab's files.
load_registry() {
  . "$LIB/wsl/registry.sh"
}

require_state() {
  [ -f "$MARKER" ] || die "no lab in $STATE (lab.sh setup SCENARIO first)"
  load_registry
}

# Everything a lab placed goes: every process and mount of its
# distributions, their cgroups, then the files. A mount left under the
# state would stop it.
remove_state() {
  if [ -e "$STATE" ]; then
    [ -f "$MARKER" ] || die "$STATE exists and is not a lab; not removing it"
    if [ -f "$LIB/wsl/registry.sh" ]; then
      load_registry
      for _dir in "$STATE"/distros/*/; do
        [ -d "$_dir" ] && distro_teardown "$(basename "$_dir")"
      done
    fi
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
    printf '%s\n' "$_override"
  done
}

# Sorts the scenario's settings (scenario.conf in DIR) into DIR/lab.conf,
# DIR/network.conf and one DIR/profiles/NAME per distribution of the
# scenario (those of distros, and Ubuntu, which the WSL installer
# registers), a bare distro key first so that NAME.KEY wins. Every setting
# is checked against the table of settings.sh; each refusal is printed,
# and any fails the whole.
scenario_resolve() { # DIR
  _out=$1
  _refused=0
  _names=$( (printf '%s\n' $(conf_get "$_out/scenario.conf" distros) Ubuntu) | awk 'NF && !seen[$0]++')
  mkdir -p "$_out/profiles"
  : >"$_out/bare"
  : >"$_out/dotted"
  while IFS= read -r _line; do
    _key=${_line%%=*}
    _value=${_line#*=}
    if [ "$_key" = "$_line" ] || [ -z "$_key" ]; then
      echo "lab.sh: $_line: not KEY=VALUE" >&2
      _refused=1
      continue
    fi
    case "$_key" in
      *.*)
        _name=${_key%.*}
        if ! printf '%s\n' "$_names" | grep -qxF "$_name"; then
          echo "lab.sh: $_key: no distribution $_name in this scenario (distros=$(conf_get "$_out/scenario.conf" distros); Ubuntu's keys describe the one the WSL installer registers)" >&2
          _refused=1
        elif [ -z "$(settings_row distro "${_key##*.}" any)" ]; then
          echo "lab.sh: $_key: no such distribution setting (lab.sh settings lists them)" >&2
          _refused=1
        else
          printf '%s %s=%s\n' "$_name" "${_key##*.}" "$_value" >>"$_out/dotted"
        fi
        ;;
      *)
        if [ -n "$(settings_row pc "$_key" any)" ]; then
          _why=$(settings_refusal pc "$_key" "$_value") || { echo "lab.sh: $_why" >&2; _refused=1; }
        elif [ -n "$(settings_row distro "$_key" any)" ]; then
          printf '%s=%s\n' "$_key" "$_value" >>"$_out/bare"
        else
          echo "lab.sh: $_key: no such setting (lab.sh settings lists them)" >&2
          _refused=1
        fi
        ;;
    esac
  done <"$_out/scenario.conf"

  for _name in $_names; do
    cp "$_out/bare" "$_out/profiles/$_name"
    awk -v name="$_name" '$1 == name { sub(/^[^ ]* /, ""); print }' "$_out/dotted" >>"$_out/profiles/$_name"
    _kind=$(conf_get "$_out/profiles/$_name" kind busybox)
    while IFS= read -r _line; do
      _why=$(settings_refusal distro "${_line%%=*}" "${_line#*=}" "$_kind" "$_name") ||
        { echo "lab.sh: $_why" >&2; _refused=1; }
    done <"$_out/profiles/$_name"
    settings_complete "$_out/profiles/$_name"
  done

  # Docker Desktop's own distribution, when it is installed.
  if [ "$(conf_get "$_out/scenario.conf" docker_desktop none)" != none ]; then
    printf 'kind=busybox\nos=docker-desktop\nuser=none\ntools=none\nsystemd=no\n' >"$_out/profiles/docker-desktop"
    settings_complete "$_out/profiles/docker-desktop"
  fi

  # The PC: every pc key with its value, the live ones in network.conf.
  : >"$_out/lab.conf"
  : >"$_out/network.conf"
  settings_table | awk -F'|' '$1 == "pc" { print $2 "|" $3 "|" $5 "|" $6 }' |
    while IFS='|' read -r _key _kinds _default _when; do
      _value=$(conf_get "$_out/scenario.conf" "$_key" "$_default")
      if [ "$_when" = live ]; then _file=network.conf; else _file=lab.conf; fi
      printf '%s=%s\n' "$_key" "$_value" >>"$_out/$_file"
      # A key only some kinds honour may not change a distribution of another.
      [ "$_kinds" != all ] && [ "$_value" != "$_default" ] || continue
      for _name in $_names; do
        _kind=$(conf_get "$_out/profiles/$_name" kind busybox)
        case ",$_kinds," in *",$_kind,"*) ;; *)
          echo "lab.sh: $_key=$_value: a $_kind distribution ($_name) cannot honour it; only $_kinds ones do" >&2
          echo refused >"$_out/refused" ;;
        esac
      done
    done
  [ ! -f "$_out/refused" ] && [ $_refused -eq 0 ]
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

  # Nothing is built, and no lab is taken down, for a scenario with a
  # setting the lab would not honour.
  resolved=$(mktemp -d)
  read_scenario "$scenario_file" "$@" >"$resolved/scenario.conf"
  if ! scenario_resolve "$resolved"; then
    rm -rf "$resolved"
    die "scenario $scenario refused; nothing was set up"
  fi

  remove_state
  mkdir -p "$STATE/lib" "$STATE/distros" "$STATE/service" "$STATE/run"
  : >"$MARKER"
  cp -R "$LAB_DIR/wsl" "$LAB_DIR/kinds" "$LAB_DIR/service" "$STATE/lib/"
  cp "$busybox" "$STATE/lib/busybox"
  cp "$(command -v dash)" "$STATE/lib/dash"
  mv "$resolved/scenario.conf" "$resolved/lab.conf" "$resolved/network.conf" "$resolved/profiles" "$STATE/"
  rm -rf "$resolved"
  printf '%s\n' "$scenario" >"$STATE/scenario.name"
  printf 'reboot_pending=0\nuserland=%s\nsource=%s\n' "$USERLAND" "$REPO_DIR" >>"$STATE/lab.conf"
  load_registry
  pc() { conf_get "$STATE/lab.conf" "$@"; }

  # The service: its installer and its token books.
  {
    sed -n '1p' "$LAB_DIR/service/install.sh"
    printf 'noise_before=%s\nnoise_after=%s\n' "$(pc noise_before)" "$(pc noise_after)"
    sed '1d' "$LAB_DIR/service/install.sh"
  } >"$STATE/service/install.sh"
  : >"$STATE/service/issued"
  : >"$STATE/service/used"
  : >"$STATE/service/enrolled"
  chmod 644 "$STATE/service/install.sh" "$STATE/network.conf"

  : >"$STATE/distros.list"
  # What each kind of the scenario's distributions shares, made once.
  for kind in $(sed -n 's/^kind=//p' "$STATE"/profiles/* | sort -u); do
    "${kind}_prepare" || die "could not prepare the $kind kind"
  done
  for name in $(pc distros); do
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
  default_distro=$(pc default_distro)
  if [ -n "$default_distro" ]; then
    grep -qxF "$default_distro" "$STATE/distros.list" || die "default_distro $default_distro is not registered"
    { printf '%s\n' "$default_distro"; grep -vxF "$default_distro" "$STATE/distros.list"; } >"$STATE/distros.list.new"
    mv "$STATE/distros.list.new" "$STATE/distros.list"
  fi

  # The Windows side: the stand-in (or its absence, or a file that is not a
  # program) and Docker Desktop's executable.
  rm -f "$SYSTEM32/wsl.exe" "$SYSTEM32/wsl-lab.conf"
  case "$(pc wsl)" in
    absent) ;;
    broken) printf 'This file was damaged during an update.\r\n' >"$SYSTEM32/wsl.exe" ;;
    *) cp "$wsl_exe" "$SYSTEM32/wsl.exe" ;;
  esac
  printf '%s\n' "$STATE" >"$SYSTEM32/wsl-lab.conf"
  rm -f "$DOCKER_DESKTOP_DIR/Docker Desktop.exe"
  if [ "$(pc docker_desktop)" != none ]; then
    mkdir -p "$DOCKER_DESKTOP_DIR"
    printf 'Docker Desktop (Quenvale lab placeholder)\r\n' >"$DOCKER_DESKTOP_DIR/Docker Desktop.exe"
  fi

  issue_code "$(pc base)" "$(pc node_name)"
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
  [ "$(conf_get "$STATE/distros/$name/conf" first_run done)" = pending ] || die "$name has no pending first-run set-up"
  first_run_complete "$name"
}

# Settings that change while the lab runs, as a PC changes: what the
# distributions can reach (the network's keys, read at every request), and
# a distribution's live keys (NAME.KEY, or a bare KEY for every
# distribution that honours it).
cmd_set() {
  require_state
  [ $# -ge 1 ] || die "usage: lab.sh set KEY=VALUE..."
  for setting in "$@"; do
    key=${setting%%=*}
    value=${setting#*=}
    [ "$key" != "$setting" ] || die "not KEY=VALUE: $setting"
    case "$key" in
      *.*)
        name=$(distro_resolve "${key%.*}") || die "$key: no distribution ${key%.*}"
        set -- "$name"
        key=${key##*.}
        ;;
      *)
        if [ -n "$(settings_row pc "$key" any)" ]; then
          why=$(settings_refusal pc "$key" "$value") || die "$why"
          [ "$(settings_row pc "$key" any | cut -d'|' -f6)" = live ] || die "$key cannot change while the lab runs"
          kinds=$(settings_row pc "$key" any | cut -d'|' -f3)
          while IFS= read -r name; do
            [ -n "$name" ] && [ "$kinds" != all ] && [ "$value" != "$(settings_row pc "$key" any | cut -d'|' -f5)" ] || continue
            case ",$kinds," in *",$(kind_of "$name"),"*) ;; *) die "$key=$value: $name cannot honour it; only $kinds distributions do" ;; esac
          done <"$STATE/distros.list"
          # In place: every busybox root holds the file as a hard link.
          { grep -v "^$key=" "$STATE/network.conf" || true; printf '%s=%s\n' "$key" "$value"; } >"$STATE/run/network.conf"
          cat "$STATE/run/network.conf" >"$STATE/network.conf"
          rm -f "$STATE/run/network.conf"
          while IFS= read -r name; do
            [ -n "$name" ] && kind_do network "$name"
          done <"$STATE/distros.list"
          continue
        fi
        [ -n "$(settings_row distro "$key" any)" ] || die "$key: no such setting (lab.sh settings lists them)"
        set -- $(cat "$STATE/distros.list")
        ;;
    esac
    for name in "$@"; do
      [ "$name" != docker-desktop ] || continue
      why=$(settings_refusal distro "$key" "$value" "$(kind_of "$name")" "$name") || die "$why"
      [ "$(settings_row distro "$key" "$(kind_of "$name")" | cut -d'|' -f6)" = live ] ||
        die "$name.$key cannot change while the lab runs"
      kind_do set "$name" "$key" "$value" || die "could not set $name.$key=$value"
      conf_set "$STATE/profiles/$name" "$key" "$value"
    done
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
  sh "$LIB/wsl/wslservice.sh" "$STATE" "$run" run "$distro" "$user" "$@" || true
  cat "$run.out" "$run.msg"
  rc=$(cat "$run.rc" 2>/dev/null || echo -1)
  rm -f "$run.in" "$run.out" "$run.msg" "$run.rc"
  exit $((rc & 255))
}

# The stack a provider's distribution may need, as status summarises it.
STATUS_PACKAGES="ca-certificates curl python3 docker.io"

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
    packages=$(kind_do packages "$name" | awk -v wanted="$STATUS_PACKAGES" '
      BEGIN { n = split(wanted, w, " "); for (i = 1; i <= n; i++) want[w[i]] = 1 }
      $1 in want { printf "%s,", $1 }')
    extra=$(kind_do status "$name")
    echo "distro: $name$flags kind=$(kind_of "$name") state=$(distro_state "$name") wsl=$(conf_get "$dir/conf" version 2)" \
      "user=${user:-root} first_run=$(conf_get "$dir/conf" first_run done) packages=$packages" \
      "docker=$(kind_do docker_state "$name") docker_group=$(awk -F: '$1 == "docker" { print $4 }' "$dir/root/etc/group")${extra:+ $extra}"
  done <"$STATE/distros.list"
  echo "tokens: $(grep -c . "$STATE/service/issued" || true) issued, $(grep -c . "$STATE/service/used" || true) used"
  sed 's/^/enrolled: /' "$STATE/service/enrolled"
}

# Waits until DISTRO is in STATE (Running or Stopped), or fails after SECONDS.
cmd_await() {
  require_state
  [ $# -ge 2 ] || die "usage: lab.sh await DISTRO Running|Stopped [SECONDS]"
  name=$(distro_resolve "$1") || die "no distribution $1"
  case "$2" in Running | Stopped) ;; *) die "a state is Running or Stopped, not $2" ;; esac
  deadline=$(($(now_ms) + ${3:-30} * 1000))
  while [ "$(distro_state "$name")" != "$2" ]; do
    [ "$(now_ms)" -lt "$deadline" ] || die "$name is still $(distro_state "$name") after ${3:-30} s"
    sleep 0.2
  done
}

# Fails as soon as DISTRO is not in STATE, within SECONDS.
cmd_stays() {
  require_state
  [ $# -eq 3 ] || die "usage: lab.sh stays DISTRO Running|Stopped SECONDS"
  name=$(distro_resolve "$1") || die "no distribution $1"
  case "$2" in Running | Stopped) ;; *) die "a state is Running or Stopped, not $2" ;; esac
  started=$(now_ms)
  while [ $(($(now_ms) - started)) -lt $(($3 * 1000)) ]; do
    now=$(distro_state "$name")
    [ "$now" = "$2" ] || die "$name is $now after $((($(now_ms) - started) / 1000)) s, not $2"
    sleep 0.2
  done
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
  runs) cmd_runs ;;
  reboot) cmd_reboot ;;
  first-run) cmd_first_run "$@" ;;
  wake) cmd_wake ;;
  set) cmd_set "$@" ;;
  exec) cmd_exec "$@" ;;
  status) cmd_status ;;
  await) cmd_await "$@" ;;
  stays) cmd_stays "$@" ;;
  packages) cmd_packages "$@" ;;
  leftovers) cmd_leftovers "$@" ;;
  teardown) cmd_teardown ;;
esac
