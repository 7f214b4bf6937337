#!/bin/bash
# The Node client: its result types made anew from the JSON schema and
# compared with the ones checked in, compiled with tsc into the build
# folder, then its tests with Node's own runner against the scratch prefix.
# usage: run.sh SOURCE_DIR BUILD_DIR QVCTL PREFIX
set -euo pipefail
src=$1 build=$2 qvctl=$3 prefix=$4
node=$src/node out=$build/node
[ -x "$node/node_modules/.bin/tsc" ] || { echo "the Node client's tools are missing: run scripts/setup.sh" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
(cd "$node" && QV_SCHEMA_OUT=$out/schema.d.ts npm run --silent schema)
diff -u "$node/src/schema.d.ts" "$out/schema.d.ts" ||
    { echo "node/src/schema.d.ts is not what the schema makes: run npm run schema in node/" >&2; exit 1; }
"$node/node_modules/.bin/tsc" -p "$node" --outDir "$out/dist"
cd "$out"
QVCTL=$qvctl QV_TEST_PREFIX=$prefix exec node --test "$out"/dist/test/*.test.js
