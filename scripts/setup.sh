#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again.
set -euo pipefail

need=(wine wine64 wine64-tools libwine-dev mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64
      cmake ninja-build g++ libgtest-dev file binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
      nlohmann-json3-dev python3 python3-jsonschema python3-venv python3-pip python3-setuptools python3-pytest mypy)
need_i386=(wine32:i386 libwine-dev:i386)

missing=()
for p in "${need[@]}" "${need_i386[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node and npm for the Node client: Debian's, unless some are on PATH already.
command -v node > /dev/null && command -v npm > /dev/null || missing+=(nodejs npm)

if [ ${#missing[@]} -ne 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The Node client's build tools (tsc, the schema's type maker), as pinned in
# its lockfile; again only when the lockfile changed.
node=$(cd "$(dirname "$0")/.." && pwd)/node
if [ ! -f "$node/node_modules/.installed" ] || [ "$node/package-lock.json" -nt "$node/node_modules/.installed" ]; then
    (cd "$node" && npm ci --no-audit --no-fund > /dev/null)
    touch "$node/node_modules/.installed"
fi
