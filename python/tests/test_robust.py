"""What prefix managers do to a Prefix besides calling it: Ctrl-C, worker
threads, timeouts, close, a server that dies, agents to stop."""
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

import qvtools
from qvtools import ServerGone, Timeout, UsageError, calls

KEY = r"HKCU\Software\QvTest\Robust"

# Run in a process of its own, so that Ctrl-C can go to its whole process
# group as a terminal sends it. Each line it writes is one step's outcome.
CHILD = r"""
import signal, sys, threading, time
import qvtools
from qvtools import calls
path, key, log = sys.argv[1:4]
# A program at a terminal takes Ctrl-C; one started from a shell's background
# job would inherit SIGINT ignored and never see it.
signal.signal(signal.SIGINT, signal.default_int_handler)
out = open(log, "w", buffering=1)
sets = lambda name: [calls.reg_set(key, name + str(i), "dword", i) for i in range(100000)]
with qvtools.Prefix(path, persist=0) as p:
    pid = p._serve.pid
    for name in ("a", "b"):
        out.write("batch\n")
        try:
            started = time.monotonic()
            results = p.batch(sets(name))
            out.write("batch finished\n")
            # Not expected: say how, for the test's message.
            errors = [r for r in results if isinstance(r, Exception)]
            sys.stderr.write("batch %s: %d results in %.2f s, %d errors %r\n"
                             % (name, len(results), time.monotonic() - started, len(errors), errors[:1]))
        except KeyboardInterrupt:
            out.write("interrupted\n")
    out.write("waiting %d\n" % len(p._serve._waiting))  # an interrupted batch leaves no entry behind
    # One call interrupted while it waits behind another thread's batch.
    serve = p._serve
    worker = threading.Thread(target=p.batch, args=(sets("c"),))
    worker.start()
    # Once the batch is being answered, a call sent now goes after all of it
    # (serve answers in order): it cannot have its answer before the batch's
    # last, seconds away. Registered in a loop, under the lock, the batch is
    # counted under the lock too.
    def answered():
        with serve._lock:
            return 100000 - len(serve._waiting) if serve._waiting else 0
    deadline = time.monotonic() + 60
    while not answered() and time.monotonic() < deadline:
        time.sleep(0.001)
    main = threading.main_thread().ident
    def interrupt_the_waiting_call():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            with serve._lock:
                w = serve._waiting
                behind = bool(w) and next(iter(w.values()))[0] is not next(reversed(w.values()))[0]
            if behind:
                # A real SIGINT at the main thread: it ends the wait, where
                # _thread.interrupt_main() is seen only once the wait is over.
                signal.pthread_kill(main, signal.SIGINT)
                return
            time.sleep(0.0005)
    threading.Thread(target=interrupt_the_waiting_call, daemon=True).start()
    try:
        p.reg_set(key, "single", "dword", 1)
        out.write("single finished\n")
    except KeyboardInterrupt:
        out.write("interrupted\n")
    worker.join()
    p.reg_set(key, "after", "sz", "ok")
    out.write(p.reg_value(key, "after").as_str() + "\n")
    out.write("same serve %s\n" % (p._serve.pid == pid))
"""


def test_ctrl_c_in_a_batch_and_in_a_call_leaves_the_prefix_usable(prefix, prefix_path, tmp_path):
    prefix.reg_rm(KEY)
    log = tmp_path / "child.log"
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    with open(tmp_path / "child.err", "w") as err:
        child = subprocess.Popen([sys.executable, str(script), prefix_path, KEY, str(log)], stdout=err,
                                 stderr=err, start_new_session=True)

    def started():
        return log.read_text().splitlines().count("batch") if log.exists() else 0

    try:
        for batches in (1, 2):
            deadline = time.monotonic() + 60
            while started() < batches:
                assert time.monotonic() < deadline and child.poll() is None, (tmp_path / "child.err").read_text()
                time.sleep(0.01)
            time.sleep(0.5)
            os.killpg(child.pid, signal.SIGINT)  # a terminal's Ctrl-C: the whole foreground group
        child.wait(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
    assert log.read_text().splitlines() == ["batch", "interrupted", "batch", "interrupted", "waiting 0", "interrupted",
                                            "ok", "same serve True"], (tmp_path / "child.err").read_text()
    prefix.reg_rm(KEY)


def test_threads_share_one_prefix(prefix):
    prefix.reg_rm(KEY)
    failures = []

    def work(t):
        try:
            for i in range(100):
                prefix.reg_set(KEY, f"t{t}", "dword", i)
                got = prefix.reg_value(KEY, f"t{t}").as_int()
                if got != i:
                    failures.append((t, i, got))
            done = prefix.batch([calls.reg_value(KEY, f"t{t}")] * 50, raise_on_error=True)
            if [v.as_int() for v in done] != [99] * 50:
                failures.append((t, "batch"))
        except Exception as e:  # noqa: BLE001 - the test reports whatever a thread met
            failures.append((t, repr(e)))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    prefix.reg_rm(KEY)


def test_a_timeout_leaves_the_prefix_usable(prefix):
    with pytest.raises(Timeout):
        prefix.batch([calls.reg_value(r"HKCU\Software", "nosuchvalue")] * 20000, timeout=0.01)
    assert prefix.windows_dir() == "C:\\windows"
    with qvtools.Prefix(prefix.path, persist=0, timeout=0.001) as p:
        with pytest.raises(Timeout):
            p.batch([calls.windows_dir()] * 20000)
        assert p.windows_dir(timeout=60) == "C:\\windows"


def test_closed_or_killed(prefix_path, capfd):
    p = qvtools.Prefix(prefix_path, persist=0)
    os.kill(p._serve.pid, signal.SIGKILL)
    deadline = time.monotonic() + 30
    while not p._serve.gone:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    assert p.windows_dir() == "C:\\windows"  # serve started anew
    p.close()
    with pytest.raises(UsageError) as e:
        p.windows_dir()
    assert "closed" in e.value.message
    assert "Traceback" not in capfd.readouterr().err


def agent_runs(prefix_path):
    with open(os.devnull, "w") as null:
        return subprocess.run([os.environ["QVCTL"], "--prefix", prefix_path, "agent", "status"], stdout=null,
                              stderr=null, timeout=60).returncode == 0


@pytest.mark.parametrize("persist", [2.5, 5.0, 7])
def test_the_agent_stopped_and_persist_in_any_number(prefix_path, persist):
    p = qvtools.Prefix(pathlib.Path(prefix_path), persist=persist)
    assert p.windows_dir() == "C:\\windows" and agent_runs(prefix_path)
    assert p.stop_agent() is True and not agent_runs(prefix_path)
    assert p.stop_agent() is False
    assert p.windows_dir() == "C:\\windows" and agent_runs(prefix_path)  # a new agent for the next call
    p.close(stop_agent=True)
    assert not agent_runs(prefix_path)
    with pytest.raises(UsageError):
        qvtools.Prefix(prefix_path, persist=-1)


def test_another_wine_through_a_launcher(prefix_path, tmp_path):
    # Stand-ins: a "runner's" loader that execs Wine's, and a launcher that
    # records its words and execs the rest after its own option.
    log = tmp_path / "launcher.log"
    wine = tmp_path / "runner" / "bin" / "wine64"
    wine.parent.mkdir(parents=True)
    wine.write_text('#!/bin/sh\nexec %s "$@"\n' % os.environ.get("QV_WINE", "/usr/lib/wine/wine64"))
    launcher = tmp_path / "launch"
    launcher.write_text('#!/bin/sh\necho "$@" >> "%s"\n[ "$1" = --own-option ] || exit 9\nshift\nexec "$@"\n' % log)
    for script in (wine, launcher):
        script.chmod(0o755)

    through = {"wine": wine, "launcher": [str(launcher), "--own-option"]}
    with qvtools.Prefix(prefix_path, persist=0, **through) as p:
        assert p.windows_dir() == "C:\\windows"
        assert p.info().wine.startswith("wine-")
    starts = log.read_text().splitlines()
    assert any(s.startswith(f"--own-option {wine} ") and "qvmanip.exe" in s for s in starts), starts
    assert f"--own-option {wine} --version" in starts

    # An agent starts its server through the launcher too, and serves only
    # callers with its loader and launcher: a caller without them, or with
    # them while another agent runs, gets a server of its own.
    def started_server():
        found = log.exists() and any("qvmanip.exe" in s for s in log.read_text().splitlines())
        log.unlink(missing_ok=True)
        return found

    for first, second in ((True, False), (False, True)):
        started_server()
        with qvtools.Prefix(prefix_path, persist=30, **(through if first else {})) as a:
            assert a.windows_dir() == "C:\\windows" and agent_runs(prefix_path)
            assert started_server() == first
            with qvtools.Prefix(prefix_path, persist=30, **(through if second else {})) as b:
                assert b.windows_dir() == "C:\\windows"
            assert started_server() == second
            a.close(stop_agent=True)
        assert not agent_runs(prefix_path)
    with pytest.raises(ServerGone):
        qvtools.Prefix(prefix_path, launcher=[str(tmp_path / "nosuchlauncher")], persist=0)
