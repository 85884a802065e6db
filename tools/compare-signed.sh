#!/bin/sh
# Checks that a signed QuenvaleEnroll.exe is the unsigned build it was made
# from, byte for byte, except for what Authenticode signing writes:
#
#   - the PE CheckSum field: 4 bytes at optional header + 64;
#   - the Certificate Table entry of the data directory (index 4): 8 bytes
#     at optional header + 144 (PE32+), the table's file offset and size;
#   - the certificate table itself, appended at the end of the file: from
#     its file offset to the end. It must really be last: its offset plus
#     its size is the file's length, nothing follows it.
#
# The table starts on an 8-byte boundary; when the build's length is not a
# multiple of 8, osslsigncode pads with zeros up to it. Those padding bytes
# are not excluded: they must be zeros. Everything before the table is the
# build's length plus that padding, and every byte of it outside the two
# header fields must equal the build's.
#
# These are the same three parts the Authenticode hash leaves out, so a
# signature that verifies over this file vouches for exactly the build.
#
#   tools/compare-signed.sh SIGNED.exe BUILT.exe
# Exits 1 when the files differ anywhere else.
set -eu

[ $# -eq 2 ] || { echo "usage: tools/compare-signed.sh SIGNED.exe BUILT.exe" >&2; exit 2; }
signed=$1
built=$2

fail() { echo "FAIL: $*"; exit 1; }

# Little-endian unsigned integers read out of the file, whatever the host.
u16() {
  od -An -v -tu1 -j "$2" -N 2 "$1" | {
    read -r b0 b1 || true
    [ -n "${b1:-}" ] || { echo "$1: ends inside its PE header" >&2; exit 1; }
    echo $((b0 | b1 << 8))
  }
}
u32() {
  od -An -v -tu1 -j "$2" -N 4 "$1" | {
    read -r b0 b1 b2 b3 || true
    [ -n "${b3:-}" ] || { echo "$1: ends inside its PE header" >&2; exit 1; }
    echo $((b0 | b1 << 8 | b2 << 16 | b3 << 24))
  }
}
hex() { printf '0x%08x' "$1"; }
size_of() { stat -c %s "$1"; }

# The header fields signing writes, located in the build: its layout is the
# trusted one, and the signed file must share it byte for byte anyway.
[ "$(head -c 2 "$built")" = MZ ] || fail "$built is not a PE file"
[ "$(head -c 2 "$signed")" = MZ ] || fail "$signed is not a PE file"
pe=$(u32 "$built" 60)
[ "$(od -An -tx1 -j "$pe" -N 4 "$built" | tr -d ' \n')" = 50450000 ] || fail "$built has no PE signature"
optional=$((pe + 24))
[ "$(u16 "$built" "$optional")" -eq $((0x20b)) ] || fail "$built is not PE32+"
[ "$(u32 "$built" $((optional + 108)))" -gt 4 ] || fail "$built has no certificate table entry in its data directory"
checksum_at=$((optional + 64))
certdir_at=$((optional + 112 + 4 * 8))

built_size=$(size_of "$built")
signed_size=$(size_of "$signed")
echo "built:  $built, $built_size bytes, SHA-256 $(sha256sum "$built" | cut -d' ' -f1)"
echo "signed: $signed, $signed_size bytes, SHA-256 $(sha256sum "$signed" | cut -d' ' -f1)"

[ "$signed_size" -gt "$certdir_at" ] || fail "$signed is shorter than the build's PE header"
table_at=$(u32 "$signed" "$certdir_at")
table_size=$(u32 "$signed" $((certdir_at + 4)))
if [ "$table_at" -eq 0 ] || [ "$table_size" -eq 0 ]; then
  fail "$signed has no certificate table: it is not signed"
fi
[ $((table_at + table_size)) -eq "$signed_size" ] ||
  fail "the certificate table ($(hex "$table_at"), $table_size bytes) does not end the file ($signed_size bytes): something follows it or it lies elsewhere"
padded=$(((built_size + 7) / 8 * 8))
[ "$table_at" -eq "$padded" ] ||
  fail "the certificate table starts at $(hex "$table_at"), not where the build ends ($(hex "$built_size"), 8-byte aligned $(hex "$padded"))"

echo "excluded, written by signing:"
echo "  $(hex "$checksum_at")-$(hex $((checksum_at + 3)))  PE CheckSum (optional header + 64)"
echo "  $(hex "$certdir_at")-$(hex $((certdir_at + 7)))  Certificate Table entry (data directory 4): offset $(hex "$table_at"), size $table_size"
echo "  $(hex "$table_at")-$(hex $((signed_size - 1)))  the certificate table, $table_size bytes, to the end of the file"

work=$(mktemp -d /tmp/qv-compare.XXXXXX)
# A signal ends the run through exit, so that the folder goes with it.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM PIPE

if [ "$padded" -gt "$built_size" ]; then
  nonzero=$(tail -c +$((built_size + 1)) "$signed" | head -c $((padded - built_size)) | tr -d '\000' | wc -c)
  [ "$nonzero" -eq 0 ] || fail "the padding $(hex "$built_size")-$(hex $((padded - 1))) before the certificate table is not all zeros"
  echo "  padding $(hex "$built_size")-$(hex $((padded - 1))) to the 8-byte boundary: checked to be zeros, not excluded"
fi

# Both files up to the build's length, the two header fields zeroed.
blank() {
  head -c "$built_size" "$1" >"$2"
  dd if=/dev/zero of="$2" bs=1 seek="$checksum_at" count=4 conv=notrunc 2>/dev/null
  dd if=/dev/zero of="$2" bs=1 seek="$certdir_at" count=8 conv=notrunc 2>/dev/null
}
blank "$built" "$work/built"
blank "$signed" "$work/signed"
if ! cmp -s "$work/built" "$work/signed"; then
  count=$(cmp -l "$work/built" "$work/signed" | wc -l)
  first=$(cmp -l "$work/built" "$work/signed" | head -n 1 | awk '{ print $1 - 1 }')
  fail "$count byte(s) differ from the build outside the excluded ranges, the first at $(hex "$first")"
fi
echo "identical: $(hex 0)-$(hex $((built_size - 1))) outside the two header fields"
