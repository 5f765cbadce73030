#!/usr/bin/env bash
# The demo on a private headless PipeWire daemon with WirePlumber and pipewire-pulse (started by
# scripts/demo.sh --pipewire, or directly: scripts/demo_pipewire.sh BIN WORK RECORDINGS):
# two applications and a microphone are captured into their slots, the applications are muted on
# the speakers while the capture runs and back after it, an announcement plays into its slot, the
# output fabric joins two sinks, and the stream player plays on the speakers. Every channel is
# checked by its tone; the recordings are left in RECORDINGS for you to listen to.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$1 work=$2 recordings=$3
pw=$work/pipewire
tones=$PWD/scripts/pipewire/tones.py
mkdir -p "$recordings" "$work/apps"
children=()
cleanup() {
    for pid in "${children[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
    scripts/private-pipewire.sh stop "$pw"
    rm -rf "$work"
}
trap cleanup EXIT
# A failed step ends the demo and its cleanup stops the daemon under any program still running,
# which then reports the daemon lost: name the step, so that it is not taken for that program's.
trap 'echo "demo: the command at line $LINENO failed (status $?)" >&2' ERR
eval "$(scripts/private-pipewire.sh start "$pw")"
export PELLIMAR_AUDIO_BACKEND=pipewire

step() { printf '\n== %s\n' "$*"; }
sink() {  # NAME DESCRIPTION PRIORITY
    pw-cli create-node adapter "{ factory.name = support.null-audio-sink node.name = $1
        node.description = \"$2\" media.class = Audio/Sink object.linger = true
        audio.channels = 2 audio.position = [ FL FR ] priority.session = $3
        session.suspend-timeout-seconds = 0 }" >/dev/null
}
# Records SECONDS of a node: a device's channels (with their AUX map), or a sink's monitor.
record() {  # TARGET CHANNELS SECONDS FILE [monitor]
    local options=(--channel-map "$(seq -s, -f 'AUX%g' 0 $(($2 - 1)))")
    [ "${5:-}" = monitor ] && options=(-P '{ stream.capture.sink = true }')
    pw-record --target "$1" --rate 48000 --format s16 --channels "$2" "${options[@]}" "$4" &
    local recorder=$!
    sleep "$3"
    kill -INT "$recorder"
    wait "$recorder" || true
}
# Prints one row per channel and counts the channels that did not carry what they should.
failures=0
check() {  # FILE ROW... (one "label=frequency[|frequency]" per channel; 0 for silence)
    local file=$1
    shift
    local expected=("$@") frequencies
    frequencies=$(printf '%s\n' "${expected[@]}" | sed 's/.*=//' | tr '|' '\n' | { grep -v '^0$' || true; } |
        sort -u | paste -sd,)
    while read -r channel heard share level; do
        local label=${expected[$channel]%=*} want=${expected[$channel]##*=} verdict=matched
        [[ "|$want|" == *"|$heard|"* ]] || { verdict=MISMATCH; failures=$((failures + 1)); }
        printf '  %-40s %8s Hz %8s Hz  %-8s (share %s, level %s)\n' "$label" "$want" "$heard" \
            "$verdict" "$share" "$level"
    done < <(python3 "$tones" "$file" "${frequencies:-1000}")
}
header() { printf '  %-40s %11s %11s  %s\n' "channel" "expected" "heard" "verdict"; }
linked() { pw-link -l | grep -A20 "^$1" | grep -q "$2"; }

step "A private PipeWire daemon with WirePlumber and pipewire-pulse in $pw"
sink speakers "Speakers" 1000
sink desk "Desk speakers" 500
sink hall "Hall speakers" 500
pw-metadata -n default 0 default.configured.audio.sink '{ "name": "speakers" }' Spa:String:JSON >/dev/null
for f in 300 700 1000 1100 1900; do
    sox -n -r 48000 -c 2 -b 16 "$work/$f.wav" synth 120 sine "$f" vol 0.3
done
sox -n -r 48000 -c 1 -b 16 "$work/2000.wav" synth 120 sine 2000 vol 0.3
sox -n -r 48000 -c 2 -b 16 "$work/announcement.wav" synth 2.5 sine 1000 vol 0.3
pw-play -P '{ media.class = Audio/Source node.name = demo-mic node.description = "Demo Microphone"
    priority.session = 2000 }' "$work/2000.wav" &
children+=($!)

step "Two applications play: org.example.Music (paplay, 300 Hz) and org.example.Video (pw-play, 700 Hz)"
# Each is a copy of the player under the name that identifies it (its bundle ID on Linux).
cp /usr/bin/pacat "$work/apps/org.example.Music"
cp /usr/bin/pw-cat "$work/apps/org.example.Video"
"$work/apps/org.example.Music" --playback --file-format=wav "$work/300.wav" &
children+=($!)
"$work/apps/org.example.Video" --playback "$work/700.wav" &
children+=($!)
for _ in $(seq 100); do linked org.example.Video speakers && break; sleep 0.1; done
"$bin/pellimar-process-tap" list

step "pellimar-process-tap run: the microphone, both applications and the announcement slot"
"$bin/pellimar-process-tap" run --live-input-name "Demo Microphone" org.example.Music \
    org.example.Video org.pellimar.announcement-player >"$work/run.json" 2>"$work/run.log" &
capture=$!
children+=($capture)
for _ in $(seq 200); do grep -q '"ok" : true' "$work/run.json" 2>/dev/null && break; sleep 0.1; done
cat "$work/run.json"
cat "$work/run.log"

step "How a mixer (pavucontrol, pactl) shows it: each application plays on its slot's sink"
sleep 1
python3 -c '
import json, subprocess
pactl = lambda what: json.loads(subprocess.check_output(["pactl", "-f", "json", "list", what]))
sinks = {s["index"]: s["description"] for s in pactl("sinks")}
for i in pactl("sink-inputs"):
    print("  %-28s -> %s" % (i["properties"].get("application.name"), sinks.get(i["sink"])))'
pw-dump | python3 -c '
import json, sys
for o in json.load(sys.stdin):
    p = o.get("info", {}).get("props", {})
    if o["type"].endswith("Node") and p.get("node.name", "").startswith("org.pellimar."):
        print("  %-48s %s" % (p["node.name"], p.get("node.description", "")))'

step "An announcement plays into its slot while the capture device is recorded"
# The capture device may not be linkable at once; the recorder is restarted until it is.
for _ in 1 2 3 4 5; do
    pw-record --target org.pellimar.application-capture --rate 48000 --format s16 --channels 8 \
        --channel-map AUX0,AUX1,AUX2,AUX3,AUX4,AUX5,AUX6,AUX7 "$recordings/capture.wav" &
    recorder=$!
    for _ in $(seq 20); do linked org.pellimar.application-capture pw-record && break; sleep 0.1; done
    linked org.pellimar.application-capture pw-record && break
    kill -INT "$recorder"
    wait "$recorder" || true
done
pw-record --target speakers --rate 48000 --format s16 --channels 2 \
    -P '{ stream.capture.sink = true }' "$recordings/speakers-during-capture.wav" &
watcher=$!
sleep 0.5
"$bin/pellimar-announcement-player" --file "$work/announcement.wav"
echo "pellimar-announcement-player exited $?"
kill -INT "$recorder" "$watcher"
wait "$recorder" "$watcher" || true
header
check "$recordings/capture.wav" "AUX0 live: Demo Microphone=2000" "AUX1 live channel pad=0" \
    "AUX2 slot 1 left: org.example.Music=300" "AUX3 slot 1 right: org.example.Music=300" \
    "AUX4 slot 2 left: org.example.Video=700" "AUX5 slot 2 right: org.example.Video=700" \
    "AUX6 announcements left=1000" "AUX7 announcements right=1000"
check "$recordings/speakers-during-capture.wav" "speakers left during the capture=0" \
    "speakers right during the capture=0"

step "SIGTERM: the capture removes everything it made, and the applications are heard again"
kill -TERM "$capture"
wait "$capture" && echo "pellimar-process-tap exited 0"
sleep 0.5
pw-cli ls Node | grep -c 'org\.pellimar\.' | sed 's/^/  nodes of ours left: /' || true
record speakers 2 2 "$recordings/speakers-after-capture.wav" monitor
header
check "$recordings/speakers-after-capture.wav" "speakers left after the capture=300|700" \
    "speakers right after the capture=300|700"

step "pellimar-output-fabric ensure: the desk and hall speakers side by side"
"$bin/pellimar-output-fabric" ensure \
    '{"members":[{"stableId":"coreaudio:desk"},{"stableId":"coreaudio:hall"}]}'
pw-cli info org.pellimar.output-fabric | grep -E 'node.description|pellimar.aggregate.channels'
sox -n -r 48000 -c 4 -b 16 "$work/four.wav" synth 120 sine 300 sine 700 sine 1100 sine 1900 vol 0.3
pw-play --target org.pellimar.output-fabric --channels 4 --channel-map AUX0,AUX1,AUX2,AUX3 \
    "$work/four.wav" &
four=$!
sleep 0.5
pw-record --target desk --rate 48000 --format s16 --channels 2 -P '{ stream.capture.sink = true }' \
    "$recordings/fabric-desk.wav" &
desk=$!
pw-record --target hall --rate 48000 --format s16 --channels 2 -P '{ stream.capture.sink = true }' \
    "$recordings/fabric-hall.wav" &
hall=$!
sleep 2
kill -INT "$desk" "$hall" "$four"
wait "$desk" "$hall" "$four" || true
header
check "$recordings/fabric-desk.wav" "fabric AUX0 -> desk speakers left=300" \
    "fabric AUX1 -> desk speakers right=700"
check "$recordings/fabric-hall.wav" "fabric AUX2 -> hall speakers left=1100" \
    "fabric AUX3 -> hall speakers right=1900"
"$bin/pellimar-output-fabric" remove

step "pellimar-player plays a 1 kHz file on the speakers (the applications are stopped first)"
kill -TERM "${children[1]}" "${children[2]}" 2>/dev/null || true
wait "${children[1]}" "${children[2]}" 2>/dev/null || true
sox -n -r 48000 -c 2 -b 16 "$work/tone.wav" synth 4 sine 1000 vol 0.3
"$bin/pellimar-player" --file "$work/tone.wav" &
player=$!
# It settles for 1.1 s and buffers before it makes its stream.
for _ in $(seq 100); do linked org.pellimar.player speakers && break; sleep 0.1; done
pactl list sink-inputs | grep -E 'application.name|media.name|media.role' | sed 's/^\t*/  /'
record speakers 2 1 "$recordings/player.wav" monitor
if wait "$player"; then
    echo "pellimar-player exited 0"
else
    echo "pellimar-player exited $?"
    failures=$((failures + 1))
fi
header
check "$recordings/player.wav" "speakers left: pellimar-player=1000" \
    "speakers right: pellimar-player=1000"

step "Result"
if [ "$failures" -eq 0 ]; then
    echo "every channel matched"
else
    echo "$failures checks failed"
fi
echo "Recordings to listen to (play FILE): $recordings"
ls "$recordings"
[ "$failures" -eq 0 ]
