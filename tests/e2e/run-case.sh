#!/bin/sh
# Runs one end-to-end case of cases.txt: sets up its lab scenario, drives the
# real program through its window and compares what the user saw. Inside a
# Wine session (tools/wine-session.sh), as root (the lab uses chroot).
#   run-case.sh NAME
# QV_E2E_DRIVER, QV_PRODUCT_EXE and QVLAB_WSL_EXE name the built programs.
set -eu
name=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
: "${QV_E2E_DRIVER:?}" "${QV_PRODUCT_EXE:?}" "${QVLAB_WSL_EXE:?}"
[ "$(id -u)" -eq 0 ] || { echo "the lab needs root"; exit 77; }

line=$(grep "^$name |" "$here/cases.txt") || { echo "no case named $name"; exit 2; }
field() { printf '%s\n' "$line" | awk -F ' [|] ' -v n="$1" '{ print $n }'; }
scenario=$(field 2)
steps=$(field 3)
expected=$(field 4 | sed 's| / |\n|g')

QV_LAB_SH="$root/lab/lab.sh"
export QV_LAB_SH QVLAB_WSL_EXE
trap '"$QV_LAB_SH" teardown >/dev/null 2>&1 || true' EXIT
# shellcheck disable=SC2086
code=$("$QV_LAB_SH" setup $scenario | tail -n 1)
token=$(printf '%s' "$code" | cut -d'|' -f3)
node_name=$(printf '%s' "$code" | cut -d'|' -f4 | base64 -d)
packages_before=$("$QV_LAB_SH" packages 2>/dev/null || true)

windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }
set --
old_ifs=$IFS
IFS=';'
for step in $steps; do
  step=$(printf '%s' "$step" | sed -e 's/^ *//' -e 's/ *$//')
  case "$step" in
    *"{code}"*) step="${step%%\{code\}*}$code${step#*\{code\}}" ;;
  esac
  set -- "$@" "$step"
done
IFS=$old_ifs

# Wine's own errors (a program that would not start, say: the signature
# tools/wine-start-failure.sh looks for) are kept aside and shown whole,
# with the driver's complaints, only when the case fails. The program and
# every wsl.exe it starts write them there too.
errors="${TMPDIR:-/tmp}/qv-e2e-errors.$$"
actual=$(WINEDEBUG=-all,err+all wine "$QV_E2E_DRIVER" "$(windows_path "$QV_PRODUCT_EXE")" "$@" </dev/null 2>"$errors" |
  tr -d '\r')
status=0
if [ "$actual" != "$expected" ]; then
  echo "FAIL: what the user saw differs"
  echo "expected:"; printf '%s\n' "$expected"
  echo "actual:"; printf '%s\n' "$actual"
  echo "command lines wsl.exe received:"; "$QV_LAB_SH" commands | cut -c1-200
  echo "the driver's and Wine's errors:"; cat "$errors"
  status=1
fi
rm -f "$errors"
# The token travels on standard input only, never on a command line.
if "$QV_LAB_SH" commands | grep -qF "$token"; then
  echo "FAIL: the one-time token appeared on a wsl.exe command line"
  status=1
fi
# Nothing is installed without a Yes.
case "$steps" in
  *answers=*yes*) ;;
  *)
    if [ "$("$QV_LAB_SH" packages 2>/dev/null || true)" != "$packages_before" ]; then
      echo "FAIL: packages changed without a Yes"
      status=1
    fi
    ;;
esac
# No file a distribution keeps holds a token (the scenario's, or one that a
# step asked for), the downloaded install.sh is gone, and no process showed
# a token on its command line.
leftovers=$("$QV_LAB_SH" leftovers)
if [ -n "$leftovers" ]; then
  echo "FAIL: the attempt left behind:"
  printf '%s\n' "$leftovers"
  status=1
fi
# The service recorded the node's name byte for byte.
"$QV_LAB_SH" status | sed -n 's/^enrolled: //p' | cut -f3 >"${TMPDIR:-/tmp}/qv-e2e-names.$$"
while IFS= read -r recorded; do
  if [ "$recorded" != "$node_name" ]; then
    echo "FAIL: the service recorded the node name '$recorded', not '$node_name'"
    status=1
  fi
done <"${TMPDIR:-/tmp}/qv-e2e-names.$$"
rm -f "${TMPDIR:-/tmp}/qv-e2e-names.$$"
# Teardown leaves no process, namespace or mount of the lab behind.
trap - EXIT
if ! "$QV_LAB_SH" teardown; then
  echo "FAIL: the lab could not be taken down cleanly"
  status=1
fi
[ $status -eq 0 ] && printf '%s\n' "$actual"
exit $status
