#!/usr/bin/env bash
# Builds the programs and the platform-neutral tests for 64-bit Windows with
# MinGW-w64, on this Linux machine: Qt for Windows from scripts/windows-qt.sh
# (built once per machine and cached), GoogleTest cross-built from Debian's
# source (cached the same way), then the project with cmake/mingw-w64.cmake
# into build/windows. Tests registered there run under wine (ctest uses wine64
# as the emulator; scripts/windows-test.sh sets up its prefix and display).
#
#   scripts/windows-build.sh [build folder]     prints the build folder
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build/windows}
started=$(date +%s)

scripts/deps.sh --only g++-mingw-w64-x86-64-posix googletest wine64 ninja-build cmake

qt=$(scripts/windows-qt.sh | tail -n1)
qt_ready=$(date +%s)

# GoogleTest for Windows, static, from the source Debian ships.
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
gtest_key=$(cat cmake/mingw-w64.cmake | sha256sum | cut -c1-12)
gtest=${XDG_CACHE_HOME:-$HOME/.cache}/quorvi/googletest-${gtest_version}-mingw-$gtest_key
if [ ! -f "$gtest/install/.complete" ]; then
    echo "Building GoogleTest $gtest_version for Windows in $gtest" >&2
    rm -rf "$gtest/build"
    cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DBUILD_SHARED_LIBS=OFF \
        -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null
    cmake --build "$gtest/build" -j "$(nproc)" >/dev/null
    cmake --install "$gtest/build" >/dev/null
    touch "$gtest/install/.complete"
fi

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVI_WERROR=ON -DQUORVI_BUILD_BENCH=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt;$gtest/install" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" >/dev/null
cmake --build "$out" -j "$(nproc)" >&2
# Where the Qt used lives, for whoever runs the programs from the build folder.
echo "$qt" >"$out/qt-prefix"
echo "Windows build: Qt ready in $((qt_ready - started)) s, the rest in $(($(date +%s) - qt_ready)) s" >&2
echo "$out"
