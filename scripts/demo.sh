#!/usr/bin/env bash
# Builds the programs and runs the main job against the built-in simulated audio system.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)"
export PELLIMAR_AUDIO_SYSTEM=${PELLIMAR_AUDIO_SYSTEM:-$PWD/build/demo-world.json}
bin=build/release/bin
echo "== Simulated audio system ($PELLIMAR_AUDIO_SYSTEM)"
"$bin/pellimar-audio-sim" show
