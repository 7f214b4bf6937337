"""Inspect and change a Wine prefix fast: a thin client of `qvctl serve`.

    with qvtools.Prefix("/path/to/prefix") as p:
        p.reg_set(r"HKCU\\Software\\Demo", "Count", "dword", 31)
        print(p.reg_value(r"HKCU\\Software\\Demo", "Count").data)
"""
from . import calls
from .calls import Call
from .errors import QvError
from .prefix import Prefix, default_prefix, find_qvctl
from .types import (DirEntry, DllOverride, Drive, ExportResult, ImportResult, PrefixInfo, RegKey, RegValue,
                    WindowsVersion)

__all__ = ["Prefix", "QvError", "Call", "calls", "RegKey", "RegValue", "Drive", "DirEntry", "ExportResult",
           "ImportResult", "WindowsVersion", "DllOverride", "PrefixInfo", "default_prefix", "find_qvctl"]
