#!/usr/bin/env bash
# Desktop players and headless browsers under a capture, on a private PipeWire daemon with
# WirePlumber and pipewire-pulse. Every scenario plays a tone of its own; the capture device and
# the speakers are recorded the whole time, and each tone is counted in 100 ms blocks: in its slot
# (captured), on the speakers (leaked), or nowhere (silent).
#   bench/pipewire/real_apps.sh [BUILD_DIR] [mpv|ffplay|chromium|firefox ...]
# With CONTROL=1 the capture lists nothing, so that every tone shows how long the app itself
# played it (on the speakers).
# Needs mpv, ffmpeg, chromium, firefox-esr (Debian); not run in CI.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
shift || true
apps=("$@")
[ ${#apps[@]} -eq 0 ] && apps=(mpv ffplay chromium firefox)
dir=$(mktemp -d /tmp/pellimar-real-apps.XXXXXX)
# shellcheck source=private_session.sh
source "$here/bench/pipewire/private_session.sh"
capture="$build/bin/pellimar-process-tap"

mkdir -p "$dir/www"
tone() { # frequency seconds [rate]
    local f="$dir/tone-$1-$2-${3:-48000}.wav"
    [ -f "$f" ] || sox -n -r "${3:-48000}" -c 2 -b 16 "$f" synth "$2" sine "$1" vol 0.5
    echo "$f"
}
# An unlisted app: it must stay on the speakers.
cp /usr/bin/pw-cat "$dir/org.pellimarbench.other"
"$dir/org.pellimarbench.other" --playback "$(tone 300 400)" >/dev/null 2>&1 </dev/null &

# Blocks of 100 ms of channel CHANNEL (1-based) of FILE that carry FREQUENCY.
blocks() { # file channel frequency
    sox "$1" -t raw -e signed -b 16 -c 1 - remix "$2" sinc "$(($3 - 40))-$(($3 + 40))" 2>/dev/null |
        python3 -W ignore -c '
import audioop, sys
data = sys.stdin.buffer.read()
step = 9600
print(sum(1 for i in range(0, len(data) - step + 1, step) if audioop.rms(data[i:i + step], 2) > 1000))'
}

# Runs the capture on BUNDLE, records while SCENARIO runs, and prints one line per tone:
# name, frequency, seconds it played, 100 ms blocks captured in its slot and on the speakers.
measure() { # app bundle scenario-function
    local app=$1 bundle=$2 scenario=$3
    [ -n "${CONTROL:-}" ] && bundle=org.pellimarbench.none
    "$capture" run "$bundle" org.pellimarbench.announcer >"$dir/$app.out" 2>"$dir/$app.err" </dev/null &
    local run=$!
    for _ in $(seq 200); do grep -q '"ok" : true' "$dir/$app.out" 2>/dev/null && break; sleep 0.05; done
    pw-record --target org.pellimar.application-capture --rate 48000 --format s16 --channels 4 \
        --channel-map AUX0,AUX1,AUX2,AUX3 "$dir/$app-capture.wav" </dev/null 2>/dev/null &
    local r1=$!
    pw-record --target speakers --rate 48000 --format s16 --channels 2 \
        -P '{ stream.capture.sink = true }' "$dir/$app-speakers.wav" </dev/null 2>/dev/null &
    local r2=$!
    (sleep 8 && "$capture" list >"$dir/$app.list" 2>/dev/null) </dev/null &
    local list=$!
    : >"$dir/$app.tones"
    "$scenario" "$dir/$app.tones"
    sleep 1
    kill -INT "$r1" "$r2"
    wait "$r1" "$r2" "$list" || true
    kill -TERM "$run"
    wait "$run" || echo "$app: capture ended with status $?"
    echo "== $app (pattern $bundle; listed: $(grep -o '"bundleID" : "[^"]*"' "$dir/$app.list" |
        cut -d'"' -f4 | sort -u | tr '\n' ' '))"
    printf '%-28s %6s %8s %9s %8s %s\n' scenario Hz played_s captured leaked verdict
    while read -r name frequency seconds; do
        local in out expected verdict
        in=$(blocks "$dir/$app-capture.wav" 1 "$frequency")
        out=$(blocks "$dir/$app-speakers.wav" 1 "$frequency")
        expected=$(awk -v s="$seconds" 'BEGIN { print int(s * 10) }')
        verdict=captured
        [ "$in" -lt $((expected / 2)) ] && verdict=partly
        [ "$in" -lt $((expected / 5)) ] && verdict=silent
        [ "$out" -gt 1 ] && verdict="$verdict+leaked"
        printf '%-28s %6s %8s %9s %8s %s\n' "$name" "$frequency" "$seconds" "$in" "$out" "$verdict"
    done <"$dir/$app.tones"
}

# Players: a first play, a second instance beside it, a stream reopened for a new file (the rate
# changes from 48 to 44.1 kHz), and a stop and play again.
player_scenario() { # tones-file command...
    local tones=$1
    shift
    "$@" "$(tone 1000 6)" >/dev/null 2>&1 </dev/null &
    local first=$!
    sleep 2
    "$@" "$(tone 1300 3)" >/dev/null 2>&1 </dev/null &
    local second=$!
    wait $first $second || true
    "$@" "$(tone 1600 3)" >/dev/null 2>&1 </dev/null || true
    "$@" "$(tone 1900 3 44100)" >/dev/null 2>&1 </dev/null || true
    sleep 2
    "$@" "$(tone 2200 3)" >/dev/null 2>&1 </dev/null || true
    printf '%s\n' "first-play 1000 6" "second-instance 1300 3" "next-file 1600 3" \
        "next-file-44.1kHz 1900 3" "stopped-and-played-again 2200 3" >"$tones"
}
mpv_scenario() { player_scenario "$1" mpv --no-video --really-quiet; }
ffplay_scenario() {
    SDL_VIDEODRIVER=dummy player_scenario "$1" ffplay -nodisp -autoexit -loglevel quiet
}

# Browsers: one page that plays, reloads, stops and plays again, and adds a second element; each
# step has a tone of its own and the page's timers drive it (autoplay is allowed).
cat >"$dir/www/page.html" <<'EOF'
<!doctype html><title>run</title><script>
const step = Number(sessionStorage.step || 0);
const later = (s, f) => setTimeout(f, s * 1000);
const playing = [];
function play(f) {
  const a = new Audio("t" + f + ".wav"); a.loop = true; a.play(); playing.push(a); return a;
}
if (step === 0) {
  play(1000);                                   // first play, 5 s
  later(5, () => { sessionStorage.step = 1; location.reload(); });
} else {
  const a = play(1300);                         // after the reload, 5 s
  later(5, () => a.pause());                    // stopped for 5 s
  later(10, () => { a.src = "t1600.wav"; a.play(); });   // played again, 10 s
  later(15, () => play(1900));                  // a second element beside it, 5 s
  later(20, () => playing.forEach(e => e.pause()));
}
</script>
EOF
for f in 1000 1300 1600 1900; do cp "$(tone "$f" 10)" "$dir/www/t$f.wav"; done
(cd "$dir/www" && exec python3 -m http.server 18731 --bind 127.0.0.1) >/dev/null 2>&1 </dev/null &
browser_tones() {
    printf '%s\n' "first-play 1000 5" "after-reload 1300 5" "played-again 1600 10" \
        "second-element 1900 5" >"$1"
}
chromium_scenario() {
    chromium --headless=new --no-sandbox --disable-gpu --no-first-run \
        --autoplay-policy=no-user-gesture-required --user-data-dir="$dir/chromium-profile" \
        http://127.0.0.1:18731/page.html >"$dir/chromium.log" 2>&1 </dev/null &
    local browser=$!
    sleep 50  # a start takes up to 10 s on a loaded machine; the page plays 25 s
    kill -TERM $browser
    wait $browser || true
    browser_tones "$1"
}
firefox_scenario() {
    mkdir -p "$dir/firefox-profile"
    cat >"$dir/firefox-profile/prefs.js" <<'EOF'
user_pref("media.autoplay.default", 0);
user_pref("media.autoplay.blocking_policy", 0);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("browser.aboutwelcome.enabled", false);
EOF
    firefox-esr --headless --no-remote --profile "$dir/firefox-profile" \
        http://127.0.0.1:18731/page.html >"$dir/firefox.log" 2>&1 </dev/null &
    local browser=$!
    sleep 55
    kill -TERM $browser
    wait $browser || true
    browser_tones "$1"
}

for app in "${apps[@]}"; do
    case $app in
    mpv) measure mpv mpv mpv_scenario ;;
    ffplay) measure ffplay ffplay ffplay_scenario ;;
    chromium) measure chromium chromium chromium_scenario ;;
    firefox) measure firefox firefox-esr firefox_scenario ;;
    *) echo "unknown app $app" >&2 ;;
    esac
done
echo "recordings and logs: $dir"
