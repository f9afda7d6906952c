#!/usr/bin/env bash
# Makes the Windows ZIP package in a MinGW build folder and checks it: exactly
# voriridod.exe, hwds.exe and README.txt (no simulated driver library), and
# the README with Windows line ends; given a hwds that runs here, that the
# README names every subcommand, option and exit status its help names.
# Usage: scripts/check-windows-package.sh BUILD_FOLDER win64|win32 [HWDS_PROGRAM]
set -euo pipefail
build=$1 arch=$2 hwds=${3:-}
version=$(sed -n 's/^project(voriridod VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
zip=$build/hwds-$version-$arch.zip

rm -f "$zip"
(cd "$build" && cpack -G ZIP >/dev/null)
[ -f "$zip" ] || { echo "check-windows-package: $zip was not made" >&2; exit 1; }
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
if [ "$listed" != "README.txt hwds.exe voriridod.exe " ]; then
    echo "check-windows-package: $zip holds: $listed" >&2
    exit 1
fi
# Every line of the README ends in CR LF.
if unzip -p "$zip" README.txt | grep -q $'[^\r]$\|^$'; then
    echo "check-windows-package: README.txt in $zip has lines without CR LF" >&2
    exit 1
fi
if [ -n "$hwds" ]; then
    readme=$(mktemp --suffix=.txt)
    trap 'rm -f "$readme"' EXIT
    unzip -p "$zip" README.txt >"$readme"
    "$(dirname "$0")/check-help-texts.sh" "$hwds" "$readme" >/dev/null ||
        { echo "check-windows-package: README.txt in $zip lacks what $hwds --help names" >&2; exit 1; }
fi
echo "== $zip: voriridod.exe, hwds.exe, README.txt (CR LF${hwds:+, naming what hwds --help names})"
