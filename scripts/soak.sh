#!/usr/bin/env bash
# A long fuzz run outside ctest's per-test timeout:
#   scripts/soak.sh [REQUESTS [SEED]]      (defaults: 1000000 and 4242)
# Builds, copies the 64-bit server and the test program aside (so that the
# build may change meanwhile) and runs the fuzz test with them in a prefix of
# its own. A crash, hang or framing break is counted and described, and the
# run goes on with a new server. Progress every 10,000 requests; the last
# line is the tally. Exit 0 only when the run was clean and the prefix
# outside the test's scratch areas is unchanged. Takes hours for a million
# requests: run it niced, in the background, into a log file.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
requests=${1:-1000000}
seed=${2:-4242}
work=${QV_SOAK_DIR:-$build/soak-$seed}

cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" >/dev/null
rm -rf "$work"
mkdir -p "$work/bin"
cp "$build/x86_64-w64-mingw32/qvmanip.exe" "$build/tests/prefix_tests" "$work/bin/"

status=0
QV_TEST_PREFIX=$work/prefix QV_TEST_PROGRAM_DIR=$work/bin \
    QV_FUZZ_SOAK=1 QV_FUZZ_REQUESTS=$requests QV_FUZZ_SEED=$seed \
    "$work/bin/prefix_tests" --gtest_filter='Fuzz.RandomAndMutated*' >"$work/run.log" 2>&1 || status=$?
grep -E '^soak|^  ' "$work/run.log" | grep -v '^soak progress' || true
if ! grep -q '^soak tally' "$work/run.log"; then
    echo "soak: ended before its tally (see $work/run.log); last progress:"
    grep '^soak progress' "$work/run.log" | tail -1 || true
fi
echo "soak: test program exit $status, full output in $work/run.log"
exit "$status"
