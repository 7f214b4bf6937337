#!/usr/bin/env bash
# Runs the prefix tests against Wine 10, the Wine that Debian 13 ships, in a
# Debian 13 tree kept in the cache: the host-built test programs, qvctl and the
# 64-bit Windows programs, in a prefix that Wine 10's own wineboot created.
#
# The tree is made once (debootstrap, then Wine 10 inside it) and reused; the
# host's own package sources are never touched. Each run enters it in a mount
# namespace of its own, so its bind mounts vanish with the run, whatever ends it,
# and runs of several worktrees do not meet.
#
# Usage: scripts/wine10.sh [--if-possible] [gtest filter | front | winetricks]
#   --if-possible   skip (successfully) where this machine allows no chroot
#   front           only the front's oracle test (tests/front/oracle_test.sh)
#   winetricks      only winetricks with and without the front (tests/front/winetricks_test.sh)
# Expects a build (scripts/test.sh makes one); QV_BUILD_DIR names another.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${QV_BUILD_DIR:-$top/build}" && pwd)
cache=${QV_PREFIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qvtools}
tree=${QV_WINE10_TREE:-$cache/trixie-wine10}
mirror=${QV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
if_possible=0
if [ "${1:-}" = "--if-possible" ]; then
    if_possible=1
    shift
fi
filter=${1:-*}

cannot() {
    if [ "$if_possible" = 1 ]; then
        echo "Wine 10 run skipped: $*"
        exit 0
    fi
    echo "wine10.sh: $*" >&2
    exit 1
}
[ "$(id -u)" = 0 ] || cannot "it needs root (a chroot and bind mounts)"
unshare --mount --propagation private true 2>/dev/null ||
    cannot "this machine refuses a mount namespace"

# Runs a command in DIR with /dev, /proc and the work folders mounted, in a
# private mount namespace.
in_tree() {
    local dir=$1
    shift
    unshare --mount --propagation private -- bash -c '
        set -e
        t=$1 top=$2 build=$3
        shift 3
        mount --rbind /dev "$t/dev"
        mount --rbind /proc "$t/proc"
        mount --rbind /sys "$t/sys"
        for d in "$top" "$build"; do
            mkdir -p "$t$d"
            mount --bind "$d" "$t$d"
        done
        exec chroot "$t" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
    ' in_tree "$dir" "$top" "$build" "${passed[@]}" "$@"
}
# The tests' own settings (a longer fuzz run, slower starts) reach the tree;
# the rest of the host's environment does not.
passed=()
for name in $(compgen -e); do
    case $name in QV_FUZZ_*|QV_TEST_TIME_SCALE) passed+=("$name=${!name}") ;; esac
done

make_tree() {
    [ -f "$tree/.complete" ] && return 0
    mkdir -p "$cache"
    # One run makes the tree; a second one waits for it.
    exec 9>"$tree.lock"
    flock 9
    if [ ! -f "$tree/.complete" ]; then
        command -v debootstrap >/dev/null ||
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >/dev/null
        local tmp=$tree.tmp log=$tree.log
        rm -rf "$tmp"
        echo "making a Debian 13 tree with Wine 10 in $tree (about 2 minutes, once)..."
        unshare --mount --propagation private \
            debootstrap --variant=minbase trixie "$tmp" "$mirror" >"$log" 2>&1 ||
            { tail -20 "$log"; exit 1; }
        cp /etc/resolv.conf "$tmp/etc/resolv.conf"
        in_tree "$tmp" sh -c 'apt-get update -q && DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends wine wine64 python3 python3-jsonschema && apt-get clean' \
            >>"$log" 2>&1 || { tail -20 "$log"; exit 1; }
        touch "$tmp/.complete"
        rm -rf "$tree"
        mv "$tmp" "$tree"
    fi
    exec 9>&-
}

start=$(date +%s)
make_tree
# The client tests check their JSON against the schema with Python and
# jsonschema, inside the tree too (added here to trees made before that).
if [ ! -f "$tree/.python" ]; then
    in_tree "$tree" sh -c 'apt-get update -q && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends python3 python3-jsonschema && apt-get clean' \
        >>"$tree.log" 2>&1 || { tail -20 "$tree.log"; exit 1; }
    touch "$tree/.python"
fi
# What winetricks needs, added here to trees made before its test: Wine 10's
# 32-bit half (it runs syswow64's regedit in a 64-bit prefix, so the prefix
# is a new pristine one that holds the 32-bit system), and a downloader,
# which it asks for as it ends even when it downloaded nothing.
if [ ! -f "$tree/.winetricks" ]; then
    in_tree "$tree" sh -c 'dpkg --add-architecture i386 && apt-get update -q && \
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine32:i386 wget && apt-get clean' \
        >>"$tree.log" 2>&1 || { tail -20 "$tree.log"; exit 1; }
    touch "$tree/.winetricks"
fi
echo "Debian 13 tree ready after $(( $(date +%s) - start )) s"

# Inside the tree: its own prefix cache (/root/.cache of the tree), so Wine
# 10's pristine prefix is kept apart from Wine 8's; one clone per run.
status=0
in_tree "$tree" bash -c '
    set -u
    top=$1 build=$2 filter=$3
    export QV_PRISTINE_NAME=pristine-win64-wow QV_PREFIX_WOW64=1
    prefix=$build/test-prefix-wine10
    echo "$(/usr/lib/wine/wine64 --version) in the Debian 13 tree"
    "$top/scripts/wine-prefix.sh" clone "$prefix" >/dev/null || exit 1
    status=0
    # The run takes about 5 minutes; a hang must not eat the CI budget.
    if [ "$filter" != front ] && [ "$filter" != winetricks ]; then
        QV_TEST_PREFIX=$prefix timeout 1200 "$build/tests/prefix_tests" --gtest_filter="$filter" || status=1
    fi
    if [ "$filter" = "*" ] || [ "$filter" = front ]; then
        timeout 1500 "$top/tests/front/oracle_test.sh" "$build" "$build/front-oracle-wine10" || status=1
    fi
    if [ "$filter" = "*" ] || [ "$filter" = winetricks ]; then
        timeout 1800 "$top/tests/front/winetricks_test.sh" "$build" "$build/front-winetricks-wine10" || status=1
    fi
    if [ "$filter" = "*" ]; then
        if [ -x "$build/package-test/cmake-example/qvtools-example" ]; then
            "$top/tests/install/example_run_test.sh" "$build/package-test" "$prefix" || status=1
        else
            echo "installed example not built (ctest -R install_package builds it): not run"
        fi
    fi
    "$top/scripts/wine-prefix.sh" stop "$prefix"
    exit $status
' wine10 "$top" "$build" "$filter" || status=1
echo "Wine 10 run: $(( $(date +%s) - start )) s, status $status"
exit $status
