#!/usr/bin/env bash
# The front beside Wine's own programs (scripts/bench.sh --front): one run,
# figures and ratios, not a test.
#   1. Per served form, on a warm agent and a live wineserver: the median of
#      N runs through the front and through Wine, alternating.
#   2. winetricks, unchanged, with the same settings verbs as the test, with
#      and without the front first on PATH, alternating, in a prefix whose
#      wineserver lives as Wine decides. Without the front a counting wrapper
#      first on PATH counts the Wine programs started; with it, the front's
#      log tells the command lines it answered and those it passed to Wine
#      (and the agent's servers started are counted from its status).
# Usage: front_bench.sh BUILD_DIR PREFIX [RUNS] [WINETRICKS_RUNS (0: part 1 only)]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
prefix=$2
runs=${3:-20}
wt_runs=${4:-3}
front=$build/front/bin
work=$build/front-bench
mkdir -p "$work"
export WINEPREFIX=$prefix

# Wine's programs, found as the front finds them without itself on PATH.
real_wine=$("$front/qvfront" which | sed -n 's/^wine \(\/.*\)/\1/p')
real_wine64=$("$front/qvfront" which | sed -n 's/^wine64 \(\/.*\)/\1/p')
real_server=$("$front/qvfront" which | sed -n 's/^wineserver \(\/.*\)/\1/p')

# Microseconds, read without starting a process: a `date` in the timed span
# would cost as much as the front's own call.
now_us() { echo "${EPOCHREALTIME/./}"; }
median() { sort -n | awk '{a[NR]=$1} END {printf "%.3f\n", NR % 2 ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\QvBench\\Small]\r\n"s"="text"\r\n"d"=dword:00000001\r\n"b"=hex:01,02\r\n\r\n' >"$work/small.reg"
forms=(
    "reg query|reg query HKCU\\Software\\Wine /v Version"
    "reg add|reg add HKCU\\Software\\QvBench /v n /t REG_DWORD /d 7 /f"
    "regedit /S small file|regedit /S $work/small.reg"
    "winepath -u|winepath -u C:\\windows\\system32"
    "cmd /c echo %AppData%|cmd /c echo %AppData%"
    "winecfg -v VERSION|winecfg -v win7"
)
echo "front bench $(date -u '+%Y-%m-%d %H:%M') UTC: $(nproc) cores, $("$real_wine64" --version), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "1. per form, $runs runs each, alternating, wineserver alive, agent warm (median ms)"
printf '%-24s %10s %10s %8s\n' form front wine ratio
"$front/wine64" reg query 'HKCU\Software\Wine' >/dev/null 2>&1 </dev/null  # starts the agent
for f in "${forms[@]}"; do
    name=${f%%|*}
    read -r -a args <<<"${f#*|}"
    : >"$work/front.us"
    : >"$work/wine.us"
    : >"$work/log"
    for ((i = 0; i < runs; i++)); do
        t=${EPOCHREALTIME/./}; QV_FRONT_LOG=$work/log "$front/wine64" "${args[@]}" >"$work/out" 2>&1 </dev/null || true
        echo $(( ${EPOCHREALTIME/./} - t )) >>"$work/front.us"
        t=${EPOCHREALTIME/./}; WINEDEBUG=-all "$real_wine64" "${args[@]}" >"$work/out" 2>&1 </dev/null || true
        echo $(( ${EPOCHREALTIME/./} - t )) >>"$work/wine.us"
    done
    served=$(grep -c '^served' "$work/log" || true)
    fm=$(median <"$work/front.us") wm=$(median <"$work/wine.us")
    printf '%-24s %10.2f %10.2f %7.1fx%s\n' "$name" "$(echo "$fm / 1000" | bc -l)" \
        "$(echo "$wm / 1000" | bc -l)" "$(echo "$wm / $fm" | bc -l)" \
        "$([ "$served" = "$runs" ] || echo "  (front answered $served of $runs)")"
done

[ "$wt_runs" -gt 0 ] || exit 0
winetricks=$("$top/scripts/winetricks.sh")
verbs=(csmt=off renderer=gl mwo=force fontsmooth=rgb grabfullscreen=y usetakefocus=n
       windowmanagerdecorated=n vd=off orm=fbo shader_backend=glsl videomemorysize=512 sound=alsa
       nocrashdialog hidewineexports=enable autostart_winedbg=disabled win10 winxp win7)
# The counting wrapper: one line per Wine program started, then the real one.
count=$work/count
mkdir -p "$count"
for pair in "wine:$real_wine" "wine64:$real_wine64" "wineserver:$real_server"; do
    printf '#!/bin/sh\necho "%s $*" >>"$QV_COUNT_FILE"\nexec %s "$@"\n' "${pair%%:*}" "${pair#*:}" >"$count/${pair%%:*}"
    chmod +x "$count/${pair%%:*}"
done
"$real_server" -k 2>/dev/null || true  # Wine's own lifetime from here on
echo
echo "2. winetricks -q ${verbs[*]} (${#verbs[@]} verbs), $wt_runs runs each, alternating"
printf '%-6s %8s %5s %10s %10s %8s\n' run seconds exit wine-runs wineserver answered
for ((i = 0; i < wt_runs; i++)); do
    for mode in wine front; do
        : >"$work/count.log"
        first=$count
        [ "$mode" = front ] && first=$front
        t=$(now_us)
        set +e
        env PATH="$first:$PATH" QV_COUNT_FILE="$work/count.log" QV_FRONT_LOG="$work/count.log" \
            WINETRICKS_LATEST_VERSION_CHECK=disabled XDG_CACHE_HOME="$work/cache" \
            "$winetricks" -q "${verbs[@]}" >"$work/wt-$mode.log" 2>&1 </dev/null
        code=$?
        set -e
        s=$(echo "($(now_us) - $t) / 1000000" | bc -l)
        echo "$mode $s" >>"$work/wt-times"
        # Lines: "wine ARGS" (wrapper) or "passed wine ARGS" / "served wine ARGS" (front).
        runs_=$(grep -Ev '^(passed |served )?wineserver' "$work/count.log" | grep -vc '^served' || true)
        printf '%-6s %8.1f %5s %10s %10s %8s\n' "$mode" "$s" "$code" "$runs_" \
            "$(grep -Ec '^(passed )?wineserver' "$work/count.log" || true)" "$(grep -c '^served' "$work/count.log" || true)"
    done
done
wm=$(awk '$1=="wine"{print $2}' "$work/wt-times" | median)
fm=$(awk '$1=="front"{print $2}' "$work/wt-times" | median)
rm -f "$work/wt-times"
echo "wine-runs: Wine programs started for winetricks (wine, wine64); answered: command lines the front answered itself"
printf 'median: without %.1f s, with the front %.1f s: %.1fx\n' "$wm" "$fm" "$(echo "$wm / $fm" | bc -l)"
