"""A Wine prefix, asked and changed through one resident qvmanip server."""
from __future__ import annotations

import os
import shutil
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Union

from . import calls
from ._serve import Coprocess
from .calls import Call, RegData, T
from .errors import QvError
from .types import (DirEntry, DllOverride, Drive, ExportResult, ImportResult, PrefixInfo, RegKey, RegValue,
                    WindowsVersion)


def default_prefix() -> str:
    """WINEPREFIX, else ~/.wine, as Wine itself chooses."""
    return os.environ.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")


def find_qvctl() -> str:
    """QVCTL, else qvctl on PATH."""
    found = os.environ.get("QVCTL") or shutil.which("qvctl")
    if not found:
        raise QvError("environment", "qvctl not found: set QVCTL or put qvctl on PATH", None, 3)
    return found


class Prefix:
    """Every method sends one request over `qvctl serve` (through the
    prefix's agent when one runs) and returns a typed result, or raises
    QvError with the schema's kind, message and Win32 code. `batch` sends
    many at once."""

    def __init__(self, path: Optional[str] = None, *, qvctl: Optional[str] = None,
                 persist: Optional[float] = None, env: Optional[Mapping[str, str]] = None) -> None:
        self.path = os.path.abspath(path or default_prefix())
        command = [qvctl or find_qvctl(), "--prefix", self.path]
        if persist is not None:
            command += ["--persist", str(persist)]
        self._serve = Coprocess(command + ["serve"], env)

    def __enter__(self) -> "Prefix":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        self._serve.close()

    @property
    def hello(self) -> Dict[str, Any]:
        """The protocol's greeting (its version among it)."""
        return self._serve.hello

    # The raw form: qvctl's own words, its JSON result.
    def run(self, argv: Sequence[str]) -> Dict[str, Any]:
        r = self._serve.request(argv)
        if not r.get("ok"):
            raise QvError.from_result(r)
        return r

    def call(self, c: "Call[T]") -> T:
        return c.parse(self.run(c.argv))

    def batch(self, cs: Iterable["Call[Any]"]) -> List[Union[Any, QvError]]:
        """Pipelines the calls (built with qvtools.calls) and returns, in
        order, each one's result or its QvError."""
        cs = list(cs)
        out: List[Union[Any, QvError]] = []
        for c, r in zip(cs, self._serve.pipeline([c.argv for c in cs])):
            try:
                out.append(c.parse(r) if r.get("ok") else QvError.from_result(r))
            except QvError as e:
                out.append(e)
        return out

    # Registry. A name "" is the key's default value; view32 the 32-bit view.
    def reg_key(self, key: str, *, view32: bool = False) -> RegKey:
        return self.call(calls.reg_key(key, view32=view32))

    def reg_value(self, key: str, name: str, *, view32: bool = False) -> RegValue:
        return self.call(calls.reg_value(key, name, view32=view32))

    def reg_tree(self, key: str, *, view32: bool = False) -> List[RegKey]:
        return self.call(calls.reg_tree(key, view32=view32))

    def reg_set(self, key: str, name: str, type: str, data: RegData, *, view32: bool = False) -> None:
        self.call(calls.reg_set(key, name, type, data, view32=view32))

    def reg_rm(self, key: str, *, view32: bool = False) -> None:
        self.call(calls.reg_rm(key, view32=view32))

    def reg_rm_value(self, key: str, name: str, *, view32: bool = False) -> None:
        self.call(calls.reg_rm_value(key, name, view32=view32))

    def reg_export(self, key: str, file: str, *, format: str = "utf16", view32: bool = False) -> ExportResult:
        return self.call(calls.reg_export(key, file, format=format, view32=view32))

    def reg_import(self, file: str, *, to: Optional[str] = None, from_key: Optional[str] = None,
                   view32: bool = False) -> ImportResult:
        return self.call(calls.reg_import(file, to=to, from_key=from_key, view32=view32))

    # Paths, drives and folders.
    def unix_path(self, windows_path: str) -> str:
        return self.call(calls.unix_path(windows_path))

    def windows_path(self, unix_path: str) -> str:
        return self.call(calls.windows_path(unix_path))

    def drive_add(self, unix_dir: str) -> str:
        return self.call(calls.drive_add(unix_dir))

    def drive_rm(self, letter: str, *, force: bool = False) -> None:
        self.call(calls.drive_rm(letter, force=force))

    def drives(self) -> List[Drive]:
        return self.call(calls.drives())

    def find(self, pattern: str, *, max_results: Optional[int] = None) -> List[DirEntry]:
        return self.call(calls.find(pattern, max_results=max_results))

    def folder(self, name: str) -> str:
        return self.call(calls.folder(name))

    def expand(self, text: str) -> str:
        """%NAME% references in text expanded as programs in the prefix expand
        them (what `cmd /c echo` prints); unknown names stay as they are."""
        return self.call(calls.expand(text))

    def env(self, name: str) -> str:
        return self.call(calls.env(name))

    def system_dir(self) -> str:
        return self.call(calls.system_dir())

    def windows_dir(self) -> str:
        return self.call(calls.windows_dir())

    # What Wine's configuration tool sets. app: one program ("game.exe").
    def winver(self, *, app: Optional[str] = None) -> WindowsVersion:
        return self.call(calls.winver(app=app))

    def winver_set(self, version: str, *, app: Optional[str] = None) -> None:
        self.call(calls.winver_set(version, app=app))

    def winver_list(self) -> List[str]:
        return self.call(calls.winver_list())

    def dll_overrides(self, *, app: Optional[str] = None) -> List[DllOverride]:
        return self.call(calls.dll_overrides(app=app))

    def dll_override(self, dll: str, *, app: Optional[str] = None) -> DllOverride:
        return self.call(calls.dll_override(dll, app=app))

    def dll_set(self, dll: str, mode: str, *, app: Optional[str] = None) -> None:
        self.call(calls.dll_set(dll, mode, app=app))

    def dll_rm(self, dll: str, *, app: Optional[str] = None) -> None:
        self.call(calls.dll_rm(dll, app=app))

    def info(self) -> PrefixInfo:
        return self.call(calls.info())
