"""The scratch prefix of the test run (QV_TEST_PREFIX) and qvctl (QVCTL)."""
import os
import subprocess
import tempfile
import time

import pytest

import qvtools

WINE64 = os.environ.get("QV_WINE", "/usr/lib/wine/wine64")


@pytest.fixture(scope="session")
def prefix_path() -> str:
    path = os.environ.get("QV_TEST_PREFIX")
    if not path or not os.path.isdir(path):
        pytest.fail("QV_TEST_PREFIX must name the test run's scratch prefix")
    return path


@pytest.fixture(scope="session")
def prefix(prefix_path):
    # No agent: the tests own their server, and leave nothing running.
    with qvtools.Prefix(prefix_path, persist=0) as p:
        yield p


def wine_reg_query(prefix_path: str, key: str, name: str, view32: bool = False) -> str:
    """Wine's own `reg query`, the independent check. Its output goes to a
    file; a run Wine failed to start is tried again, as the C++ checks do."""
    args = [WINE64, "reg", "query", key, "/v", name] + (["/reg:32"] if view32 else [])
    env = dict(os.environ, WINEPREFIX=prefix_path, WINEDEBUG="-all")
    for attempt in range(3):
        with tempfile.TemporaryFile() as out:
            code = subprocess.run(args, stdout=out, stderr=subprocess.STDOUT, env=env, timeout=120).returncode
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
        if code == 0:
            return text
        time.sleep(0.5)
    raise AssertionError(f"wine reg query {key} /v {name} kept failing (exit {code}): {text}")
