#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again.
set -euo pipefail

need=(wine wine64 wine64-tools libwine-dev mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64
      cmake ninja-build g++ libgtest-dev file binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
      nlohmann-json3-dev python3 python3-jsonschema python3-venv python3-setuptools python3-pytest)
need_i386=(wine32:i386 libwine-dev:i386)

missing=()
for p in "${need[@]}" "${need_i386[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
