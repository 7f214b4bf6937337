"""A Wine prefix, asked and changed through one resident qvmanip server."""
from __future__ import annotations

import math
import os
import shutil
import threading
from typing import Any, Dict, Iterable, List, Literal, Mapping, Optional, Sequence, Union, overload

from . import calls
from ._serve import Coprocess
from .calls import Call, RegData, T, UnixPath
from .errors import QvError, ServerGone, UsageError
from .types import (DirEntry, DllMode, DllOverride, Drive, DriveAdded, ExportFormat, ExportResult, ImportResult,
                    PrefixInfo, RegKey, RegType, RegValue, VersionChoice, WindowsVersion, WindowsVersionName)


def default_prefix() -> str:
    """WINEPREFIX, else ~/.wine, as Wine itself chooses."""
    return os.environ.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")


def find_qvctl() -> str:
    """QVCTL, else qvctl on PATH."""
    found = os.environ.get("QVCTL") or shutil.which("qvctl")
    if not found:
        raise ServerGone("environment", "qvctl not found: set QVCTL or put qvctl on PATH", None, 3)
    return found


def _persist_word(persist: float) -> str:
    # qvctl counts whole seconds: a fraction is rounded up, never down to "no agent".
    if isinstance(persist, bool) or not isinstance(persist, (int, float)) or not persist >= 0:
        raise UsageError("usage", f"persist {persist!r}: not a number of seconds (0 or more; 0: no agent)", None, 2)
    return str(math.ceil(persist))


class Prefix:
    """A Wine prefix and the `qvctl serve` that talks to it.

    Every method sends one request (through the prefix's agent when one
    runs) and returns a typed result, or raises a QvError of the failure's
    kind: UsageError (refused before sending; nothing changed), NotFound (no
    such key, value or file), Refused (the prefix refused), ServerGone (the
    server, agent or environment is gone) or Timeout. `batch` sends many at
    once.

    One Prefix may be shared by any number of threads: each call waits for
    its own answer only. A call interrupted (Ctrl-C) or timed out leaves the
    Prefix usable; its request may still take effect. When serve has ended,
    the next call starts it anew.

    path: the prefix (WINEPREFIX, else ~/.wine); wine: the Wine loader to
    run (e.g. a runner's bin/wine64); launcher: words put before the loader
    (["flatpak-spawn", "--host"], a runtime's launch client); persist:
    seconds the agent stays after its last client (0: no agent, the server
    ends with this object); timeout: seconds any call may take (None: no
    limit; starting serve may take a minute whatever it is); env: the environment for qvctl (default: this process's).
    """

    def __init__(self, path: Optional[UnixPath] = None, *, qvctl: Optional[UnixPath] = None,
                 wine: Optional[UnixPath] = None, launcher: Optional[Sequence[str]] = None,
                 persist: Optional[float] = None, timeout: Optional[float] = None,
                 env: Optional[Mapping[str, str]] = None) -> None:
        self.path = os.path.abspath(os.fspath(path) if path is not None else default_prefix())
        self.timeout = timeout
        command = [os.fspath(qvctl) if qvctl is not None else find_qvctl(), "--prefix", self.path]
        if wine is not None:
            command += ["--wine", os.fspath(wine)]
        if launcher:
            for word in launcher:
                command += ["--launcher", os.fspath(word)]
        if persist is not None:
            command += ["--persist", _persist_word(persist)]
        self._command = command + ["serve"]
        self._env = env
        self._lock = threading.Lock()
        self._closed = False
        self._serve = Coprocess(self._command, env, timeout)

    def __enter__(self) -> "Prefix":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _connection(self) -> Coprocess:
        with self._lock:
            if self._closed:
                raise UsageError("closed", f"this Prefix ({self.path}) is closed", None, 2)
            if self._serve.gone:
                # serve ended (killed, or its session ended): a new one; its
                # agent, if one runs, keeps the server.
                self._serve.close()
                self._serve = Coprocess(self._command, self._env, self.timeout)
            return self._serve

    def close(self, *, stop_agent: bool = False) -> None:
        """Ends this object's qvctl serve. stop_agent: end the prefix's agent
        and its server too, so nothing of ours stays in the prefix. Calls
        afterwards raise UsageError."""
        if stop_agent and not self._closed:
            try:
                self.stop_agent()
            except QvError:
                pass  # nothing left to stop
        with self._lock:
            self._closed = True
            self._serve.close()

    def stop_agent(self, *, timeout: Optional[float] = None) -> bool:
        """Ends the prefix's agent and its server now and returns once they
        have ended (`wineserver -w` then returns): before `wineserver -k`,
        deleting the prefix or switching its Wine. True when one ran. The
        next call starts them again."""
        return self.call(calls.agent_stop(), timeout=timeout)

    @property
    def hello(self) -> Dict[str, Any]:
        """The protocol's greeting (its version among it)."""
        return self._connection().hello

    def _timeout(self, timeout: Optional[float]) -> Optional[float]:
        return self.timeout if timeout is None else timeout

    def run(self, argv: Sequence[str], *, timeout: Optional[float] = None) -> Dict[str, Any]:
        """The raw form: qvctl's own words in, its JSON result out."""
        r = self._connection().pipeline([argv], self._timeout(timeout))[0]
        if not r.get("ok"):
            raise QvError.from_result(r)
        return r

    def call(self, c: "Call[T]", *, timeout: Optional[float] = None) -> T:
        """Runs one call built with qvtools.calls."""
        return c.parse(self.run(c.argv, timeout=timeout))

    @overload
    def batch(self, cs: Iterable["Call[T]"], *, raise_on_error: Literal[True],
              timeout: Optional[float] = None) -> List[T]: ...

    @overload
    def batch(self, cs: Iterable["Call[T]"], *, raise_on_error: Literal[False] = False,
              timeout: Optional[float] = None) -> List[Union[T, QvError]]: ...

    def batch(self, cs: Iterable["Call[T]"], *, raise_on_error: bool = False,
              timeout: Optional[float] = None) -> Union[List[T], List[Union[T, QvError]]]:
        """Pipelines the calls (built with qvtools.calls): all are sent at
        once, each runs whatever the others did, and the results come in
        order, each the call's typed result or its QvError. raise_on_error:
        after all ran, raise the first failure instead. timeout: for the
        whole batch."""
        cs = list(cs)
        out: List[Union[T, QvError]] = []
        for c, r in zip(cs, self._connection().pipeline([c.argv for c in cs], self._timeout(timeout))):
            try:
                out.append(c.parse(r) if r.get("ok") else QvError.from_result(r))
            except QvError as e:
                out.append(e)
        if raise_on_error:
            for x in out:
                if isinstance(x, QvError):
                    raise x
        return out

    # Registry. A name "" is the key's default value; view32 the 32-bit view.
    def reg_key(self, key: str, *, view32: bool = False, timeout: Optional[float] = None) -> RegKey:
        """The key's values and subkey names. NotFound when there is no such key."""
        return self.call(calls.reg_key(key, view32=view32), timeout=timeout)

    def reg_value(self, key: str, name: str, *, view32: bool = False,
                  timeout: Optional[float] = None) -> RegValue:
        """One value ("" the default value). NotFound when it is not there."""
        return self.call(calls.reg_value(key, name, view32=view32), timeout=timeout)

    def reg_tree(self, key: str, *, view32: bool = False, timeout: Optional[float] = None) -> List[RegKey]:
        """The key and every key below it, parents first."""
        return self.call(calls.reg_tree(key, view32=view32), timeout=timeout)

    def reg_set(self, key: str, name: str, type: Union[RegType, str], data: RegData, *, view32: bool = False,
                timeout: Optional[float] = None) -> None:
        """Writes a value, creating the key as needed. type: sz, expand,
        multi, dword, qword, binary or none; data: str (sz, expand), int
        (dword, qword), a list of str (multi) or bytes (binary, none). name ""
        is the default value. UsageError for data that does not fit the type."""
        self.call(calls.reg_set(key, name, type, data, view32=view32), timeout=timeout)

    def reg_rm(self, key: str, *, view32: bool = False, timeout: Optional[float] = None) -> None:
        """Deletes the key and everything below it; a missing key is no error."""
        self.call(calls.reg_rm(key, view32=view32), timeout=timeout)

    def reg_rm_value(self, key: str, name: str, *, view32: bool = False, timeout: Optional[float] = None) -> None:
        """Deletes one value ("" the default value)."""
        self.call(calls.reg_rm_value(key, name, view32=view32), timeout=timeout)

    def reg_export(self, key: str, file: UnixPath, *, format: ExportFormat = "utf16", view32: bool = False,
                   timeout: Optional[float] = None) -> ExportResult:
        """Writes the key's tree to a .reg file: utf16 (what Wine's editor
        writes), utf8 or regedit4."""
        return self.call(calls.reg_export(key, file, format=format, view32=view32), timeout=timeout)

    def reg_import(self, file: UnixPath, *, to: Optional[str] = None, from_key: Optional[str] = None,
                   view32: bool = False, timeout: Optional[float] = None) -> ImportResult:
        """Applies a .reg file; to/from_key move its keys from one place to another."""
        return self.call(calls.reg_import(file, to=to, from_key=from_key, view32=view32), timeout=timeout)

    # Paths, drives and folders.
    def unix_path(self, windows_path: str, *, timeout: Optional[float] = None) -> str:
        """The Unix path of a Windows path (as winepath -u)."""
        return self.call(calls.unix_path(windows_path), timeout=timeout)

    def windows_path(self, unix_path: UnixPath, *, timeout: Optional[float] = None) -> str:
        """The Windows path of a Unix path (as winepath -w)."""
        return self.call(calls.windows_path(unix_path), timeout=timeout)

    def drive_add(self, unix_dir: UnixPath, *, timeout: Optional[float] = None) -> DriveAdded:
        """Maps the folder to a free letter, or gives the letter that maps it already."""
        return self.call(calls.drive_add(unix_dir), timeout=timeout)

    def drive_rm(self, letter: str, *, force: bool = False, timeout: Optional[float] = None) -> None:
        """Unmaps a letter (B: to Y:); C: and Z: only with force."""
        self.call(calls.drive_rm(letter, force=force), timeout=timeout)

    def drives(self, *, timeout: Optional[float] = None) -> List[Drive]:
        """Every drive letter and its Unix folder."""
        return self.call(calls.drives(), timeout=timeout)

    def find(self, pattern: str, *, max_results: Optional[int] = None,
             timeout: Optional[float] = None) -> List[DirEntry]:
        """The entries a Windows pattern (C:\\windows\\*.exe) matches."""
        return self.call(calls.find(pattern, max_results=max_results), timeout=timeout)

    def folder(self, name: str, *, timeout: Optional[float] = None) -> str:
        """A well-known folder's Windows path ("AppData", "Desktop", ...)."""
        return self.call(calls.folder(name), timeout=timeout)

    def expand(self, text: str, *, timeout: Optional[float] = None) -> str:
        """%NAME% references in text expanded as programs in the prefix expand
        them (what `cmd /c echo` prints); unknown names stay as they are."""
        return self.call(calls.expand(text), timeout=timeout)

    def env(self, name: str, *, timeout: Optional[float] = None) -> str:
        """An environment variable as Windows programs see it."""
        return self.call(calls.env(name), timeout=timeout)

    def system_dir(self, *, timeout: Optional[float] = None) -> str:
        """C:\\windows\\system32, as the server sees it."""
        return self.call(calls.system_dir(), timeout=timeout)

    def windows_dir(self, *, timeout: Optional[float] = None) -> str:
        """C:\\windows, as the server sees it."""
        return self.call(calls.windows_dir(), timeout=timeout)

    # What Wine's configuration tool sets. app: one program ("game.exe").
    def winver(self, *, app: Optional[str] = None, timeout: Optional[float] = None) -> WindowsVersion:
        """The Windows version programs see (for one app, or the prefix)."""
        return self.call(calls.winver(app=app), timeout=timeout)

    def winver_set(self, version: Union[WindowsVersionName, str], *, app: Optional[str] = None,
                   timeout: Optional[float] = None) -> None:
        """Sets the Windows version as Wine's configuration tool does."""
        self.call(calls.winver_set(version, app=app), timeout=timeout)

    def winver_list(self, *, timeout: Optional[float] = None) -> List[VersionChoice]:
        """The versions this prefix's Wine offers, with their descriptions."""
        return self.call(calls.winver_list(), timeout=timeout)

    def dll_overrides(self, *, app: Optional[str] = None, timeout: Optional[float] = None) -> List[DllOverride]:
        """Every DLL override (of one app, or the prefix's)."""
        return self.call(calls.dll_overrides(app=app), timeout=timeout)

    def dll_override(self, dll: str, *, app: Optional[str] = None, timeout: Optional[float] = None) -> DllOverride:
        """One DLL's override; NotFound when it has none."""
        return self.call(calls.dll_override(dll, app=app), timeout=timeout)

    def dll_set(self, dll: str, mode: Union[DllMode, str], *, app: Optional[str] = None,
                timeout: Optional[float] = None) -> None:
        """Sets a DLL's override: native, builtin, native,builtin,
        builtin,native or disabled (or n, b, n,b, b,n)."""
        self.call(calls.dll_set(dll, mode, app=app), timeout=timeout)

    def dll_rm(self, dll: str, *, app: Optional[str] = None, timeout: Optional[float] = None) -> bool:
        """Removes a DLL's override; True when there was one."""
        return self.call(calls.dll_rm(dll, app=app), timeout=timeout)

    def info(self, *, timeout: Optional[float] = None) -> PrefixInfo:
        """The prefix's facts: Windows version, arch, drives, folders, Wine update."""
        return self.call(calls.info(), timeout=timeout)
