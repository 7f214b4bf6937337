#!/usr/bin/env bash
# Installs what is missing and builds everything into QV_BUILD_DIR (default
# build/): the one way test.sh, bench.sh and run.sh build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}

"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build"
