#!/usr/bin/env bash
# Runs the conformance tests against the 32-bit builds that users ship.
#
# Where the host runs 32-bit Wine natively, every prefix test runs against the
# 32-bit programs, as the 64-bit run does. Where it cannot (a kernel without
# IA-32 support), 32-bit Wine runs under qemu-user emulation, registered here
# as a binfmt handler. A program start then costs a minute or more, so the
# server tests share one long-lived 32-bit server through
# tests/relay/server_relay, and only the tests about the process itself and a
# few printer runs start real 32-bit processes. The 64-bit checker programs
# keep checking the prefix natively either way.
#
# Usage: scripts/test32.sh [--native-only] [gtest filter]
#   --native-only   skip (successfully) where only emulation would work
# QV_TEST32_EMULATE=1 takes the emulated way even where native would work.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
prefix=$build/test32-prefix
socket=$build/test32-relay.sock
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

relay_pid=
registered=0
paused=0
cleanup() {
    [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
    "$top/scripts/wine-prefix.sh" stop "$prefix"
    if [ "$registered" = 1 ]; then
        echo -1 >"$handler" || true
    elif [ "$paused" = 1 ]; then
        echo 1 >"$handler" || true
    fi
}
trap cleanup EXIT

"$top/scripts/wine-prefix.sh" clone "$prefix" >/dev/null
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QV_TEST_PREFIX=$prefix QV_TEST_PROGRAM_DIR=$programs QV_WINE32=$wine32

# A registered emulator takes 32-bit executables before the kernel does, so
# it is paused while the native run is tried.
if [ -e "$handler" ] && grep -qx enabled "$handler"; then
    echo 0 >"$handler"
    paused=1
fi
handshake=
[ "${QV_TEST32_EMULATE:-0}" = 1 ] ||
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

if [ "$paused" = 1 ]; then
    echo 1 >"$handler"
    paused=0
elif [ ! -e "$handler" ]; then
    dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed" ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # i386 ELF executables and shared objects; F: the interpreter is opened now,
    # P: argv[0] is kept.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP' \
        >/proc/sys/fs/binfmt_misc/register
    registered=1
fi
export QV_TEST_TIME_SCALE=${QV_TEST_TIME_SCALE:-20}

echo "starting the 32-bit server under emulation..."
rm -f "$socket"
"$build/tests/server_relay" serve "$socket" "$wine32" "$programs/qvmanip.exe" 2>"$build/test32-relay.log" &
relay_pid=$!
until [ -S "$socket" ]; do
    kill -0 "$relay_pid" 2>/dev/null || { cat "$build/test32-relay.log"; exit 1; }
    sleep 2
done
echo "server up after $(( $(date +%s) - start )) s"

# The process itself (handshake before input, exit codes) and what a server
# reads only when it starts (the user environment in the registry) need real
# starts.
process_tests='CommandLoop.HandshakeIsTheFirstOutputBeforeAnyInput:CommandLoop.QuitAndEndOfInputExitWithZeroAndNoMoreOutput:CommandLoop.ExitCodeTwoWhenTheHandshakeCannotBeWritten:Folders.FolderPathsHoldingLineFeedsFallBackToTheEnvironment'
status=0
QV_RELAY_SOCKET=$socket "$build/tests/prefix_tests" --gtest_filter="$filter-$process_tests:Printer*" || status=1
if [ "$filter" = "*" ]; then
    "$build/tests/prefix_tests" --gtest_filter="$process_tests" || status=1
    # Each installer run is a process start: the installation and usage tests
    # only, without the 200-printer ones.
    "$build/tests/prefix_tests" \
        --gtest_filter="PrinterInstall.*:PrinterCommandLine.HelpWritesTheUsageTextAndEndsTheRun:-*200*" || status=1
fi
echo "32-bit conformance run (emulated): $(( $(date +%s) - start )) s, status $status"
exit $status
