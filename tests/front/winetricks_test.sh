#!/usr/bin/env bash
# winetricks itself, unchanged (Debian's package), through the front and
# without it: the same settings verbs, none of which downloads anything, run
# in two clones of the pristine prefix. Both runs must succeed, and the keys
# the verbs touch must export identically. Prints how many command lines the
# front answered and how long each run took.
#
# Usage: winetricks_test.sh BUILD_DIR [WORK_DIR]
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
work=${2:-$build/front-winetricks}
front=$build/front/bin
wine64=${QV_WINE:-/usr/lib/wine/wine64}
winetricks=$("$top/scripts/winetricks.sh") || { echo "winetricks could not be fetched"; exit 1; }

verbs=(csmt=off renderer=gl mwo=force fontsmooth=rgb grabfullscreen=y usetakefocus=n
       windowmanagerdecorated=n vd=off orm=fbo shader_backend=glsl videomemorysize=512 sound=alsa
       nocrashdialog hidewineexports=enable autostart_winedbg=disabled win10 winxp win7)
keys=('HKEY_CURRENT_USER\Software\Wine' 'HKEY_CURRENT_USER\Control Panel\Desktop'
      'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion'
      'HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion'
      'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ProductOptions'
      'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Windows')

mkdir -p "$work"
a=$work/front b=$work/wine
"$top/scripts/wine-prefix.sh" clone "$a" >/dev/null
"$top/scripts/wine-prefix.sh" clone "$b" >/dev/null
# The clones' wineservers are kept alive for good; winetricks waits for
# them to end (wineserver -w), so they go back to Wine's own lifetime.
"$top/scripts/wine-prefix.sh" stop "$a"
"$top/scripts/wine-prefix.sh" stop "$b"
cleanup() {
    "$top/scripts/wine-prefix.sh" stop "$a"
    "$top/scripts/wine-prefix.sh" stop "$b"
}
trap cleanup EXIT

status=0
# One run: NAME PREFIX [PATH entry first]. winetricks finds wine, wine64
# and wineserver on PATH, as a user's shell would.
run() {
    local name=$1 prefix=$2 first=${3:-}
    local start=$(date +%s.%N)
    (cd "$work" && env ${first:+PATH=$first:$PATH} WINEPREFIX=$prefix QV_FRONT_LOG=$work/calls.log \
        WINETRICKS_LATEST_VERSION_CHECK=disabled XDG_CACHE_HOME=$work/cache \
        timeout 900 "$winetricks" -q "${verbs[@]}" >"$work/$name.winetricks.log" 2>&1 </dev/null)
    local code=$?
    local end=$(date +%s.%N)
    printf '%s: exit %s, %.1f s\n' "$name" "$code" "$(echo "$end - $start" | bc)"
    if [ "$code" != 0 ]; then
        status=1
        tail -15 "$work/$name.winetricks.log"
    fi
}
: >"$work/calls.log"
run wine "$b"
run front "$a" "$front"
echo "front: $(grep -c '^served' "$work/calls.log") command lines answered, $(grep -c '^passed' "$work/calls.log") passed to Wine"
grep '^passed' "$work/calls.log" | cut -d' ' -f2-4 | sort | uniq -c | sort -rn | head -8

# What the verbs wrote, once each prefix's processes have ended.
WINEPREFIX=$a "$front/wineserver" -w
WINEPREFIX=$b /usr/bin/wineserver -w
for k in "${keys[@]}"; do
    rm -f "$work/a.reg" "$work/b.reg"
    WINEPREFIX=$a "$wine64" regedit /E "$work/a.reg" "$k" >/dev/null 2>&1 </dev/null
    WINEPREFIX=$b "$wine64" regedit /E "$work/b.reg" "$k" >/dev/null 2>&1 </dev/null
    if [ ! -s "$work/b.reg" ] || ! cmp -s "$work/a.reg" "$work/b.reg"; then
        echo "FAIL: export of $k differs"
        diff <(iconv -f utf-16 -t utf-8 "$work/a.reg") <(iconv -f utf-16 -t utf-8 "$work/b.reg") | head -10
        status=1
    else
        echo "ok   export of $k"
    fi
done
exit $status
