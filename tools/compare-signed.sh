#!/bin/sh
# Checks that a signed QuenvaleEnroll.exe is the unsigned build it was made
# from with one Authenticode signature attached in the form signing writes,
# and nothing else:
#
#   - the file's certificate table is one WIN_CERTIFICATE (revision 0x0200,
#     PKCS#7 signed data) whose dwLength is 8 plus the PKCS#7's DER length,
#     rounded up to 8 with zero bytes, and it ends the file;
#   - its PE CheckSum is the file's own;
#   - that PKCS#7, attached to the build the same way (the build padded
#     with zeros to 8 bytes, the table, the Certificate Table entry of the
#     data directory, the CheckSum computed), gives the file whole, byte for
#     byte, CheckSum included.
#
# So no byte is left unchecked: nothing follows the signature inside its
# entry, no second entry, no bytes between the build and the table, no
# CheckSum made up. What the PKCS#7 itself holds is verify-release.sh's to
# judge.
#
#   tools/compare-signed.sh SIGNED.exe BUILT.exe
# Exits 1 with "FAIL: REASON" when the files differ in any other way.
set -eu

[ $# -eq 2 ] || { echo "usage: tools/compare-signed.sh SIGNED.exe BUILT.exe" >&2; exit 2; }
signed=$1
built=$2
here=$(cd "$(dirname "$0")" && pwd)

echo "built:  $built, $(stat -c %s "$built") bytes, SHA-256 $(sha256sum "$built" | cut -d' ' -f1)"
echo "signed: $signed, $(stat -c %s "$signed") bytes, SHA-256 $(sha256sum "$signed" | cut -d' ' -f1)"
status=0
report=$(python3 "$here/authenticode.py" compare "$signed" "$built") || status=$?
printf '%s\n' "$report" | sed 's/^refused: /FAIL: /'
exit "$status"
