#!/bin/bash
# The Python package as a user gets it: installed offline into a fresh
# virtual environment with Debian's setuptools, then its tests with pytest
# against the test run's scratch prefix.
# usage: run.sh SOURCE_DIR BUILD_DIR QVCTL PREFIX
set -euo pipefail
src=$1 build=$2 qvctl=$3 prefix=$4
venv=$build/python-venv
rm -rf "$venv" "$build/python-src"
# A copy of what the package is made of: pip builds in the folder it is
# given, and leftovers of an earlier build there would be installed instead.
mkdir -p "$build/python-src"
cp -r "$src/python/pyproject.toml" "$src/python/README.md" "$src/python/qvtools" "$build/python-src/"
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-build-isolation --no-index "$build/python-src" > "$build/python-install.log" 2>&1 ||
    { cat "$build/python-install.log"; exit 1; }
cd "$src/python/tests"
QVCTL=$qvctl QV_TEST_PREFIX=$prefix exec "$venv/bin/python" -m pytest -q -p no:cacheprovider .
