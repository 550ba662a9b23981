"""Exceptions of the binding, one class per result code of the library.

Every failure of the library is a VaultError carrying the library's own
message (for example "cipher_save: invalid json"), its result code
(`code`, an ErrorCode) and the system's errno behind it (`errno`, 0 when
there was none). The class says which code it was: NotFoundError (the
account, item, folder or trashed item asked for is not there),
AlreadyExistsError (the e-mail address is registered, or the destination
of a trash or restore move already holds that identifier), InvalidError,
TooLargeError, NoRootError, NoSpaceError, OutOfMemoryError, BusyError,
StaleError, CorruptError, StorageIOError, ChangedError and MismatchError (a
compare-and-swap found another value stored: the current master-password
hash differs). Failures the binding itself
reports (a closed Vault, a second data root) are plain VaultErrors with no
code.
"""

from __future__ import annotations

import enum
from typing import Dict, Optional, Type


class ErrorCode(enum.IntEnum):
    """The library's result codes (vault_storage_last_error_code)."""

    OK = 0
    NOT_FOUND = 1
    EXISTS = 2
    INVALID = 3
    TOO_LARGE = 4
    NO_ROOT = 5
    NO_SPACE = 6
    NO_MEMORY = 7
    BUSY = 8
    STALE = 9
    CORRUPT = 10
    IO = 11
    MISMATCH = 12
    CHANGED = 13


class VaultError(Exception):
    """A call into the library failed. `message` is the library's text,
    `function` the export that failed, `code` its ErrorCode (None for the
    binding's own failures) and `errno` the system's error number (0 when
    there was none)."""

    def __init__(self, message: str, function: str = "", code: Optional[int] = None,
                 errno: int = 0) -> None:
        super().__init__(message)
        self.message = message
        self.function = function
        self.code = _code(code) if code is not None else None
        self.errno = errno


class NotFoundError(VaultError):
    """The thing asked for is missing."""


class AlreadyExistsError(VaultError):
    """The thing to be created, or the destination of a move, is already there."""


class InvalidError(VaultError):
    """An argument the library refuses: a malformed id, empty or invalid
    JSON, an empty e-mail, invalid UTF-8, a profile too large to store."""


class TooLargeError(VaultError):
    """A result does not fit the library's fixed limit."""


class NoRootError(VaultError):
    """The library has no data root."""


class NoSpaceError(VaultError):
    """The file system is full."""


class OutOfMemoryError(VaultError):
    """The library ran out of memory."""


class BusyError(VaultError):
    """A lock held by another writer was not had in time; trying again
    later may succeed."""


class StaleError(VaultError):
    """A shared file system kept refusing with a stale handle."""


class CorruptError(VaultError):
    """A stored document is not what it must be."""


class StorageIOError(VaultError):
    """Any other failure of the system (see `errno`)."""


class MismatchError(VaultError):
    """A change made only if the stored value equals the one presented found
    another value stored."""


class ChangedError(VaultError):
    """The items a replacement of the vault was given are no longer the ones
    stored: read the vault again."""


_BY_CODE: Dict[int, Type[VaultError]] = {
    ErrorCode.NOT_FOUND: NotFoundError,
    ErrorCode.EXISTS: AlreadyExistsError,
    ErrorCode.INVALID: InvalidError,
    ErrorCode.TOO_LARGE: TooLargeError,
    ErrorCode.NO_ROOT: NoRootError,
    ErrorCode.NO_SPACE: NoSpaceError,
    ErrorCode.NO_MEMORY: OutOfMemoryError,
    ErrorCode.BUSY: BusyError,
    ErrorCode.STALE: StaleError,
    ErrorCode.CORRUPT: CorruptError,
    ErrorCode.IO: StorageIOError,
    ErrorCode.MISMATCH: MismatchError,
    ErrorCode.CHANGED: ChangedError,
}


def _code(code: int) -> int:
    try:
        return ErrorCode(code)
    except ValueError:  # a code of a newer library
        return code


def error_for(code: int, errno: int, message: str, function: str) -> VaultError:
    """The exception for a failed call's code, errno and message. A code this
    binding does not know (a newer library's) gives a plain VaultError."""
    return _BY_CODE.get(code, VaultError)(message, function, code, errno)
