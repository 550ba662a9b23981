"""Exceptions of the binding, and which library result becomes which.

Every failure of the library is a VaultError carrying the library's own
message (for example "cipher_save: invalid json"). Two kinds a caller
usually handles on their own have subclasses: NotFoundError (the account,
item, folder or trashed item asked for is not there) and AlreadyExistsError
(the e-mail address is registered, or the destination of a trash or restore
move already holds that identifier). MismatchError: a compare-and-swap found
another value stored (the current master-password hash differs).
"""

from __future__ import annotations

from typing import Optional


class VaultError(Exception):
    """A call into the library failed. `message` is the library's text,
    `function` the export that failed."""

    def __init__(self, message: str, function: str = "") -> None:
        super().__init__(message)
        self.message = message
        self.function = function


class NotFoundError(VaultError):
    """The thing asked for is missing."""


class AlreadyExistsError(VaultError):
    """The thing to be created, or the destination of a move, is already there."""


class MismatchError(VaultError):
    """A change made only if the stored value equals the one presented found
    another value stored."""


# Failures that mean "missing", by the library's documented messages. The
# soft result 1 of the int functions means missing too (except for account
# creation, where it means the address is taken).
_NOT_FOUND = frozenset({
    "profile: not found",
    "cipher_get: not found",
    "sync: user not found",
    "cipher_delete: not found",
    "restore: not in trash",
    "folder_delete: no folders",
    "folder_delete: not found",
    "set_credentials: not found",
    "change_email: not found",
    "delete: not found",
    "revision: not found",
})
_ALREADY_EXISTS = frozenset({
    "create: email already registered",
    "cipher_delete: rename File exists",
    "restore: rename File exists",
    "change_email: email already registered",
})
_MISMATCH = frozenset({
    "set_credentials: hash mismatch",
})


def error_for(message: str, function: str, default: Optional[type] = None) -> VaultError:
    """The exception for a library message. `default` is the class to use
    when the message is not one of the known kinds (VaultError if None)."""
    if message in _NOT_FOUND:
        return NotFoundError(message, function)
    if message in _ALREADY_EXISTS:
        return AlreadyExistsError(message, function)
    if message in _MISMATCH:
        return MismatchError(message, function)
    return (default or VaultError)(message, function)
