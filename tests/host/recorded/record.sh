#!/bin/sh
# Records the server's answers to registry.requests and files.requests into
# *.answers (its raw output: handshake, answers, end markers), in a scratch
# prefix at a fixed path so that the paths in the answers stay the same.
# Values the server cannot write are put in place with regcheck first.
#   record.sh BUILD_DIR
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
wine=${QV_WINE:-/usr/lib/wine/wine64}
prefix=/tmp/qv-recorded-prefix
drive=/tmp/qv-recorded-drive
qvmanip=$build/x86_64-w64-mingw32/qvmanip.exe
regcheck=$build/x86_64-w64-mingw32/tests-win/regcheck.exe

hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -d ' \n'; }

"$top/scripts/wine-prefix.sh" clone "$prefix" >/dev/null
trap '"$top/scripts/wine-prefix.sh" stop "$prefix"; rm -rf "$prefix" "$prefix.start.log" "$drive"' EXIT
mkdir -p "$drive"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

key=$(hex 'HKCU\Software\qvtools recorded')
name_lf=$(hex 'line
feed')
{
    echo "set 64 $key $(hex none) 0 0102"
    echo "set 64 $key $(hex qword) 11 0807060504030201"
    echo "set 64 $key $(hex 'big endian') 5 0000002a"
    echo "set 64 $key $(hex link) 6 $(utf16 '\Registry\Machine\Software')"
    echo "set 64 $key $(hex 'odd type') 74565 6162"
    echo "set 64 $key $(hex 'sz without nul') 1 $(utf16 'xy')"
    echo "set 64 $key $(hex 'sz with nuls') 1 610000006200000000"
    echo "set 64 $key $(hex 'odd length') 1 610062"
    echo "set 64 $key $(hex 'multi with empty') 7 610000000000620000000000"
    echo "set 64 $key $name_lf 4 01000000"
    echo "mkkey 64 $(hex 'HKCU\Software\qvtools recorded\line
feed key')"
    echo "mkkey 64 $(hex 'HKCU\Software\qvtools recorded\ünïcode')"
} | "$wine" "$regcheck" >"$here/setup.log" 2>&1
if grep -v '^ok' "$here/setup.log"; then
    echo "setting up the values failed" >&2
    exit 1
fi
rm -f "$here/setup.log"

for set in registry files; do
    QV_RECORDED_VAR='a variable, with spaces' "$wine" "$qvmanip" <"$here/$set.requests" >"$here/$set.answers"
done
echo "recorded into $here"
