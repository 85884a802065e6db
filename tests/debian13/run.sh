#!/bin/sh
# Debian 13 as the machine that builds and tests: the project built with
# Debian 13's toolchain (MinGW-w64 GCC 14, CMake 3.31, GCC 14 for the host
# tests), the host tests, the Windows kit and the busybox lab's rows (the
# simulated distributions, lab_story, lab_scenarios and the end-to-end
# cases labelled busybox, but for the ways out, whose steps are the lab's)
# under Wine 10, in a Debian 13 (trixie) root.
#
# The root is made once by tools/debian-root.sh into build/debian13-root
# of the checkout (QV_DEBIAN13_ROOT names another folder) and made again
# only when its recipe changes. Each run copies the checkout's working tree
# (the files git tracks or does not ignore, as they are now, so uncommitted
# work is tested too) into a fresh folder, and runs there inside the root
# (tools/in-root.sh: namespaces, /dev and network of its own; nothing of it
# is left mounted or running). make test runs this beside its Wine tests.
#
#   tests/debian13/run.sh
# Needs root. Exits 1 when anything fails.
set -eu

if [ "${1:-}" = --inside ]; then
  cd /src
  started=$(date +%s)
  failed=""
  # The stage's reruns (tools/wine-start-failure.sh), handed to the host's count.
  QV_RERUN_LOG=/src/reruns.log
  export QV_RERUN_LOG
  : >"$QV_RERUN_LOG"
  # step NAME COMMAND...: a build step, its output shown only on failure.
  step() {
    name=$1
    shift
    if "$@" >/tmp/step.log 2>&1; then
      echo "$name: done, $(($(date +%s) - started)) s in"
    else
      tail -n 60 /tmp/step.log
      echo "$name: FAILED"
      exit 1
    fi
  }
  # run NAME COMMAND...: a test step, its output shown whole.
  run() {
    name=$1
    shift
    echo "== $name"
    "$@" || failed="$failed, $name"
    echo "$name: $(($(date +%s) - started)) s in"
  }
  . /etc/os-release
  echo "== $PRETTY_NAME: $(x86_64-w64-mingw32-g++-posix --version | head -n 1); $(wine --version 2>/dev/null);" \
    "$(cmake --version | head -n 1); $(g++ --version | head -n 1)"
  step "host build" sh -c 'cmake --preset host && cmake --build --preset host'
  run "host tests" ctest --preset host
  step "Windows build and kit" sh -c 'cmake --preset windows && cmake --build --preset windows &&
    cmake --build --preset windows --target windows_kit'
  run "the Windows kit under Wine" tools/wine-session.sh tests/kit/run-under-wine.sh build/windows/QuenvaleEnroll-tests.zip
  # shellcheck disable=SC2016
  run "the busybox lab's rows under Wine" tools/wine-session.sh sh -c 'status=0
    tools/wine-start-failure.sh ctest --preset windows -R "^lab_(story|scenarios)\$" || status=1
    tools/wine-start-failure.sh ctest --preset windows -L busybox -LE way-out || status=1
    exit $status'
  echo "Debian 13: $(grep -c . "$QV_RERUN_LOG") reruns"
  [ -z "$failed" ] || { echo "Debian 13: FAILED: ${failed#, }"; exit 1; }
  echo "Debian 13: everything passed"
  exit 0
fi

[ $# -eq 0 ] || { echo "usage: tests/debian13/run.sh" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "tests/debian13/run.sh: needs root (mmdebstrap, namespaces, the lab's chroots)" >&2; exit 1; }
root=$(cd "$(dirname "$0")/../.." && pwd)
cache=${QV_DEBIAN13_ROOT:-$root/build/debian13-root}
# What the stage uses and no more: the toolchains, googletest, Wine with
# the fonts that apt brings along with it on a desktop (fonts-wine is a
# recommendation of Wine's), Xvfb and the Chinese font, and what the lab
# runs on the host side.
packages="make cmake g++ googletest g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb
fonts-wqy-microhei busybox-static python3 iproute2 procps"

started=$(date +%s)
# shellcheck disable=SC2086
"$root/tools/debian-root.sh" trixie "$cache" $packages
echo "root: $cache/root, $(sed -n 's/^made in/made in/p' "$cache/build.log") ($(($(date +%s) - started)) s here)"

work=$(mktemp -d /tmp/qv-debian13.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
mkdir "$work/src"
# The working tree: tracked files that still exist, and untracked ones git
# does not ignore.
cd "$root"
git ls-files -z --cached --others --exclude-standard |
  xargs -0 sh -c 'for f do if [ -e "$f" ] || [ -h "$f" ]; then printf "%s\0" "$f"; fi; done' sh |
  xargs -0 cp -P --parents -t "$work/src"
status=0
"$root/tools/in-root.sh" --bind "$work/src:/src" "$cache/root" sh /src/tests/debian13/run.sh --inside || status=1
# Its reruns count with make test's own.
if [ -n "${QV_RERUN_LOG:-}" ] && [ -f "$work/src/reruns.log" ]; then
  sed 's/^/Debian 13: /' "$work/src/reruns.log" >>"$QV_RERUN_LOG"
fi
exit $status
