#!/usr/bin/env bash
# Scratch Wine prefixes for the demo and the tests.
#   wine-prefix.sh pristine          -> prints the cached pristine prefix, creating it once
#   wine-prefix.sh clone DIR         -> DIR becomes a fresh copy of the pristine prefix, its wineserver kept alive
#   wine-prefix.sh stop DIR          -> stops the wineserver of DIR
# Creating a prefix costs minutes here, so one pristine copy is kept and cloned.
# QV_PRISTINE_NAME names another pristine prefix in the cache (one created
# another way); with QV_PREFIX_WOW64=1 a new one must hold the 32-bit system.
set -euo pipefail

WINE=${QV_WINE:-/usr/lib/wine/wine64}
WINESERVER=${QV_WINESERVER:-/usr/lib/wine/wineserver}
cache=${QV_PREFIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qvtools}
pristine=$cache/${QV_PRISTINE_NAME:-pristine-win64}

create_pristine() {
    [ -f "$pristine/.complete" ] && return 0
    mkdir -p "$cache"
    local tmp=$pristine.tmp.$$
    rm -rf "$tmp"
    echo "creating a pristine Wine prefix in $pristine (takes a few minutes)..." >&2
    # Helper processes of a prefix inherit descriptors; keep their output in files.
    WINEPREFIX=$tmp WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        "$WINE" wineboot -i >"$pristine.wineboot.log" 2>&1 </dev/null
    WINEPREFIX=$tmp "$WINESERVER" -w </dev/null >/dev/null 2>&1
    if [ "${QV_PREFIX_WOW64:-0}" = 1 ] && [ ! -f "$tmp/drive_c/windows/syswow64/kernel32.dll" ]; then
        # Made while no 32-bit program could run: 32-bit Wine cannot start in it.
        echo "the new prefix has no 32-bit system (syswow64 without kernel32.dll); see $pristine.wineboot.log" >&2
        rm -rf "$tmp"
        return 1
    fi
    rm -rf "$pristine"
    mv "$tmp" "$pristine"
    touch "$pristine/.complete"
}

case "${1:-}" in
pristine)
    create_pristine
    echo "$pristine"
    ;;
clone)
    dir=${2:?clone needs a directory}
    create_pristine
    if [ -d "$dir" ]; then
        WINEPREFIX=$dir "$WINESERVER" -k >/dev/null 2>&1 || true
        WINEPREFIX=$dir "$WINESERVER" -w >/dev/null 2>&1 || true
        rm -rf "$dir"
    fi
    mkdir -p "$(dirname "$dir")"
    cp -a "$pristine" "$dir"
    rm -f "$dir/.complete"
    # The daemon would keep a caller's output pipe open (ctest waits for it).
    WINEPREFIX=$dir "$WINESERVER" -p </dev/null >/dev/null 2>&1
    # Start the prefix's system processes now, not in the first test.
    WINEPREFIX=$dir WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        "$WINE" cmd /c exit >"$dir.start.log" 2>&1 </dev/null || true
    echo "$dir"
    ;;
stop)
    dir=${2:?stop needs a directory}
    WINEPREFIX=$dir "$WINESERVER" -k >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: $0 pristine | clone DIR | stop DIR" >&2
    exit 2
    ;;
esac
