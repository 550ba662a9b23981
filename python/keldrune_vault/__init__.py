"""keldrune_vault: the keldrune vault storage library from Python.

    from keldrune_vault import Vault, NotFoundError

    with Vault("/var/lib/keldrune-vault") as vault:
        user_id = vault.user_create("alice@example.org", "hash", 600000, "key")
        item_id = vault.cipher_save(user_id, '{"type":1}')
        print(vault.sync_generate_json(user_id))

The shared library is loaded through ctypes: from an explicit path
(Vault(..., library=PATH)), else from $KELDRUNE_VAULT_LIB, else by its
installed SONAME libkeldrune-vault-storage.so.0. No compiler is needed.

One library state per process: the library holds one data root, so all
Vault objects of a process share it; a Vault of a second root is refused
until every Vault of the first is closed. Every method is safe to call from
several threads at once.
"""

from ._native import ENV_LIBRARY, SONAME, find_library
from .errors import (AlreadyExistsError, BusyError, CorruptError, ErrorCode, InvalidError,
                     ChangedError, MismatchError,                      NoRootError, NoSpaceError, NotFoundError, OutOfMemoryError, StaleError,
                     StorageIOError, TooLargeError, VaultError)
from .vault import Account, Vault, library_version

__version__ = "0.1.0"

__all__ = [
    "Account",
    "AlreadyExistsError",
    "BusyError",
    "CorruptError",
    "ENV_LIBRARY",
    "ErrorCode",
    "InvalidError",
    "ChangedError",
    "MismatchError",
    "NoRootError",
    "NoSpaceError",
    "NotFoundError",
    "OutOfMemoryError",
    "SONAME",
    "StaleError",
    "StorageIOError",
    "TooLargeError",
    "Vault",
    "VaultError",
    "find_library",
    "library_version",
]
