#!/usr/bin/env bash
# Builds the Debian package: installs what is missing, makes a Release build
# for /usr (the udev rule in /usr/lib/udev/rules.d) and writes
# quorvi-hub-updater_<version>_<architecture>.deb into build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh package
out=$PWD/build/package
# Debian's hardening flags, as a package built by dpkg-buildpackage gets them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# No debug information: the package strips it anyway.
export DEB_CXXFLAGS_MAINT_STRIP=-g
cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DQUORVI_BUILD_TESTS=OFF -DQUORVI_BUILD_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DQUORVI_UDEV_RULES_DIR=/usr/lib/udev/rules.d >/dev/null
cmake --build "$out/build" -j "$(nproc)"
rm -f "$out"/*.deb
(cd "$out/build" && cpack -G DEB -B "$out" >/dev/null)
ls "$out"/*.deb
