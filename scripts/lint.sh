#!/usr/bin/env bash
# Style checks that scripts/test.sh runs, and that work on their own:
#
#   scripts/lint.sh format [BUILD]  every tracked .cpp/.hpp formatted as .clang-format says
#   scripts/lint.sh tidy [BUILD]    clang-tidy (.clang-tidy) on what this branch changed
#
# tidy needs BUILD/compile_commands.json (default build/test-plain; CMake writes it when it
# configures). It checks the files changed since the merge base with PELLIMAR_TIDY_BASE (default
# origin/main), uncommitted changes included: each changed .cpp the build compiles, and each
# changed header through one source that includes it; only diagnostics in the changed files
# count. Without such a base (a clean clone of main) or without changes it checks nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:?usage: scripts/lint.sh format|tidy [BUILD]}
build=${2:-build/test-plain}

case "$mode" in
format)
    git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run -Werror
    echo "clang-format: every tracked source is formatted"
    ;;
tidy)
    [ -f "$build/compile_commands.json" ] || {
        echo "no $build/compile_commands.json: configure $build first" >&2
        exit 2
    }
    ref=${PELLIMAR_TIDY_BASE:-origin/main}
    if ! base=$(git merge-base HEAD "$ref" 2>/dev/null); then
        echo "clang-tidy: no merge base with $ref, nothing to check"
        exit 0
    fi
    mapfile -t changed < <(git diff --name-only --diff-filter=d "$base" -- '*.cpp' '*.hpp')
    mapfile -t compiled < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' \
        "$build/compile_commands.json" | sed "s|^$PWD/||" | sort -u)
    sources=()
    for file in "${changed[@]}"; do
        if [[ $file == *.hpp ]]; then
            # Any one compiled source that includes it will do.
            includer=$(grep -lF "#include \"$file\"" "${compiled[@]}" 2>/dev/null | head -n 1 || true)
            [ -z "$includer" ] || sources+=("$includer")
        elif printf '%s\n' "${compiled[@]}" | grep -qxF "$file"; then
            sources+=("$file")
        fi
    done
    if [ ${#sources[@]} -eq 0 ]; then
        echo "clang-tidy: no changed sources since $ref"
        exit 0
    fi
    mapfile -t sources < <(printf '%s\n' "${sources[@]}" | sort -u)
    # Diagnostics only in the changed files: unchanged code is not this change's to clean.
    only=$(printf '{"name":"%s"},' "${changed[@]}")
    only="[${only%,}]"
    echo "clang-tidy: ${#sources[@]} sources changed since $ref"
    # GCC's warning options in the compile commands are unknown to clang.
    printf '%s\0' "${sources[@]}" |
        xargs -0 -n 1 -P "$(nproc)" clang-tidy -p "$build" --quiet \
            --extra-arg=-Wno-unknown-warning-option --header-filter='.*' --line-filter="$only"
    echo "clang-tidy: clean"
    ;;
*)
    echo "usage: scripts/lint.sh format|tidy [BUILD]" >&2
    exit 2
    ;;
esac
