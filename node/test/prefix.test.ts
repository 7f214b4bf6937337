// The Node client against the test run's scratch prefix (QV_TEST_PREFIX,
// QVCTL): Heroic's calls, values of every type, errors by kind, batches,
// concurrency, timeouts, a killed serve, the agent stopped. Effects are
// checked with Wine's own reg.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";

import { NotFound, Prefix, QvError, Refused, Timeout, UsageError, calls } from "../src";

const prefixPath = process.env.QV_TEST_PREFIX ?? "";
const KEY = "HKCU\\Software\\QvTest\\Node";
let p: Prefix;

// Wine's own reg query, its output through a file (Wine's processes hold pipes open).
function wineReg(key: string, name: string): string {
  const dir = mkdtempSync(join(tmpdir(), "qvnode-"));
  const out = join(dir, "out");
  try {
    const r = spawnSync("sh", ["-c", 'exec "$@" > "$0" 2>&1', out, process.env.QV_WINE ?? "/usr/lib/wine/wine64", "reg", "query", key, "/v", name], {
      env: { ...process.env, WINEPREFIX: prefixPath, WINEDEBUG: "-all" },
      stdio: "ignore",
      timeout: 120000,
    });
    const text = readFileSync(out, "utf8");
    assert.equal(r.status, 0, text);
    return text;
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

function agentRuns(): boolean {
  return spawnSync(process.env.QVCTL ?? "qvctl", ["--prefix", prefixPath, "agent", "status"], { stdio: "ignore", timeout: 60000 }).status === 0;
}

before(async () => {
  assert.ok(prefixPath, "QV_TEST_PREFIX must name the test run's scratch prefix");
  p = await Prefix.open(prefixPath, { persist: 0 });
});

after(async () => {
  await p.regRm(KEY);
  await p.close();
});

test("Heroic's calls: a DLL override per DLL, a key in HKCR, a path through %LOCALAPPDATA%", async () => {
  const dlls = ["d3d9", "d3d10core", "d3d11", "dxgi"];
  await p.batch(dlls.map((d) => calls.dllSet(d, "native,builtin")), { raiseOnError: true });
  for (const d of dlls) assert.match(wineReg("HKCU\\Software\\Wine\\DllOverrides", d), /native,builtin/);
  assert.deepEqual(await p.dllOverride("dxgi"), { dll: "dxgi", text: "native,builtin", mode: "native,builtin" });
  assert.deepEqual(await Promise.all(dlls.map((d) => p.dllRm(d))), [true, true, true, true]);

  const hkcr = "HKCR\\qvnode";
  await p.regSet(hkcr + "\\shell\\open\\command", "", "sz", '"C:\\heroic\\heroic.exe" "%1"');
  assert.match(wineReg("HKLM\\Software\\Classes\\qvnode\\shell\\open\\command", ""), /heroic\.exe/);
  await p.regRm(hkcr);

  const local = await p.env("LOCALAPPDATA");
  assert.match(local, /^C:\\users\\[^\\]+\\AppData\\Local$/);
  assert.equal(await p.expand("%LOCALAPPDATA%\\Game"), local + "\\Game");
  assert.equal(await p.unixPath(local), join(prefixPath, "dosdevices", "c:") + local.slice(2).replace(/\\/g, "/"));
});

test("values of every type round-trip and Wine sees them", async () => {
  await p.regSet(KEY, "Text", "sz", "Grüße\nzwei");
  await p.regSet(KEY, "List", "multi", ["a b", 'c"d']);
  await p.regSet(KEY, "Count", "dword", 4294967295);
  await p.regSet(KEY, "Big", "qword", 2n ** 64n - 1n);
  await p.regSet(KEY, "Blob", "binary", Buffer.from([0, 255, 16]));
  await p.regSet(KEY, "", "sz", "the default");
  const k = await p.regKey(KEY);
  const got = Object.fromEntries(k.values.map((v) => [v.name, v]));
  assert.equal(got.Text.data, "Grüße\nzwei");
  assert.deepEqual(got.List.data, ["a b", 'c"d']);
  assert.equal(got.Count.data, 4294967295);
  assert.equal(got.Big.data, 2n ** 64n - 1n);
  assert.deepEqual(got.Blob.data, Buffer.from([0, 255, 16]));
  assert.deepEqual(got.Big.raw, Buffer.alloc(8, 255));
  assert.equal((await p.regValue(KEY, "")).data, "the default");
  assert.match(wineReg(KEY, "Count"), /0xffffffff/);
  assert.match(wineReg(KEY, "Blob"), /00FF10/);
});

test("errors by kind, and a batch that raises after all ran", async () => {
  const cases: [calls.Call<unknown>, new (...a: never[]) => QvError, number][] = [
    [calls.regKey("HKCC\\Software"), UsageError, 2],
    [calls.regSet(KEY, "x", "dword", "twelve"), UsageError, 2],
    [calls.regValue(KEY, "nosuchvalue"), NotFound, 1],
    [calls.dllOverride("qvnosuchdll"), NotFound, 1],
    [calls.driveRm("C"), Refused, 1],
  ];
  for (const [c, cls, exit] of cases) {
    await assert.rejects(p.call(c), (e: unknown) => e instanceof cls && e instanceof QvError && e.exit === exit, c.argv.join(" "));
  }
  const key = KEY + "\\Batch";
  const sets = Array.from({ length: 300 }, (_, i) => calls.regSet(key, `v${i}`, "dword", i));
  sets.splice(150, 0, calls.regSet(key, "bad", "dword", "not a number"));
  const done = await p.batch(sets);
  assert.ok(done[150] instanceof UsageError);
  await p.regRm(key);
  await assert.rejects(p.batch(sets, { raiseOnError: true }), UsageError);
  assert.equal((await p.regKey(key)).values.length, 300);
  const reads = await p.batch(Array.from({ length: 300 }, (_, i) => calls.regValue(key, `v${i}`)), { raiseOnError: true });
  assert.deepEqual(reads.map((v) => v.data), Array.from({ length: 300 }, (_, i) => i));
});

test("calls not awaiting each other are pipelined and each gets its own answer", async () => {
  const n = 200;
  await Promise.all(Array.from({ length: n }, (_, i) => p.regSet(KEY, `c${i}`, "sz", `text ${i}`)));
  const got = await Promise.all(Array.from({ length: n }, (_, i) => p.regValue(KEY, `c${i}`)));
  assert.deepEqual(got.map((v) => v.data), Array.from({ length: n }, (_, i) => `text ${i}`));
});

test("a timeout, a killed serve and a closed Prefix", async () => {
  await assert.rejects(p.batch(Array.from({ length: 20000 }, () => calls.windowsDir()), { timeoutMs: 5 }), Timeout);
  assert.equal(await p.windowsDir(), "C:\\windows");

  const q = await Prefix.open(prefixPath, { persist: 0 });
  const serve = await (q as unknown as { serve: Promise<{ pid: number; gone: boolean }> }).serve;
  process.kill(serve.pid, "SIGKILL");
  while (!serve.gone) await new Promise((r) => setTimeout(r, 10));
  assert.equal(await q.windowsDir(), "C:\\windows"); // serve started anew
  await q.close();
  await assert.rejects(q.windowsDir(), UsageError);
});

test("the agent stopped, and persist in fractions", async () => {
  const q = await Prefix.open(prefixPath, { persist: 2.5 });
  assert.equal(await q.windowsDir(), "C:\\windows");
  assert.ok(agentRuns());
  assert.equal(await q.stopAgent(), true);
  assert.ok(!agentRuns());
  assert.equal(await q.stopAgent(), false);
  await q.close({ stopAgent: true });
  assert.ok(!agentRuns());
  await assert.rejects(Prefix.open(prefixPath, { persist: -1 }), UsageError);
});

test("another Wine through a launcher", async () => {
  // Stand-ins: a runner's loader that execs Wine's, and a launcher that records its words and execs them.
  const dir = mkdtempSync(join(tmpdir(), "qvnode-launch-"));
  try {
    const log = join(dir, "log");
    const wine = join(dir, "wine64");
    const launcher = join(dir, "launch");
    writeFileSync(wine, `#!/bin/sh\nexec ${process.env.QV_WINE ?? "/usr/lib/wine/wine64"} "$@"\n`, { mode: 0o755 });
    writeFileSync(launcher, `#!/bin/sh\necho "$@" >> "${log}"\nexec "$@"\n`, { mode: 0o755 });
    const q = await Prefix.open(prefixPath, { wine, launcher: [launcher], persist: 0 });
    assert.equal(await q.windowsDir(), "C:\\windows");
    await q.close();
    assert.ok(readFileSync(log, "utf8").split("\n").some((l) => l.startsWith(`${wine} `) && l.includes("qvmanip.exe")));
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
