#!/usr/bin/env bash
# Whether WirePlumber keeps linking new streams when a capture is stopped and the next one starts
# at once, taking back the streams just given back (not in CI). Two instances of one app play
# beside an unlisted pw-cat; each round runs a capture for RESTART_HOLD (1) seconds, stops it,
# starts the next RESTART_GAP (0.5) seconds later, stops that after a second, then checks that a
# new stream is linked to the speakers within 1.5 s.
#   bench/pipewire/capture_restart.sh BUILD_DIR CLIENT ROUNDS   (CLIENT: pipewiresink, paplay)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build directory}" && pwd)
client=${2:?client}
rounds=${3:?rounds}
dir=$(mktemp -d /tmp/capture-restart.XXXXXX)
# shellcheck source=private_session.sh
. "$here/bench/pipewire/private_session.sh"
sox -n -r 48000 -c 2 -b 16 "$dir/tone.wav" synth 600 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 16 "$dir/short.wav" synth 1 sine 500 vol 0.5
mkdir -p "$dir/bin"
app=$dir/bin/org.pellimartest.app
case $client in
pipewiresink)
    cp /usr/bin/gst-launch-1.0 "$app"
    play=("$app" -q filesrc location="$dir/tone.wav" ! wavparse ! audioconvert ! pipewiresink)
    ;;
paplay)
    cp /usr/bin/pacat "$app"
    play=("$app" --playback --file-format=wav "$dir/tone.wav")
    ;;
*) echo "unknown client $client" >&2 && exit 2 ;;
esac
cp /usr/bin/pw-cat "$dir/bin/probe"
pw-cat --playback "$dir/tone.wav" >/dev/null 2>&1 &
sleep 0.5
"${play[@]}" >/dev/null 2>&1 &
sleep 0.3
"${play[@]}" >/dev/null 2>&1 &
sleep 1.5

capture() {
    "$build/bin/pellimar-process-tap" run org.pellimartest.app >/dev/null 2>>"$dir/capture.err" &
    local pid=$!
    sleep "$1"
    kill "$pid"
    wait "$pid" || true
}

for round in $(seq "$rounds"); do
    capture "${RESTART_HOLD:-1}"
    sleep "${RESTART_GAP:-0.5}"
    capture 1
    timeout 2 "$dir/bin/probe" --playback "$dir/short.wav" >/dev/null 2>&1 &
    probe=$!
    linked=0
    for _ in $(seq 30); do
        if pw-link -l 2>/dev/null | grep -A1 '^probe:output_FL' | grep -q speakers; then
            linked=1
            break
        fi
        sleep 0.05
    done
    wait "$probe" 2>/dev/null || true
    if [ "$linked" = 0 ]; then
        echo "$client: round $round: a new stream was not linked; WirePlumber said:"
        grep -h "failed" "$dir/pw/wireplumber.log" | tail -3
        exit 1
    fi
done
echo "$client: WirePlumber linked a new stream after each of $rounds rounds; logs in $dir"
