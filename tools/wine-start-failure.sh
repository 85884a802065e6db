#!/bin/sh
# The one failure that may be run again: Wine's own failure to start a
# process, which no test and no product fault causes, recognized by what
# Wine prints when it happens. Any other failure stands. Run inside a Wine
# session: tools/wine-session.sh lets Wine's errors of the virtual channel
# through, which the first signature below is.
#
#   wine-start-failure.sh allow NAME OUTPUT
#       0 when the failed run of NAME, whose output is in the file OUTPUT,
#       shows a signature: prints NAME, the signature and that output, and
#       counts the rerun in QV_RERUN_LOG (when set); 1, saying so, otherwise
#   wine-start-failure.sh ctest --preset PRESET [ARGS...]
#       ctest with these arguments, as many tests at once as the Wine
#       session has slots; each test that fails with a signature runs once
#       more, alone. Fails when any test failed otherwise, or failed again.
#
# The signatures, as Wine 8 and Wine 10 print them (their ntdll holds both):
#   - "failed to map the shared user data": a new process finds the address
#     of Windows' shared user data taken before its ntdll could map it there,
#     and ends at once; its parent's CreateProcess fails. An ERR of the
#     virtual channel: "err:virtual:virtual_alloc_first_teb wine: failed to
#     map the shared user data: c0000018" (STATUS_CONFLICTING_ADDRESSES);
#   - "could not exec the wine loader": the new process's exec of Wine's
#     loader failed; printed whatever WINEDEBUG says.
set -eu

signature() { # OUTPUT: the first line that carries a signature
  grep -m 1 -e 'failed to map the shared user data' -e 'could not exec the wine loader' "$1"
}

allow() { # NAME OUTPUT
  if ! found=$(signature "$2"); then
    echo "no rerun for $1: its failure is not Wine's failure to start a process"
    return 1
  fi
  echo "==== rerun: $1"
  echo "  Wine failed to start a process: $found"
  echo "  the first run's output:"
  sed 's/^/  | /' "$2"
  if [ -n "${QV_RERUN_LOG:-}" ]; then
    printf '%s: %s\n' "$1" "$found" >>"$QV_RERUN_LOG"
  fi
}

ctest_with_reruns() { # --preset PRESET [ARGS...]
  if [ "${1:-}" != --preset ] || [ $# -lt 2 ]; then
    echo "usage: wine-start-failure.sh ctest --preset PRESET [ARGS...]" >&2
    exit 2
  fi
  preset=$2
  work=$(mktemp -d /tmp/qv-ctest.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  # As many tests at once as the session has Wine slots (tools/wine-slot.sh).
  set -- "$@" --output-junit "$work/junit.xml"
  if [ -n "${QV_WINE_SLOTS:-}" ]; then
    set -- "$@" -j "$QV_WINE_SLOTS"
  fi
  ctest "$@" && return 0
  # Each failed test's output, into a file of its own named by its number.
  python3 - "$work" <<'EOF' || { echo "wine-start-failure.sh: ctest wrote no results" >&2; exit 1; }
import sys
import xml.etree.ElementTree as tree
work = sys.argv[1]
with open(work + "/failed", "w") as failed:
    for number, case in enumerate(tree.parse(work + "/junit.xml").getroot().iter("testcase")):
        if case.get("status") != "fail":
            continue
        with open("%s/%d.out" % (work, number), "w") as output:
            output.write(case.findtext("system-out") or "")
        failed.write("%d %s\n" % (number, case.get("name")))
EOF
  # A failure that names no test (ctest's own) is not one to run again.
  [ -s "$work/failed" ] || return 1
  status=0
  while read -r number name; do
    if allow "$name" "$work/$number.out"; then
      ctest --preset "$preset" -R "^$(printf '%s' "$name" | sed 's/[].[^$*+?(){}|\\]/\\&/g')\$" </dev/null || status=1
    else
      status=1
    fi
  done <"$work/failed"
  return $status
}

case "${1:-}" in
  allow)
    [ $# -eq 3 ] || { echo "usage: wine-start-failure.sh allow NAME OUTPUT" >&2; exit 2; }
    allow "$2" "$3"
    ;;
  ctest)
    shift
    ctest_with_reruns "$@"
    ;;
  *)
    echo "usage: wine-start-failure.sh allow NAME OUTPUT | ctest --preset PRESET [ARGS...]" >&2
    exit 2
    ;;
esac
