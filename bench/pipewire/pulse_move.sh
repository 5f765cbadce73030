#!/usr/bin/env bash
# Does pipewire-pulse make every `pactl move-sink-input`? A paplay stream is aimed at a null sink
# (as a capture parks it), moved to the default sink with pactl, and aimed back, N times; with
# LINK=1 the stream also has a second link of its own into another node, as a capture's feed.
# Prints how many moves landed and how many pactl acknowledged without making them. No program
# of ours runs; not run in CI.
#   [LINK=1] [N=20] bench/pipewire/pulse_move.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d /tmp/pellimar-pulse-move.XXXXXX)
# shellcheck source=private_session.sh
source "$here/bench/pipewire/private_session.sh"
node() {
    pw-dump | python3 -c 'import json, sys
for o in json.load(sys.stdin):
    if o["type"].endswith("Node") and o["info"]["props"].get("node.name") == sys.argv[1]:
        print(o["info"]["props"]["object.serial"] if sys.argv[2] == "serial" else o["id"])' "$1" "$2"
}
null_sink() {
    pw-cli create-node adapter "{ factory.name = support.null-audio-sink node.name = $1
        object.linger = true media.class = $2 audio.position = [ FL FR ]
        priority.session = -1000 session.suspend-timeout-seconds = 0 }" >/dev/null
}
for _ in $(seq 100); do pw-metadata 0 default.audio.sink | grep -q speakers && break; sleep 0.1; done
null_sink park Audio/Sink
null_sink feed Audio/Sink
sox -n -r 48000 -c 2 -b 16 "$dir/tone.wav" synth 600 sine 1000 vol 0.5
cp /usr/bin/pacat "$dir/app"
"$dir/app" --playback --file-format=wav "$dir/tone.wav" &
for _ in $(seq 100); do [ -n "$(node app id)" ] && break; sleep 0.1; done
park=$(node park serial)
stream=$(node app id)
if [ "${LINK:-0}" = 1 ]; then
    pw-link app:output_FL feed:playback_FL
    pw-link app:output_FR feed:playback_FR
fi
input=$(pactl list sink-inputs short | awk '{print $1}' | head -1)
landed=0 dropped=0
for _ in $(seq "${N:-20}"); do
    pw-metadata "$stream" target.object "$park" Spa:Id >/dev/null
    for _ in $(seq 50); do
        pactl list sink-inputs short | grep -q "^${input}[[:space:]]${park}[[:space:]]" && break
        sleep 0.1
    done
    sleep 0.3
    pactl move-sink-input "$input" speakers
    sleep 1
    if pw-metadata "$stream" target.object | grep -q "value:'$park'"; then
        dropped=$((dropped + 1))
    else
        landed=$((landed + 1))
    fi
done
echo "link ${LINK:-0}: $landed moves landed, $dropped acknowledged but not made"
