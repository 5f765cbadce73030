#!/usr/bin/env bash
# Runs a command against a newer PipeWire than Debian 12's: PipeWire, WirePlumber, pipewire-pulse
# and GStreamer's PipeWire element from bookworm-backports, unpacked (never installed) under
# $PELLIMAR_NEWER_PIPEWIRE (default /tmp/pellimar-pipewire-newer) on first use. The programs and
# tests then load that libpipewire, and the tests' private daemons run from there.
#   scripts/newer-pipewire.sh COMMAND [ARG...]
#   e.g. scripts/newer-pipewire.sh build/dev/bin/pw_real_clients_e2e_test
set -euo pipefail
root=${PELLIMAR_NEWER_PIPEWIRE:-/tmp/pellimar-pipewire-newer}
if [ ! -f "$root/.unpacked" ]; then
    # Unpacked aside and moved in whole, so that an interrupted first run leaves nothing half-made.
    rm -rf "$root"
    work=$(mktemp -d "$root.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    # Checked as apt checks them: the suite's index signed by Debian's archive keys, the package
    # list by the index's hash, each package by the list's.
    dists=http://deb.debian.org/debian/dists/bookworm-backports
    curl -fsS -o "$work/InRelease" "$dists/InRelease"
    gpgv --keyring /usr/share/keyrings/debian-archive-keyring.gpg "$work/InRelease" 2>/dev/null
    curl -fsS -o "$work/Packages.xz" "$dists/main/binary-amd64/Packages.xz"
    awk '/^SHA256:/ {on = 1; next} /^[^ ]/ {on = 0}
        on && $3 == "main/binary-amd64/Packages.xz" {print $1 "  Packages.xz"}' "$work/InRelease" |
        (cd "$work" && sha256sum --quiet -c --strict -)
    xz -dc "$work/Packages.xz" >"$work/Packages"
    for package in pipewire pipewire-bin pipewire-pulse libpipewire-0.3-0 libpipewire-0.3-common \
        libpipewire-0.3-modules libspa-0.2-modules wireplumber libwireplumber-0.5-0 \
        gstreamer1.0-pipewire; do
        read -r file sum < <(awk -v p="$package" '$1 == "Package:" {hit = ($2 == p)}
            hit && $1 == "Filename:" {file = $2} hit && $1 == "SHA256:" {sum = $2}
            hit && file && sum {print file, sum; exit}' "$work/Packages") || true
        curl -fsS -o "$work/package.deb" "http://deb.debian.org/debian/${file:?$package is missing}"
        echo "$sum  $work/package.deb" | sha256sum --quiet -c --strict -
        dpkg -x "$work/package.deb" "$work"
    done
    rm -f "$work/package.deb" "$work/Packages" "$work/Packages.xz" "$work/InRelease"
    touch "$work/.unpacked"
    mv "$work" "$root"
    trap - EXIT
fi
lib=$root/usr/lib/x86_64-linux-gnu
export PELLIMAR_TEST_PIPEWIRE_ROOT=$root
export LD_LIBRARY_PATH=$lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
export SPA_PLUGIN_DIR=$lib/spa-0.2 PIPEWIRE_MODULE_DIR=$lib/pipewire-0.3
# Its own client configuration; this hides $XDG_CONFIG_HOME/pipewire from clients.
export PIPEWIRE_CONFIG_DIR=$root/usr/share/pipewire WIREPLUMBER_MODULE_DIR=$lib/wireplumber-0.5
# WirePlumber's configuration directories are the tests' to set (the system's holds 0.4's
# configuration, which 0.5 refuses).
export WIREPLUMBER_DATA_DIR=$root/usr/share/wireplumber
export PATH=$root/usr/bin:$PATH
# The system's GStreamer elements, but the newer PipeWire one.
mkdir -p "$root/gst"
for plugin in /usr/lib/x86_64-linux-gnu/gstreamer-1.0/*.so; do
    case $plugin in */libgstpipewire.so) continue ;; esac
    ln -sf "$plugin" "$root/gst/"
done
ln -sf "$lib/gstreamer-1.0/libgstpipewire.so" "$root/gst/"
export GST_PLUGIN_SYSTEM_PATH_1_0=$root/gst GST_REGISTRY_1_0=$root/gst-registry.bin
exec "$@"
