#!/bin/sh
# Checks a signed QuenvaleEnroll.exe twice over:
#
# 1. Its Authenticode signature, with osslsigncode verify: the file's hash
#    against the signed one, the signature, and the signer's chain up to a
#    trusted root. The roots are CA.pem with --ca. Without --ca,
#    osslsigncode falls back to its default CA file, on Debian
#    /etc/ssl/certs/ca-certificates.crt: the roots Mozilla trusts for web
#    servers, not the ones Windows trusts for code signing. A pass there
#    says less than Windows' own check, and a publisher's private root is
#    not in it; the verdict names the file that was used. A time stamp is
#    trusted only if its TSA chain verifies (against --tsa-ca, else the same
#    default file); otherwise the verdict says so and the signer's
#    certificate is checked at the present time. A signer certificate that
#    names a CRL distribution point makes osslsigncode fetch that CRL.
#
# 2. That the file is the build of the commit (default HEAD): the commit is
#    built fresh from git archive in a temporary folder, and the two files
#    must be byte-identical except for what signing writes, which
#    tools/compare-signed.sh names and checks: the PE CheckSum (4 bytes at
#    optional header + 64), the Certificate Table entry of the data
#    directory (8 bytes, index 4), and the certificate table appended at the
#    end of the file, from its offset to the end (after up to 7 padding
#    bytes, which must be zeros). These are the parts the Authenticode hash
#    leaves out, so 1 and 2 together say: this commit's build, signed by
#    this signer.
#
# A file whose signature fails is not built against: it is not a release.
#
#   tools/verify-release.sh FILE [--ca CA.pem] [--tsa-ca TSA-CA.pem] [--commit REV]
# Exits 0 when both hold, 1 when anything does not, 2 on wrong use.
set -eu

usage() {
  echo "usage: tools/verify-release.sh FILE [--ca CA.pem] [--tsa-ca TSA-CA.pem] [--commit REV]" >&2
  exit 2
}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

file=""
ca=""
tsa_ca=""
rev=HEAD
while [ $# -gt 0 ]; do
  case "$1" in
    --ca) [ $# -ge 2 ] || usage; ca=$2; shift 2 ;;
    --tsa-ca) [ $# -ge 2 ] || usage; tsa_ca=$2; shift 2 ;;
    --commit) [ $# -ge 2 ] || usage; rev=$2; shift 2 ;;
    -*) usage ;;
    *) [ -z "$file" ] || usage; file=$1; shift ;;
  esac
done
[ -n "$file" ] || usage
[ -f "$file" ] || { echo "no file $file" >&2; exit 2; }
for given in "$ca" "$tsa_ca"; do
  [ -z "$given" ] || [ -r "$given" ] || { echo "cannot read $given" >&2; exit 2; }
done
commit=$(git -C "$root" rev-parse --verify --quiet "$rev^{commit}") ||
  { echo "$rev: no such commit in $root" >&2; exit 2; }

work=$(mktemp -d /tmp/qv-verify.XXXXXX)
# A signal ends the run through exit, so that the folder goes with it.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM PIPE

verdict_failed() {
  echo "VERDICT: FAILED: $*"
  exit 1
}

# The value after "LABEL:" on the first line carrying it in osslsigncode's
# report (after the line FROM when given).
field() {
  awk -v label="$1" -v from="${2:-}" '
    from != "" && index($0, from) { seen = 1 }
    (from == "" || seen) && $0 ~ "^[ \t]*" label "[ \t]*:" {
      sub(/^[^:]*: */, ""); print; exit
    }' "$work/osslsigncode"
}

echo "file:   $file"
echo "== signature: $(osslsigncode --version 2>/dev/null | head -n 1 | sed "s/,.*//")"
set -- -in "$file"
[ -z "$ca" ] || set -- "$@" -CAfile "$ca"
[ -z "$tsa_ca" ] || set -- "$@" -TSA-CAfile "$tsa_ca"
signature_ok=yes
osslsigncode verify "$@" >"$work/osslsigncode" 2>&1 || signature_ok=no

roots=$(field CAfile)
if [ -n "$ca" ]; then
  echo "roots:  $ca (--ca)"
else
  echo "roots:  ${roots:-none named}, osslsigncode's default CA file: roots trusted for TLS,"
  echo "        not Windows' code-signing roots; --ca names the publisher's root"
fi

if [ $signature_ok = no ]; then
  grep -E 'No signature found|MISMATCH|Error:|failed|Warning' "$work/osslsigncode" | sed 's/^[[:space:]]*/  osslsigncode: /'
  grep -q 'No signature found' "$work/osslsigncode" && verdict_failed "$file is not signed"
  verdict_failed "the Authenticode signature of $file does not verify against the roots above"
fi

echo "digest: $(field 'Message digest algorithm') Authenticode, the file's hash matches the signed one"
echo "signer: $(field Subject "Signer's certificate")"
echo "issuer: $(field Issuer "Signer's certificate")"
# osslsigncode 2.9 says "Timestamp time:", 2.5 (Debian 12's own) "The
# signature is timestamped:".
stamp=$(field 'Timestamp time')
[ -n "$stamp" ] || stamp=$(field 'The signature is timestamped')
if [ -z "$stamp" ]; then
  echo "time stamp: none; the signature holds only while the signer's certificate is valid"
elif grep -q 'Timestamp Server Signature verification: ok' "$work/osslsigncode"; then
  echo "time stamp: $stamp, its TSA chain verified against $(field "TSA's certificates file")"
else
  echo "time stamp: $stamp, NOT trusted: its TSA chain does not verify against $(field "TSA's certificates file");"
  echo "            the signer's certificate was checked at the present time instead"
fi

echo "== build: commit $commit, built fresh from git archive"
"$here/build-commit.sh" "$commit" "$work/built.exe" || verdict_failed "could not build commit $commit"
"$here/compare-signed.sh" "$file" "$work/built.exe" ||
  verdict_failed "$file is not the build of commit $commit"

echo "VERDICT: OK: $file is the build of commit $commit, signed by $(field Subject "Signer's certificate")"
[ -n "$ca" ] || echo "         whose chain was checked against $roots only"
