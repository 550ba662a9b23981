"""Loading the shared library and calling its exports.

The library is loaded once per process (a second copy from another file
would be a second, separate library state) and each export is resolved by
name with its C signature. ctypes releases the interpreter lock for the
length of every call, so calls from several threads run in the library at
once; the library's last-error text, code and errno are per thread, so
what is read right after a failure is that failure's.
"""

from __future__ import annotations

import ctypes
import os
import threading
from typing import Any, Dict, List, Optional, Tuple, Union

from .errors import VaultError, error_for

SONAME = "libkeldrune-vault-storage.so.0"
ENV_LIBRARY = "KELDRUNE_VAULT_LIB"

_c_int = ctypes.c_int
_c_str = ctypes.c_char_p
_c_buf = ctypes.c_char_p  # a create_string_buffer() or None
_c_ptr = ctypes.c_void_p  # a text the caller releases with vault_free
_c_len = ctypes.POINTER(ctypes.c_size_t)

# name: (result type, argument types). The fixed-buffer text functions are
# left out on purpose: their _alloc twins have no size limit and no buffer
# shared between calls.
SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "vault_storage_init": (_c_int, [_c_str]),
    "vault_storage_cleanup": (None, []),
    "vault_storage_last_error": (_c_str, []),
    "vault_storage_last_error_code": (_c_int, []),
    "vault_storage_last_errno": (_c_int, []),
    "vault_storage_version": (_c_str, []),
    "vault_free": (None, [_c_ptr]),
    "vault_user_exists": (_c_int, [_c_str]),
    "vault_user_find_by_email": (
        _c_int, [_c_str, _c_buf, ctypes.POINTER(ctypes.c_uint32), _c_buf, _c_buf]),
    "vault_user_create": (_c_int, [_c_str, _c_str, ctypes.c_uint32, _c_str, _c_buf]),
    "vault_user_get_profile_json_alloc": (_c_ptr, [_c_str, _c_len]),
    "vault_cipher_save": (_c_int, [_c_str, _c_str, _c_buf]),
    "vault_cipher_get_alloc": (_c_ptr, [_c_str, _c_str, _c_len]),
    "vault_cipher_delete": (_c_int, [_c_str, _c_str, _c_int]),
    "vault_cipher_restore_from_trash": (_c_int, [_c_str, _c_str]),
    "vault_folders_get_json_alloc": (_c_ptr, [_c_str, _c_len]),
    "vault_folder_save": (_c_int, [_c_str, _c_str, _c_buf]),
    "vault_folder_delete": (_c_int, [_c_str, _c_str]),
    "vault_sync_generate_json_alloc": (_c_ptr, [_c_str, _c_len]),
    "vault_storage_get_stats_json_alloc": (_c_ptr, [_c_len]),
    "vault_user_set_credentials": (_c_int, [_c_str, _c_str, _c_str, ctypes.c_uint32, _c_str]),
    "vault_user_change_email": (_c_int, [_c_str, _c_str]),
    "vault_user_delete": (_c_int, [_c_str]),
    "vault_user_revision_alloc": (_c_ptr, [_c_str, _c_len]),
    "vault_user_replace_vault": (_c_int, [_c_str, _c_str, _c_str, ctypes.c_uint32, _c_str,
                                          _c_str, _c_str, _c_str]),
}

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Library:
    """The loaded library: its path and its exports by name."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            self.cdll = ctypes.CDLL(path)
        except OSError as e:
            raise OSError(
                "cannot load the keldrune vault storage library %s (%s): install it "
                "(package libkeldrune-vault-storage0), or name its file with $%s or "
                "Vault(..., library=PATH)" % (path, e, ENV_LIBRARY)) from e
        self.fn: Dict[str, Any] = {}
        missing = []
        for name, (restype, argtypes) in SIGNATURES.items():
            try:
                fn = getattr(self.cdll, name)
            except AttributeError:
                missing.append(name)
                continue
            fn.restype = restype
            fn.argtypes = argtypes
            self.fn[name] = fn
        if missing:
            raise OSError("%s lacks %s: this package needs a library with the _alloc "
                          "functions, vault_free and the result codes"
                          % (path, ", ".join(missing)))

    def last_error(self) -> str:
        raw = self.fn["vault_storage_last_error"]()
        return raw.decode("utf-8", errors="replace") if raw else ""

    def last_error_code(self) -> int:
        return self.fn["vault_storage_last_error_code"]()

    def last_failure(self, function: str) -> VaultError:
        """The exception for this thread's failed call of function: its
        code, errno and message."""
        return error_for(self.last_error_code(), self.fn["vault_storage_last_errno"](),
                         self.last_error(), function)

    def alloc_text(self, name: str, *args: Any) -> Optional[bytes]:
        """Calls an _alloc export: its text, or None on failure. The
        library's copy is released before this returns."""
        length = ctypes.c_size_t(0)
        ptr = self.fn[name](*args, ctypes.byref(length))
        if not ptr:
            return None
        try:
            return ctypes.string_at(ptr, length.value)
        finally:
            self.fn["vault_free"](ptr)


def find_library(path: Optional[PathArg] = None) -> str:
    """What to load: an explicit path, else $KELDRUNE_VAULT_LIB, else the
    installed SONAME (found by the system's loader)."""
    if path is not None:
        return os.fsdecode(os.fspath(path))
    env = os.environ.get(ENV_LIBRARY)
    if env:
        return env
    return SONAME


_lock = threading.Lock()
_library: Optional[Library] = None


def load_library(path: Optional[PathArg] = None) -> Library:
    """The process's one copy of the library, loaded on first use. Asking
    for another file once one is loaded is refused: two copies would be two
    library states that know nothing of each other."""
    global _library
    wanted = find_library(path)
    with _lock:
        if _library is None:
            _library = Library(wanted)
        elif path is not None and not _same_file(_library.path, wanted):
            raise OSError("the library is already loaded from %s; one process uses one copy "
                          "(asked for %s)" % (_library.path, wanted))
        return _library


def _same_file(a: str, b: str) -> bool:
    if a == b:
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False
