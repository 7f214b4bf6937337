// One run, printed: a Node program setting and reading N registry values
// through the qvtools Node client (one call at a time and in batches, from 1
// and from 4 concurrent callers sharing one Prefix) against the same through
// one `wine64 reg` process per call.
// usage: node node_bench.js DIST PREFIX QVCTL [N]   (DIST: the client compiled by tsc)
"use strict";
const { spawnSync } = require("node:child_process");
const { mkdtempSync, readFileSync, rmSync } = require("node:fs");
const { loadavg, tmpdir } = require("node:os");
const { join } = require("node:path");

const [dist, prefix, qvctl, count] = process.argv.slice(2);
const { Prefix, calls } = require(join(dist, "src"));
const N = Number(count ?? 100);
const WINE64 = process.env.QV_WINE ?? "/usr/lib/wine/wine64";
const KEY = "HKCU\\Software\\QvBench\\Node";

function wineReg(args) {
  // Output to a file, never a pipe: Wine's system processes hold pipes open.
  const dir = mkdtempSync(join(tmpdir(), "qvbench-"));
  try {
    const out = join(dir, "out");
    const r = spawnSync("sh", ["-c", 'exec "$@" > "$0" 2>&1', out, WINE64, "reg", ...args], {
      env: { ...process.env, WINEPREFIX: prefix, WINEDEBUG: "-all" }, stdio: "ignore",
    });
    const text = readFileSync(out, "utf8");
    if (r.status !== 0) throw new Error(`wine reg ${args.join(" ")} failed (${r.status}): ${text}`);
    return text;
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

async function timed(fn) {
  const start = process.hrtime.bigint();
  await fn();
  return Number(process.hrtime.bigint() - start) / 1e6;
}

// work(names) by `callers` concurrent callers, the N names shared out.
const concurrently = (callers, work) => () =>
  Promise.all(Array.from({ length: callers }, (_, c) => work([...Array(N).keys()].filter((i) => i % callers === c))));

async function main() {
  const tWine = await timed(() => {
    wineReg(["add", KEY, "/f"]);
    for (let i = 0; i < N; i++) wineReg(["add", KEY, "/v", `v${i}`, "/t", "REG_DWORD", "/d", String(i), "/f"]);
    for (let i = 0; i < N; i++) if (!wineReg(["query", KEY, "/v", `v${i}`]).includes(`0x${i.toString(16)}`)) throw new Error("wine reg read back");
  });
  let p;
  const tStart = await timed(async () => {
    p = await Prefix.open(prefix, { qvctl, persist: 0 });
    await p.windowsDir();
  });
  const oneByOne = async (names) => {
    for (const i of names) await p.regSet(KEY, `v${i}`, "dword", i);
    for (const i of names) if ((await p.regValue(KEY, `v${i}`)).data !== i) throw new Error("read back");
  };
  const batched = async (names) => {
    await p.batch(names.map((i) => calls.regSet(KEY, `v${i}`, "dword", i)), { raiseOnError: true });
    const got = await p.batch(names.map((i) => calls.regValue(KEY, `v${i}`)), { raiseOnError: true });
    if (got.some((v, k) => v.data !== names[k])) throw new Error("read back");
  };
  const rows = [];
  for (const [kind, work] of [["one call at a time", oneByOne], ["two batches", batched]]) {
    for (const callers of [1, 4]) rows.push([`${kind}, ${callers} caller${callers > 1 ? "s" : ""}`, await timed(concurrently(callers, work))]);
  }
  await p.regRm(KEY);
  await p.close();
  const made = 2 * N;
  const f = (x, w, d) => x.toFixed(d).padStart(w);
  console.log(`Node: ${N} values set and ${N} read back (one run, load ${loadavg()[0].toFixed(1)}):`);
  console.log(`  wine64 reg, one process per call       ${f(tWine, 9, 1)} ms  ${f(tWine / made, 8, 3)} ms/call`);
  console.log(`  qvtools, starting qvctl serve          ${f(tStart, 9, 1)} ms  (once)`);
  for (const [name, t] of rows) {
    console.log(`  qvtools, ${name.padEnd(29)} ${f(t, 9, 1)} ms  ${f(t / made, 8, 3)} ms/call  ${f(tWine / t, 6, 0)}x faster`);
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
