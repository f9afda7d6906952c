#!/usr/bin/env bash
# Builds and runs every test: the normal build (g++), the AddressSanitizer +
# UndefinedBehaviorSanitizer build (clang++), the concurrency tests under
# ThreadSanitizer, and the Windows build under Wine (scripts/test-windows.sh).
# Run as root, it first installs the Debian packages that are missing. Exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev util-linux)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "== installing: ${missing[*]}"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    else
        echo "missing packages (run as root to install them): ${missing[*]}" >&2
        exit 1
    fi
fi

jobs=$(nproc 2>/dev/null || echo 2)
# A fixed locale, so that the console text the tests compare is the same everywhere.
export LC_ALL=C.UTF-8

for preset in default asan; do
    echo "== $preset build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "== $preset tests"
    ctest --preset "$preset" -j "$jobs"
done

echo "== tsan build (concurrency tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target concurrency_tests
ctest --preset tsan -R '^concurrency\.'

./scripts/test-windows.sh
echo "== all tests passed"
