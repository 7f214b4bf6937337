#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}

"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build"
cd "$build"
ctest --output-on-failure "$@"
