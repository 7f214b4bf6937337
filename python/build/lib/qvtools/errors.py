"""The one exception type: what `qvctl --json` reports as its error object."""
from __future__ import annotations

from typing import Any, Mapping, Optional


class QvError(Exception):
    """A command failed.

    kind: usage, environment, refused, server, win32 or incomplete (the
    schema's error kinds); code: the Win32 error or None; exit: qvctl's exit
    code for it (2 what was given, 1 what the prefix refused, 3 the
    environment); partial: the result object when the command still read
    something (an incomplete listing keeps what it read).
    """

    def __init__(self, kind: str, message: str, code: Optional[int] = None, exit: int = 1,
                 partial: Optional[Mapping[str, Any]] = None) -> None:
        super().__init__(message)
        self.kind = kind
        self.message = message
        self.code = code
        self.exit = exit
        self.partial = partial

    @classmethod
    def from_result(cls, result: Mapping[str, Any]) -> "QvError":
        error = result.get("error") or {}
        return cls(str(error.get("kind", "server")), str(error.get("message", "the command failed")),
                   error.get("code"), int(result.get("exit", 1)), result)

    def __str__(self) -> str:
        return self.message
