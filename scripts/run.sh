#!/usr/bin/env bash
# Sets up the machine, builds, and starts the program. Without a Wine prefix
# of the user's own, it lays out a demo prefix with sample session data inside
# the build folder and starts the window on that.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" run
# The program and the tool that lays out the demo data; the tests are left to
# scripts/test.sh.
TARGETS="CompactAndRepair_TinjaraSM20xxTnjra make_sample_data" \
    "$root/scripts/build.sh" -DBUILD_TESTING=OFF
build_dir=${BUILD_DIR:-$root/build}

prefix=${WINEPREFIX:-$HOME/.wine}
if [[ ! -e "$prefix/dosdevices/c:" ]]; then
    prefix=$build_dir/demo-prefix
    if [[ ! -e "$prefix/dosdevices/c:" ]]; then
        "$build_dir/tools/make_sample_data" --wine-prefix "$prefix" \
            --session 2023 --session 2024 --code DEMO123 --size 8M --free 0.5
    fi
    echo "No Wine prefix found: using the demo prefix $prefix"
    echo "(its C: drive holds sample sessions; type the school code DEMO123)"
fi
export WINEPREFIX=$prefix
exec "$build_dir/app/CompactAndRepair_TinjaraSM20xxTnjra" "$@"
