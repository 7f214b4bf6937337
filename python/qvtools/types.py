"""Typed results, each built from the JSON object qvctl prints for a command,
and the words the commands take."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, List, Literal, Mapping, Optional, Union

# The value types reg_set takes (qvctl's words; "REG_SZ" and friends work too).
RegType = Literal["sz", "expand", "multi", "dword", "qword", "binary", "none"]
# DLL override modes: the long words, or n, b, n,b, b,n.
DllMode = Literal["native", "builtin", "native,builtin", "builtin,native", "disabled", "n", "b", "n,b", "b,n"]
# The Windows versions Wine's configuration tool offers (Wine 8 and 10 together;
# winver_list() tells what the prefix's Wine offers).
WindowsVersionName = Literal["win11", "win10", "win81", "win8", "win2008r2", "win7", "win2008", "vista",
                             "win2003", "winxp64", "winxp", "win2k", "winme", "win98", "win95", "nt40", "nt351",
                             "win31", "win30", "win20"]
ExportFormat = Literal["utf16", "utf8", "regedit4"]
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
    read by type (str, int, list of str, or the bytes themselves); `name_bytes`
    the name's exact bytes (UTF-8, or what Wine stored where that is none)."""
    name: str
    type: str
    type_code: int
    raw: bytes
    data: Data
    name_bytes: bytes = b""

    def as_str(self) -> str:
        """The text of a REG_SZ, REG_EXPAND_SZ or REG_LINK; TypeError for others."""
        if isinstance(self.data, str):
            return self.data
        raise TypeError(f"{self.name!r} is {self.type}, not text")

    def as_int(self) -> int:
        """The number of a REG_DWORD or REG_QWORD; TypeError for others."""
        if isinstance(self.data, int):
            return self.data
        raise TypeError(f"{self.name!r} is {self.type}, not a number")

    def as_list(self) -> List[str]:
        """The strings of a REG_MULTI_SZ; TypeError for others."""
        if isinstance(self.data, list):
            return self.data
        raise TypeError(f"{self.name!r} is {self.type}, not a list of strings")

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
        return cls(_text(v, "name"), kind, int(v["type_code"]), raw, data, _exact(v, "name"))


@dataclass(frozen=True)
class RegKey:
    """A key's listing: its values and the names of its subkeys; complete is
    False when some could not be read (the rest is here)."""
    path: str
    values: List[RegValue] = field(default_factory=list)
    subkeys: List[str] = field(default_factory=list)
    complete: bool = True

    def get(self, name: str) -> Optional[RegValue]:
        """The value of that name (case as Windows folds it), or None."""
        for v in self.values:
            if v.name.lower() == name.lower():
                return v
        return None

    @classmethod
    def from_json(cls, k: Mapping[str, Any]) -> "RegKey":
        return cls(str(k["key"]), [RegValue.from_json(v) for v in k.get("values", [])],
                   [str(s) for s in k.get("subkeys", [])], bool(k.get("complete", True)))


@dataclass(frozen=True)
class Drive:
    """A drive letter and the Unix folder it maps (target_bytes exactly)."""
    letter: str
    target: str
    exists: bool
    target_bytes: bytes = b""

    @classmethod
    def from_json(cls, d: Mapping[str, Any]) -> "Drive":
        return cls(str(d["letter"]), _text(d, "target"), bool(d.get("exists", True)), _exact(d, "target"))


@dataclass(frozen=True)
class DriveAdded:
    """The letter that maps the folder; new is False when it was mapped already."""
    letter: str
    directory: str
    new: bool

    @classmethod
    def from_json(cls, d: Mapping[str, Any]) -> "DriveAdded":
        return cls(str(d["letter"]), _text(d, "directory"), bool(d.get("new", True)))


@dataclass(frozen=True)
class DirEntry:
    name: str
    directory: bool
    name_bytes: bytes = b""

    @classmethod
    def from_json(cls, e: Mapping[str, Any]) -> "DirEntry":
        return cls(_text(e, "name"), bool(e["directory"]), _exact(e, "name"))


@dataclass(frozen=True)
class ExportResult:
    """complete is False when some keys could not be read (listed in incomplete)."""
    key: str
    file: str
    keys: int
    values: int
    warnings: List[str]
    incomplete: List[str] = field(default_factory=list)

    @property
    def complete(self) -> bool:
        return not self.incomplete

    @classmethod
    def from_json(cls, r: Mapping[str, Any]) -> "ExportResult":
        return cls(str(r["key"]), str(r["file"]), int(r["keys"]), int(r["values"]),
                   [str(w) for w in r.get("warnings", [])], [str(k) for k in r.get("incomplete", [])])


@dataclass(frozen=True)
class ImportResult:
    """failures: what could not be written (the rest was)."""
    file: str
    keys: int
    keys_deleted: int
    values_set: int
    values_deleted: int
    via_editor: int
    failures: List[str] = field(default_factory=list)

    @classmethod
    def from_json(cls, r: Mapping[str, Any]) -> "ImportResult":
        return cls(str(r["file"]), int(r["keys"]), int(r["keys_deleted"]), int(r["values_set"]),
                   int(r["values_deleted"]), int(r["via_editor"]), [str(f) for f in r.get("failures", [])])


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
    product_name: str = ""
    product_type: str = ""
    csd_version: str = ""
    app: str = ""

    @classmethod
    def from_json(cls, v: Mapping[str, Any]) -> "WindowsVersion":
        return cls(str(v["version"]), str(v["source"]), bool(v["exact"]), _text(v, "current_version"),
                   int(v.get("build", 0)), _text(v, "product_name"), _text(v, "product_type"),
                   _text(v, "csd_version"), _text(v, "app"))


@dataclass(frozen=True)
class VersionChoice:
    """A version Wine's configuration tool offers: "win7", "Windows 7"."""
    name: str
    description: str

    @classmethod
    def from_json(cls, v: Mapping[str, Any]) -> "VersionChoice":
        return cls(str(v["name"]), _text(v, "description"))


@dataclass(frozen=True)
class DllOverride:
    """dll without ".dll"; mode: native, builtin, native,builtin,
    builtin,native, disabled, or None for a stored text that is no mode."""
    dll: str
    text: str
    mode: Optional[str]

    @classmethod
    def from_json(cls, o: Mapping[str, Any]) -> "DllOverride":
        mode = o.get("mode")
        return cls(_text(o, "dll"), _text(o, "text"), None if mode is None else str(mode))


@dataclass(frozen=True)
class Folder:
    """A well-known folder: name ("AppData"), its Windows and Unix paths."""
    name: str
    windows_path: str
    unix_path: str

    @classmethod
    def from_json(cls, f: Mapping[str, Any]) -> "Folder":
        return cls(str(f["name"]), _text(f, "windows_path"), _text(f, "unix_path"))


@dataclass(frozen=True)
class PrefixInfo:
    """Facts of the prefix. needs_update: the prefix was last updated by
    another Wine than this one (its next start runs wineboot's update)."""
    prefix: str
    windows_version: WindowsVersion
    arch: str
    processor: str
    last_updated_by: str
    drives: List[Drive]
    folders: Mapping[str, Folder]
    wine: str = ""
    needs_update: bool = False

    @classmethod
    def from_json(cls, i: Mapping[str, Any]) -> "PrefixInfo":
        update = i["wine_update"]
        return cls(str(i["prefix"]), WindowsVersion.from_json(i["windows_version"]), str(i["arch"]),
                   str(i["processor"]), str(update["last_updated_by"]), [Drive.from_json(d) for d in i["drives"]],
                   {str(f["name"]): Folder.from_json(f) for f in i["folders"]}, _text(update, "wine"),
                   not bool(update.get("by_this_wine", True)))
