#!/bin/sh
# Signs the product for release with osslsigncode: SHA-256 Authenticode, the
# publisher's certificate chain, and an RFC 3161 time stamp when a time
# stamp server is named (tools/verify-release.sh refuses a release without
# one unless told otherwise). Only the build of a committed tree is signed: a
# release must be the build of a commit that anyone can rebuild and compare
# (tools/verify-release.sh), so a checkout with tracked changes or with
# untracked files that git does not ignore is refused. Beside SIGNED.exe it
# writes SIGNED.buildinfo, what built it (tools/build-env.sh): published
# with the release, it lets a verifier rebuild with the same toolchain.
#
#   tools/sign-release.sh --check               the checkout and the inputs only
#   tools/sign-release.sh BUILT.exe SIGNED.exe  sign BUILT.exe into SIGNED.exe
#
# Run it in the checkout BUILT.exe was built from (make release does).
# From the environment: SIGN_CERT, a PEM file with the publisher's leaf
# certificate and its intermediates; SIGN_KEY, the leaf's private key (PEM;
# osslsigncode asks for its pass phrase if it has one); TIMESTAMP_URL, an
# RFC 3161 time stamp server, optional.
set -eu

usage() {
  echo "usage: tools/sign-release.sh --check | BUILT.exe SIGNED.exe" >&2
  echo "       with SIGN_CERT=chain.pem SIGN_KEY=key.pem [TIMESTAMP_URL=http://...]" >&2
  exit 2
}
refuse() { echo "release: $*" >&2; exit 1; }

check_inputs() {
  if [ -z "${SIGN_CERT:-}" ] || [ -z "${SIGN_KEY:-}" ]; then
    refuse "name the publisher's certificate chain and key: make release SIGN_CERT=chain.pem SIGN_KEY=key.pem [TIMESTAMP_URL=...]"
  fi
  [ -r "$SIGN_CERT" ] || refuse "cannot read SIGN_CERT $SIGN_CERT"
  [ -r "$SIGN_KEY" ] || refuse "cannot read SIGN_KEY $SIGN_KEY"
  command -v osslsigncode >/dev/null || refuse "osslsigncode is missing (tools/install-deps.sh installs it)"
}

# Tracked changes, staged or not, and untracked files git does not ignore:
# any of them means the build may not be the commit's. build/ and dist/
# are ignored, so the build's own output never counts.
check_committed() {
  git rev-parse --show-toplevel >/dev/null 2>&1 ||
    refuse "$(pwd) is not a git checkout: a release is the build of a commit"
  changes=$(git status --porcelain --untracked-files=all)
  if [ -n "$changes" ]; then
    echo "release: refusing to sign: the checkout has uncommitted changes;" >&2
    echo "release: commit or remove them, so that the release is the build of a commit:" >&2
    printf '%s\n' "$changes" | sed 's/^/  /' >&2
    exit 1
  fi
}

case "${1:-}" in
  --check) [ $# -eq 1 ] || usage; check_inputs; check_committed; exit 0 ;;
  -*|"") usage ;;
esac
[ $# -eq 2 ] || usage
built=$1
signed=$2
check_inputs
check_committed
[ -f "$built" ] || refuse "no build at $built"

set -- -h sha256 -certs "$SIGN_CERT" -key "$SIGN_KEY"
[ -n "${TIMESTAMP_URL:-}" ] && set -- "$@" -ts "$TIMESTAMP_URL"
mkdir -p "$(dirname "$signed")"
rm -f "$signed" "${signed%.exe}.buildinfo"
osslsigncode sign "$@" -in "$built" -out "$signed" >/dev/null ||
  refuse "osslsigncode could not sign $built"

# The signed file must be the build with this one signature attached in
# the standard form, byte for byte, CheckSum included: what
# tools/verify-release.sh will ask of it.
here=$(cd "$(dirname "$0")" && pwd)
"$here/compare-signed.sh" "$signed" "$built"
buildinfo=${signed%.exe}.buildinfo
"$here/build-env.sh" record "$(git rev-parse HEAD)" "$built" "$buildinfo" ||
  refuse "could not write the build environment file $buildinfo"
echo "signed $signed: the build of commit $(git rev-parse HEAD)"
echo "wrote $buildinfo: what built it, to publish with it"
[ -n "${TIMESTAMP_URL:-}" ] ||
  echo "release: no TIMESTAMP_URL, so no time stamp: tools/verify-release.sh accepts it only with --allow-no-timestamp" >&2
