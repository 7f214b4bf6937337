#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: ctest
# (host tests, static checks of both builds, the 64-bit programs in a scratch
# prefix), then the same prefix tests against the 32-bit programs where this
# host runs them natively, then the prefix tests under Wine 10 where this
# machine allows a chroot (root). Arguments go to ctest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}

QV_BUILD_DIR=$build "$top/scripts/build.sh"
(cd "$build" && ctest --output-on-failure "$@")
QV_BUILD_DIR=$build "$top/scripts/test32.sh" --native-only
QV_BUILD_DIR=$build "$top/scripts/wine10.sh" --if-possible
