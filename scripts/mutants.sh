#!/usr/bin/env bash
# Mutation check of the tests: applies deliberate one-line faults, one at a
# time, to a scratch copy of the tree, rebuilds it incrementally, runs the test
# programs that should notice, and reports each fault as
#   killed          a test failed (or hung past its time)
#   SURVIVED        every test passed: a fault the tests miss
#   not applicable  its text is not in its file exactly once (the code moved),
#                   or the mutated file does not build: the run then fails
# and a summary line. The working tree is never changed; the scratch copy lives
# in build/mutants/ and its build is reused from run to run. On demand only,
# not in CI: it takes a while.
#
# Usage: scripts/mutants.sh [-b BUILD_DIR] [-t SECONDS] [-a] [-n] [FILTER]
#   FILTER  extended regex on the mutants' names: run only those that match
#   -b DIR  build directory of the scratch copy (default build/mutants/tree/build/default;
#           a relative path is taken from the scratch copy's root)
#   -t SEC  time limit of one mutant's test run (default 300)
#   -a      run every test program for every mutant, not only its scope
#   -n      only check that each mutant's text is found; build nothing
# Exits non-zero when a mutant is not applicable or the script cannot do its
# work (no build, or the unmutated tree fails its own tests); a survivor is
# a failure too.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build_dir="" limit=300 all_tests=0 dry=0
while getopts "b:t:anh" opt; do
    case $opt in
        b) build_dir=$OPTARG ;;
        t) limit=$OPTARG ;;
        a) all_tests=1 ;;
        n) dry=1 ;;
        *) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
filter=${1:-}

# The mutants, one file a room: scripts/mutants/*.txt (the format is at the top of each).
mutants() {
    cat "$root"/scripts/mutants/*.txt | grep -v '^#'
}

# ---------------------------------------------------------------------------

work=$root/build/mutants
tree=$work/tree
[ -n "$build_dir" ] || build_dir=build/default
case $build_dir in /*) ;; *) build_dir=$tree/$build_dir ;; esac

# ccache, when there is one, shares objects with the tree's own build.
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=1
fi
export LC_ALL=C.UTF-8

# The scratch copy: the tree's files as they are now (committed or not);
# unchanged files keep their times, so the build stays incremental.
sync_tree() {
    mkdir -p "$tree"
    local list=$work/files
    git -C "$root" ls-files -co --exclude-standard | grep -v '^build/' | sort >"$list"
    local f
    while IFS= read -r f; do
        [ -f "$root/$f" ] || continue
        if ! cmp -s "$root/$f" "$tree/$f"; then
            mkdir -p "$tree/$(dirname "$f")"
            cp "$root/$f" "$tree/$f"
        fi
    done <"$list"
    # Files gone from the tree go from the copy too (the test folders are globbed).
    (cd "$tree" && find . -path ./build -prune -o -type f -print | sed 's|^\./||' | sort) |
        comm -23 - "$list" | while IFS= read -r f; do rm -f "$tree/$f"; done
}

current_file="" saved=""
restore() {
    if [ -n "$current_file" ]; then
        # A fresh time, so that the next build compiles the original again.
        cat "$saved" >"$current_file"
        current_file=""
    fi
}
trap 'restore' EXIT
trap 'restore; echo "interrupted" >&2; exit 130' INT TERM

# Folders' test programs and the ctest pattern for a scope.
targets_for() {
    local scope=$1
    [ "$all_tests" -eq 1 ] || [ "$scope" = all ] && { echo all; return; }
    echo "${scope//,/_tests }_tests"
}
pattern_for() {
    local scope=$1
    [ "$all_tests" -eq 1 ] || [ "$scope" = all ] && { echo '.'; return; }
    echo "^(${scope//,/|})\."
}

build() {
    local t
    for t in "$@"; do
        cmake --build "$build_dir" -j2 --target "$t" >"$work/build.log" 2>&1 || return 1
    done
}

# A killed mutant needs one failing test: the run stops there.
run_tests() {
    timeout --kill-after=10 "$limit" ctest --test-dir "$build_dir" -j2 --timeout 120 --stop-on-failure \
        --output-on-failure -R "$1" >"$work/test.log" 2>&1
}

failed_tests() {
    sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$work/test.log" | head -3 | paste -sd' '
}

main() {
    mkdir -p "$work"
    sync_tree
    saved=$work/original

    if [ "$dry" -eq 0 ]; then
        echo "== building the scratch copy in $build_dir"
        (cd "$tree" && cmake --preset default -B "$build_dir" >"$work/configure.log" 2>&1) ||
            { cat "$work/configure.log" >&2; exit 1; }
        build all || { tail -n 30 "$work/build.log" >&2; exit 1; }
        echo "== the unmutated tree's tests"
        if ! run_tests '.'; then
            echo "the unmutated tree fails its tests (see $work/test.log): $(failed_tests)" >&2
            exit 1
        fi
    fi

    local killed=0 survived=0 na=0 total=0
    local name scope file rest from to path content rest_text n
    while read -r name scope file rest; do
        [ -n "$name" ] || continue
        [ -z "$filter" ] || [[ $name =~ $filter ]] || continue
        total=$((total + 1))
        from=${rest%%  =>*}
        to=${rest#*=>}
        to=${to#"${to%%[! ]*}"}
        from=${from//¶/$'\n'}
        to=${to//¶/$'\n'}

        path=$file
        if [ ! -f "$tree/$path" ]; then
            printf '%-26s not applicable (no file %s)\n' "$name" "$file"
            na=$((na + 1))
            continue
        fi
        content=$(cat "$tree/$path"; printf x)
        content=${content%x}
        rest_text=${content//"$from"/}
        n=$(((${#content} - ${#rest_text}) / ${#from}))
        if [ "$n" -ne 1 ]; then
            printf '%-26s not applicable (text found %d times in %s)\n' "$name" "$n" "$path"
            na=$((na + 1))
            continue
        fi
        if [ "$dry" -eq 1 ]; then
            printf '%-26s found in %s\n' "$name" "$path"
            continue
        fi

        cp "$tree/$path" "$saved"
        current_file=$tree/$path
        printf '%s' "${content/"$from"/"$to"}" >"$current_file"
        # shellcheck disable=SC2046
        if ! build $(targets_for "$scope"); then
            restore
            printf '%-26s not applicable (does not build; see below)\n' "$name"
            grep -m 3 'error' "$work/build.log" | sed 's/^/    /'
            na=$((na + 1))
            continue
        fi
        local start=$SECONDS
        if run_tests "$(pattern_for "$scope")"; then
            printf '%-26s SURVIVED  (%s, %s tests, %d s)\n' "$name" "$path" "$scope" $((SECONDS - start))
            survived=$((survived + 1))
        else
            local by
            by=$(failed_tests)
            printf '%-26s killed    (%d s) by %s\n' "$name" $((SECONDS - start)) "${by:-the time limit}"
            killed=$((killed + 1))
        fi
        restore
    done < <(mutants)

    if [ "$dry" -eq 0 ]; then
        # Leave the scratch build matching the unmutated tree.
        build all >/dev/null 2>&1 || true
        echo "mutants: $killed killed, $survived survived, $na not applicable of $total"
    else
        echo "mutants: $na not applicable of $total"
    fi
    # A mutant whose text moved tests nothing: its list must follow the code.
    [ "$na" -eq 0 ] && [ "$survived" -eq 0 ]
}

main
