#!/usr/bin/env bash
# Wipes a simulated Тувак device with the real voriridod: tuvak-sim serves the
# device on a pseudo-terminal and describes it in a regedit file, which the
# tool reads in place of the Windows registry. Run as root, it first installs
# the Debian packages that configuring the default build needs.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${DEMO_BUILD:-build/default}
if [ ! -x "$build/tool/voriridod" ] || [ ! -x "$build/sim/tuvak-sim" ]; then
    # The default preset configures the whole tree: the front end wants CLI11,
    # the tests GoogleTest and nlohmann-json, the packaging gzip.
    . scripts/ensure-packages.sh
    ensure_packages cmake ninja-build g++ gzip libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev
    echo "== building"
    cmake --preset default >/dev/null
    cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target voriridod tuvak-sim
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

id=AB12CD34E
"$build/sim/tuvak-sim" --registry "$work/registry.reg" --dump "$work/memory.txt" \
    --pace --delay 2 --pattern ascending "$id" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^ready$' "$work/sim.out" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err" >&2; exit 1; }
    sleep 0.1
done
grep -q '^ready$' "$work/sim.out" || { echo "tuvak-sim did not start" >&2; exit 1; }

show_memory() {
    rm -f "$work/memory.txt"
    kill -USR1 "$sim_pid"
    for _ in $(seq 50); do [ -s "$work/memory.txt" ] && break; sleep 0.1; done
    sed 's/^/    /' "$work/memory.txt"
}

export HWDS_REGISTRY="$work/registry.reg"
echo "== simulated device: $(head -n 1 "$work/sim.out")"
echo
echo "== voriridod /L"
"$build/tool/voriridod" /L
echo
echo "== device memory before"
show_memory
echo
echo "== voriridod $id"
# The progress line goes to standard error and is rewritten in place; the
# simulator answers a little slower than the line allows, so it can be seen.
status=0
"$build/tool/voriridod" "$id" || status=$?
echo
echo "   (exit status $status)"
echo
echo "== device memory after"
show_memory
