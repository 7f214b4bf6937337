"""Typed results, each built from the JSON object qvctl prints for a command."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, List, Mapping, Optional, Union

Data = Union[str, int, List[str], bytes]

_TEXT_TYPES = {"REG_SZ", "REG_EXPAND_SZ", "REG_LINK"}
_NUMBER_TYPES = {"REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_QWORD"}


def _text(obj: Mapping[str, Any], name: str) -> str:
    return str(obj.get(name, ""))


def _exact(obj: Mapping[str, Any], name: str) -> bytes:
    """The exact bytes of a string field: its "<name>_hex" twin when the text is not UTF-8."""
    if name + "_hex" in obj:
        return bytes.fromhex(obj[name + "_hex"])
    return _text(obj, name).encode("utf-8")


@dataclass(frozen=True)
class RegValue:
    """A registry value: `raw` holds the stored bytes exactly; `data` is them
    read by type (str, int, list of str, or the bytes themselves)."""
    name: str
    type: str
    type_code: int
    raw: bytes
    data: Data

    @classmethod
    def from_json(cls, v: Mapping[str, Any]) -> "RegValue":
        raw = bytes.fromhex(v.get("hex", ""))
        kind = v["type"]
        data: Data
        if kind == "REG_MULTI_SZ" and isinstance(v.get("data"), list):
            data = [str(s) for s in v["data"]]
        elif kind in _TEXT_TYPES and isinstance(v.get("data"), str):
            data = v["data"]
        elif kind in _NUMBER_TYPES and isinstance(v.get("data"), (int, str)) and str(v["data"]).isdigit():
            data = int(v["data"])  # a QWORD comes as a decimal string: no digit lost
        else:
            data = raw
        return cls(_text(v, "name"), kind, int(v["type_code"]), raw, data)


@dataclass(frozen=True)
class RegKey:
    """A key's listing: its values and the names of its subkeys."""
    path: str
    values: List[RegValue] = field(default_factory=list)
    subkeys: List[str] = field(default_factory=list)

    def get(self, name: str) -> Optional[RegValue]:
        """The value of that name (case as Windows folds it), or None."""
        for v in self.values:
            if v.name.lower() == name.lower():
                return v
        return None

    @classmethod
    def from_json(cls, k: Mapping[str, Any]) -> "RegKey":
        return cls(str(k["key"]), [RegValue.from_json(v) for v in k.get("values", [])],
                   [str(s) for s in k.get("subkeys", [])])


@dataclass(frozen=True)
class Drive:
    letter: str
    target: str
    exists: bool
    target_bytes: bytes = b""

    @classmethod
    def from_json(cls, d: Mapping[str, Any]) -> "Drive":
        return cls(str(d["letter"]), _text(d, "target"), bool(d["exists"]), _exact(d, "target"))


@dataclass(frozen=True)
class DirEntry:
    name: str
    directory: bool

    @classmethod
    def from_json(cls, e: Mapping[str, Any]) -> "DirEntry":
        return cls(_text(e, "name"), bool(e["directory"]))


@dataclass(frozen=True)
class ExportResult:
    key: str
    file: str
    keys: int
    values: int
    warnings: List[str]


@dataclass(frozen=True)
class ImportResult:
    file: str
    keys: int
    keys_deleted: int
    values_set: int
    values_deleted: int
    via_editor: int


@dataclass(frozen=True)
class WindowsVersion:
    """The version programs see, as Wine's configuration tool judges it:
    source is "app", "user" or "registry"; exact when the registry holds
    that version's values exactly."""
    version: str
    source: str
    exact: bool
    current_version: str = ""
    build: int = 0

    @classmethod
    def from_json(cls, v: Mapping[str, Any]) -> "WindowsVersion":
        return cls(str(v["version"]), str(v["source"]), bool(v["exact"]), str(v.get("current_version", "")),
                   int(v.get("build", 0)))


@dataclass(frozen=True)
class DllOverride:
    """dll without ".dll"; mode: native, builtin, native,builtin,
    builtin,native, disabled, or None for a stored text that is no mode."""
    dll: str
    text: str
    mode: Optional[str]

    @classmethod
    def from_json(cls, o: Mapping[str, Any]) -> "DllOverride":
        return cls(_text(o, "dll"), _text(o, "text"), o.get("mode"))


@dataclass(frozen=True)
class PrefixInfo:
    prefix: str
    windows_version: WindowsVersion
    arch: str
    processor: str
    last_updated_by: str
    drives: List[Drive]
    folders: Mapping[str, str]  # name -> Windows path

    @classmethod
    def from_json(cls, i: Mapping[str, Any]) -> "PrefixInfo":
        drives = [Drive(str(d["letter"]), _text(d, "target"), True, _exact(d, "target")) for d in i["drives"]]
        return cls(str(i["prefix"]), WindowsVersion.from_json(i["windows_version"]), str(i["arch"]),
                   str(i["processor"]), str(i["wine_update"]["last_updated_by"]), drives,
                   {str(f["name"]): _text(f, "windows_path") for f in i["folders"]})
