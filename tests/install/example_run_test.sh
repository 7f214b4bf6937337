#!/bin/sh
# Runs the examples that package_test.sh built against the installation, in
# the test prefix: a key with known subkeys and a path, then a missing key.
#   example_run_test.sh WORK_DIR PREFIX
set -eu
work=$1 prefix=$2
export WINEPREFIX="$prefix"

fail() { echo "FAIL: $*" >&2; exit 1; }

for example in "$work/cmake-example/qvtools-example" "$work/pkgconfig-example"; do
    # The CMake package tells its programs where it is, though it was
    # configured for another place; pkg-config users name the root.
    if [ "$example" = "$work/pkgconfig-example" ]; then
        export QVTOOLS_ROOT="$work/root"
    else
        unset QVTOOLS_ROOT
    fi
    out=$("$example" 'HKCU\Software\Wine' 'C:\windows\system32') || fail "$example exited with $?"
    printf '%s\n' "$out"
    printf '%s\n' "$out" | grep -qx 'HKCU\\Software\\Wine: [0-9]* values, [1-9][0-9]* subkeys' || fail "no listing line"
    printf '%s\n' "$out" | grep -qx '  subkey DllOverrides' || fail "subkey DllOverrides not listed"
    want="C:\\windows\\system32 -> $prefix/dosdevices/c:/windows/system32"
    printf '%s\n' "$out" | grep -qxF "$want" || fail "no path line \"$want\""

    status=0
    out=$("$example" 'HKCU\Software\qvtools example\missing' 'C:\') || status=$?
    printf '%s\n' "$out"
    [ "$status" = 1 ] || fail "a missing key gave exit $status"
    printf '%s\n' "$out" | grep -qxF 'HKCU\Software\qvtools example\missing: not found (Win32 error 2)' || fail "missing key not reported"
done

# The installed client runs the server installed beside it: with that server
# swapped for a program that never shakes hands, it cannot start one. Without
# an agent (--persist 0): one kept from the first call would answer the second.
qvctl=$work/root/bin/qvctl
[ -x "$qvctl" ] || fail "qvctl is not installed"
out=$("$qvctl" --persist 0 --prefix "$prefix" dir windows) || fail "installed qvctl exited with $?"
[ "$out" = 'C:\windows' ] || fail "installed qvctl answered \"$out\""
programs=$(dirname "$(find "$work/root" -path '*/qvtools/x86_64/qvmanip.exe')")
mv "$programs/qvmanip.exe" "$programs/qvmanip.exe.saved"
cp "$programs/qvaddprinter.exe" "$programs/qvmanip.exe"
status=0
"$qvctl" --persist 0 --prefix "$prefix" dir windows >/dev/null 2>&1 || status=$?
mv "$programs/qvmanip.exe.saved" "$programs/qvmanip.exe"
[ "$status" = 3 ] || fail "installed qvctl did not use the installed server (exit $status)"
echo "both examples and the client ran against the installation"
