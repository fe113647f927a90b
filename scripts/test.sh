#!/usr/bin/env bash
# Sets up the machine, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" test
"$root/scripts/build.sh" -DBUILD_TESTING=ON "$@"
build_dir=${BUILD_DIR:-$root/build}
cd "$build_dir"
ctest --output-on-failure --parallel "$(nproc)" --timeout 300
