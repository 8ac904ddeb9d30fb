#!/usr/bin/env bash
# Checks the Windows binding on this Linux machine: every Windows-only source
# compiles with the MinGW-w64 cross compiler against the project's Qt headers
# (warnings as errors), and the binding's Qt-free system layer, built into a
# console program, runs under wine against wine's own setupapi.dll and hid.dll.
# No Windows Qt libraries exist here, so nothing is linked against Qt.
set -euo pipefail
cd "$(dirname "$0")/.."

# The cross compiler and wine; the headers come with the project's Qt.
packages=(g++-mingw-w64-x86-64-posix wine64)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends "${missing[@]}"
fi

cxx=x86_64-w64-mingw32-g++-posix
qt=/usr/include/x86_64-linux-gnu/qt6
out=build/windows-check
mkdir -p "$out"

warnings=(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual -Werror)
common=(-std=c++20 "${warnings[@]}" -Ihid -Ihid/windows)
qtflags=(-isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets")

echo "--- Windows sources, syntax only (MinGW-w64, Qt headers)"
started=$(date +%s)
# The Windows-only sources, the HID and core sources the Windows build shares,
# and the program entry that picks the binding.
sources=(hid/windows/*.cpp hid/HidPlatform.cpp hid/HidControllerClass.cpp hid/ReportDescriptor.cpp
         hid/VirtualHidBus.cpp core/*.cpp app/HidLoader.cpp)
printf '%s\n' "${sources[@]}" |
    xargs -P "$(nproc)" -I{} "$cxx" "${common[@]}" -Icore -Iapp -Iskin -Iresources "${qtflags[@]}" -fsyntax-only {} ||
    { echo "Windows sources do not compile"; exit 1; }
echo "${#sources[@]} sources compile ($(($(date +%s) - started)) s)"

echo "--- system layer check program (MinGW-w64)"
layer=(hid/windows/ModuleLoaderWin.cpp hid/windows/WinSetupApi.cpp hid/windows/WinHid.cpp
       hid/windows/DeviceChangeWindow.cpp)
"$cxx" "${common[@]}" -O1 -static -o "$out/SystemLayerCheck.exe" tests/windows/SystemLayerCheck.cpp "${layer[@]}"
"$cxx" "${common[@]}" -O1 -shared -static -o "$out/quorvi-planted.dll" tests/windows/PlantedLibrary.cpp

wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then
    echo "SKIPPED running the system layer: wine64 is not installed"
    exit 0
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

export WINEPREFIX="$PWD/$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# wine refuses a prefix that belongs to another user (a build tree made by
# someone else, or one copied in): start afresh then.
if [ -e "$WINEPREFIX" ] && [ "$(stat -c %u "$WINEPREFIX")" != "$(id -u)" ]; then
    rm -rf "$WINEPREFIX"
fi

echo "--- system layer under wine"
started=$(date +%s)
# The device-change window needs a display; Xvfb gives one. Without it the
# rest still runs.
display=()
args=()
if command -v xvfb-run >/dev/null &&
    timeout 150 xvfb-run -a "$wine" cmd.exe /c exit 0 >"$out/wineboot.log" 2>&1; then
    display=(xvfb-run -a)
elif timeout 150 "$wine" cmd.exe /c exit 0 >>"$out/wineboot.log" 2>&1; then
    args=(--no-display)
else
    echo "SKIPPED running the system layer: wine cannot start here:"
    tail -n 5 "$out/wineboot.log"
    exit 0
fi
ready=$(date +%s)
set +e
timeout 120 "${display[@]}" "$wine" "$out/SystemLayerCheck.exe" "${args[@]}" 2> >(grep -v "syswow64" >&2)
rc=$?
set -e
"$wineserver" -w 2>/dev/null || true
echo "wine: prefix ready in $((ready - started)) s, check ran in $(($(date +%s) - ready)) s"
exit $rc
