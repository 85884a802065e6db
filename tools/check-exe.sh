#!/bin/sh
# Checks what the shipped binary is made of: a 64-bit GUI program that
# imports only DLLs Windows always loads from System32, with no resource
# section, no link timestamp, and ASLR (high entropy) and DEP on.
#   tools/check-exe.sh PATH.exe
set -eu
exe=$1
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
sections=$(x86_64-w64-mingw32-objdump -h "$exe")
status=0
fail() { echo "FAIL: $*"; status=1; }

echo "$headers" | grep -q '^Magic[[:space:]]*020b' || fail "not a PE32+ (64-bit) image"
echo "$headers" | grep -q '^Subsystem[[:space:]]*00000002' || fail "not the Windows GUI subsystem"

# Known DLLs: never searched for next to the program.
allowed="KERNEL32.dll USER32.dll GDI32.dll SHELL32.dll msvcrt.dll"
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || fail "no import table found"
for dll in $imports; do
  case " $allowed " in
    *" $dll "*) ;;
    *) fail "imports $dll, which is not a known DLL" ;;
  esac
done

echo "$sections" | grep -q '\.rsrc' && fail "has a resource section"
echo "$headers" | grep -q '^Time/Date[[:space:]]*Thu Jan  1 00:00:00 1970' || fail "carries a link timestamp"

flags=$(echo "$headers" | sed -n 's/^DllCharacteristics[[:space:]]*\([0-9a-fA-F]*\).*/\1/p')
for bit in 0020:high-entropy-ASLR 0040:ASLR 0100:DEP; do
  mask=${bit%%:*}
  [ $((0x$flags & 0x$mask)) -ne 0 ] || fail "${bit#*:} is off (DllCharacteristics $flags)"
done

size=$(stat -c %s "$exe")
echo "$exe: $size bytes; imports: $(echo $imports); DllCharacteristics 0x$flags"
exit $status
