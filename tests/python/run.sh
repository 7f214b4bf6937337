#!/bin/bash
# The Python package as a user gets it: its typing checked with mypy
# --strict, its wheel installed offline into a bare virtual environment (no
# Debian packages, so no build backend), then into one with Debian's pytest
# to run its tests against the test run's scratch prefix.
# usage: run.sh SOURCE_DIR BUILD_DIR QVCTL PREFIX
set -euo pipefail
src=$1 build=$2 qvctl=$3 prefix=$4
export PYTHONDONTWRITEBYTECODE=1
wheels=("$build"/python/dist/qvtools-*-py3-none-any.whl)
[ -f "${wheels[0]}" ] || { echo "no wheel in $build/python/dist: build the target python_wheel" >&2; exit 1; }
wheel=${wheels[0]}

/usr/bin/python3 -m mypy --version > /dev/null 2>&1 || { echo "mypy is missing: run scripts/setup.sh" >&2; exit 1; }
/usr/bin/python3 -m mypy --strict --cache-dir "$build/mypy-cache" "$src/python/qvtools"

install() {  # venv options...
    local venv=$1
    shift
    rm -rf "$venv"
    /usr/bin/python3 -m venv --without-pip "$@" "$venv"
    /usr/bin/python3 -m pip --python "$venv/bin/python" install --quiet --no-index "$wheel" > "$venv.log" 2>&1 ||
        { cat "$venv.log"; exit 1; }
}
install "$build/python-bare"
"$build/python-bare/bin/python" -c 'import qvtools, sys; sys.exit(qvtools.__version__ not in sys.argv[1])' "$wheel"
leftovers=$(find "$src/python" -name '*.egg-info' -o -name build -o -name dist)
[ -z "$leftovers" ] || { echo "installing wrote into the source tree: $leftovers" >&2; exit 1; }

install "$build/python-venv" --system-site-packages
cd "$src/python/tests"
QVCTL=$qvctl QV_TEST_PREFIX=$prefix exec "$build/python-venv/bin/python" -m pytest -q -p no:cacheprovider .
