#!/usr/bin/env bash
# Installs every Debian package that building, testing, packaging and running the
# program need. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
    libssl-dev tcl sqlcipher
    libgtest-dev googletest
    xvfb xauth xdotool x11-utils imagemagick fonts-liberation
    attr dpkg-dev file time desktop-file-utils binutils-mingw-w64-x86-64
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    sudo_cmd=()
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
"$(dirname "$0")/fetch_deps.sh"
