#!/usr/bin/env bash
# Builds and runs every test: the normal build (g++), the AddressSanitizer +
# UndefinedBehaviorSanitizer build (clang++), the concurrency tests under
# ThreadSanitizer, each libFuzzer target for a bounded time, plain Release
# builds with g++ and clang++ that must show no warning, the 32-bit x86
# build's tests under qemu-i386, a program built against the installed
# library, the Debian package, and the Windows builds (scripts/test-windows.sh).
# It first checks the layout of every C/C++ file against .clang-format. Run as
# root, it first installs the Debian packages that are missing. Exits non-zero
# on any failure or fuzzing finding.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/ensure-packages.sh
# Everything every step below needs, before the first build: a package that
# comes late would let the steps before it run on what the machine had.
ensure_packages cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev googletest util-linux \
    libcli11-dev nlohmann-json3-dev libgcrypt20-dev libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev \
    libhpdf-dev fonts-dejavu-core poppler-utils pkgconf dpkg-dev lintian rng-tools5 \
    g++-i686-linux-gnu qemu-user \
    locales g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 unzip
# The sanitizer runtime of whichever clang++ the presets will find.
clang_major=$(clang++ -dumpversion | cut -d. -f1)
ensure_packages "libclang-rt-$clang_major-dev"

echo "== format (clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -n 1))"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
# clang-format leaves string literals whole, so the column limit is checked apart.
if git ls-files -z '*.c' '*.cpp' '*.h' | LC_ALL=C.UTF-8 xargs -0 grep -nP '^.{121,}'; then
    echo "lines over 120 columns" >&2
    exit 1
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

fuzz_seconds=${HWDS_FUZZ_SECONDS:-30}
echo "== fuzz targets (${fuzz_seconds} s each)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in regedit link; do
    # New inputs go to a scratch corpus; the seeds in the tree stay as they are.
    work="build/fuzz/run/$target"
    rm -rf "$work"
    mkdir -p "$work/corpus"
    if ! "build/fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$work/" "$work/corpus" "tests/fuzz/corpus/$target" >"$work/log" 2>&1; then
        tail -n 40 "$work/log"
        echo "fuzz target $target found a fault; the input is in $work" >&2
        exit 1
    fi
    tail -n 1 "$work/log"
done
# Someone building with their own settings gets no -Werror from us, and no
# warning either, at -O3 with either compiler.
for compiler in gcc clang; do
    cxx=$([ "$compiler" = gcc ] && echo g++ || echo clang++)
    dir="build/release-$compiler"
    echo "== plain Release build with $cxx at -O3"
    # From nothing: an incremental build compiles nothing and so warns of nothing.
    rm -rf "$dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_CXX_FLAGS=-O3 >/dev/null
    if grep -q -- -Werror "$dir/compile_commands.json"; then
        echo "a build outside the presets makes warnings errors" >&2
        exit 1
    fi
    cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1 || { tail -n 40 "$dir/build.log"; exit 1; }
    if grep -q "warning:" "$dir/build.log"; then
        grep -A8 "warning:" "$dir/build.log" | head -n 60
        echo "the $cxx Release build has warnings" >&2
        exit 1
    fi
done
# 32-bit x86: the portable unit tests under qemu-i386, against simulated
# driver libraries with cdecl and with stdcall entry points (the preset
# leaves out, by their label, the few whose threads contend for a native
# mutex: they hang under the emulator).
echo "== i686 build (unit tests under qemu-i386)"
cmake --preset i686 >/dev/null
cmake --build --preset i686 -j "$jobs" --target unit_tests
ctest --preset i686 -j "$jobs"
./scripts/check-consumer.sh build/default
./scripts/check-package.sh build/default

./scripts/test-windows.sh
echo "== all tests passed"
