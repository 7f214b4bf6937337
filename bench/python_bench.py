#!/usr/bin/python3
"""One run, printed: a Python program setting and reading N registry values
through qvtools (one call at a time and in batches, from 1 and from 4
threads sharing one Prefix) against the same through one `wine64 reg`
process per call, as prefix managers do today.

usage: python_bench.py PREFIX QVCTL [N]   (qvtools importable, e.g. PYTHONPATH=python)
"""
import os
import subprocess
import sys
import tempfile
import threading
import time

import qvtools
from qvtools import calls

WINE64 = os.environ.get("QV_WINE", "/usr/lib/wine/wine64")
KEY = r"HKCU\Software\QvBench\Python"


def wine_reg(prefix, args):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    with tempfile.TemporaryFile() as out:  # output to a file, never a pipe
        code = subprocess.run([WINE64, "reg"] + args, stdout=out, stderr=subprocess.STDOUT, env=env).returncode
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    if code != 0:
        raise SystemExit(f"wine reg {' '.join(args)} failed ({code}): {text}")
    return text


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def in_threads(threads, work):
    """work(names) in each of `threads` threads, the N names shared out."""
    def run():
        ts = [threading.Thread(target=work, args=(range(t, N, threads),)) for t in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
    return run


N = 100


def main():
    global N
    prefix, qvctl = sys.argv[1], sys.argv[2]
    N = int(sys.argv[3]) if len(sys.argv) > 3 else N

    def wine_side():
        for i in range(N):
            wine_reg(prefix, ["add", KEY, "/v", f"v{i}", "/t", "REG_DWORD", "/d", str(i), "/f"])
        for i in range(N):
            assert f"0x{i:x}" in wine_reg(prefix, ["query", KEY, "/v", f"v{i}"])

    p = None

    def start():
        nonlocal p
        p = qvtools.Prefix(prefix, qvctl=qvctl, persist=0)
        p.windows_dir()

    def one_by_one(names):
        for i in names:
            p.reg_set(KEY, f"v{i}", "dword", i)
        for i in names:
            assert p.reg_value(KEY, f"v{i}").as_int() == i

    def batched(names):
        p.batch([calls.reg_set(KEY, f"v{i}", "dword", i) for i in names], raise_on_error=True)
        got = p.batch([calls.reg_value(KEY, f"v{i}") for i in names], raise_on_error=True)
        assert [v.as_int() for v in got] == list(names)

    wine_reg(prefix, ["add", KEY, "/f"])  # Wine started once before timing
    t_wine = timed(wine_side)
    t_start = timed(start)
    rows = [(f"{kind}, {threads} thread{'s' if threads > 1 else ''}", timed(in_threads(threads, work)))
            for kind, work in (("one call at a time", one_by_one), ("two batches", batched)) for threads in (1, 4)]
    p.reg_rm(KEY)
    p.close()
    calls_made = 2 * N
    print(f"Python: {N} values set and {N} read back (one run, load {os.getloadavg()[0]:.1f}):")
    print(f"  wine64 reg, one process per call       {t_wine * 1000:9.1f} ms  {t_wine / calls_made * 1000:8.3f} ms/call")
    print(f"  qvtools, starting qvctl serve          {t_start * 1000:9.1f} ms  (once)")
    for name, t in rows:
        print(f"  qvtools, {name:29} {t * 1000:9.1f} ms  {t / calls_made * 1000:8.3f} ms/call"
              f"  {t_wine / t:6.0f}x faster")


if __name__ == "__main__":
    main()
