#!/usr/bin/env bash
# Installs the Debian packages that the calling command needs, and only those:
#   setup.sh run    building and running the program (and its demo data);
#   setup.sh test   that, plus the test, lint and packaging tools.
# Safe to run again: it installs only what is missing. Without root it uses
# sudo; without either it stops and prints the command for root to run.
set -euo pipefail
purpose=${1:-test}

build_packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
    libssl-dev
    fonts-liberation
)
test_packages=(
    clang-format libgtest-dev googletest sqlcipher tcl
    xvfb xauth xdotool x11-utils imagemagick
    attr dpkg-dev file time desktop-file-utils binutils-mingw-w64-x86-64
    lintian devscripts man-db
)

case $purpose in
    run) wanted=("${build_packages[@]}") ;;
    test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
    *)
        echo "usage: $0 [run|test]" >&2
        exit 2
        ;;
esac

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The bundled SQLCipher's source comes from the npm registry; any npm will do.
command -v npm >/dev/null || missing+=(npm)

if ((${#missing[@]})); then
    install_line="apt-get install -y --no-install-recommends ${missing[*]}"
    as_root=()
    if [[ $(id -u) -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "These Debian packages are missing and installing them needs root:" >&2
            echo "  ${missing[*]}" >&2
            echo "Run as root, then start this command again:" >&2
            echo "  apt-get update && $install_line" >&2
            exit 1
        fi
        as_root=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update
    "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The pinned sources of the bundled SQLCipher, into a cache outside the tree.
"$(dirname "$0")/fetch_deps.sh"
