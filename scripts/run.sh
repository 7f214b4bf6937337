#!/usr/bin/env bash
# Installs what is missing, builds, makes a scratch prefix and shows the
# command server answering in it. With --interactive (or QV_INTERACTIVE=1 on a
# terminal) it then hands the session to you.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
prefix=${QV_DEMO_PREFIX:-$build/demo-prefix}

QV_BUILD_DIR=$build "$top/scripts/build.sh"
[ -d "$prefix" ] || "$top/scripts/wine-prefix.sh" clone "$prefix" >/dev/null
echo "prefix: $prefix"
"$build/cli/qvctl" --prefix "$prefix" demo
if [ "${1:-}" = "--interactive" ]; then
    "$build/cli/qvctl" --prefix "$prefix"
fi
