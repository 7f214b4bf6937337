#!/usr/bin/env bash
# Prints the path of Debian's winetricks (package `winetricks`, component
# contrib), fetched once into the cache. The host's package sources stay as
# they are: apt reads a sources list, lists and archives of its own here.
set -euo pipefail
cache=${QV_PREFIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qvtools}/winetricks
mirror=${QV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=${QV_WINETRICKS_SUITE:-bookworm}
program=$cache/root/usr/bin/winetricks
if [ ! -x "$program" ]; then
    mkdir -p "$cache"
    exec 9>"$cache.lock"
    flock 9
    if [ ! -x "$program" ]; then
        apt=$cache/apt
        mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/cache"
        echo "deb $mirror $suite contrib" >"$apt/sources.list"
        opts=(-o "Dir::Etc::sourcelist=$apt/sources.list" -o "Dir::Etc::sourceparts=-"
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
              -o "Dir::Cache::Archives=$apt/archives" -o "APT::Get::List-Cleanup=0")
        apt-get "${opts[@]}" -q update >"$cache.log" 2>&1 || { tail -5 "$cache.log" >&2; exit 1; }
        rm -f "$cache"/*.deb
        (cd "$cache" && apt-get "${opts[@]}" -q download winetricks) >>"$cache.log" 2>&1 ||
            { tail -5 "$cache.log" >&2; exit 1; }
        rm -rf "$cache/root"
        dpkg -x "$cache"/winetricks_*.deb "$cache/root"
    fi
    exec 9>&-
fi
echo "$program"
