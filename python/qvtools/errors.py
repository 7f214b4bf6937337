"""The package's exceptions: what `qvctl --json` reports as its error object,
raised as the class of its kind. Every one is a QvError."""
from __future__ import annotations

from typing import Any, Mapping, Optional, Type

# Win32 errors that mean "no such key, value, file or folder".
_NOT_FOUND_CODES = (2, 3)


class QvError(Exception):
    """A command failed.

    kind: the schema's error kind (usage and refused: exit 2; environment:
    exit 3; failed, server, win32, incomplete: exit 1) or this package's own
    ("timeout", "closed");
    code: the Win32 error or None; exit: qvctl's exit code for it (2 what was
    given, 1 what the prefix refused, 3 the environment); partial: the result
    object when the command still read something (an incomplete listing keeps
    what it read).
    """

    def __init__(self, kind: str, message: str, code: Optional[int] = None, exit: int = 1,
                 partial: Optional[Mapping[str, Any]] = None) -> None:
        super().__init__(message)
        self.kind = kind
        self.message = message
        self.code = code
        self.exit = exit
        self.partial = partial

    @staticmethod
    def from_result(result: Mapping[str, Any]) -> "QvError":
        """The exception of the class that fits a failed result."""
        error = result.get("error") or {}
        code = error.get("code")
        exit = int(result.get("exit", 1))
        cls: Type[QvError]
        if exit == 2:
            cls = UsageError
        elif exit == 3:
            cls = ServerGone
        elif code in _NOT_FOUND_CODES:
            cls = NotFound
        else:
            cls = Refused
        return cls(str(error.get("kind", "server")), str(error.get("message", "the command failed")), code, exit,
                   result)

    def __str__(self) -> str:
        return self.message


class UsageError(QvError):
    """Refused before anything was sent: a bad key, type, number or option
    (qvctl's exit 2). The prefix is unchanged."""


class Refused(QvError):
    """The prefix refused or failed the operation (qvctl's exit 1)."""


class NotFound(Refused):
    """No such key, value, file or folder (Win32 error 2 or 3)."""


class ServerGone(QvError):
    """The server, the agent or what they need is gone or broken: qvctl
    serve ended, the prefix or Wine is missing (qvctl's exit 3). Whether the
    request in flight took effect is unknown; the next call starts anew."""


class Timeout(QvError):
    """No answer within the timeout. The request may still take effect;
    its late answer is dropped."""
