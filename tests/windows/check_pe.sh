#!/usr/bin/env bash
# The Windows DLLs export exactly what the Linux libraries export (the sim one
# plus its korvelSim controls), vb_closeKorvel is closeKorvel, and every PE
# file given imports nothing but Windows' own DLLs (libusb0.dll above all is
# loaded at run time, never imported).
#   check_pe.sh OBJDUMP REAL.dll SIM.dll EXPECTED_EXPORTS [MORE.exe|.dll ...]
set -euo pipefail
objdump=$1 real=$2 sim=$3 expected=$4
shift 4
status=0
# Names from the "[Ordinal/Name Pointer] Table" section of objdump -p.
exports() { "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ && NF == 3 {print $3}' | sort; }
imports() { "$objdump" -p "$1" | awk '/DLL Name:/ {print tolower($3)}' | sort -u; }
rva() {  # the address an exported name resolves to
  "$objdump" -p "$1" | awk -v s="$2" '
    /Export Address Table -- Ordinal Base/ {eat = 1; next}
    eat && /^$/ {eat = 0}
    eat && /Export RVA/ {gsub(/[][]/, " "); address[$1] = $4}
    /\[Ordinal\/Name Pointer\] Table/ {names = 1; next}
    names && /^$/ {names = 0}
    names && NF == 3 && $3 == s {gsub(/[][]/, " "); print address[$1]}'
}
if ! diff -u "$expected" <(exports "$real"); then
  echo "korvel-x64.dll's exports differ from the Linux library's"; status=1
fi
if ! diff -u "$expected" <(exports "$sim" | grep -v '^korvelSim'); then
  echo "korvel-x64-sim.dll's exports differ from the Linux library's"; status=1
fi
exports "$sim" | grep -q '^korvelSim' || { echo "korvel-x64-sim.dll lacks its korvelSim controls"; status=1; }
! exports "$real" | grep -q '^korvelSim' || { echo "korvel-x64.dll exports simulator controls"; status=1; }
close=$(rva "$real" closeKorvel) vbclose=$(rva "$real" vb_closeKorvel)
[ -n "$close" ] && [ "$close" = "$vbclose" ] || { echo "vb_closeKorvel ($vbclose) is not closeKorvel ($close)"; status=1; }

# Windows' own DLLs: the C runtime every mingw program uses and the system's.
allowed='^(kernel32|msvcrt|advapi32|user32|ws2_32|shell32|ole32|bcrypt|ntdll)\.dll$|^api-ms-win-'
for file in "$real" "$sim" "$@"; do
  while read -r dll; do
    [[ $dll =~ $allowed ]] || { echo "$(basename "$file") imports $dll"; status=1; }
  done < <(imports "$file")
  echo "$(basename "$file") imports: $(imports "$file" | tr '\n' ' ')"
done
[ "$status" = 0 ] && echo "exports: $(wc -l < "$expected") functions in each DLL, as on Linux; imports: Windows' own only"
exit "$status"
