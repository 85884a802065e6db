#!/bin/sh
# The signed release from both ends. The publisher's side: HEAD's product,
# built from the commit alone, signed by tools/sign-release.sh in a clean
# clone of HEAD (the checkout under test may hold uncommitted work, the
# clone never does), with a chain from a throwaway CA made here and a time
# stamp from a throwaway RFC 3161 server on 127.0.0.1. The provider's side:
# tools/verify-release.sh on that file and on files that must not pass:
# forgeries made here the way an attacker without the publisher's key would
# make them, with osslsigncode and small DER edits (forge.py below).
#
# The verifier runs in a clone of its own with the checkout's tools copied
# in, where the commits and tags of the --commit cases are made. Builds are
# the slow part: QV_BUILD_CACHE keeps them, so that each commit is built
# once, but for HEAD, which the verifier builds itself once more.
#
# It runs with whichever osslsigncode is first on PATH: make deps installs
# Debian 12's own, 2.5; bookworm-backports has 2.9. Both are to pass.
#   tests/release/release_test.sh
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
tools=$root/tools
work=$(mktemp -d /tmp/qv-release-test.XXXXXX)
httpd_pid=""
verify_pid=""
cleanup() {
  if [ -n "$httpd_pid" ]; then kill "$httpd_pid" 2>/dev/null || true; fi
  if [ -n "$verify_pid" ]; then kill "$verify_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
failed=0
echo "$(osslsigncode --version 2>/dev/null | head -n 1 | sed 's/,.*//'), $(command -v osslsigncode)"

# Runs a set-up step; shows its output only when it fails.
quiet() {
  "$@" >"$work/log" 2>&1 || { echo "set-up step failed: $*"; cat "$work/log"; exit 1; }
}

# A root, an intermediate under it, and under that the publisher's leaf
# (codeSigning) and a time stamp authority (timeStamping). The impostor's
# certificate signs itself; so does a rogue time stamp authority's, named
# like a line of osslsigncode's report.
certificate() { # NAME SUBJECT ISSUER EXTENSIONS
  quiet openssl req -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.csr" -subj "$2"
  printf '%b\n' "$4" >"$work/$1.ext"
  quiet openssl x509 -req -in "$work/$1.csr" -CA "$work/$3.pem" -CAkey "$work/$3.key" \
    -set_serial "0x$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n')" -days 2 -extfile "$work/$1.ext" -out "$work/$1.pem"
}
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/root.key" -out "$work/root.pem" -days 2 \
  -subj "/CN=Throwaway Test Root" -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
certificate intermediate "/CN=Throwaway Test Intermediate" root \
  'basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign'
certificate publisher "/CN=Quenvale Test Publisher/O=Quenvale" intermediate \
  'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning'
certificate tsa "/CN=Throwaway Test TSA" intermediate \
  'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping'
cat "$work/publisher.pem" "$work/intermediate.pem" >"$work/publisher-chain.pem"
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/impostor.key" -out "$work/impostor.pem" -days 2 \
  -subj "/CN=Quenvale Test Publisher/O=Quenvale" -addext "extendedKeyUsage=codeSigning"
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/rogue.key" -out "$work/rogue.pem" -days 2 \
  -subj "/CN=Timestamp Server Signature verification: ok" -addext "extendedKeyUsage=critical,timeStamping"
fingerprint() { openssl x509 -in "$1" -outform DER | sha256sum | cut -d' ' -f1; }

# The time stamp servers: busybox httpd handing each request to openssl ts,
# as the throwaway authority (its chain above it with each reply) or as the
# rogue one.
mkdir -p "$work/www/cgi-bin"
for authority in tsa rogue; do
  echo 01 >"$work/$authority.serial"
  cat >"$work/$authority.cnf" <<EOF
[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = $work/$authority.serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.0.1
digests = sha256
ess_cert_id_alg = sha256
EOF
  cat >"$work/www/cgi-bin/$authority" <<EOF
#!/bin/sh
printf 'Content-Type: application/timestamp-reply\r\n\r\n'
exec openssl ts -reply -config "$work/$authority.cnf" -queryfile /dev/stdin \
  -signer "$work/$authority.pem" -inkey "$work/$authority.key" -out /dev/stdout 2>>"$work/tsa.log"
EOF
  chmod +x "$work/www/cgi-bin/$authority"
done
echo "certs = $work/intermediate.pem" >>"$work/tsa.cnf"
port=$((20000 + $$ % 20000))
for _ in 1 2 3 4 5 6 7 8; do
  busybox httpd -f -p "127.0.0.1:$port" -h "$work/www" 2>>"$work/httpd.log" &
  httpd_pid=$!
  sleep 0.3
  kill -0 "$httpd_pid" 2>/dev/null && break
  httpd_pid=""
  port=$((port + 1))
done
[ -n "$httpd_pid" ] || { echo "set-up step failed: no port for the time stamp server"; cat "$work/httpd.log"; exit 1; }
stamp_url=http://127.0.0.1:$port/cgi-bin/tsa

# The attacker's tool for what osslsigncode does not do: the PKCS#7 of a
# signed file edited as DER and written back into a certificate table, the
# CheckSum made right again unless the edit is about it.
cat >"$work/forge.py" <<'EOF'
import struct, sys

def tlv(tag, body):
    n = len(body)
    if n < 0x80:
        return bytes([tag, n]) + body
    digits = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(digits)]) + digits + body

def element(body, at):
    tag, first = body[at], body[at + 1]
    if first < 0x80:
        start, n = at + 2, first
    else:
        start = at + 2 + (first & 0x7F)
        n = int.from_bytes(body[at + 2:start], "big")
    return [tag, body[start:start + n]], start + n

def items(body):
    found, at = [], 0
    while at < len(body):
        item, at = element(body, at)
        found.append(item)
    return found

def join(parts):
    return b"".join(tlv(tag, body) for tag, body in parts)

def pe(data):
    at = struct.unpack_from("<I", data, 60)[0] + 24
    return at + 64, at + 112 + 4 * 8

def checksum(data, at):
    total = 0
    words = data[:at] + bytes(4) + data[at + 4:] + bytes(len(data) % 2)
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF

def signature(path):
    data = open(path, "rb").read()
    at, size = struct.unpack_from("<II", data, pe(data)[1])
    return data[:at], data[at + 8:element(data, at + 8)[1]]

def attribute(oid_der, value):
    return [0x30, oid_der + tlv(0x31, value)]

def oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        while part > 0x7F:
            part >>= 7
            chunk.insert(0, 0x80 | (part & 0x7F))
        body += bytes(chunk)
    return tlv(0x06, body)

def edit_signer(der, change):
    content_info = items(der)[0]
    oid_part, wrapped = items(content_info[1])
    signed = items(wrapped[1])[0]
    fields = items(signed[1])
    signers = items(fields[-1][1])
    info = items(signers[0][1])
    change(info)
    signers[0][1] = join(info)
    fields[-1][1] = join(signers)
    return tlv(0x30, join([oid_part, [0xA0, tlv(0x30, join(fields))]]))

def add_unsigned(der, parts):
    def change(info):
        if info[-1][0] != 0xA1:
            info.append([0xA1, b""])
        info[-1][1] += join([parts])
    return edit_signer(der, change)

def strip_unsigned(der):
    return edit_signer(der, lambda info: info.pop() if info[-1][0] == 0xA1 else None)

def add_certificate(der, certificate):
    content_info = items(der)[0]
    oid_part, wrapped = items(content_info[1])
    fields = items(items(wrapped[1])[0][1])
    for field in fields:
        if field[0] == 0xA0:
            field[1] += certificate
    return tlv(0x30, join([oid_part, [0xA0, tlv(0x30, join(fields))]]))

def pad_version(der):
    content_info = items(der)[0]
    oid_part, wrapped = items(content_info[1])
    fields = items(items(wrapped[1])[0][1])
    fields[0][1] = b"\0" + fields[0][1]
    return tlv(0x30, join([oid_part, [0xA0, tlv(0x30, join(fields))]]))

# forge.py length SIGNED | forge.py SIGNED OUT EDIT...
if sys.argv[1] == "length":
    print(len(signature(sys.argv[2])[1]))
    sys.exit(0)
image, der = signature(sys.argv[1])
edits, tail, fill, wrong_checksum = sys.argv[3:], b"", 0, False
while edits:
    edit = edits.pop(0)
    if edit == "primary":        # the signature of another signed file instead
        der = signature(edits.pop(0))[1]
    elif edit == "nest":         # another file's signature as a nested one
        der = add_unsigned(der, attribute(oid("1.3.6.1.4.1.311.2.4.1"), signature(edits.pop(0))[1]))
    elif edit == "stuff":        # an unauthenticated attribute of one's own
        der = add_unsigned(der, attribute(oid("1.3.6.1.4.1.57264.7.1"), tlv(0x04, b"per-download tag 0001" * 8)))
    elif edit == "strip":        # no unauthenticated attributes: no time stamp
        der = strip_unsigned(der)
    elif edit == "certificate":  # one more certificate in the SignedData
        der = add_certificate(der, open(edits.pop(0), "rb").read())
    elif edit == "trailing":     # bytes after the PKCS#7 inside dwLength
        tail = b"per-download tag 0001"
    elif edit == "padding":      # the alignment bytes not zeros
        assert (len(der) + len(tail)) % 8, "no alignment bytes to change"
        fill = 0x51
    elif edit == "zero":         # the version with a needless leading zero, 1 all the same
        der = pad_version(der)
    elif edit == "checksum":
        wrong_checksum = True
    elif edit != "fix":
        sys.exit("unknown edit " + edit)
entry = der + tail
entry += bytes([fill]) * (-len(entry) % 8)
image = bytearray(image + struct.pack("<IHH", 8 + len(entry), 0x200, 2) + entry)
checksum_at, directory = pe(image)
struct.pack_into("<II", image, directory, len(image) - 8 - len(entry), 8 + len(entry))
struct.pack_into("<I", image, checksum_at, checksum(bytes(image), checksum_at) ^ (0x5A5A if wrong_checksum else 0))
open(sys.argv[2], "wb").write(image)
EOF
forge() { quiet python3 "$work/forge.py" "$@"; }

# HEAD's product, and a clean clone of HEAD to sign it in, as make release
# does: dist/ holds the build, which git ignores.
head=$(git -C "$root" rev-parse HEAD)
quiet "$tools/build-commit.sh" "$head" "$work/built.exe"
quiet git clone -q --no-checkout "$root" "$work/clone"
quiet git -C "$work/clone" checkout -q --detach "$head"
mkdir "$work/clone/dist"
cp "$work/built.exe" "$work/clone/dist/QuenvaleEnroll.exe"

# sign WITH_CERT WITH_KEY BUILT SIGNED [TIMESTAMP_URL], in the clone.
sign() {
  (cd "$work/clone" && SIGN_CERT=$1 SIGN_KEY=$2 TIMESTAMP_URL=${5:-} "$tools/sign-release.sh" "$3" "$4")
}
# The release. Signed again, with a time stamp serial number one byte
# longer each time, until its PKCS#7 is not a multiple of 8 bytes long, so
# that there are alignment bytes to forge.
serial=01
for _ in 1 2 3 4; do
  echo "$serial" >"$work/tsa.serial"
  quiet sign "$work/publisher-chain.pem" "$work/publisher.key" dist/QuenvaleEnroll.exe "$work/signed.exe" "$stamp_url"
  [ $(($(python3 "$work/forge.py" length "$work/signed.exe") % 8)) -eq 0 ] || break
  serial=${serial}00
done

# The files of the first cases: the build with one byte changed and then
# signed by the trusted publisher, so only the comparison with the commit
# can catch it (in .text, and in the COFF header's TimeDateStamp); the
# signed file with one byte changed afterwards and its CheckSum made right;
# the build signed by a certificate of the same name that no trusted root
# issued; the build unsigned.
le32() { od -An -v -tu1 -j "$2" -N 4 "$1" | { read -r a b c d; echo $((a | b << 8 | c << 16 | d << 24)); }; }
flip() { # FILE OFFSET: inverts that byte
  byte=$(od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' ')
  printf '%b' "\\0$(printf %03o $((byte ^ 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
text_at=$((0x$(x86_64-w64-mingw32-objdump -h "$work/built.exe" | awk '$2 == ".text" { print $6 }') + 256))
header_at=$(($(le32 "$work/built.exe" 60) + 8))
cp "$work/built.exe" "$work/text-changed.exe"
flip "$work/text-changed.exe" "$text_at"
cp "$work/built.exe" "$work/header-changed.exe"
flip "$work/header-changed.exe" "$header_at"
quiet sign "$work/publisher-chain.pem" "$work/publisher.key" "$work/text-changed.exe" "$work/text-changed-signed.exe" "$stamp_url"
quiet sign "$work/publisher-chain.pem" "$work/publisher.key" "$work/header-changed.exe" "$work/header-changed-signed.exe" "$stamp_url"
cp "$work/signed.exe" "$work/signed-then-changed.exe"
flip "$work/signed-then-changed.exe" "$text_at"
forge "$work/signed-then-changed.exe" "$work/signed-then-changed.exe" fix
quiet sign "$work/impostor.pem" "$work/impostor.key" dist/QuenvaleEnroll.exe "$work/impostor.exe"

# The forgeries, each from the release and what an attacker has: their own
# key and time stamp server, the publisher's other signed files.
# More than one signature:
quiet osslsigncode sign -nest -h sha256 -certs "$work/impostor.pem" -key "$work/impostor.key" \
  -in "$work/signed.exe" -out "$work/nested.exe"
forge "$work/impostor.exe" "$work/grafted.exe" nest "$work/signed.exe"
forge "$work/signed.exe" "$work/foreign-primary.exe" primary "$work/text-changed-signed.exe" nest "$work/signed.exe"
# A certificate table other than the standard one:
forge "$work/signed.exe" "$work/trailing.exe" trailing
forge "$work/signed.exe" "$work/padding.exe" padding
forge "$work/signed.exe" "$work/stuffed.exe" stuff
quiet osslsigncode add -addUnauthenticatedBlob -in "$work/signed.exe" -out "$work/blob.exe"
openssl x509 -in "$work/impostor.pem" -outform DER -out "$work/impostor.der"
forge "$work/signed.exe" "$work/extra-certificate.exe" certificate "$work/impostor.der"
forge "$work/signed.exe" "$work/checksum.exe" checksum
# The same values in another encoding:
forge "$work/signed.exe" "$work/not-der.exe" zero
# The time stamp stripped, or replaced by the rogue authority's:
forge "$work/signed.exe" "$work/unstamped.exe" strip
quiet osslsigncode add -ts "http://127.0.0.1:$port/cgi-bin/rogue" -in "$work/unstamped.exe" -out "$work/rogue-stamped.exe"
# Each file is checked with the build environment file beside it: signing
# wrote one for each file it signed; every other file comes, as a forger
# would publish it, with the release's.
for exe in "$work"/*.exe; do
  [ -f "${exe%.exe}.buildinfo" ] || cp "$work/signed.buildinfo" "${exe%.exe}.buildinfo"
done

# The verifier's clone, with the checkout's tools, and in it: a commit that
# builds something else than its git archive does (a file it includes is
# export-ignore); one whose build reads a file outside its tree through a
# relative link; a newer commit with a tag of its short hash on HEAD; and a
# commit that only a tag reaches.
verifier=$work/verifier
export GIT_AUTHOR_NAME=test GIT_AUTHOR_EMAIL=test@example.invalid
export GIT_COMMITTER_NAME=test GIT_COMMITTER_EMAIL=test@example.invalid
in_verifier() { quiet git -C "$verifier" "$@"; }
quiet git clone -q --no-checkout "$root" "$verifier"
in_verifier checkout -q -b attributes "$head"
printf '\ninclude(cmake/extra.cmake OPTIONAL)\n' >>"$verifier/CMakeLists.txt"
printf 'if(TARGET QuenvaleEnroll)\n  set_target_properties(QuenvaleEnroll PROPERTIES VERSION 7.0)\nendif()\n' \
  >"$verifier/cmake/extra.cmake"
echo "cmake/extra.cmake export-ignore" >"$verifier/.gitattributes"
in_verifier add CMakeLists.txt cmake/extra.cmake .gitattributes
in_verifier commit -q -m "A build setting that git archive leaves out"
in_verifier checkout -q -b symlink "$head"
printf '\ninclude(cmake/extra.cmake OPTIONAL)\n' >>"$verifier/CMakeLists.txt"
echo "# read from outside the commit's tree" >"$work/outside.cmake"
ln -s "../../../$(basename "$work")/outside.cmake" "$verifier/cmake/extra.cmake"
in_verifier add CMakeLists.txt cmake/extra.cmake
in_verifier commit -q -m "A build file from outside the tree"
in_verifier checkout -q -b newer "$head"
in_verifier commit -q --allow-empty -m "A newer commit"
attributes=$(git -C "$verifier" rev-parse attributes)
symlink=$(git -C "$verifier" rev-parse symlink)
short=$(git -C "$verifier" rev-parse newer | cut -c1-7)
in_verifier tag "$short" "$head"
stray=$(git -C "$verifier" commit-tree "$head^{tree}" -p "$head" -m "A commit on no branch")
in_verifier tag stray "$stray"
in_verifier checkout -q --detach "$head"
cp -R "$tools/." "$verifier/tools/"
# HEAD's build made above is the one the verifier would make: kept for the
# cases, all but the swapped file's, which builds HEAD itself.
mkdir "$work/builds"
cp "$work/built.exe" "$work/builds/$head-$("$tools/build-env.sh" key "$work/signed.buildinfo").exe"
export QV_BUILD_CACHE="$work/builds"

# check NAME STATUS WANT EXPECTED: judges one run, whose output is in
# $work/out. EXPECTED holds the lines that must all appear in it, one a line.
check() {
  missing=$(printf '%s\n' "$4" | while IFS= read -r line; do
    [ -z "$line" ] || grep -qF -- "$line" "$work/out" || printf '%s\n' "$line"; done)
  if [ "$2" -eq "$3" ] && [ -z "$missing" ]; then
    echo "ok   $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1: exit $2 (want $3)"
    [ -z "$missing" ] || printf '%s\n' "$missing" | sed 's/^/     missing: /'
    sed 's/^/     | /' "$work/out"
  fi
}
# verify NAME FILE STATUS EXPECTED_LINE... -- OPTIONS...: one row, run with
# $path as PATH.
path=$PATH
verify() {
  name=$1 file=$work/$2 want=$3
  shift 3
  expected=""
  while [ "$1" != -- ]; do expected="$expected$1
"; shift; done
  shift
  status=0
  PATH=$path "$verifier/tools/verify-release.sh" "$file" "$@" >"$work/out" 2>&1 || status=$?
  check "$name" "$status" "$want" "$expected"
}
ca="--ca $work/root.pem --tsa-ca $work/root.pem"
hex() { printf '0x%08x' "$1"; }
sha() { sha256sum "$work/$1" | cut -d' ' -f1; }
failed_line="VERDICT: FAILED:"
# shellcheck disable=SC2086
{
verify "HEAD's signed build passes: its signer, pinned; a verified time stamp; HEAD by its short hash" signed.exe 0 \
  "signer: /CN=Quenvale Test Publisher/O=Quenvale" \
  "its authority's chain verified against $work/root.pem" \
  "identical: 0x00000000-" \
  "VERDICT: OK: $work/signed.exe (SHA-256 $(sha signed.exe)) is the build of commit $head" -- \
  $ca --signer-sha256 "$(fingerprint "$work/publisher.pem")" --commit "$(echo "$head" | cut -c1-12)"
verify "without --ca the throwaway root is not trusted, and the roots used are named" signed.exe 1 \
  "Debian's default CA file" \
  "$failed_line the certificate atop the signer's chain is not issued by a root in /etc/ssl/certs/ca-certificates.crt" --
verify "a signer other than the pinned one fails" signed.exe 1 \
  "$failed_line the signer's certificate is not the one --signer-sha256 pins" -- \
  $ca --signer-sha256 "$(fingerprint "$work/intermediate.pem")"
verify "a byte of .text changed before signing is found by the comparison" text-changed-signed.exe 1 \
  "1 byte(s) differ from the build outside the CheckSum, the first at $(hex "$text_at")" \
  "$failed_line $work/text-changed-signed.exe is not the build of commit $head" -- $ca
verify "a byte of the header changed before signing is found by the comparison" header-changed-signed.exe 1 \
  "1 byte(s) differ from the build outside the CheckSum, the first at $(hex "$header_at")" \
  "$failed_line $work/header-changed-signed.exe is not the build of commit $head" -- $ca
verify "a byte changed after signing breaks the signature, CheckSum or not" signed-then-changed.exe 1 \
  "$failed_line osslsigncode: the file's Authenticode digest is not the signed one" -- $ca
verify "a certificate of the same name from no trusted root fails" impostor.exe 1 \
  "$failed_line the certificate atop the signer's chain is not issued by a root in $work/root.pem" -- $ca
verify "an unsigned build fails" built.exe 1 "$failed_line $work/built.exe is not signed" -- $ca
verify "a second signature nested by an untrusted signer fails" nested.exe 1 \
  "$failed_line a nested signature (1.3.6.1.4.1.311.2.4.1) rides in the unauthenticated attributes" -- $ca
verify "the attacker's signature as the primary, the genuine one nested in it, fails" grafted.exe 1 \
  "$failed_line a nested signature (1.3.6.1.4.1.311.2.4.1)" -- $ca
verify "a primary from another file, the genuine one nested in it, fails" foreign-primary.exe 1 \
  "$failed_line a nested signature (1.3.6.1.4.1.311.2.4.1)" -- $ca
verify "bytes after the PKCS#7 inside dwLength fail" trailing.exe 1 \
  "PKCS#7 inside its WIN_CERTIFICATE, where only zeros up to a multiple of 8 belong" -- $ca
verify "alignment bytes that are not zeros fail" padding.exe 1 \
  "$failed_line the alignment bytes after the PKCS#7 are not all zeros" -- $ca
verify "an unauthenticated attribute stuffed with data fails" stuffed.exe 1 \
  "$failed_line the signer has 2 unauthenticated attributes; the one allowed is an RFC 3161 time stamp" -- $ca
verify "an unauthenticated blob from osslsigncode add fails" blob.exe 1 \
  "$failed_line the signer has 2 unauthenticated attributes" -- $ca
verify "a certificate off the signer's and the time stamp's chains fails" extra-certificate.exe 1 \
  "$failed_line the signature carries a certificate on neither the signer's chain nor the time stamp authority's" -- $ca
verify "a CheckSum that is not the file's fails" checksum.exe 1 "$failed_line the PE CheckSum" -- $ca
verify "a signature whose time stamp was stripped fails" unstamped.exe 1 \
  "$failed_line the signature has no time stamp" -- $ca
verify "a signature without a time stamp passes with --allow-no-timestamp, and the verdict says so" unstamped.exe 0 \
  "VERDICT: OK: $work/unstamped.exe" "WITHOUT a time stamp (--allow-no-timestamp)" -- $ca --allow-no-timestamp
verify "a time stamp from an untrusted authority named like osslsigncode's report fails" rogue-stamped.exe 1 \
  "$failed_line the certificate atop the time stamp authority's chain is not issued by a root in $work/root.pem" -- $ca
verify "a tag named like a newer commit's short hash does not stand in for it" signed.exe 1 \
  "$failed_line --commit $short resolves to $head, which does not start with $short" -- $ca --commit "$short"
verify "a commit that only a tag reaches is not built" signed.exe 1 \
  "$failed_line commit $stray is not under HEAD or any branch of this clone" -- $ca --commit stray
verify "the build of a commit is its tree's, whatever export-ignore says" signed.exe 1 \
  "$failed_line $work/signed.exe is not the build of commit $attributes" -- $ca --commit attributes
verify "a link out of the commit's tree is refused" signed.exe 1 \
  "$failed_line could not build commit $symlink: the symbolic link cmake/extra.cmake leads out of the commit's tree" -- \
  $ca --commit symlink
verify "a PKCS#7 whose values are the signature's but whose encoding is not DER's one fails" not-der.exe 1 \
  "$failed_line the signature is not DER in its one form" -- $ca
}

# A file swapped for another while the verifier builds: signed by the
# publisher but not the build when it is read first, the build signed by
# the impostor afterwards. What was read first is what is judged.
cp "$work/text-changed-signed.exe" "$work/swapped.exe"
cp "$work/text-changed-signed.buildinfo" "$work/swapped.buildinfo"
: >"$work/out"
status=0
# shellcheck disable=SC2086
env -u QV_BUILD_CACHE "$verifier/tools/verify-release.sh" "$work/swapped.exe" $ca >"$work/out" 2>&1 &
verify_pid=$!
while kill -0 "$verify_pid" 2>/dev/null && ! grep -q '^== build' "$work/out"; do sleep 0.1; done
cp "$work/impostor.exe" "$work/swapped.new"
mv "$work/swapped.new" "$work/swapped.exe"
wait "$verify_pid" || status=$?
verify_pid=""
check "a file swapped during the run is judged as it was first read" "$status" 1 \
  "$failed_line $work/swapped.exe is not the build of commit $head"

# An osslsigncode whose report this script has not been checked against.
mkdir "$work/fakebin"
printf '#!/bin/sh\necho "osslsigncode 3.0, using:"\n' >"$work/fakebin/osslsigncode"
chmod +x "$work/fakebin/osslsigncode"
path=$work/fakebin:$PATH
# shellcheck disable=SC2086
verify "an osslsigncode of a version the script does not know is refused" signed.exe 2 \
  "osslsigncode 3.0: not a version this script knows" -- $ca
path=$PATH

# The build environment file: signing writes it beside the signed file;
# the verifier refuses a release without one or one of another form, and
# names a toolchain it cannot have rather than take it for a forgery.
gcc=g++-mingw-w64-x86-64-posix
cp "$work/signed.buildinfo" "$work/out"
check "signing writes beside the signed file what built it: the commit, the Debian release, this machine's MinGW GCC" 0 0 \
  "Commit: $head
Build-Distribution: $(. /etc/os-release && echo "$VERSION_CODENAME")
 $gcc (= $(dpkg-query -W -f='${Version}' $gcc)),"
cp "$work/signed.exe" "$work/without.exe"
# shellcheck disable=SC2086
verify "a release without its build environment file is refused, the file named" without.exe 2 \
  "no build environment file $work/without.buildinfo" -- $ca
sed 's/^ make (= \([^)]*\))/ make (= \1;reboot)/' "$work/signed.buildinfo" >"$work/edited.buildinfo"
# shellcheck disable=SC2086
verify "a build environment file with a package line of another form is refused" signed.exe 2 \
  "is not in its form: line " -- $ca --buildinfo "$work/edited.buildinfo"
sed "s/^ $gcc (= .*),$/ $gcc (= 0~never),/" "$work/signed.buildinfo" >"$work/never.buildinfo"
# shellcheck disable=SC2086
verify "a MinGW GCC that Debian's archive does not serve is named with both versions, not taken for a forgery" \
  signed.exe 2 "Debian's archive for $(. /etc/os-release && echo "$VERSION_CODENAME") does not serve $gcc 0~never, the release's; this machine has $(dpkg-query -W -f='${Version}' $gcc)" -- \
  $ca --buildinfo "$work/never.buildinfo"

# Signing adds a certificate table and nothing else the binary check sees.
if "$tools/check-exe.sh" "$work/signed.exe" >"$work/out" 2>&1; then
  echo "ok   the signed file passes the binary check"
else
  failed=$((failed + 1))
  echo "FAIL the signed file passes the binary check"
  sed 's/^/     | /' "$work/out"
fi

# A checkout with uncommitted work is refused before anything is signed.
refuse() { # NAME EXPECTED_LINE: after the clone was made dirty
  status=0
  sign "$work/publisher-chain.pem" "$work/publisher.key" dist/QuenvaleEnroll.exe "$work/refused.exe" \
    >"$work/out" 2>&1 || status=$?
  if [ "$status" -eq 1 ] && grep -qF -- "$2" "$work/out" && [ ! -e "$work/refused.exe" ]; then
    echo "ok   $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1: exit $status"
    sed 's/^/     | /' "$work/out"
  fi
  git -C "$work/clone" checkout -q -- .
  git -C "$work/clone" clean -q -f
}
echo "one more line" >>"$work/clone/README.md"
refuse "a changed tracked file is refused" " M README.md"
echo "notes" >"$work/clone/notes.txt"
refuse "an untracked file that git does not ignore is refused" "?? notes.txt"

[ "$failed" -eq 0 ] || { echo "$failed case(s) failed"; exit 1; }
echo "all cases passed"
