#!/bin/sh
# Proves the kit as a tester would use it: unpacks the zip into a fresh
# folder and runs its run-tests.cmd with Wine's cmd, inside a Wine session
# (tools/wine-session.sh). Fails unless the closing line says no failure.
#   tests/kit/run-under-wine.sh KIT.zip
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
kit=$(realpath "$1")
work=$(mktemp -d /tmp/qv-kit.XXXXXX)
trap 'rm -rf "$work"' EXIT

# One run of the kit in a fresh folder; fails unless its closing line says
# no failure.
run_kit() {
  rm -rf "$work/QuenvaleEnroll-tests" "$work/temp" "$work/status" "$work/output"
  (cd "$work" && cmake -E tar xf "$kit")
  echo "unpacked $(ls "$work/QuenvaleEnroll-tests" | wc -l) files of $kit ($(stat -c %s "$kit") bytes)"
  # The run's %TEMP% is a folder of its own, removed with the rest: the
  # tests' scratch folders go there, and so do the files Wine's cmd makes
  # for each "for /f" and leaves behind, which would pile up in the reused
  # prefix.
  mkdir "$work/temp"
  printf '@set TEMP=%%~dp0temp\r\n@set TMP=%%~dp0temp\r\n@call "%%~dp0QuenvaleEnroll-tests\\run-tests.cmd"\r\n@exit /b %%errorlevel%%\r\n' \
    >"$work/run.cmd"
  start=$(date +%s)
  # No standard input: cmd would wait on it.
  ( cd "$work/QuenvaleEnroll-tests" && code=0 && { wine cmd /c ..\\run.cmd </dev/null 2>&1 || code=$?; } &&
    echo "$code" >"$work/status" ) |
    tr -d '\r' | tee "$work/output"
  echo "kit run: $(($(date +%s) - start)) s"

  status=$(cat "$work/status" 2>/dev/null || echo 1)
  last=$(grep -v '^$' "$work/output" | tail -n 1)
  case "$last" in
    *[0-9]" passed, 0 failed") ;;
    *) echo "FAIL: the kit did not end with a run free of failures"; status=1 ;;
  esac
  return "$status"
}

# A failed run goes once more only when Wine failed to start a process
# (tools/wine-start-failure.sh says why, with the first run's output); any
# other failure stands.
if ! run_kit; then
  "$root/tools/wine-start-failure.sh" allow "the Windows kit" "$work/output" || exit 1
  run_kit
fi
