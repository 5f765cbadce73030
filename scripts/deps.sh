#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only when missing.
set -euo pipefail
packages=(
    cmake
    g++
    ninja-build
    pkg-config
    ccache
    libasio-dev
    nlohmann-json3-dev
    libsndfile1-dev
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    ffmpeg
    sox
    python3
    openssl
    ca-certificates
    systemd
    util-linux
    procps
    psmisc
    dpkg-dev
    file
    lintian
    shellcheck
    clang-format
    clang-tidy
    init-system-helpers
    pipewire
    pipewire-bin
    libspa-0.2-modules
    libpipewire-0.3-dev
    wireplumber
    # Real clients for the PipeWire suites: PulseAudio and ALSA applications, GStreamer.
    pipewire-pulse
    pipewire-alsa
    pulseaudio-utils
    alsa-utils
    gstreamer1.0-tools
    gstreamer1.0-plugins-base
    gstreamer1.0-plugins-good
    gstreamer1.0-pipewire
    gstreamer1.0-pulseaudio
    stress-ng
    # The real-client suite on PipeWire 1.4 (scripts/newer-pipewire.sh): fetching and unpacking
    # it, and WirePlumber 0.5's Lua.
    curl
    xz-utils
    gpgv
    debian-archive-keyring
    liblua5.4-0
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
