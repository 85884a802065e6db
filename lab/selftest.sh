#!/bin/sh
# The lab's own test: the product's real scripts, sent by the product's real
# runner (run_script.exe links it), through the stand-in wsl.exe into the
# lab's distributions, and the markers they print checked step by step.
#
#   selftest.sh WSL_EXE RUN_SCRIPT_EXE story|scenarios|real
#
# story:     a new provider from no distribution to I_CONNECTED and E_TOKEN_,
#            how wsl.exe reads its command line and speaks, and the
#            settings the lab refuses;
# scenarios: the table selftest.txt: every busybox scenario's starting
#            state as the scripts see it, what the dependency and
#            enrollment runs make of it, and how a busybox distribution
#            lives and stops;
# real:      the real kind: a ready distribution, a bare one that gets its
#            packages, Docker repaired without systemd, WSL's instance
#            lifetime, and a setup cut short that teardown recovers from.
#
# Runs inside the caller's Wine session (WINEPREFIX, a running wineserver);
# needs root for the lab's chroots. Leaves the prefix without a lab (in
# QVLAB_STATE, if set, as lab.sh does).
set -u

[ $# -eq 3 ] || { echo "usage: selftest.sh WSL_EXE RUN_SCRIPT_EXE story|scenarios|real" >&2; exit 2; }
WSL_EXE=$1
RUN_SCRIPT=$2
GROUP=$3
LAB=$(cd "$(dirname "$0")" && pwd)/lab.sh

if [ "$(id -u)" -ne 0 ]; then
  echo "selftest: the lab needs root (chroot); skipped"
  exit 77
fi
[ -n "${WINEPREFIX:-}" ] || { echo "selftest: no Wine session (WINEPREFIX); run under tools/wine-session.sh" >&2; exit 2; }
export QVLAB_WSL_EXE="$WSL_EXE"
STATE=${QVLAB_STATE:-$WINEPREFIX/quenvale-lab}

work=$(mktemp -d)
: >"$work/input"
trap 'sh "$LAB" teardown >/dev/null 2>&1; rm -rf "$work"' EXIT
passed=0
failed=0

lab() {
  sh "$LAB" "$@"
}

# run SCRIPT [ARGS...]: one run through the product's runner, its standard
# input from $work/input (see feed). The capture goes to $work/capture, its
# exit code to $exit_code and the runner's result to $run_ok.
run() {
  : >"$work/summary"
  wine "$RUN_SCRIPT" "$@" <"$work/input" >"$work/capture" 2>"$work/summary"
  summary=$(sed -n 's/^run_script: //p' "$work/summary" | tail -n 1)
  run_ok=$(printf '%s\n' "$summary" | sed -n 's/.*ok=\([0-9]*\).*/\1/p')
  exit_code=$(printf '%s\n' "$summary" | sed -n 's/.*exit_code=\([0-9]*\).*/\1/p')
  last_run="$*"
  : >"$work/input"
}

feed() {
  printf "$@" >"$work/input"
}

# The checks. Each prints one line; a failure shows the capture it judged.
pass() {
  passed=$((passed + 1))
  echo "ok   $context: $1"
}

fail() {
  failed=$((failed + 1))
  echo "FAIL $context: $1"
  echo "     after: run_script $last_run (ok=$run_ok, exit code $exit_code)"
  sed 's/^/     | /' "$work/capture" | head -n 40
  grep -v '^run_script: ' "$work/summary" | sed 's/^/     ! /' | head -n 20
}

has() {
  for marker in "$@"; do
    if grep -qF -- "$marker" "$work/capture"; then pass "prints $marker"; else fail "prints $marker"; fi
  done
}

lacks() {
  for marker in "$@"; do
    if grep -qF -- "$marker" "$work/capture"; then fail "does not print $marker"; else pass "does not print $marker"; fi
  done
}

exits() {
  if [ "$run_ok" = 1 ] && [ "$exit_code" = "$1" ]; then pass "exit code $1"; else fail "exit code $1"; fi
}

exits_nonzero() {
  if [ "$run_ok" = 1 ] && [ -n "$exit_code" ] && [ "$exit_code" != 0 ]; then
    pass "exit code not 0 ($exit_code)"
  else
    fail "exit code not 0"
  fi
}

# A condition of the lab's state, shown by `lab.sh status` or a file.
holds() { # DESCRIPTION COMMAND...
  _what=$1
  shift
  if "$@" >/dev/null 2>&1; then pass "$_what"; else fail "$_what"; fi
}

first_line_is() {
  [ "$(head -n 1 "$work/capture" | tr -d '\r')" = "$1" ]
}

status_says() {
  lab status | grep -qE -- "$1"
}

# A setup the lab must refuse, before it builds anything, naming the key.
refused() { # KEY SCENARIO [KEY=VALUE...]
  _key=$1
  shift
  if lab setup "$@" >/dev/null 2>"$work/refusal"; then
    fail "setup $* is refused"
  elif ! grep -q "^lab.sh: $_key" "$work/refusal"; then
    fail "setup $* is refused for $_key"
    sed 's/^/     ! /' "$work/refusal"
  else
    pass "setup $* is refused for $_key"
  fi
}

# The state and version of the package whose update unattended-upgrades installs.
update_is() { # "STATE VERSION"
  [ "$(lab exec Ubuntu root -- dpkg-query -W -f '${db:Status-Abbrev}${Version}' quenvale-lab-update | tr -s ' ')" = "$1" ]
}

docker_log_says() {
  lab exec Ubuntu root -- cat /var/log/docker.log | grep -qF -- "$1"
}

# The three payload lines of a code: base, token, decoded name.
payload_of() { # CODE
  _base=$(printf '%s' "$1" | cut -d'|' -f2)
  _token=$(printf '%s' "$1" | cut -d'|' -f3)
  _name=$(printf '%s' "$1" | cut -d'|' -f4- | base64 -d 2>/dev/null)
  printf '%s\n%s\n%s\n' "$_base" "$_token" "$_name"
}

setup() { # SCENARIO [KEY=VALUE...]
  context=$1
  code=$(lab setup "$@") || { failed=$((failed + 1)); echo "FAIL $1: lab.sh setup"; return 1; }
}

preflight() { run preflight "$@"; }
list_quiet() { run plain --extra "--list --quiet"; }
dependency() { # USER TOOLS MODE
  feed '%s\n%s\n%s\n' "$1" "$2" "$3"
  run dependency --distro Ubuntu --stdin
}
enroll() { # CODE [DISTRO]
  payload_of "$1" >"$work/input"
  run enrollment --distro "${2:-Ubuntu}" --stdin
}

story() {
  setup new-provider || return

  context="no distribution"
  preflight
  exits 4294967295
  lacks QV_PREFLIGHT
  has WSL_E_DEFAULT_DISTRO_NOT_FOUND
  list_quiet
  exits 0
  holds "the list is empty" test ! -s "$work/capture"

  context="WSL installer"
  run plain --extra "--install -d Ubuntu --no-launch"
  exits 0
  list_quiet
  exits 0
  has Ubuntu
  # What wsl.exe says about itself is UTF-16LE with CRLF line ends, as the
  # runner's dropping of NUL bytes expects; the bytes themselves, not the capture.
  wine 'C:\windows\system32\wsl.exe' --list --quiet </dev/null >"$work/raw" 2>/dev/null
  printf 'Ubuntu\r\n' | iconv -f UTF-8 -t UTF-16LE >"$work/expected"
  holds "the list is UTF-16LE with CRLF" cmp -s "$work/raw" "$work/expected"
  # In the display language of the providers' Windows (the lab's default).
  wine 'C:\windows\system32\wsl.exe' --distribution Debian --exec true </dev/null >"$work/raw" 2>/dev/null
  printf '不存在具有所提供名称的分发。\r\n错误代码: Wsl/Service/WSL_E_DISTRO_NOT_FOUND\r\n' |
    iconv -f UTF-8 -t UTF-16LE >"$work/expected"
  holds "an error is UTF-16LE with CRLF, in Chinese" cmp -s "$work/raw" "$work/expected"
  holds "Ubuntu's first-run set-up is pending" status_says "^distro: Ubuntu .*user=root first_run=pending"
  run plain --extra "--install -d Ubuntu --no-launch"
  exits 4294967295
  has ERROR_ALREADY_EXISTS

  context="Ubuntu before its first run"
  preflight
  exits 0
  has QV_PREFLIGHT QV_UBUNTU QV_DOCKER_MISSING QV_DISTRO=Ubuntu
  lacks QV_USER= QV_NEED_TOOLS QV_WSL_NOT_2

  context="Ubuntu opened"
  run plain --extra "--distribution Ubuntu"
  exits 0
  preflight
  exits 0
  has QV_PREFLIGHT QV_UBUNTU QV_USER=alice QV_DOCKER_MISSING QV_DISTRO=Ubuntu
  lacks QV_NEED_TOOLS QV_DOCKER_OK

  # wsl.exe keeps the quotes of an option before --exec: a quoted name is
  # not the distribution, and nothing runs, not even as root.
  context="quoted distribution"
  feed 'alice\n0\ninstall\n'
  run dependency --distro '"Ubuntu"' --stdin
  exits 4294967295
  has WSL_E_DISTRO_NOT_FOUND
  lacks QV_DEPS_READY
  holds "nothing was installed" status_says "^distro: Ubuntu .*docker=none"
  preflight --distro '"Ubuntu"'
  exits 4294967295
  lacks QV_PREFLIGHT

  context="distribution name in other letter case"
  preflight --distro ubuntu
  exits 0
  has QV_PREFLIGHT QV_USER=alice QV_DISTRO=Ubuntu

  context="dependency run"
  dependency alice 0 install
  exits 0
  has QV_DEPS_READY
  holds "docker.io installed and running" status_says "^distro: Ubuntu .*docker.io.*docker=running"
  holds "alice in the docker group" status_says "^distro: Ubuntu .*docker_group=alice"

  context="second preflight"
  preflight --distro Ubuntu
  exits 0
  has QV_PREFLIGHT QV_DOCKER_OK QV_USER=alice
  lacks QV_NEED_TOOLS QV_DOCKER_MISSING

  context="enrollment"
  token=$(printf '%s' "$code" | cut -d'|' -f3)
  enroll "$code"
  exits 0
  has QV_INSTALL_RUNNING I_CONNECTED
  lacks E_TOKEN_

  context="same code again"
  enroll "$code"
  exits_nonzero
  has QV_INSTALL_RUNNING E_TOKEN_
  lacks I_CONNECTED

  context="a code the service never issued"
  enroll "qvw1|https://quenvale.com|qvt_neverissued0000000000|"
  exits_nonzero
  has E_TOKEN_

  context="a named node on the plain-HTTP base"
  enroll "$(lab code --base http://203.0.113.10 --name '节点-1')"
  exits 0
  has I_CONNECTED
  holds "the service saw the node's name" grep -q '节点-1' "$STATE/service/enrolled"

  context="command lines received"
  lab commands >"$work/commands"
  holds "the enrollment command lines were logged" grep -qF 'IFS= read -r QUENVALE_ENROLL_TOKEN' "$work/commands"
  holds "the dependency run went as root to Ubuntu" \
    grep -qF '"wsl.exe" --distribution Ubuntu --user root --exec sh -c "set -eu;' "$work/commands"
  holds "the first preflight named no distribution" grep -q '^"wsl.exe"  --exec sh -c "echo QV_PREFLIGHT;' "$work/commands"
  if grep -qF -- "$token" "$work/commands"; then fail "no command line holds the token"; else pass "no command line holds the token"; fi

  # The same in English Windows' words, byte for byte.
  context="English Windows"
  setup wsl-service-disabled wsl_lang=en-US || return
  wine 'C:\windows\system32\wsl.exe' --exec true </dev/null >"$work/raw" 2>/dev/null
  printf 'The service cannot be started, either because it is disabled or because it has no enabled devices associated with it.\r\nError code: Wsl/0x80070422\r\n' |
    iconv -f UTF-8 -t UTF-16LE >"$work/expected"
  holds "an error is UTF-16LE with CRLF, in English" cmp -s "$work/raw" "$work/expected"

  # Every setting is read or refused; nothing is set up for a refused one.
  context="settings refused"
  lab teardown
  refused bogus_key ready bogus_key=1
  refused Ubuntu.colour ready Ubuntu.colour=blue
  refused Ubuntu.os real-ready Ubuntu.os=ubuntu-20.04
  refused Debian.os ready Debian.os=debian-12
  refused archive=down ready archive=down
  refused Ubuntu.docker=client real-ready Ubuntu.docker=client
  refused Ubuntu.version=1 real-ready version=1
  refused instance_idle_ms=soon ready instance_idle_ms=soon
  holds "no lab is left after a refusal" test ! -e "$STATE"
  # lab/README.md shows the table the lab checks against.
  lab settings >"$work/settings"
  holds "lab/README.md holds the table of settings" \
    sh -c 'grep -qxF -f "$1" "$2" && [ "$(grep -cxF -f "$1" "$2")" -eq "$(wc -l <"$1")" ]' sh "$work/settings" \
    "$(dirname "$LAB")/README.md"
}

# One line of selftest.txt's CHECKs against the last run.
check() { # CHECK
  _args=${1#* }
  case "$1" in
    "exit nonzero") exits_nonzero ;;
    "exit -1") exits 4294967295 ;;
    "exit "*) exits "$_args" ;;
    "not run") holds "the run cannot start" test "$run_ok" = 0 ;;
    "has "*) has $_args ;;
    "lacks "*) lacks $_args ;;
    "says "*) has "$_args" ;;
    "does not say "*) lacks "${1#does not say }" ;;
    "first "*) holds "the first line is $_args" first_line_is "$_args" ;;
    empty) holds "nothing was printed" test ! -s "$work/capture" ;;
    "status "*) holds "lab.sh status says $_args" status_says "$_args" ;;
    "summary "*) holds "the runner says $_args" grep -qF -- "$_args" "$work/summary" ;;
    "file "*) holds "$_args exists" test -f "$WINEPREFIX/$_args" ;;
    *) fail "selftest.txt: no such check: $1" ;;
  esac
}

# A lab.sh command as a run: its output is the capture, its exit code the exit code.
lab_run() {
  lab "$@" >"$work/capture" 2>&1
  exit_code=$?
  run_ok=1
  last_run="lab.sh $*"
  : >"$work/summary"
}

scenarios() {
  _current=""
  sed -e '/^#/d' -e '/^[[:space:]]*$/d' "$(dirname "$LAB")/selftest.txt" >"$work/table"
  while IFS='|' read -r _scenario _run _checks <&3; do
    _scenario=$(echo $_scenario)
    _run=$(echo $_run)
    if [ "$_scenario" != "$_current" ]; then
      _current=$_scenario
      # shellcheck disable=SC2086
      setup $_scenario || continue
    fi
    context="$_scenario: $_run"
    # shellcheck disable=SC2086
    case "$_run" in
      preflight*) preflight ${_run#preflight} ;;
      "dependency "*) dependency ${_run#dependency } ;;
      "enroll plain-http") enroll "$(lab code --base http://203.0.113.10)" ;;
      enroll) enroll "$code" ;;
      list) list_quiet ;;
      "wsl "*) run plain --extra "${_run#wsl }" ;;
      "lab "*) lab_run ${_run#lab } ;;
      *) fail "selftest.txt: no such run: $_run"; continue ;;
    esac
    _ifs=$IFS
    IFS=';'
    set -- $_checks
    IFS=$_ifs
    for _check in "$@"; do
      _check=$(echo $_check)
      [ -z "$_check" ] || check "$_check"
    done
  done 3<"$work/table"
}

real() {
  setup real-ready instance_idle_ms=2000 &&
    {
      preflight
      exits 0
      has QV_PREFLIGHT QV_UBUNTU QV_USER=alice QV_DOCKER_OK QV_DISTRO=Ubuntu
      lacks QV_NEED_TOOLS
      enroll "$code"
      exits 0
      has QV_INSTALL_RUNNING I_CONNECTED

      # WSL's instance lifetime: idle 2 s after the last call, unless
      # something a call started outside systemd's services still runs.
      context="real-ready lifetime"
      holds "it stops 2 s after its last call" lab await Ubuntu Stopped 20
      holds "a stopped one runs nothing" status_says "^distro: Ubuntu .*state=Stopped .*pid1=stopped"
      lab exec Ubuntu root -- setsid -f sleep 600
      holds "a process a call left keeps it running" lab stays Ubuntu Running 4
      lab exec Ubuntu root -- pkill -x sleep
      holds "it stops once that process ends" lab await Ubuntu Stopped 20
      lab exec Ubuntu root -- systemd-run --quiet sleep 600
      holds "a service started with systemd-run does not keep it running" lab await Ubuntu Stopped 20
      lab exec Ubuntu root -- systemctl start --quiet docker
      holds "nor does one started with systemctl" lab await Ubuntu Stopped 20
      preflight --distro Ubuntu
      has QV_DOCKER_OK
      run plain --extra "--terminate Ubuntu"
      exits 0
      holds "--terminate stops it at once" status_says "^distro: Ubuntu .*state=Stopped"
      run plain --extra "--list --verbose"
      has "Ubuntu            Stopped         2"
      preflight --distro Ubuntu
      run plain --extra "--list --verbose"
      has "Ubuntu            Running         2"
      run plain --extra "--shutdown"
      exits 0
      holds "--shutdown stops it at once" status_says "^distro: Ubuntu .*state=Stopped"
    }

  setup real-ubuntu-bare &&
    {
      preflight
      has QV_NEED_TOOLS QV_DOCKER_MISSING QV_UBUNTU
      dependency alice 1 install
      exits 0
      has QV_DEPS_READY
      holds "the four packages are installed" status_says "^distro: Ubuntu .*packages=ca-certificates,curl,docker.io,python3,"
      preflight --distro Ubuntu
      has QV_DOCKER_OK
      lacks QV_NEED_TOOLS
    }

  setup real-docker-stopped-no-systemd instance_idle_ms=2000 &&
    {
      preflight
      has QV_DOCKER_NATIVE
      holds "no systemd" status_says "^distro: Ubuntu .*pid1=init"
      dependency alice 0 repair
      exits 0
      has QV_DEPS_READY
      holds "dockerd's output in /var/log/docker.log" docker_log_says "API listen"
      holds "the dockerd it started keeps it running" lab stays Ubuntu Running 4
      lab reboot
      holds "a restart stops it" status_says "^distro: Ubuntu .*state=Stopped"
      preflight
      has QV_DOCKER_NATIVE
    }
  setup real-docker-stopped systemd=no &&
    {
      holds "a bare systemd=no boots no systemd" status_says "^distro: Ubuntu .*pid1=init"
    }

  # Ubuntu busy with itself: unattended-upgrades configuring its update for
  # 12 s when the dependency run comes. The run waits for it, as apt waits
  # for its lock, and leaves it to end: the update's package ends installed.
  setup real-ubuntu-updating Ubuntu.upgrades=under-way &&
    {
      holds "the update is configuring" update_is "iF 2"
      dependency alice 1 none
      exits 0
      has QV_DEPS_READY
      holds "the update's package ends installed" update_is "ii 2"
    }

  # A setup killed while it builds a package layer (a ctest timeout, Ctrl-C)
  # leaves whatever it had: a VM, its mounts and cgroups, half a layer.
  # Teardown takes all of it down, and the next setup works. (No scenario
  # asks for curl alone; its layer, if cached, goes so that it is built.)
  context="a setup cut short"
  lab teardown
  rm -rf "${QVLAB_USERLAND:-$(dirname "$LAB")/../build/lab-userland}"/*/layers/curl-*
  setsid sh "$LAB" setup real-ready Ubuntu.tools=curl Ubuntu.docker=none >"$work/cut" 2>&1 &
  cut=$!
  holds "the setup gets as far as a package layer's VM" \
    timeout 300 sh -c 'until ls "$1"/layers/*/vm.ready >/dev/null 2>&1; do sleep 0.2; done' sh "$STATE"
  kill -KILL "-$cut"
  wait "$cut" 2>/dev/null
  cp "$STATE/cgroups" "$work/cgroups"
  holds "the layer's root is still mounted" grep -qF "$STATE/layers/" /proc/self/mounts
  holds "teardown takes it down" lab teardown
  holds "nothing stays mounted" sh -c '! grep -qF "$1/" /proc/self/mounts' sh "$STATE"
  holds "no cgroup of the lab stays" sh -c 'while read -r c; do [ ! -d "$c" ] || exit 1; done <"$1"' sh "$work/cgroups"
  holds "the next setup works" lab setup ready
}

case "$GROUP" in
  story) story ;;
  scenarios) scenarios ;;
  real) real ;;
  *) echo "selftest: unknown group $GROUP" >&2; exit 2 ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
