#!/usr/bin/env bash
# Installs what the project needs on Debian 12 and skips what is already there.
# "deps.sh package" adds the tools that build and check the Debian package;
# "deps.sh --only P..." installs just the packages named. Says what it does
# on standard error, so callers keep standard output for their own results.
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libqt6sql6-sqlite
    libgtest-dev libgmock-dev
    xvfb xauth
    fonts-liberation fonts-wqy-microhei
    libudev1
    at-spi2-core dbus-daemon python3-pyatspi
    zsh # the completion test types into it
)
if [ "${1:-}" = package ]; then
    packages+=(dpkg-dev file lintian man-db appstream desktop-file-utils)
elif [ "${1:-}" = --only ]; then
    shift
    packages=("$@")
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}" >&2
# Others may be using apt on the same machine: wait for the lock.
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >&2
