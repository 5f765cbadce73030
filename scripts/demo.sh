#!/usr/bin/env bash
# Builds the programs and runs the main job, the application capture, against the built-in
# simulated audio system: two applications are captured, a third joins while it runs, and a
# SIGTERM leaves the system as it was. Then the stream player plays a tone, the announcement player
# serves a controller (it loads a clip, plays it and is stopped part-way), and the output fabric is
# built over two simulated outputs and removed.
#
# scripts/demo.sh --pipewire [RECORDINGS] runs the programs on a private headless PipeWire
# daemon instead (applications, a microphone, an announcement and the fabric, each channel checked
# by its tone) and leaves its recordings in RECORDINGS (default ./pellimar-pipewire-demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)"
bin=$PWD/build/release/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "${1:-}" = "--pipewire" ]; then
    exec scripts/demo_pipewire.sh "$bin" "$work" "${2:-$PWD/pellimar-pipewire-demo}"
fi
export PELLIMAR_AUDIO_SYSTEM=$work/audio-system.json
sim=$bin/pellimar-audio-sim

step() { printf '\n== %s\n' "$*"; }

step "The simulated machine"
"$sim" show
"$sim" add-process --pid 4242 --bundle-id com.google.Chrome --running >/dev/null
"$sim" add-process --pid 4243 --bundle-id com.apple.Music >/dev/null

step "pellimar-process-tap list"
"$bin/pellimar-process-tap" list

step "pellimar-process-tap run --live-input-name 'Built-in Microphone'"
"$bin/pellimar-process-tap" run --live-input-name "Built-in Microphone" >"$work/run.json" 2>"$work/run.log" &
tap=$!
for _ in $(seq 100); do [ -s "$work/run.json" ] && break; sleep 0.1; done
cat "$work/run.json"
step "Safari starts while the capture runs"
"$sim" add-process --pid 4244 --bundle-id com.apple.Safari.WebContent --running >/dev/null
sleep 1.5
"$sim" show
kill -TERM "$tap"
wait "$tap" && echo "pellimar-process-tap exited 0 after SIGTERM"
cat "$work/run.log"

step "After the stop"
"$sim" show

step "pellimar-player plays a generated tone; the simulated output records what it heard"
ffmpeg -loglevel error -f lavfi -i "sine=frequency=440:duration=2" -ac 2 "$work/tone.wav"
mkdir "$work/recordings"
PELLIMAR_SIM_RECORD_DIR=$work/recordings "$bin/pellimar-player" --file "$work/tone.wav"
echo "pellimar-player exited $?"
for f in "$work"/recordings/*.wav; do soxi "$f" | grep -E "Channels|Sample Rate|Duration"; done

step "pellimar-announcement-player serves a controller: load a clip, play it, stop it after 1 s"
# The capture program's announcement slot picks the player up, as the player requires.
"$bin/pellimar-process-tap" run org.pellimar.announcement-player >/dev/null 2>"$work/capture.log" &
capture=$!
ffmpeg -loglevel error -f lavfi -i "sine=frequency=660:duration=3" -ac 2 -ar 48000 -c:a pcm_s16le \
    "$work/announcement.wav"
mkdir "$work/announcements"
sleep 0.5
PELLIMAR_SIM_RECORD_DIR=$work/announcements "$bin/pellimar-announcement-controller" \
    --socket "$work/announcement.sock" --clip "$work/announcement.wav" --stop-after-ms 1000
kill -TERM "$capture"
wait "$capture" || true
echo "What the announcement output played (silence, about 1 s of the 3 s clip, a 5 ms ramp, silence):"
for f in "$work"/announcements/*.wav; do
    soxi "$f" 2>/dev/null | grep -E "Channels|Sample Rate|Duration"
    sox "$f" -n stat 2>&1 | grep -E "Maximum amplitude|RMS +amplitude"
    # Where the sound starts and ends in the recording.
    sox "$f" -n silence 1 1 0.001 stat 2>&1 | grep -E "Length" | sed 's/Length (seconds)/Length from the first sound (s)/'
done

# ---- Output fabric -------------------------------------------------------------------------
# The output fabric joins two simulated outputs side by side into one aggregate device, a second
# identical request reuses it, and "remove" takes it away again.
fabric=$bin/pellimar-output-fabric
fabric_line='^  [0-9]+  "Pellimar Output Fabric"'

step "pellimar-output-fabric list"
"$fabric" list

step "pellimar-output-fabric ensure: the speakers and the USB interface as one output"
members='{"members":[{"stableId":"coreaudio:BuiltInSpeakerDevice"},{"stableId":"coreaudio:USBAudioInterface-8x8"}]}'
"$fabric" ensure "$members"
"$sim" show | grep -E -A3 "$fabric_line"

step "The same request again reuses the fabric (same device ID)"
"$fabric" ensure "$members" >/dev/null
"$sim" show | grep -E "$fabric_line"

step "pellimar-output-fabric remove"
"$fabric" remove
if "$sim" show | grep -qE "$fabric_line"; then echo "the output fabric is still there"; else
    echo "no output fabric left"
fi
