#!/bin/sh
# Proves the kit as a tester would use it: unpacks the zip into a fresh
# folder and runs its run-tests.cmd with Wine's cmd, inside a Wine session
# (tools/wine-session.sh). Fails unless the closing line says no failure.
#   tests/kit/run-under-wine.sh KIT.zip
set -eu
kit=$(realpath "$1")
work=$(mktemp -d /tmp/qv-kit.XXXXXX)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cmake -E tar xf "$kit")
echo "unpacked $(ls "$work/QuenvaleEnroll-tests" | wc -l) files of $kit ($(stat -c %s "$kit") bytes)"
start=$(date +%s)
# No standard input: cmd would wait on it.
( cd "$work/QuenvaleEnroll-tests" && wine cmd /c run-tests.cmd </dev/null 2>&1; echo $? >"$work/status" ) |
  tr -d '\r' | tee "$work/output"
echo "kit run: $(($(date +%s) - start)) s"

status=$(cat "$work/status")
last=$(grep -v '^$' "$work/output" | tail -n 1)
case "$last" in
  *[0-9]" passed, 0 failed") ;;
  *) echo "FAIL: the kit did not end with a run free of failures"; status=1 ;;
esac
exit "$status"
