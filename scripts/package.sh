#!/usr/bin/env bash
# Builds the Debian package: installs what is missing, makes a Release build
# for /usr (the udev rule in /usr/lib/udev/rules.d) and writes
# quorvi-hub-updater_<version>_<architecture>.deb into build/package/; then
# the Windows build (scripts/windows-build.sh, Qt for Windows cached once per
# machine) packed beside it as quorvi-hub-updater-<version>-win64.zip and the
# installer quorvi-hub-updater-<version>-win64.exe (NSIS).
#
#   scripts/package.sh [--no-windows | --windows-only]
set -euo pipefail
cd "$(dirname "$0")/.."

out=$PWD/build/package
if [ "${1:-}" != --windows-only ]; then
    scripts/deps.sh package
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
fi
[ "${1:-}" = --no-windows ] && exit 0

if ! dpkg-query -W -f='${Status}' nsis 2>/dev/null | grep -q "install ok installed"; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends nsis >/dev/null
fi
windows=$(scripts/windows-build.sh build/windows)
rm -f "$out"/*-win64.zip "$out"/*-win64.exe
(cd "$windows" && cpack -G "ZIP;NSIS" -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/*-win64.zip "$out"/*-win64.exe
