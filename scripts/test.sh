#!/usr/bin/env bash
# Builds and runs every test: a plain build, an AddressSanitizer + UndefinedBehaviorSanitizer build,
# and a ThreadSanitizer build of the threaded parts. The PipeWire tests (label "pipewire") start
# a private headless daemon and WirePlumber of their own in each build; with CI set they fail
# rather than skip when PipeWire is missing, and scripts/deps.sh installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

run_suite() {
    local dir=$1 sanitize=$2 filter=${3:-}
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLIMAR_SANITIZE="$sanitize" >/dev/null
    cmake --build "$dir" -j "$jobs"
    local args=(--test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600)
    [ -n "$filter" ] && args+=(-L "$filter")
    ctest "${args[@]}"
}

run_suite build/test-plain ""
run_suite build/test-asan "address,undefined"
run_suite build/test-tsan "thread" threaded
