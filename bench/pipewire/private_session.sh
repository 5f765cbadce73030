# Sourced by the PipeWire bench scripts: a private daemon with WirePlumber and pipewire-pulse in
# "$dir/pw" (scripts/private-pipewire.sh starts all three), null speakers as the default sink,
# and every job of the script ended on exit.
# Needs $here (the source tree) and $dir.
eval "$("$here/scripts/private-pipewire.sh" start "$dir/pw")"
cleanup() {
    # Unquoted: one pid per word.
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    "$here/scripts/private-pipewire.sh" stop "$dir/pw"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
pw-cli create-node adapter '{ factory.name = support.null-audio-sink node.name = speakers
    media.class = Audio/Sink object.linger = true audio.position = [ FL FR ]
    priority.session = 1000 session.suspend-timeout-seconds = 0 }' >/dev/null
export PELLIMAR_AUDIO_BACKEND=pipewire
