#!/usr/bin/env bash
# The demo on a private headless PipeWire daemon (started by scripts/demo.sh --pipewire):
# a null sink "speakers" stands in for the loudspeakers and its monitor is recorded.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$1 work=$2 recording=$3
pw=$work/pipewire
trap 'scripts/private-pipewire.sh stop "$pw"; rm -rf "$work"' EXIT
eval "$(scripts/private-pipewire.sh start "$pw")"
export PELLIMAR_AUDIO_BACKEND=pipewire

step() { printf '\n== %s\n' "$*"; }

step "A private PipeWire daemon with WirePlumber in $pw"
pw-cli create-node adapter '{ factory.name = support.null-audio-sink node.name = speakers
    node.description = "Speakers" media.class = Audio/Sink object.linger = true
    audio.channels = 2 audio.position = [ FL FR ] }' >/dev/null
pw-metadata -n default 0 default.configured.audio.sink '{ "name": "speakers" }' Spa:String:JSON >/dev/null
pw-cli ls Node | grep -E "node.name|media.class"

step "A music application plays a quiet 300 Hz tone"
mkdir -p "$work/music/pipewire/client-rt.conf.d"
echo 'context.properties = { application.id = "com.example.Music" }' \
    >"$work/music/pipewire/client-rt.conf.d/app.conf"
cp /usr/bin/pw-cat "$work/music-app"
sox -n -r 48000 -c 2 -b 16 "$work/music.wav" synth 8 sine 300 vol 0.1
XDG_CONFIG_HOME=$work/music "$work/music-app" --playback "$work/music.wav" &
music=$!
sleep 0.5

step "pellimar-process-tap list: the daemon's clients as audio processes"
"$bin/pellimar-process-tap" list

step "pellimar-process-tap run: capturing applications needs process taps on PipeWire (not yet)"
"$bin/pellimar-process-tap" run --live-input-name Speakers 2>&1 | head -5 || true

step "pellimar-player plays a 1 kHz tone; the speakers' monitor is recorded to $recording"
pw-record --target speakers -P '{ stream.capture.sink = true }' --rate 48000 --channels 2 \
    --format s16 "$recording" &
recorder=$!
sleep 0.5
sox -n -r 48000 -c 2 -b 16 "$work/tone.wav" synth 2 sine 1000 vol 0.5
"$bin/pellimar-player" --file "$work/tone.wav"
echo "pellimar-player exited $?"
sleep 0.3
kill -INT "$recorder" "$music" 2>/dev/null || true
wait "$recorder" 2>/dev/null || true
soxi "$recording" | grep -E "Channels|Sample Rate|Duration"
echo "Listen: play '$recording'  (the music app's 300 Hz under the player's 1 kHz)"
