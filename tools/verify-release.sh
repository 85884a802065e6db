#!/bin/sh
# Checks that a signed QuenvaleEnroll.exe is exactly the build of one commit
# with exactly one honest Authenticode signature attached, by a signer that
# chains to the given root, and nothing else.
#
# The file is copied once, first, into a private temporary folder; every
# check reads that copy, so a file that changes during the run cannot pass
# one check as one file and the next as another. The verdict names the
# copy's SHA-256: the file to run is the one with that SHA-256.
#
# 1. The commit (--commit, default HEAD) is resolved before anything else.
#    A name that looks like a hash must resolve to a commit whose hash
#    starts with it and must not also be a ref's name: a tag named like a
#    short hash would otherwise stand in for that commit. Verifying builds
#    the commit, which runs its build scripts, so only commits of the
#    project's own history are built: those under HEAD, a local branch or
#    a remote-tracking branch of this clone; not one that only a tag or
#    nothing at all reaches.
#
# 2. The signature, in the copy's certificate table (authenticode.py, with
#    Debian's pefile and asn1crypto, from the bytes and the DER, never from
#    text a certificate can hold; DER in its one form only): one
#    WIN_CERTIFICATE in the standard form, ending the file, the CheckSum
#    the file's own; one signer; SHA-256 for the file's digest and the
#    signer's; at most one unauthenticated attribute, an RFC 3161 time
#    stamp (so no nested signature, which Windows would not judge, and no
#    room for a payload); only certificates of the signer's chain and the
#    time stamp authority's.
#    The signer's certificate must be for code signing and chain to a root
#    in --ca (at the time stamp's time), and --signer-sha256 pins it. The
#    time stamp must verify against --tsa-ca (else --ca) and be over this
#    signature; a signature without one is refused unless
#    --allow-no-timestamp, and the verdict then says so. osslsigncode
#    verify, on the copy with that one signature, says whether the file's
#    Authenticode digest is the signed one and the signature verifies: its
#    exit status only, from a version whose verify this script knows.
#
#    Without --ca the roots are Debian's default CA file,
#    /etc/ssl/certs/ca-certificates.crt: the roots Mozilla trusts for web
#    servers, not the ones Windows trusts for code signing, and a
#    publisher's private root is not in it; the verdict names the file
#    that was used. No revocation list is given to the checks; a signer
#    certificate that names a CRL distribution point makes osslsigncode
#    2.9 fetch that CRL.
#
# 3. The build: the commit is built fresh from its tree
#    (tools/build-commit.sh), and the copy must be that build with its own
#    signature attached in the form signing writes, byte for byte,
#    CheckSum included (tools/compare-signed.sh). A file whose signature
#    fails is not built against: it is not a release. QV_BUILD_CACHE names
#    a folder, one only you can write, where each commit's build is kept as
#    COMMIT-TOOLCHAIN.exe and taken from on the next run.
#
#    The same sources give the same bytes only with the same toolchain, so
#    the build uses the one the release was built with, which its build
#    environment file names (tools/build-env.sh; --buildinfo, else the
#    file's name with .buildinfo for .exe): this machine's when its
#    packages are those versions, else a root of that Debian release with
#    them, made by mmdebstrap and kept in build/toolchain-roots of this
#    clone (QV_TOOLCHAIN_ROOTS names another folder). When neither can be
#    had, the run stops with one line naming the package and both versions:
#    a toolchain that differs is never taken for a file that differs. What
#    the file says cannot make a file pass: the build is compared whole.
#
#   tools/verify-release.sh FILE [--ca CA.pem] [--tsa-ca TSA-CA.pem] [--commit REV]
#                                [--signer-sha256 FINGERPRINT] [--allow-no-timestamp]
#                                [--buildinfo FILE.buildinfo]
# Exits 0 when all of it holds, 1 when anything does not (the reason on the
# VERDICT line), 2 on wrong use, a missing or unknown tool, or a toolchain
# that cannot be had here.
set -eu

usage() {
  echo "usage: tools/verify-release.sh FILE [--ca CA.pem] [--tsa-ca TSA-CA.pem] [--commit REV]" >&2
  echo "                               [--signer-sha256 FINGERPRINT] [--allow-no-timestamp]" >&2
  echo "                               [--buildinfo FILE.buildinfo]" >&2
  exit 2
}
wrong() { echo "verify-release: $*" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
default_ca=/etc/ssl/certs/ca-certificates.crt

file=""
ca=""
tsa_ca=""
rev=HEAD
pin=""
buildinfo=""
unstamped=refused
while [ $# -gt 0 ]; do
  case "$1" in
    --ca) [ $# -ge 2 ] || usage; ca=$2; shift 2 ;;
    --tsa-ca) [ $# -ge 2 ] || usage; tsa_ca=$2; shift 2 ;;
    --commit) [ $# -ge 2 ] || usage; rev=$2; shift 2 ;;
    --signer-sha256) [ $# -ge 2 ] || usage; pin=$2; shift 2 ;;
    --allow-no-timestamp) unstamped=allowed; shift ;;
    --buildinfo) [ $# -ge 2 ] || usage; buildinfo=$2; shift 2 ;;
    -*) usage ;;
    *) [ -z "$file" ] || usage; file=$1; shift ;;
  esac
done
[ -n "$file" ] || usage
[ -f "$file" ] || wrong "no file $file"
buildinfo=${buildinfo:-${file%.exe}.buildinfo}
[ -f "$buildinfo" ] ||
  wrong "no build environment file $buildinfo: it is published with the release (or name it with --buildinfo)"
for given in "$ca" "$tsa_ca"; do
  [ -z "$given" ] || [ -r "$given" ] || wrong "cannot read $given"
done
if [ -n "$pin" ]; then
  pin=$(printf '%s' "$pin" | tr -d : | tr 'A-F' 'a-f')
  case "$pin" in *[!0-9a-f]*) wrong "--signer-sha256 takes a certificate's SHA-256, 64 hex digits" ;; esac
  [ ${#pin} -eq 64 ] || wrong "--signer-sha256 takes a certificate's SHA-256, 64 hex digits"
fi
ca_named="$ca (--ca)"
if [ -z "$ca" ]; then
  ca=$default_ca
  ca_named="$ca, Debian's default CA file: roots trusted for TLS, not Windows' code-signing roots"
fi
tsa_ca=${tsa_ca:-$ca}

for tool in git openssl python3 osslsigncode; do
  command -v "$tool" >/dev/null || wrong "$tool is missing (make deps installs it)"
done
# Only osslsigncode's exit status is read, and only once the file is known
# to hold a single signature; still, a version not checked here may mean
# something else by it. Debian 12's own is 2.5 (what make deps installs),
# 2.9 comes from bookworm-backports.
version=$(osslsigncode --version 2>/dev/null | sed -n '1s/^osslsigncode \([0-9][0-9.]*\), .*/\1/p')
case "$version" in
  2.5|2.9) ;;
  *) wrong "osslsigncode ${version:-of an unknown version}: not a version this script knows (2.5, 2.9)" ;;
esac
parsers=$(python3 "$here/authenticode.py" parsers 2>&1) || wrong "$parsers"

verdict_failed() {
  echo "VERDICT: FAILED: $*"
  exit 1
}

# The commit, resolved once; a name that looks like a hash must be that hash.
commit=$(git -C "$root" rev-parse --verify --quiet --end-of-options "$rev^{commit}") || commit=""
hexlike=no
case "$rev" in *[!0-9a-fA-F]*) ;; *) [ ${#rev} -lt 4 ] || [ ${#rev} -gt 40 ] || hexlike=yes ;; esac
if [ -z "$commit" ]; then
  if [ $hexlike = yes ] && [ "$(git -C "$root" rev-parse --disambiguate="$rev" 2>/dev/null | wc -l)" -gt 1 ]; then
    wrong "--commit $rev is ambiguous: several objects' hashes start with it; give more digits"
  fi
  wrong "--commit $rev: no such commit in $root"
fi
if [ $hexlike = yes ]; then
  prefix=$(printf '%s' "$rev" | tr 'A-F' 'a-f')
  case "$commit" in
    "$prefix"*) ;;
    *) verdict_failed "--commit $rev resolves to $commit, which does not start with $rev: a ref of that name hides the commit of that hash" ;;
  esac
  ref=$(git -C "$root" rev-parse --symbolic-full-name "$rev" 2>/dev/null || true)
  [ -z "$ref" ] ||
    verdict_failed "--commit $rev is ambiguous: it is both the start of a commit's hash and the ref $ref; give the full hash"
fi
if ! git -C "$root" merge-base --is-ancestor "$commit" HEAD 2>/dev/null &&
  [ -z "$(git -C "$root" for-each-ref --contains "$commit" --count=1 --format=x refs/heads refs/remotes)" ]; then
  verdict_failed "commit $commit is not under HEAD or any branch of this clone: building it would run build scripts from outside the project's history"
fi

work=$(mktemp -d /tmp/qv-verify.XXXXXX)
# A signal ends the run through exit, so that the folder goes with it.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM PIPE

copy=$work/release.exe
cp "$file" "$copy"
# The build environment file too is read once, from a copy.
environment_file=$work/release.buildinfo
cp "$buildinfo" "$environment_file"
environment=$("$here/build-env.sh" read "$environment_file" 2>&1) ||
  wrong "$(printf '%s\n' "$environment" | sed "s|^build-env: ||; s|$environment_file|$buildinfo|")"
sha=$(sha256sum "$copy" | cut -d' ' -f1)
echo "file:   $file"
echo "copy:   $(stat -c %s "$copy") bytes, SHA-256 $sha; every check reads this copy"
echo "commit: $commit"
built_by=$(printf '%s\n' "$environment" | sed -n 's/^distribution \([a-z]*\) \([0-9]*\)$/Debian \2 (\1)/p')
echo "built:  with the toolchain of $built_by, as $buildinfo says"
recorded=$(printf '%s\n' "$environment" | sed -n 's/^commit //p')
[ "$recorded" = "$commit" ] || echo "note:   $buildinfo was written for commit $recorded"

# Runs one of authenticode.py's checks; its refusal is the verdict.
judge() {
  python3 "$here/authenticode.py" "$@" >"$work/judged" 2>&1 && return 0
  reason=$(sed -n 's/^refused: //p' "$work/judged" | head -n 1)
  [ -n "$reason" ] || { cat "$work/judged" >&2; reason="authenticode.py $1 failed"; }
  verdict_failed "$reason"
}
fact() { sed -n "s/^$1 //p" "$work/signature/facts"; }

echo "== signature: osslsigncode $version, $(openssl version | cut -d' ' -f1-2), $parsers"
echo "roots:  $ca_named"
judge table "$copy" "$work/signature.der" "$file"
mkdir "$work/signature"
judge signature "$work/signature.der" "$work/signature" "$ca" "$tsa_ca"
echo "form:   one WIN_CERTIFICATE ending the file, one signer, SHA-256, the certificates of its chains only"
echo "signer: $(fact signer)"
echo "        certificate SHA-256 $(fact signer-sha256)"
if [ -n "$pin" ]; then
  [ "$(fact signer-sha256)" = "$pin" ] ||
    verdict_failed "the signer's certificate is not the one --signer-sha256 pins ($pin)"
  echo "        the one --signer-sha256 pins"
fi

set --
if [ -f "$work/signature/token.der" ]; then
  [ -s "$work/signature/tsa-chain.pem" ] && set -- -untrusted "$work/signature/tsa-chain.pem"
  openssl ts -verify -token_in -in "$work/signature/token.der" -data "$work/signature/signature.bin" \
    -CAfile "$tsa_ca" -attime "$(fact timestamp-epoch)" "$@" >"$work/openssl" 2>&1 ||
    verdict_failed "the time stamp does not verify against $tsa_ca: its authority is not trusted there, or it is not over this signature"
  echo "time stamp: $(fact timestamp), its authority's chain verified against $tsa_ca"
  when="at $(fact timestamp), the time stamp's time"
  set -- -attime "$(fact timestamp-epoch)"
elif [ $unstamped = allowed ]; then
  echo "time stamp: none, accepted with --allow-no-timestamp: the signature holds only while the signer's certificate is valid"
  when="now"
else
  verdict_failed "the signature has no time stamp (--allow-no-timestamp accepts one without)"
fi
[ -s "$work/signature/chain.pem" ] && set -- "$@" -untrusted "$work/signature/chain.pem"
openssl verify -CAfile "$ca" "$@" "$work/signature/signer.pem" >"$work/openssl" 2>&1 ||
  verdict_failed "the signer's certificate does not chain to a root in $ca $when"
echo "chain:  the signer's certificate chains to a root in $ca $when"
osslsigncode verify -in "$copy" -CAfile "$ca" -TSA-CAfile "$tsa_ca" >"$work/osslsigncode" 2>&1 ||
  verdict_failed "osslsigncode: the file's Authenticode digest is not the signed one, or the signature does not verify"
echo "digest: the file's SHA-256 Authenticode digest is the signed one, and the signature verifies"

echo "== build: commit $commit, from its tree, with the toolchain of $built_by"
cached=""
[ -z "${QV_BUILD_CACHE:-}" ] || cached=$QV_BUILD_CACHE/$commit-$("$here/build-env.sh" key "$environment_file").exe
if [ -n "$cached" ] && [ -f "$cached" ]; then
  cp "$cached" "$work/built.exe"
  echo "taken from $cached, built there earlier"
else
  "$here/build-env.sh" differences "$environment_file" >"$work/differences"
  set --
  if [ -s "$work/differences" ]; then
    while read -r name release installed; do
      echo "toolchain: $name $release in the release, $installed here"
    done <"$work/differences"
    roots=${QV_TOOLCHAIN_ROOTS:-$root/build/toolchain-roots}
    echo "toolchain: so the build runs in a root of $built_by with the release's, kept in $roots"
    toolchain_root=$("$here/build-env.sh" root "$environment_file" "$roots" 2>"$work/root.log") ||
      wrong "cannot rebuild with the release's toolchain: $(sed -n 's/^build-env: //p' "$work/root.log" | tail -n 1)"
    echo "toolchain: $toolchain_root"
    set -- "$toolchain_root"
  else
    echo "toolchain: this machine's, the release's"
  fi
  "$here/build-commit.sh" "$commit" "$work/built.exe" "$@" 2>"$work/build.log" || {
    sed 's/^/  /' "$work/build.log"
    verdict_failed "could not build commit $commit: $(tail -n 1 "$work/build.log" | sed 's/^build-commit: //')"
  }
  sed 's/^build-commit: /note: /' "$work/build.log"
  if [ -n "$cached" ]; then
    mkdir -p "$QV_BUILD_CACHE"
    cp "$work/built.exe" "$cached.$$" && mv "$cached.$$" "$cached"
  fi
fi
"$here/compare-signed.sh" "$copy" "$work/built.exe" >"$work/compared" || {
  cat "$work/compared"
  verdict_failed "$file is not the build of commit $commit: $(sed -n 's/^FAIL: //p' "$work/compared")"
}
cat "$work/compared"

echo "VERDICT: OK: $file (SHA-256 $sha) is the build of commit $commit, signed by $(fact signer)"
[ $unstamped = refused ] || [ -f "$work/signature/token.der" ] ||
  echo "         WITHOUT a time stamp (--allow-no-timestamp): it holds only while the signer's certificate is valid"
[ "$ca" != "$default_ca" ] || echo "         whose chain was checked against $ca only"
