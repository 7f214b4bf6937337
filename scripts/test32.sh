#!/usr/bin/env bash
# Runs the conformance tests against the 32-bit builds that users ship.
#
# Where the host cannot execute 32-bit code (no IA-32 support in the kernel),
# 32-bit Wine runs under qemu-user emulation, registered here as a binfmt
# handler. A program start then costs a minute or more, so the server tests
# share one long-lived 32-bit server through tests/relay/server_relay, and
# only the few tests about the process itself start real 32-bit processes.
# The 64-bit checker programs keep checking the prefix natively.
#
# Usage: scripts/test32.sh [extra gtest filter, e.g. 'Registry*']
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
prefix=$build/test32-prefix
socket=$build/test32-relay.sock
wine32=/usr/lib/wine/wine

"$top/scripts/setup.sh"

relay_pid=
registered=0
cleanup() {
    [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
    "$top/scripts/wine-prefix.sh" stop "$prefix"
    [ "$registered" = 1 ] && echo -1 >/proc/sys/fs/binfmt_misc/qemu-i386 || true
}
trap cleanup EXIT

# Emulation already registered, or 32-bit code that runs natively, or set it up
# (and take it down again at the end, so that other Wine runs on this machine
# do not start emulating 32-bit helpers).
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    emulated=1
elif "$wine32" --version >/dev/null 2>&1; then
    emulated=0
else
    dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed" ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # i386 ELF executables and shared objects; F: the interpreter is opened now,
    # P: argv[0] is kept.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP' \
        >/proc/sys/fs/binfmt_misc/register
    registered=1
    "$wine32" --version >/dev/null
    emulated=1
fi

cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build"

"$top/scripts/wine-prefix.sh" clone "$prefix" >/dev/null

# The relay hands a test its own server process when the test's environment
# differs from the shared server's; these are what every launch sets.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QV_TEST_PREFIX=$prefix
export QV_TEST_PROGRAM_DIR=$build/i686-w64-mingw32
export QV_WINE32=$wine32
[ "$emulated" = 1 ] && export QV_TEST_TIME_SCALE=${QV_TEST_TIME_SCALE:-20}

start=$(date +%s)
echo "starting the 32-bit server (emulated: $emulated)..."
rm -f "$socket"
WINEPREFIX=$prefix "$build/tests/server_relay" serve "$socket" "$wine32" \
    "$QV_TEST_PROGRAM_DIR/qvmanip.exe" 2>"$build/test32-relay.log" &
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
filter=${1:-*}
status=0
QV_RELAY_SOCKET=$socket "$build/tests/prefix_tests" --gtest_filter="$filter-$process_tests:Printer*" || status=1
if [ "$filter" = "*" ]; then
    "$build/tests/prefix_tests" --gtest_filter="$process_tests" || status=1
    # Each installer run is a process start: the installation and usage tests
    # only, without the 200-printer ones.
    "$build/tests/prefix_tests" \
        --gtest_filter="PrinterInstall.*:PrinterCommandLine.HelpWritesTheUsageTextAndEndsTheRun:-*200*" || status=1
fi
echo "32-bit conformance run: $(( $(date +%s) - start )) s, status $status"
exit $status
