#!/bin/sh
# Builds the product from two copies of the tracked sources in two folders
# of different names and lengths and checks that both binaries, and the one
# built in the checkout, are bit-identical.
#   tools/check-reproducible.sh REFERENCE.exe
set -eu
reference=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/qv-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT

for folder in a "second-copy-with-a-longer-name"; do
  mkdir -p "$work/$folder"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work/$folder")
  cmake -S "$work/$folder" -B "$work/$folder/build" \
    -DCMAKE_TOOLCHAIN_FILE="$work/$folder/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DQV_BUILD_TESTS=OFF >/dev/null
  cmake --build "$work/$folder/build" --target QuenvaleEnroll -j2 >/dev/null
done

sha256sum "$reference" "$work"/*/build/QuenvaleEnroll.exe
count=$(sha256sum "$reference" "$work"/*/build/QuenvaleEnroll.exe | cut -d' ' -f1 | sort -u | wc -l)
[ "$count" -eq 1 ] || { echo "FAIL: the builds differ"; exit 1; }
echo "bit-identical"
