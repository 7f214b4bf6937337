#!/bin/sh
# Installs the build into a scratch root, moves it (nothing may depend on
# where it was installed), and builds the example out of tree against it, once
# through the CMake package and once through pkg-config.
#   package_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -eu
build=$1 source=$2 work=$3

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/stage" >"$work/install.log"
mv "$work/stage" "$work/root"
root=$work/root

fail() { echo "FAIL: $*" >&2; exit 1; }

pc=$(find "$root" -name qvtools.pc)
[ -n "$pc" ] || fail "no qvtools.pc installed"
libdir=$(dirname "$(dirname "$pc")")
for f in "$libdir/libqvcontrol.a" "$root/include/qv/qv.h" "$libdir/cmake/qvtools/qvtoolsConfig.cmake" \
         "$root/share/qvtools/Google_Cloud_Print.ppd"; do
    [ -f "$f" ] || fail "missing $f"
done
for arch in i686 x86_64; do
    for exe in qvmanip.exe qvaddprinter.exe; do
        [ -f "$libdir/qvtools/$arch/$exe" ] || fail "missing $arch/$exe"
        cmp -s "$libdir/qvtools/$arch/$exe" "$build/$arch-w64-mingw32/$exe" || fail "$arch/$exe differs from the build"
    done
done
# Every header the umbrella header includes is installed.
for h in $(sed -n 's/^#include "\(qv\/[a-z_]*\.h\)"$/\1/p' "$root/include/qv/qv.h"); do
    [ -f "$root/include/$h" ] || fail "qv.h includes $h, which is not installed"
done
if grep -rl "$work/stage" "$root" >/dev/null 2>&1; then
    fail "installed files name the staging path: $(grep -rl "$work/stage" "$root")"
fi

cmake -S "$source/examples" -B "$work/cmake-example" -G Ninja -DCMAKE_PREFIX_PATH="$root" >"$work/cmake-example.log" ||
    { cat "$work/cmake-example.log"; fail "configuring the example against the package"; }
cmake --build "$work/cmake-example" >>"$work/cmake-example.log" ||
    { cat "$work/cmake-example.log"; fail "building the example against the package"; }
[ -x "$work/cmake-example/qvtools-example" ] || fail "no example built through the package"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --variable=programdir qvtools)" -ef "$libdir/qvtools" ] || fail "pkg-config programdir"
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/pkgconfig-example" "$source/examples/list_and_translate.cpp" \
    $(pkg-config --cflags --libs qvtools) || fail "building the example through pkg-config"
echo "installed into $root; example built both ways"
