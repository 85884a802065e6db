#!/bin/sh
# Builds the product of one commit from that commit's files alone (git
# archive, not the working tree), in a fresh folder, the way
# check-reproducible.sh builds its copies. Whatever the checkout holds
# uncommitted, the result is the commit's own QuenvaleEnroll.exe.
#   tools/build-commit.sh REV OUT.exe
set -eu

[ $# -eq 2 ] || { echo "usage: tools/build-commit.sh REV OUT.exe" >&2; exit 2; }
rev=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse --verify --quiet "$rev^{commit}") ||
  { echo "$rev: no such commit in $root" >&2; exit 2; }

work=$(mktemp -d /tmp/qv-commit.XXXXXX)
# A signal ends the run through exit, so that the folder goes with it.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM PIPE
mkdir "$work/src"
git -C "$root" archive "$commit" | tar -x -C "$work/src"
if ! {
  cmake -S "$work/src" -B "$work/src/build" \
    -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DQV_BUILD_TESTS=OFF &&
  cmake --build "$work/src/build" --target QuenvaleEnroll -j2
} >"$work/log" 2>&1; then
  tail -n 30 "$work/log" >&2
  echo "building $commit failed" >&2
  exit 1
fi
cp "$work/src/build/QuenvaleEnroll.exe" "$out"
