#!/usr/bin/env bash
# Starts or stops a private headless PipeWire daemon with WirePlumber and the PulseAudio server
# (pipewire-pulse, so that paplay, pactl and pavucontrol work) in DIR.
#   scripts/private-pipewire.sh start DIR   prints the environment to use it (eval it)
#   scripts/private-pipewire.sh stop DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command=${1:?start or stop}
dir=$(mkdir -p "${2:?directory}" && cd "$2" && pwd)
case $command in
start)
    mkdir -p "$dir/runtime" "$dir/config/wireplumber/main.lua.d" "$dir/state"
    chmod 700 "$dir/runtime"
    cp "$here/pipewire/60-headless.lua" "$dir/config/wireplumber/main.lua.d/"
    if [ -n "${PELLIMAR_TEST_PIPEWIRE_ROOT:-}" ]; then
        # WirePlumber 0.5 from scripts/newer-pipewire.sh: its headless fragment, then its own
        # configuration (the system's is 0.4's, which it refuses).
        mkdir -p "$dir/config/wireplumber/wireplumber.conf.d"
        cp "$here/pipewire/60-headless.conf" "$dir/config/wireplumber/wireplumber.conf.d/"
        export WIREPLUMBER_CONFIG_DIR=$dir/config/wireplumber:$PELLIMAR_TEST_PIPEWIRE_ROOT/usr/share/wireplumber
    fi
    export XDG_RUNTIME_DIR=$dir/runtime XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state
    unset PIPEWIRE_REMOTE DBUS_SESSION_BUS_ADDRESS
    pipewire -c "$here/pipewire/pipewire.conf" >"$dir/pipewire.log" 2>&1 &
    echo $! >"$dir/pipewire.pid"
    for _ in $(seq 200); do pw-cli info 0 >/dev/null 2>&1 && break; sleep 0.05; done
    pw-cli info 0 >/dev/null 2>&1 || { echo "PipeWire did not start; see $dir/pipewire.log" >&2; exit 1; }
    wireplumber >"$dir/wireplumber.log" 2>&1 &
    echo $! >"$dir/wireplumber.pid"
    for _ in $(seq 200); do
        pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = "default"' && break
        sleep 0.05
    done
    mkdir -p "$dir/runtime/pulse"
    chmod 700 "$dir/runtime/pulse"
    pipewire-pulse -c "$here/pipewire/pipewire-pulse.conf" >"$dir/pipewire-pulse.log" 2>&1 &
    echo $! >"$dir/pipewire-pulse.pid"
    for _ in $(seq 200); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
    echo "export XDG_RUNTIME_DIR='$dir/runtime' XDG_CONFIG_HOME='$dir/config' XDG_STATE_HOME='$dir/state'"
    ;;
stop)
    for name in pipewire-pulse wireplumber pipewire; do
        if [ -f "$dir/$name.pid" ]; then
            pid=$(cat "$dir/$name.pid")
            kill -TERM "$pid" 2>/dev/null || true
            for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
            kill -KILL "$pid" 2>/dev/null || true
            rm -f "$dir/$name.pid"
        fi
    done
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
