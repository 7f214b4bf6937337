#!/usr/bin/python3
"""One run, printed: a Python program setting and reading 100 registry
values through qvtools against the same through one `wine64 reg` process per
call, as prefix managers do today.

usage: python_bench.py PREFIX QVCTL [N]   (qvtools importable, e.g. PYTHONPATH=python)
"""
import os
import subprocess
import sys
import tempfile
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


def main():
    prefix, qvctl = sys.argv[1], sys.argv[2]
    n = int(sys.argv[3]) if len(sys.argv) > 3 else 100

    def wine_side():
        for i in range(n):
            wine_reg(prefix, ["add", KEY, "/v", f"v{i}", "/t", "REG_DWORD", "/d", str(i), "/f"])
        for i in range(n):
            assert f"0x{i:x}" in wine_reg(prefix, ["query", KEY, "/v", f"v{i}"])

    p = None

    def start():
        nonlocal p
        p = qvtools.Prefix(prefix, qvctl=qvctl, persist=0)
        p.windows_dir()

    def one_by_one():
        for i in range(n):
            p.reg_set(KEY, f"v{i}", "dword", i)
        for i in range(n):
            assert p.reg_value(KEY, f"v{i}").data == i

    def batched():
        p.batch([calls.reg_set(KEY, f"v{i}", "dword", i) for i in range(n)])
        assert [v.data for v in p.batch([calls.reg_value(KEY, f"v{i}") for i in range(n)])] == list(range(n))

    wine_reg(prefix, ["add", KEY, "/f"])  # Wine started once before timing
    t_wine = timed(wine_side)
    t_start = timed(start)
    t_one = timed(one_by_one)
    t_batch = timed(batched)
    p.reg_rm(KEY)
    p.close()
    print(f"{n} values set and {n} read back (one run, load {os.getloadavg()[0]:.1f}):")
    print(f"  wine64 reg, one process per call   {t_wine * 1000:10.1f} ms  {t_wine / (2 * n) * 1000:8.2f} ms/call")
    print(f"  qvtools, starting qvctl serve      {t_start * 1000:10.1f} ms  (once)")
    print(f"  qvtools, one call at a time        {t_one * 1000:10.1f} ms  {t_one / (2 * n) * 1000:8.2f} ms/call"
          f"  {t_wine / t_one:7.0f}x faster")
    print(f"  qvtools, two pipelined batches     {t_batch * 1000:10.1f} ms  {t_batch / (2 * n) * 1000:8.2f} ms/call"
          f"  {t_wine / t_batch:7.0f}x faster")
    print(f"  qvtools including the start        {(t_start + t_one) * 1000:10.1f} ms"
          f"  {t_wine / (t_start + t_one):7.0f}x faster (goal: 100x)")


if __name__ == "__main__":
    main()
