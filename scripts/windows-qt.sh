#!/usr/bin/env bash
# Builds Qt for Windows (Core, Gui, Widgets, Sql with its bundled SQLite and
# the Windows platform plugin) with MinGW-w64 from Debian's own qt6-base
# source, using Debian's host Qt tools, and caches it under the user's cache
# folder keyed by version and options, so a machine builds it once. Prints the
# install prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
scripts/deps.sh --only g++-mingw-w64-x86-64-posix dpkg-dev qt6-base-dev qt6-base-dev-tools ninja-build cmake tcl

version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_QMAKE_TARGET_MKSPEC=win32-g++
    -DFEATURE_network=OFF -DFEATURE_sql=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=OFF -DFEATURE_dbus=OFF -DFEATURE_testlib=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_tabletevent=OFF
)
key=$(printf '%s\n' "$version" "${options[@]}" | cat - cmake/mingw-w64.cmake | sha256sum | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/quorvi/qt-${version%%+*}-mingw-$key
prefix=$cache/install
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi
# One build per cache folder: a second caller waits for the first one's result.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

# The same archive as the binary packages, for sources.
if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
    $sudo tee /etc/apt/sources.list.d/quorvi-qt-source.sources >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq >&2
fi

mkdir -p "$cache/src"
src=$(find "$cache/src" -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
if [ -z "$src" ]; then
    (cd "$cache/src" && apt-get source -qq --only-source "qt6-base=$version" >&2)
    src=$(find "$cache/src" -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
fi

# Debian's source leaves out Qt's copy of SQLite: make the same single-file
# SQLite from Debian's own sqlite3 source, at the version the system runs.
if [ ! -f "$src/src/3rdparty/sqlite/sqlite3.c" ]; then
    sqlite=$(find "$cache/src" -maxdepth 1 -type d -name 'sqlite3-*' | head -n1)
    if [ -z "$sqlite" ]; then
        (cd "$cache/src" && apt-get source -qq --only-source sqlite3 >&2)
        sqlite=$(find "$cache/src" -maxdepth 1 -type d -name 'sqlite3-*' | head -n1)
    fi
    mkdir -p "$sqlite/amalgamation"
    (cd "$sqlite/amalgamation" && ../configure --disable-tcl >/dev/null && make sqlite3.c >/dev/null)
    mkdir -p "$src/src/3rdparty/sqlite"
    cp "$sqlite/amalgamation/sqlite3.c" "$sqlite/amalgamation/sqlite3.h" "$src/src/3rdparty/sqlite/"
fi

echo "Building Qt $version for Windows in $cache (about half an hour on two cores)" >&2
started=$(date +%s)
cmake -S "$src" -B "$cache/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${options[@]}" >&2
cmake --build "$cache/build" -j "$(nproc)" >&2
cmake --install "$cache/build" >&2
touch "$prefix/.complete"
echo "Qt for Windows built in $(( $(date +%s) - started )) s" >&2
echo "$prefix"
