#!/usr/bin/env bash
# Builds the Debian package and checks it the way a machine would meet it: lintian, systemd's
# own check of the user units, and the installed programs run from an unpacked copy.
# Usage: scripts/package-test.sh [build-dir]    (default build/package-test)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/package-test}

pkg=$(scripts/package.sh "$dir")
# The stand-in runtime for socket-exec; built in the same tree, never installed.
cmake --build "$dir" -j "$(nproc)" --target socket-exec-probe >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
root=$work/root
dpkg -x "$pkg" "$root"
units=$root/usr/lib/systemd/user

step() { printf '\n== %s\n' "$*"; }
fail() {
    echo "package-test: $*" >&2
    exit 1
}

step "lintian $(basename "$pkg")"
lintian_rc=0
lintian_out=$(lintian --fail-on error --display-info "$pkg" 2>&1) || lintian_rc=$?
grep -v "running with root privileges" <<<"$lintian_out" || true
[ "$lintian_rc" -eq 0 ] || fail "lintian reports errors"

step "systemd-analyze --user verify"
# The units name the programs where the package puts them; point them at the unpacked copy.
verify=$work/verify
mkdir "$verify"
for unit in "$units"/*; do
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$verify/$(basename "$unit")"
done
mkdir -m 700 "$work/xdg-runtime"
report=$(cd "$verify" && XDG_RUNTIME_DIR=$work/xdg-runtime systemd-analyze --user verify ./* 2>&1) ||
    fail "systemd-analyze verify failed: $report"
if grep -q 'pellimar-[a-z-]*\.\(service\|socket\)' <<<"$report"; then
    fail "systemd-analyze verify complains: $report"
fi
ls "$verify"

export PELLIMAR_AUDIO_SYSTEM=$work/audio-system.json
bin=$root/usr/bin

step "pellimar-process-tap list"
"$bin/pellimar-audio-sim" add-process --pid 4242 --bundle-id com.example.Player --running >/dev/null
"$bin/pellimar-process-tap" list >"$work/list.json"
grep -q '"com.example.Player"' "$work/list.json" || fail "the process list misses the process: $(cat "$work/list.json")"
echo "lists $(grep -c '"bundleID"' "$work/list.json") process(es)"

step "pellimar-player --file"
sox -n -r 48000 -c 2 -b 16 "$work/tone.wav" synth 0.5 sine 440 gain -6
mkdir "$work/recordings"
PELLIMAR_SIM_RECORD_DIR=$work/recordings "$bin/pellimar-player" --file "$work/tone.wav"
recording=$(find "$work/recordings" -name '*.wav' | head -n 1)
[ -n "$recording" ] || fail "the player left no recording of what it played"
seconds=$(soxi -D "$recording")
awk -v s="$seconds" 'BEGIN { exit !(s > 0) }' || fail "the player's recording is empty"
echo "played ${seconds}s"

# Reads a unit's setting; the last assignment wins, as in systemd.
setting() { sed -n "s/^$2=//p" "$units/$1" | tail -n 1; }

# Sends one line to a Unix socket, waiting for the socket to appear first.
reach() {
    perl -MIO::Socket::UNIX -e '
        my ($path, $type, $text) = @ARGV;
        for (1 .. 600) {
            my $s = IO::Socket::UNIX->new(Type => $type eq "dgram" ? SOCK_DGRAM : SOCK_STREAM,
                                          Peer => $path);
            if ($s) { $s->send($text); $s->close; exit 0; }
            select(undef, undef, undef, 0.1);
        }
        exit 1;' "$1" "$2" "$3"
}

# Where socket-exec places each named socket for the runtime.
declare -A placed=([dnsUDP]=3 [dnsTCP]=4 [httpsTCP]=5)

# Starts a service's socket-exec command line the way its socket units would: one
# systemd-socket-activate run makes the datagram sockets, an inner one the stream sockets, each
# named as its unit names it. Unix socket paths stand in for the ports.
activate_service() {
    local service=$1 dgram=() stream=() dgram_names=() stream_names=() names=() kinds=() paths=()
    local socket name path
    for socket in $(setting "$service" Sockets); do
        name=$(setting "$socket" FileDescriptorName)
        path=$work/$name.sock
        [ -n "${placed[$name]:-}" ] || fail "$socket: socket-exec does not take a socket named '$name'"
        if [ -n "$(setting "$socket" ListenDatagram)" ]; then
            dgram+=("--listen=$path")
            dgram_names+=("$name")
            kinds+=(dgram)
        else
            stream+=("--listen=$path")
            stream_names+=("$name")
            kinds+=(stream)
        fi
        names+=("$name")
        paths+=("$path")
    done
    local activate=()
    if [ ${#dgram[@]} -gt 0 ]; then
        activate+=(systemd-socket-activate --datagram "${dgram[@]}")
    fi
    if [ ${#stream[@]} -gt 0 ]; then
        # The inner run hands on what it was given first, then its own sockets.
        local all_names=("${dgram_names[@]}" "${stream_names[@]}")
        activate+=(systemd-socket-activate "${stream[@]}" "--fdname=$(IFS=:; echo "${all_names[*]}")")
    else
        activate+=("--fdname=$(IFS=:; echo "${dgram_names[*]}")")
    fi

    local serves=() command=() exec_start
    for name in "${names[@]}"; do serves+=("--serve=${placed[$name]}"); done
    exec_start=$(setting "$service" ExecStart)
    exec_start=${exec_start//'${PELLIMAR_RUNTIME}'/$work/socket-exec-probe}
    exec_start=${exec_start//'$PELLIMAR_RUNTIME_ARGS'/${serves[*]}}
    read -r -a command <<<"${exec_start/#\/usr\/bin\//$bin/}"
    local drop=()
    [ "$(id -u)" -ne 0 ] || drop=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    local out=$work/$service.out
    env -i PATH=/usr/bin:/bin NODE_OPTIONS=--inspect timeout 120 \
        "${activate[@]}" "${drop[@]}" "${command[@]}" >"$out" 2>&1 &
    local pid=$!
    for i in "${!names[@]}"; do
        reach "${paths[$i]}" "${kinds[$i]}" "query for ${names[$i]}" ||
            fail "$service: cannot reach ${names[$i]}"
    done
    wait "$pid" || fail "$service: socket-exec and its runtime failed: $(cat "$out")"
    [ "$(id -u)" -ne 0 ] || grep -qx "uid 65534" "$out" ||
        fail "$service: the runtime did not run as nobody: $(cat "$out")"
    for i in "${!names[@]}"; do
        local fd=${placed[${names[$i]}]}
        grep -qx "fd $fd cloexec=0 type=${kinds[$i]} listening=[01] name=${paths[$i]}" "$out" ||
            fail "$service: descriptor $fd is not ${names[$i]}: $(cat "$out")"
        grep -qx "served $fd query for ${names[$i]}" "$out" ||
            fail "$service: nothing arrived on ${names[$i]}: $(cat "$out")"
        echo "${names[$i]} on descriptor $fd"
    done
    for fd in 3 4 5; do
        if ! grep -qx "served $fd .*" "$out" && grep -q "^fd $fd " "$out"; then
            fail "$service: descriptor $fd was handed on although no socket unit names it"
        fi
    done
    ! grep -q "^env NODE_\|^env LISTEN_" "$out" ||
        fail "$service: the runtime inherited NODE_ or LISTEN_ variables"
    grep "^env PELLIMAR_" "$out"
    rm -f "${paths[@]}"
}

cp "$dir/bin/socket-exec-probe" "$work/socket-exec-probe"
chmod 755 "$work/socket-exec-probe"
for service in pellimar-runtime.service pellimar-dns.service; do
    step "socket-exec under systemd-socket-activate as $service ($(setting "$service" Sockets))"
    activate_service "$service"
done
grep -qx "env PELLIMAR_TEST_SOCKET_ACTIVATION=1" "$work/pellimar-runtime.service.out" ||
    fail "the full runtime misses its marker"
grep -qx "env PELLIMAR_DNS_SOCKET_ACTIVATION=1" "$work/pellimar-dns.service.out" ||
    fail "the DNS-only runtime misses its marker"

step "package test passed: $pkg"
