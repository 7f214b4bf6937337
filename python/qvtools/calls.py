"""One pure builder per client command: the qvctl words to send and how its
JSON result becomes a typed value. Prefix runs them one at a time or
pipelined; nothing here talks to a process."""
from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Callable, Generic, List, Mapping, Optional, Sequence, TypeVar, Union

from .errors import QvError
from .types import (DirEntry, DllMode, DllOverride, Drive, DriveAdded, ExportFormat, ExportResult, ImportResult,
                    PrefixInfo, RegKey, RegType, RegValue, VersionChoice, WindowsVersion, WindowsVersionName)

T = TypeVar("T")
Json = Mapping[str, Any]
# A file or folder on the Unix side: a str or any os.PathLike (pathlib.Path).
UnixPath = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Call(Generic[T]):
    """One command: qvctl's words and how its result becomes a T."""
    argv: List[str]
    parse: Callable[[Json], T]


def _unix(path: UnixPath) -> str:
    return os.fspath(path)


def _none(_: Json) -> None:
    return None


def _view(argv: List[str], view32: bool) -> List[str]:
    return argv + ["--32"] if view32 else argv


def _name(argv: List[str], name: str) -> List[str]:
    # The default value has no name; "--" keeps a name starting with "-" a name.
    return argv + ["--default"] if name == "" else argv + ["--", name]


def reg_key(key: str, *, view32: bool = False) -> Call[RegKey]:
    return Call(_view(["reg", "get", key], view32), RegKey.from_json)


def reg_value(key: str, name: str, *, view32: bool = False) -> Call[RegValue]:
    """name "" is the key's default value."""
    return Call(_name(_view(["reg", "get", key], view32), name), lambda r: RegValue.from_json(r["value"]))


def reg_tree(key: str, *, view32: bool = False) -> Call[List[RegKey]]:
    return Call(_view(["reg", "get", "-s", key], view32), lambda r: [RegKey.from_json(k) for k in r["keys"]])


RegData = Union[str, int, Sequence[str], bytes, None]


def _data_words(type: str, data: RegData) -> List[str]:
    if data is None:
        return []
    if isinstance(data, (bytes, bytearray)):
        return [bytes(data).hex()]
    if isinstance(data, bool):
        raise TypeError("registry data cannot be a bool")
    if isinstance(data, int):
        return [str(data)]
    if isinstance(data, str):
        return [data]
    return [str(s) for s in data]


def reg_set(key: str, name: str, type: Union[RegType, str], data: RegData, *, view32: bool = False) -> Call[None]:
    """type: sz, expand, multi, dword, qword, binary or none; data: str, int,
    a list of str (multi) or bytes (binary, none). name "" is the default value."""
    argv = _view(["reg", "set", key], view32)
    argv += ["--default", "--", type] if name == "" else ["--", name, type]
    return Call(argv + _data_words(type, data), _none)


def reg_rm(key: str, *, view32: bool = False) -> Call[None]:
    return Call(_view(["reg", "rm", key], view32), _none)


def reg_rm_value(key: str, name: str, *, view32: bool = False) -> Call[None]:
    return Call(_name(_view(["reg", "rm-value", key], view32), name), _none)


def reg_export(key: str, file: UnixPath, *, format: ExportFormat = "utf16",
               view32: bool = False) -> Call[ExportResult]:
    """format: utf16 (what Wine's editor writes), utf8 or regedit4."""
    return Call(_view(["reg", "export", key, _unix(file), "--" + format], view32), ExportResult.from_json)


def reg_import(file: UnixPath, *, to: Optional[str] = None, from_key: Optional[str] = None,
               view32: bool = False) -> Call[ImportResult]:
    argv = _view(["reg", "import", _unix(file)], view32)
    if to is not None:
        argv += ["--to", to]
    if from_key is not None:
        argv += ["--from", from_key]
    return Call(argv, ImportResult.from_json)


def _one_path(r: Json) -> str:
    item = r["paths"][0]
    if "error" in item:
        raise QvError.from_result({"error": item["error"], "exit": r.get("exit", 1)})
    return str(item["path"])


def unix_path(windows_path: str) -> Call[str]:
    return Call(["path", "unix", "--", windows_path], _one_path)


def windows_path(unix_path: UnixPath) -> Call[str]:
    return Call(["path", "windows", "--", _unix(unix_path)], _one_path)


def drive_add(unix_dir: UnixPath) -> Call[DriveAdded]:
    """The letter that maps the folder, new or already there."""
    return Call(["drive", "add", "--", _unix(unix_dir)], DriveAdded.from_json)


def drive_rm(letter: str, *, force: bool = False) -> Call[None]:
    return Call(["drive", "rm", letter] + (["--force"] if force else []), _none)


def drives() -> Call[List[Drive]]:
    return Call(["drive", "list"], lambda r: [Drive.from_json(d) for d in r["drives"]])


def find(pattern: str, *, max_results: Optional[int] = None) -> Call[List[DirEntry]]:
    argv = ["find", pattern] + (["--max", str(max_results)] if max_results is not None else [])
    return Call(argv, lambda r: [DirEntry.from_json(e) for e in r["entries"]])


def folder(name: str) -> Call[str]:
    return Call(["folder", name], lambda r: str(r["path"]))


def env(name: str) -> Call[str]:
    return Call(["env", name], lambda r: str(r["value"]))


def expand(text: str) -> Call[str]:
    """%NAME% references expanded as programs in the prefix expand them."""
    return Call(["expand", "--", text], lambda r: str(r["expanded"]))


def system_dir() -> Call[str]:
    return Call(["dir", "system"], lambda r: str(r["path"]))


def windows_dir() -> Call[str]:
    return Call(["dir", "windows"], lambda r: str(r["path"]))


def _app(argv: List[str], app: Optional[str]) -> List[str]:
    return argv + ["--app", app] if app else argv


def winver(*, app: Optional[str] = None) -> Call[WindowsVersion]:
    return Call(_app(["winver"], app), WindowsVersion.from_json)


def winver_set(version: Union[WindowsVersionName, str], *, app: Optional[str] = None) -> Call[None]:
    """version: a word Wine's configuration tool offers (winver_list)."""
    return Call(_app(["winver", "set", version], app), _none)


def winver_list() -> Call[List[VersionChoice]]:
    return Call(["winver", "list"], lambda r: [VersionChoice.from_json(v) for v in r["versions"]])


def dll_overrides(*, app: Optional[str] = None) -> Call[List[DllOverride]]:
    return Call(_app(["dll", "list"], app), lambda r: [DllOverride.from_json(o) for o in r["overrides"]])


def dll_override(dll: str, *, app: Optional[str] = None) -> Call[DllOverride]:
    return Call(_app(["dll", "get", dll], app), DllOverride.from_json)


def dll_set(dll: str, mode: Union[DllMode, str], *, app: Optional[str] = None) -> Call[None]:
    return Call(_app(["dll", "set", dll, mode], app), _none)


def dll_rm(dll: str, *, app: Optional[str] = None) -> Call[bool]:
    """True when there was an override to remove."""
    return Call(_app(["dll", "rm", dll], app), lambda r: bool(r.get("removed", True)))


def agent_stop() -> Call[bool]:
    """True when an agent ran (it has ended when the answer comes)."""
    return Call(["agent", "stop"], lambda r: "stopped_pid" in r)


def info() -> Call[PrefixInfo]:
    return Call(["info"], PrefixInfo.from_json)
