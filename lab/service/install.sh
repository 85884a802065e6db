#!/bin/sh
# Quenvale node installer, as the lab's simulated service serves it.
# Contract: QUENVALE_BASE and QUENVALE_ENROLL_TOKEN in the environment,
# "--name NAME" as arguments; prints I_CONNECTED and exits 0 once the node
# is enrolled, E_PYTHON_MISSING without a usable Python, E_TOKEN_* when the
# service refuses the token (one use only), other E_ words for the rest.
# The lab puts the amount of extra output (bytes) above this text:
#   noise_before, noise_after
set -u
: "${noise_before:=0}" "${noise_after:=0}"

name=""
while [ $# -gt 0 ]; do
  case "$1" in
    --name) name=${2-}; shift $(($# > 1 ? 2 : 1)) ;;
    --name=*) name=${1#--name=}; shift ;;
    *) echo "W_UNKNOWN_ARGUMENT $1"; shift ;;
  esac
done

# Progress of a long step: lines of about 80 bytes until `bytes` are out.
chatter() { # BYTES WHAT
  awk -v n="$1" -v what="$2" 'BEGIN {
    for (i = 1; written < n; i++) {
      line = sprintf("  %s %05d  sha256:%08x%08x  [=========>          ] %4d/%4d kB", what, i, i * 2654435761 % 4294967296, i * 40503, i % 1000, 1000)
      print line
      written += length(line) + 1
    }
  }'
}

echo "Quenvale node installer 2.3.0"
if [ -z "${QUENVALE_BASE-}" ]; then
  echo "E_CONFIG: QUENVALE_BASE is not set"
  exit 2
fi
case "$QUENVALE_BASE" in
  http://203.0.113.10 | https://quenvale.com | https://www.quenvale.com) ;;
  *) echo "E_CONFIG: unknown service $QUENVALE_BASE"; exit 2 ;;
esac
if [ -z "${QUENVALE_ENROLL_TOKEN-}" ]; then
  echo "E_TOKEN_MISSING: QUENVALE_ENROLL_TOKEN is not set"
  exit 3
fi
if ! command -v python3 >/dev/null 2>&1 ||
  ! python3 -c 'import sys; sys.exit(sys.version_info < (3,9))' 2>/dev/null ||
  ! python3 -m venv --help >/dev/null 2>&1; then
  echo "E_PYTHON_MISSING: the node agent needs Python 3.9 or later with the venv module"
  exit 4
fi
if ! docker info --format '{{.OSType}}' 2>/dev/null | grep -qx linux; then
  echo "E_DOCKER_UNREACHABLE: the node agent needs a running Docker engine"
  exit 5
fi
echo "Preparing the node agent for ${name:-this machine}"
[ "$noise_before" -gt 0 ] && chatter "$noise_before" "pulling"

reply=$(printf '%s\n%s\n' "$QUENVALE_ENROLL_TOKEN" "$name" | curl -sS --data-binary @- "$QUENVALE_BASE/api/v1/nodes/enroll")
status=$?
if [ "$status" -ne 0 ]; then
  echo "E_SERVICE_UNREACHABLE: curl exited with $status"
  exit 6
fi
case "$reply" in
  "ok "*) node=${reply#ok } ;;
  E_TOKEN_*) echo "$reply: this enrollment code has already been used or was never issued"; exit 7 ;;
  *) echo "E_ENROLL_REJECTED: $reply"; exit 8 ;;
esac
echo "I_CONNECTED node=$node"
[ "$noise_after" -gt 0 ] && chatter "$noise_after" "syncing"
echo "The node agent runs in the background; this window may be closed."
exit 0
