#!/usr/bin/env bash
# Checks the 32-bit Windows build without running it (nothing here can start
# a 32-bit program): every program and driver library is a PE file for i386,
# imports only DLLs that every Windows has (Winsock's ws2_32.dll comes in with
# libgcrypt's libgpg-error), and the driver libraries export
# their entry points under the plain names, cdecl and stdcall builds alike.
# Usage: scripts/check-win32.sh [build folder, default build/mingw32]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/mingw32}
objdump=i686-w64-mingw32-objdump
failed=0
fail() { echo "check-win32: $*" >&2; failed=1; }

files=("$build/tool/voriridod.exe" "$build/cli/hwds.exe" "$build/examples/hwds-example.exe")
drivers=()
for folder in "$build/sim/drivers" "$build/sim/drivers/stdcall"; do
    drivers+=("$folder/tmdrv32.dll" "$folder/snellock.dll")
done

for file in "${files[@]}" "${drivers[@]}"; do
    if [ ! -f "$file" ]; then
        fail "$file is missing"
        continue
    fi
    "$objdump" -f "$file" | grep -q 'file format pei-i386$' || fail "$file is not a PE file for i386"
    # The C and C++ runtimes and winpthreads are linked in, not imported.
    while read -r dll; do
        case "${dll,,}" in
            kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | ws2_32.dll) ;;
            *) fail "$file imports $dll" ;;
        esac
    done < <("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
done

# The names in the export table: the lines after "[Ordinal/Name Pointer] Table".
exports() { "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p'; }
for dll in "${drivers[@]}"; do
    [ -f "$dll" ] || continue
    case "$(basename "$dll")" in
        tmdrv32.dll) names="TmDriverPresent TmPresent TmGetId TmRawReadPage TmCheckReadPage TmCheckWritePage TmGetRandomBytes" ;;
        snellock.dll) names="sbisCard sbGetRand" ;;
    esac
    list=$(exports "$dll")
    for name in $names; do
        grep -qx "$name" <<<"$list" || fail "$dll does not export $name"
    done
    if grep -q '@' <<<"$list"; then fail "$dll exports decorated names: $(grep '@' <<<"$list" | tr '\n' ' ')"; fi
done

[ "$failed" -eq 0 ] && echo "== 32-bit Windows files checked: PE i386, system DLLs only, plain driver exports"
exit "$failed"
