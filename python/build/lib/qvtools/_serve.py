"""`qvctl serve` as a coprocess: one JSON request per line in, one JSON
result per line out, in request order."""
from __future__ import annotations

import json
import os
import subprocess
import tempfile
import threading
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence

from .errors import QvError


class Coprocess:
    def __init__(self, command: Sequence[str], env: Optional[Mapping[str, str]] = None) -> None:
        # qvctl's own words for people go to a file: read back when it dies.
        self._stderr = tempfile.TemporaryFile()
        try:
            self._proc = subprocess.Popen(list(command), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=self._stderr, env=dict(env) if env is not None else None)
        except OSError as e:
            self._stderr.close()
            raise QvError("environment", f"cannot run {command[0]}: {e.strerror}", None, 3) from None
        self._next_id = 1
        self.hello: Dict[str, Any] = self._read()

    def _died(self) -> QvError:
        self._proc.wait()
        self._stderr.seek(0)
        said = self._stderr.read().decode("utf-8", "replace").strip()
        return QvError("environment", "qvctl serve ended (exit %s)%s" % (self._proc.returncode,
                                                                        ": " + said if said else ""), None, 3)

    def _read(self) -> Dict[str, Any]:
        assert self._proc.stdout is not None
        line = self._proc.stdout.readline()
        if not line:
            raise self._died()
        return json.loads(line)

    def request(self, argv: Sequence[str]) -> Dict[str, Any]:
        return self.pipeline([argv])[0]

    def pipeline(self, argvs: Iterable[Sequence[str]]) -> List[Dict[str, Any]]:
        """Sends every request at once and reads the results in order. A
        thread writes, so neither side ever waits on a full pipe."""
        first = self._next_id
        lines = []
        for argv in argvs:
            lines.append(json.dumps({"id": self._next_id, "argv": list(argv)}) + "\n")
            self._next_id += 1
        data = "".join(lines).encode("utf-8")
        failure: List[BaseException] = []

        def write() -> None:
            try:
                assert self._proc.stdin is not None
                self._proc.stdin.write(data)
                self._proc.stdin.flush()
            except (BrokenPipeError, OSError) as e:
                failure.append(e)

        writer = threading.Thread(target=write, daemon=True)
        writer.start()
        results = []
        try:
            for n in range(len(lines)):
                r = self._read()
                if r.get("id") != first + n:
                    raise QvError("environment", "qvctl serve answered id %r where %d was due" % (r.get("id"),
                                                                                             first + n), None, 3)
                results.append(r)
        finally:
            writer.join()
        return results

    def close(self) -> None:
        if self._proc.poll() is None:
            try:
                assert self._proc.stdin is not None
                self._proc.stdin.close()  # end of input ends serve
                self._proc.wait(timeout=30)
            except (OSError, subprocess.TimeoutExpired):
                self._proc.kill()
                self._proc.wait()
        if self._proc.stdout is not None:
            self._proc.stdout.close()
        self._stderr.close()
