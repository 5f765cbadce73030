#!/usr/bin/env bash
# A capture with four slots on a private PipeWire daemon while matching and unlisted applications
# (native and PulseAudio) start and stop every few seconds. Prints, once a minute, the capture's
# RSS and open descriptors and the daemon's node and link counts (flat is right), and at the end
# checks that every slot still holds its steady application's tone and the speakers none of them.
#   bench/pipewire/soak.sh [MINUTES] [BUILD_DIR]     (default 60 minutes, build/release)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
minutes=${1:-60}
build=$(cd "${2:-$here/build/release}" && pwd)
dir=$(mktemp -d /tmp/pellimar-soak.XXXXXX)
# shellcheck source=private_session.sh
source "$here/bench/pipewire/private_session.sh"
bin=$dir/bin
mkdir -p "$bin"
freqs=(0 440 660 880 1320)
for slot in 1 2 3 4; do
    cp /usr/bin/pw-cat "$bin/org.pellimarsoak.slot$slot"
    cp /usr/bin/pacat "$bin/org.pellimarsoak.slot$slot.pulse"
done
cp /usr/bin/pw-cat "$bin/org.pellimarsoak.unlisted"
cp /usr/bin/pacat "$bin/org.pellimarsoak.unlisted.pulse"
sox -n -r 48000 -c 2 -b 16 "$dir/short.wav" synth 2 sine 2500 vol 0.3

# One steady application per slot, heard at the end; its tone is made as it plays.
for slot in 1 2 3 4; do
    sox -n -r 48000 -c 2 -b 16 -t wav - synth $((minutes * 60 + 300)) sine "${freqs[$slot]}" \
        vol 0.3 2>/dev/null | "$bin/org.pellimarsoak.slot$slot" --playback - >/dev/null 2>&1 &
done
"$build/bin/pellimar-process-tap" run org.pellimarsoak.slot1 org.pellimarsoak.slot2 \
    org.pellimarsoak.slot3 org.pellimarsoak.slot4 >"$dir/capture.out" 2>"$dir/capture.err" &
capture=$!
for _ in $(seq 200); do grep -q '"ok"' "$dir/capture.out" 2>/dev/null && break; sleep 0.05; done

# Churn: short-lived matching (slot 1..3, native and pulse) and unlisted applications.
(
    i=0
    while true; do
        i=$((i + 1))
        slot=$((i % 3 + 1))
        "$bin/org.pellimarsoak.slot$slot" --playback "$dir/short.wav" >/dev/null 2>&1 &
        "$bin/org.pellimarsoak.slot$slot.pulse" --playback --file-format=wav "$dir/short.wav" \
            >/dev/null 2>&1 &
        "$bin/org.pellimarsoak.unlisted" --playback "$dir/short.wav" >/dev/null 2>&1 &
        "$bin/org.pellimarsoak.unlisted.pulse" --playback --file-format=wav "$dir/short.wav" \
            >/dev/null 2>&1 &
        sleep 3
    done
) &

echo "minute rss_kB fds nodes links"
for minute in $(seq 0 "$minutes"); do
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$capture/status")
    fds=$(ls "/proc/$capture/fd" | wc -l)
    nodes=$(pw-cli ls Node | grep -c '^	id')
    links=$(pw-cli ls Link | grep -c '^	id')
    echo "$minute $rss $fds $nodes $links"
    [ "$minute" -lt "$minutes" ] && sleep 60
done

# Every slot holds its steady tone; the speakers hold none of them.
check() { # target channels file [monitor]
    # The device's own channel map, or the recorder's converter remixes its AUX channels.
    local props=(--channel-map "$(seq -s, -f 'AUX%g' 0 $(($2 - 1)))")
    [ "${4:-}" = monitor ] && props=(-P '{ stream.capture.sink = true }')
    timeout 3 pw-record --target "$1" --channels "$2" --format s16 "${props[@]}" "$3" || true
}
channels=$(sed -n 's/.*"channels" : \([0-9]*\).*/\1/p' "$dir/capture.out" | head -1)
check org.pellimar.application-capture "${channels:-10}" "$dir/end.wav"
check speakers 2 "$dir/speakers.wav" monitor
status=0
for slot in 1 2 3 4; do
    channel=$(((slot - 1) * 2 + 1))
    level=$(sox "$dir/end.wav" -n remix "$channel" sinc "$((freqs[slot] - 30))-$((freqs[slot] + 30))" \
        stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
    echo "slot $slot (${freqs[$slot]} Hz): RMS $level"
    awk -v l="$level" 'BEGIN { exit !(l > 0.05) }' || status=1
done
for slot in 1 2 3 4; do
    level=$(sox "$dir/speakers.wav" -n remix 1 sinc "$((freqs[slot] - 30))-$((freqs[slot] + 30))" \
        stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
    echo "speakers at ${freqs[$slot]} Hz: RMS $level"
    awk -v l="$level" 'BEGIN { exit !(l < 0.01) }' || status=1
done
kill -TERM "$capture"
wait "$capture" || status=1
echo "capture stderr:"
sort "$dir/capture.err" | uniq -c | sort -rn | head
[ "$status" -eq 0 ] && echo "SOAK PASSED" || echo "SOAK FAILED"
exit "$status"
