#!/bin/sh
# The benchmarks, each against its floor in the same run on this machine.
# Prints figures only; a target that is missed is a figure, not a failure.
# Run inside a Wine session, from anywhere:
#
#   tools/wine-session.sh bench/run.sh
#
# QV_BENCH_BUILD    build tree holding the bench programs (default build/windows)
# QV_BENCH_PRODUCT  the program measured (default dist/QuenvaleEnroll.exe)
# QV_BENCH_CAPTURE_ROUNDS, QV_BENCH_STARTUP_ROUNDS, QV_BENCH_PROBES
#                   rounds of each comparison (15, 21) and probes (100)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

absolute() {
  case "$1" in
    /*) printf '%s' "$1" ;;
    *) printf '%s/%s' "$root" "$1" ;;
  esac
}

build=$(absolute "${QV_BENCH_BUILD:-build/windows}")
product=$(absolute "${QV_BENCH_PRODUCT:-dist/QuenvaleEnroll.exe}")
capture_rounds=${QV_BENCH_CAPTURE_ROUNDS:-15}
startup_rounds=${QV_BENCH_STARTUP_ROUNDS:-21}
probes=${QV_BENCH_PROBES:-100}
bin="$build/bench"

# Wine sees the Unix file system as drive Z:.
windows_path() {
  printf 'Z:%s' "$1" | tr / '\\'
}

missing=""
for f in "$product" "$bin/capture_bench.exe" "$bin/startup_bench.exe" "$bin/busy_bench.exe" \
         "$bin/bench_flood.exe" "$bin/bench_minimal_window.exe" "$bin/bench_gated_wsl.exe"; do
  [ -f "$f" ] || missing="$missing $f"
done
if [ -n "$missing" ]; then
  echo "bench: missing:$missing" >&2
  echo "bench: build them first, e.g. cmake --build $build --target bench_programs" >&2
  exit 2
fi

# Shown before each benchmark: the exact command that produced its figures.
run() {
  printf '\n$'
  for word in "$@"; do printf ' %s' "$word"; done
  printf '\n'
  "$@"
}

echo "== Quenvale benchmarks =="
echo "date:    $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
echo "host:    $(uname -srm), $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "wine:    $(wine --version 2>/dev/null || echo unknown)"
echo "source:  $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$( [ -n "$(git -C "$root" status --porcelain 2>/dev/null)" ] && echo ' (working tree has changes)')"
echo "product: $product, $(stat -c %s "$product") bytes, sha256 $(sha256sum "$product" | cut -c1-16)..."
echo "bench:   $bin"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the start"
echo "run as:  QV_BENCH_BUILD=${QV_BENCH_BUILD:-build/windows} QV_BENCH_PRODUCT=${QV_BENCH_PRODUCT:-dist/QuenvaleEnroll.exe}" \
  "QV_BENCH_CAPTURE_ROUNDS=$capture_rounds QV_BENCH_STARTUP_ROUNDS=$startup_rounds QV_BENCH_PROBES=$probes" \
  "tools/wine-session.sh bench/run.sh"

status=0
run wine "$bin/capture_bench.exe" "$(windows_path "$bin/bench_flood.exe")" "$capture_rounds" || status=1
run wine "$bin/startup_bench.exe" "$(windows_path "$product")" "$(windows_path "$bin/bench_minimal_window.exe")" \
  "$startup_rounds" || status=1
run wine "$bin/busy_bench.exe" "$(windows_path "$product")" "$(windows_path "$bin/bench_gated_wsl.exe")" \
  "$probes" || status=1

echo
if [ $status -ne 0 ]; then
  echo "bench: at least one measurement could not be taken (see above)" >&2
fi
exit $status
