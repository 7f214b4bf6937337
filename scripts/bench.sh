#!/usr/bin/env bash
# Builds, clones a scratch prefix for the benchmark and runs it. Arguments go
# to qvbench (e.g. --line-mib 1,16,64 --requests 2000).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build"
prefix=$("$top/scripts/wine-prefix.sh" clone "$build/bench-prefix")
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"' EXIT
"$build/bench/qvbench" --prefix "$prefix" "$@"
