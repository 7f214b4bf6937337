"""Inspect and change a Wine prefix fast: a thin client of `qvctl serve`.

    with qvtools.Prefix("/path/to/prefix") as p:
        p.reg_set(r"HKCU\\Software\\Demo", "Count", "dword", 31)
        print(p.reg_value(r"HKCU\\Software\\Demo", "Count").as_int())
"""
from . import calls
from .calls import Call
from .errors import NotFound, QvError, Refused, ServerGone, Timeout, UsageError
from .prefix import Prefix, default_prefix, find_qvctl
from .types import (DirEntry, DllMode, DllOverride, Drive, DriveAdded, ExportFormat, ExportResult, Folder,
                    ImportResult, PrefixInfo, RegKey, RegType, RegValue, VersionChoice, WindowsVersion,
                    WindowsVersionName)

__version__ = "0.2.0"

__all__ = ["Prefix", "QvError", "UsageError", "Refused", "NotFound", "ServerGone", "Timeout", "Call", "calls",
           "RegKey", "RegValue", "Drive", "DriveAdded", "DirEntry", "ExportResult", "ImportResult",
           "WindowsVersion", "VersionChoice", "DllOverride", "Folder", "PrefixInfo", "RegType", "DllMode",
           "WindowsVersionName", "ExportFormat", "default_prefix", "find_qvctl", "__version__"]
