#!/usr/bin/env bash
# Builds the Debian package: a Release build without sanitizers and with Debian's hardening
# flags, of the installed programs only. Prints the path of the package it made.
# Usage: scripts/package.sh [build-dir]    (default build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/package}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELLIMAR_SANITIZE= \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_STRIP="$PWD/packaging/debian/strip" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target pellimar-programs >&2
rm -f "$dir"/pellimar_*.deb
(cd "$dir" && cpack -G DEB >&2)
ls "$PWD/$dir"/pellimar_*.deb
