#!/usr/bin/env bash
# How often GStreamer's pipewiresink stream stalls in its first seconds, under one trigger at a
# time, on a private daemon (not in CI). A stalled stream hands no buffer back, so the element's
# pool stays empty and it sends nothing more (its own debug log; its `process` callback alone
# says little, as it comes only when the element's queue ran dry). The stacks (gdb), the graph
# and, with STALL_PIPEWIRE_DEBUG, the element's PipeWire log of each stalled start are kept.
#   bench/pipewire/pipewiresink_stall.sh BUILD_DIR RUNS TRIGGER...
# Triggers: none, list (pellimar-process-tap list in a loop), dump (pw-dump in a loop), record
# (pw-record on the speakers' monitor started every 0.5 s), play (pw-cat playing beside it),
# together (pw-cat started at the same moment), move (the stream moved to another sink and back
# every second from 0.7 s on), early (moved once as soon as its node is there, or
# STALL_MOVE_DELAY seconds later), link (linked into a second sink running in a graph of its
# own, as soon as its ports are there, or STALL_MOVE_DELAY seconds later), relink (the same,
# then its links to the speakers removed), fresh (moved, once listed, into a sink made just
# then), ready (the same once that sink's ports are there), busy (fresh, with four more sinks
# made meanwhile), quick (moved to the second sink STALL_MOVE_DELAY seconds after it started
# streaming), quicknew (the same into a sink made then, with four more made meanwhile), test
# (what the real-client test does before its capture: play, then list until the app is listed),
# capture (the same, then a capture of the app, STALL_MOVE_DELAY seconds after it is listed;
# STALL_BESIDE=0 plays nothing beside it on the speakers). STALL_FIRST_SINK=second starts the
# pipeline in the second sink instead of the speakers; STALL_OTHER=1 has another stream playing on
# the speakers from half a second before the pipeline's start (the capture trigger's own then
# adds a third).
# A start counts as stalled when the element sent nothing between STALL_WAIT (2) seconds after
# its start and a second later.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build directory}" && pwd)
runs=${2:?runs}
shift 2
dir=$(mktemp -d /tmp/pwsink-stall.XXXXXX)
# shellcheck source=private_session.sh
. "$here/bench/pipewire/private_session.sh"
for _ in $(seq 100); do
    pw-metadata 0 default.audio.sink 2>/dev/null | grep -q '"name":"speakers"' && break
    sleep 0.05
done
# A stereo null sink that outlives the tool that made it.
make_sink() {
    pw-cli create-node adapter "{ factory.name = support.null-audio-sink node.name = $1
        media.class = Audio/Sink object.linger = true audio.position = [ FL FR ]
        session.suspend-timeout-seconds = 0 }" >/dev/null
}
make_sink second
sox -n -r 48000 -c 2 -b 16 "$dir/tone.wav" synth 60 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 16 "$dir/other.wav" synth 60 sine 300 vol 0.5
mkdir -p "$dir/bin"
cp /usr/bin/gst-launch-1.0 "$dir/bin/org.pellimartest.gstpipewire"
list="$build/bin/pellimar-process-tap list"

# The pipeline's node id, empty before it is there.
stream_node() {
    pw-dump 2>/dev/null | python3 -c 'import json, sys
print(*[o["id"] for o in json.load(sys.stdin) if (o.get("info") or {}).get("props", {})
        .get("node.name") == "org.pellimartest.gstpipewire"])'
}

trigger() {
    case $1 in
    none) sleep 100 ;;
    list) while :; do $list >/dev/null 2>&1; done ;;
    dump) while :; do pw-dump >/dev/null 2>&1; done ;;
    record)
        while :; do
            timeout 0.5 pw-record --target speakers -P '{ stream.capture.sink = true }' \
                "$dir/rec.wav" >/dev/null 2>&1 || true
        done
        ;;
    move)
        # Moves the stream to the second sink and back, once a second.
        sleep 0.7
        node=$(stream_node)
        while :; do
            pw-metadata "$node" target.object second >/dev/null 2>&1
            sleep 0.5
            pw-metadata "$node" target.object speakers >/dev/null 2>&1
            sleep 0.5
        done
        ;;
    early)
        # Moves the stream to the second sink once, as soon as it is there.
        node=""
        while [ -z "$node" ]; do
            node=$(stream_node)
        done
        sleep "${STALL_MOVE_DELAY:-0}"
        pw-metadata "$node" target.object second >/dev/null 2>&1
        sleep 100
        ;;
    quick | quicknew)
        # Moves the stream to the second sink STALL_MOVE_DELAY seconds after it started
        # streaming, as soon as the element says so.
        node=""
        while [ -z "$node" ]; do
            node=$(pw-cli ls Node 2>/dev/null | awk '/^\tid / {id = $2} \
                /node.name = "org.pellimartest.gstpipewire"/ {print id + 0}')
        done
        until grep -q 'got stream state 3' "$log"; do sleep 0.005; done
        sleep "${STALL_MOVE_DELAY:-0}"
        sink=second
        if [ "$1" = quicknew ]; then
            # Into a sink made just then, with four more made meanwhile, as a capture does.
            sink=fresh$RANDOM
            for i in 1 2 3 4; do make_sink "$sink.$i" & done
            make_sink "$sink"
        fi
        pw-metadata "$node" target.object "$sink" >/dev/null 2>&1
        sleep 100
        ;;
    fresh | ready | busy)
        # Moves the stream, once it is listed, into a sink made just then (fresh), or only once
        # that sink's ports are there (ready).
        until [[ $($list 2>/dev/null) == *org.pellimartest.gstpipewire* ]]; do :; done
        node=$(stream_node)
        sink=fresh$RANDOM
        make_sink "$sink"
        if [ "$1" = ready ]; then
            until pw-link -i 2>/dev/null | grep -q "^$sink:playback_FR"; do sleep 0.01; done
        fi
        if [ "$1" = busy ]; then
            # More sinks made meanwhile, as a capture makes its other taps.
            for i in 1 2 3 4; do make_sink "$sink.$i" & done
        fi
        pw-metadata "$node" target.object "$sink" >/dev/null 2>&1
        sleep 100
        ;;
    link | relink)
        # Links the running stream, as it plays on the speakers, into the second sink, which a
        # recorder keeps running in a graph of its own.
        pw-record --target second -P '{ stream.capture.sink = true }' "$dir/rec.wav" \
            >/dev/null 2>&1 &
        until pw-link -o 2>/dev/null | grep -q '^org.pellimartest.gstpipewire:output_FR'; do
            sleep 0.01
        done
        sleep "${STALL_MOVE_DELAY:-0}"
        pw-link org.pellimartest.gstpipewire:output_FL second:playback_FL
        pw-link org.pellimartest.gstpipewire:output_FR second:playback_FR
        if [ "$1" = relink ]; then
            # Its links to the speakers go, so its graph changes driver while it runs.
            pw-link -d org.pellimartest.gstpipewire:output_FL speakers:playback_FL
            pw-link -d org.pellimartest.gstpipewire:output_FR speakers:playback_FR
        fi
        wait
        ;;
    play | together) exec pw-cat --playback "$dir/other.wav" >/dev/null 2>&1 ;;
    test)
        pw-cat --playback "$dir/other.wav" >/dev/null 2>&1 &
        until [[ $($list 2>/dev/null) == *org.pellimartest.gstpipewire* ]]; do :; done
        wait
        ;;
    capture)
        [ "${STALL_BESIDE:-1}" = 0 ] || pw-cat --playback "$dir/other.wav" >/dev/null 2>&1 &
        until [[ $($list 2>/dev/null) == *org.pellimartest.gstpipewire* ]]; do :; done
        sleep "${STALL_MOVE_DELAY:-0}"
        exec "$build/bin/pellimar-process-tap" run org.pellimartest.gstpipewire \
            org.pellimartest.announcer >"$dir/capture.$run.out" 2>"$dir/capture.$run.err"
        ;;
    *) echo "unknown trigger $1" >&2 && exit 2 ;;
    esac
}

count() { grep -c "$1" "$2" || true; }

for what in "$@"; do
    stalled=0
    detail=""
    all=""
    for run in $(seq "$runs"); do
        log="$dir/$what.$run.log"
        if [ "${STALL_OTHER:-0}" = 1 ]; then
            # Another stream already playing on the speakers, so that they keep running.
            pw-cat --playback "$dir/other.wav" >/dev/null 2>&1 &
            opid=$!
            sleep 0.5
        fi
        if [[ " test capture fresh ready busy quick quicknew " != *" $what "* ]]; then
            trigger "$what" &
            tpid=$!
            [ "$what" = together ] || sleep 0.3
        fi
        GST_DEBUG=pipewirepool:6,pipewiresink:5 GST_DEBUG_NO_COLOR=1 \
            PIPEWIRE_DEBUG=${STALL_PIPEWIRE_DEBUG:-} PIPEWIRE_LOG="$log.pw" \
            "$dir/bin/org.pellimartest.gstpipewire" -q filesrc location="$dir/tone.wav" ! \
            wavparse ! audioconvert ! pipewiresink ${STALL_FIRST_SINK:+target-object=$STALL_FIRST_SINK} \
            >"$log" 2>&1 &
        gpid=$!
        if [[ " test capture fresh ready busy quick quicknew " == *" $what "* ]]; then
            trigger "$what" &
            tpid=$!
        fi
        sleep "${STALL_WAIT:-2}"
        early=$(count 'push buffer' "$log")
        sleep 1
        late=$(count 'push buffer' "$log")
        if [ "$late" -le "$early" ]; then
            # Where each of the element's threads waits, and the graph around it.
            if command -v gdb >/dev/null; then
                timeout 60 gdb -p "$gpid" -batch -ex 'thread apply all bt 20' >"$log.stacks" 2>&1 ||
                    true
            fi
            { pw-dump; pw-link -l; } >"$log.graph" 2>&1 || true
        fi
        kill "$gpid" 2>/dev/null || true
        wait "$gpid" 2>/dev/null || true
        pkill -P "$tpid" 2>/dev/null || true
        kill "$tpid" 2>/dev/null || true
        wait "$tpid" 2>/dev/null || true
        if [ -n "${opid:-}" ]; then
            kill "$opid" 2>/dev/null || true
            wait "$opid" 2>/dev/null || true
        fi
        buffers=$(count 'wrap buffer 0 ' "$log")
        calls=$(count 'on_process: signal' "$log")
        empty=$(count 'queue empty' "$log")
        states=$(grep -o 'got stream state [0-9]' "$log" | cut -c18- | tr -d '\n')
        all="$all $states"
        if [ "$late" -le "$early" ]; then
            stalled=$((stalled + 1))
            detail="$detail run $run: $late sent, $calls process calls, $buffers buffers, pool empty $empty times;"
        fi
        sleep 0.3
    done
    echo "$what: $stalled of $runs starts stalled.$detail"
    echo "  stream states of each start:$all"
done
echo "logs in $dir"
