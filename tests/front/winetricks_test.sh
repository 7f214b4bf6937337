#!/usr/bin/env bash
# winetricks itself, unchanged (Debian's package), through the front and
# without it: the same settings verbs, none of which downloads anything, run
# in two clones of the pristine prefix. Both runs must succeed, and the keys
# the verbs touch must export identically. Prints how many command lines the
# front answered and how long each run took.
#
# Usage: winetricks_test.sh BUILD_DIR [WORK_DIR]
set -uo pipefail
source "$(dirname "$0")/common.sh"
work=${2:-$build/front-winetricks}
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
cleanup() {
    QV_PERSIST=0 "$build/cli/qvctl" --prefix "$a" agent stop >/dev/null 2>&1
    "$top/scripts/wine-prefix.sh" stop "$a"
    "$top/scripts/wine-prefix.sh" stop "$b"
}
trap cleanup EXIT

status=0
# One run in a new clone: NAME PREFIX [PATH entry first]. winetricks finds
# wine, wine64 and wineserver on PATH, as a user's shell would. A run in
# which Wine ended one of its programs at its start is run once more.
run() {
    local name=$1 prefix=$2 first=${3:-} code start end
    for attempt in 1 2; do
        : >"$work/calls.log"
        # (An agent the front started in a first attempt goes with its clone.)
        QV_PERSIST=0 "$build/cli/qvctl" --prefix "$prefix" agent stop >/dev/null 2>&1
        "$top/scripts/wine-prefix.sh" clone "$prefix" >/dev/null
        # The clone's wineserver is kept alive for good; winetricks waits
        # for it to end (wineserver -w), so it goes back to Wine's lifetime.
        "$top/scripts/wine-prefix.sh" stop "$prefix"
        start=$(date +%s%N)
        (cd "$work" && env ${first:+PATH=$first:$PATH} WINEPREFIX=$prefix QV_FRONT_LOG=$work/calls.log \
            WINETRICKS_LATEST_VERSION_CHECK=disabled XDG_CACHE_HOME=$work/cache \
            timeout 900 "$winetricks" -q "${verbs[@]}" >"$work/$name.winetricks.log" 2>&1 </dev/null)
        code=$?
        end=$(date +%s%N)
        wine_said_it_ended_at_start "$work/$name.winetricks.log" || break
        echo "$name: Wine ended a program at its start; once more"
    done
    local ms=$(( (end - start) / 1000000 ))
    printf '%s: exit %s, %d.%d s\n' "$name" "$code" $((ms / 1000)) $((ms % 1000 / 100))
    if [ "$code" != 0 ]; then
        status=1
        tail -15 "$work/$name.winetricks.log"
    fi
}
run wine "$b"
run front "$a" "$front"
echo "front: $(grep -c '^served' "$work/calls.log") command lines answered, $(grep -c '^passed' "$work/calls.log") passed to Wine"
grep '^passed' "$work/calls.log" | cut -d' ' -f2-4 | sort | uniq -c | sort -rn | head -8

# What the verbs wrote, once each prefix's processes have ended.
WINEPREFIX=$a "$front/wineserver" -w
WINEPREFIX=$b /usr/bin/wineserver -w
for k in "${keys[@]}"; do
    rm -f "$work/a.reg" "$work/b.reg"
    run_wine /dev/null "$work/a.export" env WINEPREFIX="$a" "$wine64" regedit /E "$work/a.reg" "$k"
    run_wine /dev/null "$work/b.export" env WINEPREFIX="$b" "$wine64" regedit /E "$work/b.reg" "$k"
    if [ ! -s "$work/b.reg" ] || ! cmp -s "$work/a.reg" "$work/b.reg"; then
        echo "FAIL: export of $k differs"
        diff <(iconv -f utf-16 -t utf-8 "$work/a.reg") <(iconv -f utf-16 -t utf-8 "$work/b.reg") | head -10
        status=1
    else
        echo "ok   export of $k"
    fi
done
exit $status
