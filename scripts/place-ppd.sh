#!/usr/bin/env bash
# Places the cloud printer's PPD where Wine's spooler picks up driver files:
#   place-ppd.sh PREFIX [PPD]
# Each installation of the driver "Google Cloud Print" copies the file from
# spool/drivers/{w32x86,x64,win40}/ into that environment's version folder
# ({w32x86,x64}/3/, win40/0/), which the driver record then points at. Run it
# before qvaddprinter, or run qvaddprinter again afterwards: every run copies
# anew, even when the driver is already installed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:?usage: place-ppd.sh PREFIX [PPD]}
ppd=${2:-$top/winelib/qvaddprinter/Google_Cloud_Print.ppd}
[ -f "$prefix/system.reg" ] || { echo "$prefix is not a Wine prefix" >&2; exit 1; }
for env in w32x86 x64 win40; do
    dir=$prefix/drive_c/windows/system32/spool/drivers/$env
    mkdir -p "$dir"
    cp "$ppd" "$dir/Google_Cloud_Print.ppd"
done
echo "placed $(basename "$ppd") for w32x86, x64 and win40 in $prefix"
