"""`qvctl serve` as a coprocess: one JSON request per line in, one JSON
result per line out, each carrying its request's id.

One thread writes and one reads, so the caller never blocks on a pipe: a
caller only waits for its own answers, and can stop waiting (Ctrl-C, a
timeout) at any moment. The reader hands each answer to whoever waits for
its id and drops the rest, so an abandoned request never shifts the answers
of the next; ids only grow. Any number of threads may share one Coprocess."""
from __future__ import annotations

import json
import os
import queue
import subprocess
import tempfile
import threading
import time
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from .errors import QvError, ServerGone, Timeout

PROTOCOL = 1  # the version of qvctl serve's hello this package speaks
_CHUNK = 1 << 16  # a batch goes out in pieces of whole lines, so it can stop between them

Result = Dict[str, Any]


class _Waiter:
    """The answers one call waits for: ids first .. first+n-1."""

    def __init__(self, first: int, n: int) -> None:
        self.first = first
        self.results: List[Optional[Result]] = [None] * n
        self.missing = n
        self.failure: Optional[QvError] = None
        self.cancelled = False  # read by the writer: lines not yet sent are dropped
        self.done = threading.Event()

    def put(self, i: int, r: Result) -> None:
        self.results[i] = r
        self.missing -= 1
        if self.missing == 0:
            self.done.set()

    def fail(self, e: QvError) -> None:
        if self.done.is_set():
            return  # every answer came before the end
        self.failure = e
        self.done.set()


# Seconds serve may take to say hello, at least (see Coprocess).
START_TIMEOUT = 60.0


class Coprocess:
    def __init__(self, command: Sequence[str], env: Optional[Mapping[str, str]] = None,
                 timeout: Optional[float] = None) -> None:
        # qvctl's own words for people go to a file: read back when it dies.
        self._stderr = tempfile.TemporaryFile()
        try:
            # A session of its own: a terminal's Ctrl-C reaches the caller,
            # which decides, and not the server every later call needs.
            self._proc = subprocess.Popen(list(command), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=self._stderr, env=dict(env) if env is not None else None,
                                          start_new_session=True)
        except OSError as e:
            self._stderr.close()
            raise ServerGone("environment", f"cannot run {command[0]}: {e.strerror}", None, 3) from None
        self._lock = threading.Lock()  # guards what follows
        self._waiting: Dict[int, Tuple[_Waiter, int]] = {}
        self._next_id = 1
        self._gone: Optional[QvError] = None
        self._closing = False
        self._hello = _Waiter(0, 1)
        self._read_done = threading.Event()
        self._writes: "queue.Queue[Optional[Tuple[_Waiter, List[bytes]]]]" = queue.Queue()
        threading.Thread(target=self._read_loop, name="qvtools-reader", daemon=True).start()
        threading.Thread(target=self._write_loop, name="qvtools-writer", daemon=True).start()
        try:
            # Starting serve is not a call: a per-call timeout shorter than a
            # process start would fail every start on a busy machine.
            start = None if timeout is None else max(timeout, START_TIMEOUT)
            self.hello = self._wait(self._hello, start, "the hello of qvctl serve")[0]
        except BaseException:
            self.close()
            raise
        if not self.hello.get("ok"):
            # What keeps serve from starting (no prefix, no Wine) comes instead of the hello.
            self.close()
            raise QvError.from_result(self.hello)
        if self.hello.get("protocol") != PROTOCOL:
            self.close()
            raise ServerGone("environment", "qvctl serve speaks protocol %r; this package speaks %d"
                             % (self.hello.get("protocol"), PROTOCOL), None, 3)

    @property
    def pid(self) -> int:
        return self._proc.pid

    @property
    def gone(self) -> bool:
        return self._gone is not None

    def _ended(self) -> QvError:
        try:
            self._proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        self._stderr.seek(0)
        said = self._stderr.read().decode("utf-8", "replace").strip()
        return ServerGone("environment", "qvctl serve ended (exit %s)%s" % (self._proc.returncode,
                                                                           ": " + said if said else ""), None, 3)

    def _read_loop(self) -> None:
        assert self._proc.stdout is not None
        why: Optional[QvError] = None
        try:
            for line in self._proc.stdout:
                try:
                    r = json.loads(line)
                except ValueError:
                    why = ServerGone("environment", "qvctl serve wrote a line that is not JSON: %r" % line[:200],
                                     None, 3)
                    break
                if not isinstance(r, dict):
                    continue
                if self._hello.missing:
                    self._hello.put(0, r)
                    continue
                with self._lock:
                    # An id nobody waits for any more (interrupted, timed out) is dropped.
                    slot = self._waiting.pop(r["id"], None) if type(r.get("id")) is int else None
                if slot:
                    slot[0].put(slot[1], r)
        except (OSError, ValueError):
            pass  # the pipe was closed under us: close() is ending it
        finally:
            if why is not None:
                self._proc.kill()
            e = why or self._ended()
            with self._lock:
                self._gone = e
                waiting, self._waiting = self._waiting, {}
            for w, _ in waiting.values():
                w.fail(e)
            self._hello.fail(e)
            self._read_done.set()

    def _write_loop(self) -> None:
        assert self._proc.stdin is not None
        fd = self._proc.stdin.fileno()
        try:
            while True:
                job = self._writes.get()
                if job is None:
                    break  # close(): end of input ends serve
                waiter, chunks = job
                for chunk in chunks:
                    if waiter.cancelled:
                        break
                    view = memoryview(chunk)
                    while view:
                        view = view[os.write(fd, view):]
        except OSError:
            pass  # serve is gone; the reader tells the waiting callers
        finally:
            self._proc.stdin.close()

    def pipeline(self, argvs: Sequence[Sequence[str]], timeout: Optional[float] = None) -> List[Result]:
        """Sends the requests and returns their results in order. Interrupted
        or timed out, the requests not yet sent are dropped and the answers
        of the rest are skipped when they come."""
        n = len(argvs)
        if n == 0:
            return []
        with self._lock:
            self._check_open()
            first = self._next_id
            self._next_id += n
        # The lines are made before anything waits for their answers: an
        # interrupt while making them leaves nothing behind.
        chunks: List[bytes] = []
        piece: List[str] = []
        size = 0
        for i, argv in enumerate(argvs):
            line = json.dumps({"id": first + i, "argv": list(argv)}) + "\n"
            piece.append(line)
            size += len(line)
            if size >= _CHUNK:
                chunks.append("".join(piece).encode("utf-8"))
                piece, size = [], 0
        if piece:
            chunks.append("".join(piece).encode("utf-8"))
        waiter = _Waiter(first, n)
        with self._lock:
            self._check_open()
            try:
                self._waiting.update((first + i, (waiter, i)) for i in range(n))
                self._writes.put((waiter, chunks))
            except BaseException:  # waited for and sent, or neither
                waiter.cancelled = True
                for i in range(n):
                    self._waiting.pop(first + i, None)
                raise
        return self._wait(waiter, timeout, "%d request%s" % (n, "" if n == 1 else "s"))

    def _check_open(self) -> None:
        """Raises what ended the connection, if it ended; under the lock."""
        if self._gone is not None:
            raise self._gone
        if self._closing:
            raise ServerGone("closed", "the connection to qvctl serve is closed", None, 3)

    def _wait(self, waiter: _Waiter, timeout: Optional[float], what: str) -> List[Result]:
        try:
            if not waiter.done.wait(timeout):
                raise Timeout("timeout", "no answer to %s within %g s" % (what, timeout or 0), None, 3)
        finally:
            if not waiter.done.is_set():
                waiter.cancelled = True
                with self._lock:
                    for i in range(len(waiter.results)):
                        self._waiting.pop(waiter.first + i, None)
        if waiter.failure is not None:
            raise waiter.failure
        return [r for r in waiter.results if r is not None]

    def close(self, timeout: float = 30) -> None:
        """Ends serve (end of input), killing it after timeout seconds."""
        with self._lock:
            if self._closing:
                return
            self._closing = True
        self._writes.put(None)
        deadline = time.monotonic() + timeout
        try:
            self._proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()
        # The reader ends at the pipe's end and reads the stderr file: wait for it.
        self._read_done.wait(max(0.0, deadline - time.monotonic()))
        if self._proc.stdout is not None:
            self._proc.stdout.close()
        self._stderr.close()
