#!/usr/bin/env bash
# Whether GStreamer's pipewiresink stream still stalls when moved in its first second off a sink
# that keeps running, on this machine's PipeWire and on a newer one, with the tools alone (no
# program of ours). Each run starts the pipeline on the speakers beside another stream, moves it
# with pw-metadata 0.05 s (STALL_MOVE_DELAY) after the element says it streams, and records the
# other sink 2.5 s later: silence there is a stall. With BUILD_DIR, a capture of the app made by
# that build's pellimar-process-tap makes the move instead, and its capture device is recorded.
# Not in CI.
#   bench/pipewire/pipewiresink_versions.sh RUNS [system|backports [BUILD_DIR]]
# With "backports", PipeWire, WirePlumber and the GStreamer element come from Debian's
# bookworm-backports (scripts/newer-pipewire.sh); the daemon and WirePlumber then run from there.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:?runs}
which=${2:-system}
build=${3:+$(cd "$3" && pwd)}
[ "$which" != backports ] || [ -n "${PELLIMAR_TEST_PIPEWIRE_ROOT:-}" ] ||
    exec "$here/scripts/newer-pipewire.sh" "$0" "$@"
dir=$(mktemp -d /tmp/pwsink-versions.XXXXXX)
# shellcheck source=private_session.sh
. "$here/bench/pipewire/private_session.sh"
pw-cli create-node adapter "{ factory.name = support.null-audio-sink node.name = second
    media.class = Audio/Sink object.linger = true audio.position = [ FL FR ]
    priority.session = 10 session.suspend-timeout-seconds = 0 }" >/dev/null
sox -n -r 48000 -c 2 -b 16 "$dir/tone.wav" synth 30 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 16 "$dir/other.wav" synth 600 sine 300 vol 0.5
cp /usr/bin/gst-launch-1.0 "$dir/gstapp"
sleep 1
pw-cat --playback "$dir/other.wav" >/dev/null 2>&1 &
sleep 0.5

stalled=0
deadlocked=0
for run in $(seq "$runs"); do
    log=$dir/gst.$run.log
    GST_DEBUG=pipewiresink:5 GST_DEBUG_NO_COLOR=1 "$dir/gstapp" -q filesrc location="$dir/tone.wav" ! \
        wavparse ! audioconvert ! pipewiresink >"$log" 2>&1 &
    gpid=$!
    # 0.3.65 logs "got stream state 3", newer ones the state's name.
    streaming=0
    for _ in $(seq 600); do
        grep -q -E 'got stream state (3|"streaming")' "$log" && streaming=1 && break
        sleep 0.005
    done
    if [ "$streaming" = 1 ]; then
        sleep "${STALL_MOVE_DELAY:-0.05}"
        if [ -n "$build" ]; then
            "$build/bin/pellimar-process-tap" run gstapp \
                >/dev/null 2>>"$dir/capture.err" &
            capture=$!
            sleep 2.5
            timeout 0.8 pw-record --target org.pellimar.application-capture --channels 2 \
                "$dir/rec.$run.wav" >/dev/null 2>&1 || true
            kill "$capture" || true
            wait "$capture" || true
        else
            node=$(pw-cli ls Node 2>/dev/null | awk '/^\tid / {id = $2} \
                /node.name = "gstapp"/ {print id + 0}')
            pw-metadata "$node" target.object second >/dev/null 2>&1 || true
            sleep 2.5
            timeout 0.8 pw-record --target second -P '{ stream.capture.sink = true }' \
                "$dir/rec.$run.wav" >/dev/null 2>&1 || true
        fi
        level=$(sox "$dir/rec.$run.wav" -n trim 0.2 stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
        if awk -v l="${level:-0}" 'BEGIN {exit !(l < 0.01)}'; then
            stalled=$((stalled + 1))
        fi
    else
        deadlocked=$((deadlocked + 1))
    fi
    kill "$gpid" 2>/dev/null || true
    wait "$gpid" 2>/dev/null || true
    sleep 0.3
done
echo "$(pipewire --version | tail -1): $stalled of $runs moved streams stalled," \
    "$deadlocked never streamed; logs in $dir"
