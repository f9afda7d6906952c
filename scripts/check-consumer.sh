#!/usr/bin/env bash
# The installed library as an application uses it: installs hwds from a
# build folder into a prefix inside it, builds examples/ against that prefix
# once with find_package and once with pkg-config, and runs both programs
# against tuvak-sim and the simulated driver libraries.
#   scripts/check-consumer.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
prefix=$build/consumer/prefix
work=$build/consumer
rm -rf "$work"
mkdir -p "$work"

echo "== install the library into $prefix"
cmake --install "$build" --prefix "$prefix" --component devel >/dev/null

echo "== build examples/ with find_package(hwds)"
cmake -S examples -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null

echo "== build examples/hwds_roundtrip.cpp with pkg-config"
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs hwds)
# shellcheck disable=SC2086 # the flags are words
g++ -std=c++17 -Wall -Wextra -o "$work/hwds-roundtrip-pc" examples/hwds_roundtrip.cpp $flags

sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
"$build/sim/tuvak-sim" --registry "$work/sim.reg" CONSUMER1 >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    grep -qx ready "$work/sim.out" && break
    sleep 0.1
done
grep -qx ready "$work/sim.out" || { cat "$work/sim.out" >&2; exit 1; }

drivers=(env LD_LIBRARY_PATH="$build/sim/drivers" TMDRV32_SIM="family=0x06" SNELLOCK_SIM="card=1")
for program in "$work/cmake/hwds-roundtrip" "$work/hwds-roundtrip-pc"; do
    echo "== $(basename "$program") against TUVAK, ACCORD and SOBOL"
    HWDS_REGISTRY="$work/sim.reg" "$program" TUVAK CONSUMER1
    "${drivers[@]}" "$program" ACCORD
    "${drivers[@]}" "$program" SOBOL
done
echo "== hwds-example against TUVAK, ACCORD and SOBOL"
HWDS_REGISTRY="$work/sim.reg" "$work/cmake/hwds-example" TUVAK CONSUMER1 read 0 16
"${drivers[@]}" "$work/cmake/hwds-example" ACCORD - read 0 16
"${drivers[@]}" "$work/cmake/hwds-example" SOBOL - random 16
echo "== the installed library works for its consumers"
