#!/usr/bin/env bash
# Builds, clones a scratch prefix for the benchmark and runs it once; the
# table goes to standard output. Arguments go to qvbench, e.g.
# --line-mib 1,16 (skip the longer lines), --no-scale, --requests 2000,
# --only getregkey. With --agent first, runs the agent's benchmark
# (bench/agent_bench.cpp) instead; the rest goes to it. With --python
# first, the Python package against wine64 reg (bench/python_bench.py [N]);
# with --clients, the Python package and then the Node client (bench/node_bench.js [N]).
# With --front first, the front against Wine's programs and winetricks with
# and without it (bench/front_bench.sh [RUNS] [WINETRICKS_RUNS]).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
QV_BUILD_DIR=$build "$top/scripts/build.sh"
prefix=$("$top/scripts/wine-prefix.sh" clone "$build/bench-prefix")
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"' EXIT
if [ "${1:-}" = --agent ]; then
    shift
    "$build/bench/qvagent_bench" --prefix "$prefix" "$@"
elif [ "${1:-}" = --front ]; then
    shift
    "$top/bench/front_bench.sh" "$build" "$prefix" "$@"
elif [ "${1:-}" = --python ] || [ "${1:-}" = --clients ]; then
    clients=$1
    shift
    PYTHONPATH=$top/python /usr/bin/python3 "$top/bench/python_bench.py" "$prefix" "$build/cli/qvctl" "$@"
    if [ "$clients" = --clients ]; then
        "$top/node/node_modules/.bin/tsc" -p "$top/node" --outDir "$build/node-bench"
        node "$top/bench/node_bench.js" "$build/node-bench" "$prefix" "$build/cli/qvctl" "$@"
    fi
else
    "$build/bench/qvbench" --prefix "$prefix" "$@"
fi
