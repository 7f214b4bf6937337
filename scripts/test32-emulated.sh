#!/usr/bin/env bash
# The 32-bit conformance run under user-mode emulation; scripts/test32.sh
# starts it through scripts/emulate-i386.sh.
#
# A 32-bit program start costs a minute or more here, so the server tests
# share one long-lived 32-bit server through tests/relay/server_relay, and only
# the tests about the process itself and a few printer runs start real 32-bit
# processes. The 64-bit checker programs keep checking the prefix natively.
#
# Its prefix comes from a pristine prefix of its own, created under the
# emulator: one created where no 32-bit program ran has an empty syswow64, in
# which 32-bit Wine cannot start.
#
# Usage: scripts/test32-emulated.sh BUILD_DIR [gtest filter]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: $0 BUILD_DIR [gtest filter]}
filter=${2:-*}
prefix=$build/test32-emulated-prefix
socket=$build/test32-relay.sock
wine32=/usr/lib/wine/wine
programs=$build/i686-w64-mingw32

relay_pid=
cleanup() {
    [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
    "$top/scripts/wine-prefix.sh" stop "$prefix"
}
trap cleanup EXIT

start=$(date +%s)
QV_PRISTINE_NAME=pristine-win64-emulated-i386 QV_PREFIX_WOW64=1 \
    "$top/scripts/wine-prefix.sh" clone "$prefix" >/dev/null
echo "prefix ready after $(( $(date +%s) - start )) s"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QV_TEST_PREFIX=$prefix QV_TEST_PROGRAM_DIR=$programs QV_WINE32=$wine32
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
