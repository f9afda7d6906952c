#!/usr/bin/env bash
# The Windows builds and their tests on Linux: cross-builds the mingw preset
# (voriridod.exe, the driver DLLs, the example and the test programs), runs
# the Windows unit tests under Wine, then the end-to-end cases against the
# Windows programs under Wine: tuvak-sim's ptys as COM ports, the console in
# CP866 under a Russian and an English system locale, the drivers in System32.
# Wine keeps its prefix under build/mingw/wine. The 32-bit mingw32 build is
# only compiled and checked file by file: nothing here can run a 32-bit
# program. Both builds' ZIP packages are made and checked. Run as root, it
# first installs the Debian packages that are missing. Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/ensure-packages.sh
ensure_packages cmake ninja-build g++ libgtest-dev googletest locales libgcrypt20-dev \
    libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev \
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 unzip

jobs=$(nproc 2>/dev/null || echo 2)
build=$PWD/build/mingw

echo "== mingw build"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"
echo "== mingw32 build (compiled and checked, not run)"
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32 -j "$jobs"
./scripts/check-win32.sh build/mingw32
# The end-to-end program and the simulator are Linux programs; the program
# drives the Windows build when HWDS_E2E_WINE names it. The Linux hwds is
# the help that the packages' README is checked against.
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target e2e_tests tuvak-sim hwds-cli
./scripts/check-windows-package.sh build/mingw win64 build/default/cli/hwds
./scripts/check-windows-package.sh build/mingw32 win32 build/default/cli/hwds

# Locales of our own, nothing installed system-wide: a Russian one (ANSI
# 1251, OEM 866, as the tool's users have) and an English one (1252, 437),
# under which the console bytes must be the same.
locales=$build/locale
mkdir -p "$locales"
for locale in ru_RU en_US; do
    [ -d "$locales/$locale.UTF-8" ] || localedef -i $locale -f UTF-8 "$locales/$locale.UTF-8"
done

export WINEPREFIX=$build/wine WINEDEBUG=-all
stop_wine() { wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT
# The server and the services that the first program starts outlive it and
# would hold the pipes of whoever reads its output: start them on their own.
echo "== starting Wine in $WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true
wineboot -i </dev/null >"$build/wineboot.log" 2>&1

echo "== mingw tests (under Wine)"
ctest --preset mingw -j "$jobs"

for locale in ru_RU.UTF-8 en_US.UTF-8; do
    echo "== voriridod.exe, hwds.exe and hwds-example.exe end to end (under Wine, $locale)"
    LOCPATH=$locales HWDS_E2E_WINE=$build HWDS_E2E_WINE_LOCALE=$locale build/default/tests/e2e_tests
done
echo "== Windows tests passed"
