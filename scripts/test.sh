#!/usr/bin/env bash
# Checks the sources' format, then builds and runs every test: a plain build (and clang-tidy on
# what the branch changed), an AddressSanitizer + UndefinedBehaviorSanitizer build,
# a ThreadSanitizer build of the threaded parts, then a bounded fuzzing run and the Debian package.
# Each build builds only what it runs: benchmarks only in the plain build, and the ThreadSanitizer
# build only the tests labelled "threaded" (and the programs they start). The PipeWire tests
# (label "pipewire") start a private headless daemon and WirePlumber of their own in each build;
# with CI set they fail rather than skip when PipeWire is missing, and scripts/deps.sh installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/lint.sh format
jobs=$(nproc)
# Object files cached by an earlier run serve any checkout of the same sources.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

# Line tables (-g1) are all a sanitizer report or a backtrace needs here; full debug information
# made an object about 30 % slower to build. The AddressSanitizer build is at -O1, as its
# authors advise, which takes another 40 % off; the ThreadSanitizer build keeps -O2 because its
# suites run real daemons against the clock.
run_suite() {
    local dir=$1 sanitize=$2 optimise=$3 filter=${4:-} bench=ON
    [ -n "$sanitize" ] && bench=OFF
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLIMAR_SANITIZE="$sanitize" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimise -g1 -DNDEBUG" -DPELLIMAR_BENCH="$bench" >/dev/null
    local targets=()
    if [ -n "$filter" ]; then
        # Test names are their executables' target names.
        mapfile -t targets < <(ctest --test-dir "$dir" -N -L "$filter" | sed -n 's/^ *Test *#[0-9]*: //p')
        targets=(--target "${targets[@]}")
    fi
    cmake --build "$dir" -j "$jobs" "${targets[@]}"
    # A test that fails is run once more before it counts, so that one bad moment of a shared
    # machine does not throw a whole run away; but every such retry is named below and in the
    # summary at the end, since a test that needs one is a fault to find.
    local args=(--test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
                --repeat until-pass:2)
    [ -n "$filter" ] && args+=(-L "$filter")
    local log="$dir/ctest-output.log" status=0
    ctest "${args[@]}" 2>&1 | tee "$log" || status=$?
    local retried
    retried=$(sed -nE 's/.*Test +#[0-9]+: ([^ ]+) .*\*\*\*(Failed|Exception|Timeout).*/\1/p' "$log" |
        sort -u)
    if [ -n "$retried" ]; then
        echo "RETRIED in $dir (failed an attempt):" $retried
        echo "$dir:" $retried >>"$retries"
    fi
    return "$status"
}

retries=$(mktemp)
trap 'rm -f "$retries"' EXIT
summarise_retries() {
    if [ -s "$retries" ]; then
        echo "Tests that needed a retry:"
        cat "$retries"
    else
        echo "Tests that needed a retry: none"
    fi
}

run_suite build/test-plain "" -O2
scripts/lint.sh tidy build/test-plain
run_suite build/test-asan "address,undefined" -O1
run_suite build/test-tsan "thread" -O2 threaded
summarise_retries
PELLIMAR_FUZZ_STRICT=${PELLIMAR_FUZZ_STRICT:-0} scripts/fuzz.sh "${PELLIMAR_FUZZ_SECONDS:-240}"

# The Debian package, its units and the installed programs.
scripts/package-test.sh
