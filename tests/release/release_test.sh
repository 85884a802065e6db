#!/bin/sh
# The signed release from both ends. The publisher's side: HEAD's product,
# built from the commit alone, signed by tools/sign-release.sh in a clean
# clone of HEAD (the checkout under test may hold uncommitted work, the
# clone never does), with a chain from a throwaway CA made here and a time
# stamp from a throwaway RFC 3161 server on 127.0.0.1. The provider's side:
# tools/verify-release.sh on that file and on files that must not pass.
#   tests/release/release_test.sh
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
tools=$root/tools
work=$(mktemp -d /tmp/qv-release-test.XXXXXX)
httpd_pid=""
cleanup() {
  if [ -n "$httpd_pid" ]; then kill "$httpd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
failed=0

# Runs a set-up step; shows its output only when it fails.
quiet() {
  "$@" >"$work/log" 2>&1 || { echo "set-up step failed: $*"; cat "$work/log"; exit 1; }
}

# A root, an intermediate under it, and under that the publisher's leaf
# (codeSigning) and a time stamp authority (timeStamping). The impostor's
# certificate signs itself.
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
cat "$work/tsa.pem" "$work/intermediate.pem" >"$work/tsa-chain.pem"
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/impostor.key" -out "$work/impostor.pem" -days 2 \
  -subj "/CN=Quenvale Test Publisher/O=Quenvale" -addext "extendedKeyUsage=codeSigning"

# The time stamp server: busybox httpd handing each request to openssl ts.
mkdir -p "$work/www/cgi-bin"
echo 01 >"$work/tsa.serial"
cat >"$work/tsa.cnf" <<EOF
[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = $work/tsa.serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.0.1
digests = sha256
certs = $work/tsa-chain.pem
ess_cert_id_alg = sha256
EOF
cat >"$work/www/cgi-bin/ts" <<EOF
#!/bin/sh
printf 'Content-Type: application/timestamp-reply\r\n\r\n'
exec openssl ts -reply -config "$work/tsa.cnf" -queryfile /dev/stdin \
  -signer "$work/tsa.pem" -inkey "$work/tsa.key" -out /dev/stdout 2>>"$work/tsa.log"
EOF
chmod +x "$work/www/cgi-bin/ts"
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
quiet sign "$work/publisher-chain.pem" "$work/publisher.key" dist/QuenvaleEnroll.exe "$work/signed.exe" \
  "http://127.0.0.1:$port/cgi-bin/ts"

# Files that must not pass: the build with one byte changed and then signed
# by the trusted publisher, so only the comparison with the commit can
# catch it (in .text, and in the COFF header's TimeDateStamp); the signed
# file with one byte changed afterwards; the build signed by a certificate
# of the same name that no trusted root issued; the build unsigned.
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
quiet sign "$work/publisher-chain.pem" "$work/publisher.key" "$work/text-changed.exe" "$work/text-changed-signed.exe"
quiet sign "$work/publisher-chain.pem" "$work/publisher.key" "$work/header-changed.exe" "$work/header-changed-signed.exe"
cp "$work/signed.exe" "$work/signed-then-changed.exe"
flip "$work/signed-then-changed.exe" "$text_at"
quiet sign "$work/impostor.pem" "$work/impostor.key" dist/QuenvaleEnroll.exe "$work/impostor.exe"

# verify NAME FILE STATUS EXPECTED_LINE... -- OPTIONS...: one row. The
# expected lines must all appear in the script's output.
verify() {
  name=$1 file=$work/$2 want=$3
  shift 3
  expected=""
  while [ "$1" != -- ]; do expected="$expected$1
"; shift; done
  shift
  status=0
  "$tools/verify-release.sh" "$file" "$@" >"$work/out" 2>&1 || status=$?
  missing=$(printf '%s' "$expected" | while IFS= read -r line; do
    grep -qF -- "$line" "$work/out" || printf '%s\n' "$line"; done)
  if [ "$status" -eq "$want" ] && [ -z "$missing" ]; then
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name: exit $status (want $want)"
    [ -z "$missing" ] || printf '%s\n' "$missing" | sed 's/^/     missing: /'
    sed 's/^/     | /' "$work/out"
  fi
}
ca="--ca $work/root.pem"
hex() { printf '0x%08x' "$1"; }
# shellcheck disable=SC2086
{
verify "HEAD's signed build passes against its root: signer, verified time stamp, HEAD" signed.exe 0 \
  "signer: /CN=Quenvale Test Publisher/O=Quenvale" \
  "its TSA chain verified against $work/root.pem" \
  "identical: 0x00000000-" \
  "VERDICT: OK: $work/signed.exe is the build of commit $head" -- $ca --tsa-ca "$work/root.pem"
verify "without --ca the throwaway root is not trusted, and the roots used are named" signed.exe 1 \
  "osslsigncode's default CA file" "VERDICT: FAILED" --
verify "a byte of .text changed before signing is found by the comparison" text-changed-signed.exe 1 \
  "signer: /CN=Quenvale Test Publisher/O=Quenvale" \
  "1 byte(s) differ from the build outside the excluded ranges, the first at $(hex "$text_at")" \
  "VERDICT: FAILED: $work/text-changed-signed.exe is not the build of commit $head" -- $ca
verify "a byte of the header changed before signing is found by the comparison" header-changed-signed.exe 1 \
  "signer: /CN=Quenvale Test Publisher/O=Quenvale" \
  "1 byte(s) differ from the build outside the excluded ranges, the first at $(hex "$header_at")" \
  "VERDICT: FAILED: $work/header-changed-signed.exe is not the build of commit $head" -- $ca
verify "a byte changed after signing breaks the signature" signed-then-changed.exe 1 \
  "MISMATCH" "VERDICT: FAILED: the Authenticode signature" -- $ca
verify "a certificate of the same name from no trusted root fails" impostor.exe 1 \
  "VERDICT: FAILED: the Authenticode signature" -- $ca
verify "an unsigned build fails" built.exe 1 "VERDICT: FAILED: $work/built.exe is not signed" -- $ca
}

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
