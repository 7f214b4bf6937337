#!/usr/bin/env bash
# Runs the conformance tests against the 32-bit builds that users ship.
#
# Where the host runs 32-bit Wine natively, every prefix test runs against the
# 32-bit programs, as the 64-bit run does. Where it cannot (a kernel without
# IA-32 support), 32-bit Wine runs under qemu-user emulation
# (scripts/test32-emulated.sh through scripts/emulate-i386.sh), in a prefix of
# its own created under the emulator.
#
# Usage: scripts/test32.sh [--native-only] [gtest filter]
#   --native-only   skip (successfully) where only emulation would work
# QV_TEST32_EMULATE=1 takes the emulated way even where native would work.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
prefix=$build/test32-prefix
wine32=/usr/lib/wine/wine
handler=/proc/sys/fs/binfmt_misc/qemu-i386
native_only=0
if [ "${1:-}" = "--native-only" ]; then
    native_only=1
    shift
fi
filter=${1:-*}

"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build"
programs=$build/i686-w64-mingw32

if [ "${QV_TEST32_EMULATE:-0}" = 1 ]; then
    exec "$top/scripts/emulate-i386.sh" "$top/scripts/test32-emulated.sh" "$build" "$filter"
fi

paused=0
cleanup() {
    "$top/scripts/wine-prefix.sh" stop "$prefix"
    [ "$paused" = 1 ] && echo 1 >"$handler" || true
}
trap cleanup EXIT

"$top/scripts/wine-prefix.sh" clone "$prefix" >/dev/null
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QV_TEST_PREFIX=$prefix QV_TEST_PROGRAM_DIR=$programs QV_WINE32=$wine32

# A machine-wide emulator takes 32-bit executables before the kernel does, so
# it is paused while the native run is tried.
if [ -e "$handler" ] && grep -qx enabled "$handler"; then
    echo 0 >"$handler"
    paused=1
fi
handshake=$(printf 'quit\n' | timeout 60 "$wine32" "$programs/qvmanip.exe" 2>/dev/null | head -c 11 || true)

start=$(date +%s)
if [ "$handshake" = "QVMANIP OK" ]; then
    echo "32-bit Wine runs natively: all prefix tests against the 32-bit build"
    status=0
    "$build/tests/prefix_tests" --gtest_filter="$filter" || status=1
    echo "32-bit conformance run (native): $(( $(date +%s) - start )) s, status $status"
    exit $status
fi
if [ "$native_only" = 1 ]; then
    echo "32-bit Wine does not run natively here; skipped (scripts/test32.sh runs it under emulation)"
    exit 0
fi
cleanup
trap - EXIT
paused=0
exec "$top/scripts/emulate-i386.sh" "$top/scripts/test32-emulated.sh" "$build" "$filter"
