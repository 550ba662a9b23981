"""The Vault object: the process's data root and every operation on it.

The library keeps one data root per process. Vault objects therefore share
that one state: opening a Vault initialises the library with its root,
further Vaults of the same root share it, and a Vault of another root is
refused (VaultError) until every Vault of the first root is closed. The
last close waits for calls still running in other threads, then releases
the root.

Every method may be called from any thread without a lock of the caller's:
the library is safe across threads and ctypes releases the interpreter lock
during each call. Failures raise VaultError, as the subclass of the
library's result code (NotFoundError, AlreadyExistsError, InvalidError, ...:
see errors.py) with its message, code and errno; wrong argument types raise
TypeError and values the C interface cannot carry raise ValueError, before
the library is called.

Texts passed in are str (sent as UTF-8) or bytes (sent unchanged). Texts
returned are str decoded from UTF-8; stored bytes that are not UTF-8 come
back as surrogate escapes, and a str holding them is sent back as the same
bytes, so documents round-trip exactly.
"""

from __future__ import annotations

import ctypes
import os
import threading
from contextlib import contextmanager
from typing import Iterator, NamedTuple, Optional, Union

from ._native import Library, PathArg, load_library
from .errors import ErrorCode, NotFoundError, VaultError

Text = Union[str, bytes]

ID_SIZE = 37
HASH_SIZE = 128
KEY_SIZE = 512
UINT32_MAX = 2**32 - 1

# A first byte no stored text can start with (0xFF never occurs in UTF-8):
# the library leaves the hash and key buffers untouched when the profile
# lacks them, which tells that apart from an empty string.
_UNTOUCHED = b"\xff"


class Account(NamedTuple):
    """What a lookup by e-mail returns. The hash is cut to 127 bytes and the
    key to 511 by the library's buffers; None when the profile lacks them."""

    user_id: str
    iterations: int
    master_password_hash: Optional[str]
    protected_key: Optional[str]


# ---- argument checks -------------------------------------------------------------

def _bytes(value: object, name: str) -> bytes:
    if isinstance(value, str):
        data = value.encode("utf-8", errors="surrogateescape")
    elif isinstance(value, bytes):
        data = value
    else:
        raise TypeError("%s must be str or bytes, not %s" % (name, type(value).__name__))
    if b"\0" in data:
        raise ValueError("%s holds a NUL character, which the C interface cannot carry" % name)
    return data


def _optional_bytes(value: object, name: str) -> Optional[bytes]:
    return None if value is None else _bytes(value, name)


def _uint32(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not 0 <= value <= UINT32_MAX:
        raise ValueError("%s must be between 0 and %d, not %d" % (name, UINT32_MAX, value))
    return value


def _flag(value: object, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError("%s must be a bool, not %s" % (name, type(value).__name__))
    return value


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", errors="surrogateescape")


# ---- the process's one library state ------------------------------------------

class _State:
    """Shared by every Vault: which root the library holds, how many open
    Vaults use it, how many calls are running."""

    cond = threading.Condition()
    root: Optional[bytes] = None  # absolute form, for comparing
    given: Optional[bytes] = None  # as passed to the library
    users = 0
    active = 0


def _require_data_root(root: bytes) -> None:
    """NotFoundError unless root is a data root: the library would create a
    missing one, and a mistyped path would then be an empty vault."""
    shown = os.fsdecode(root)
    if not os.path.isdir(root):
        raise NotFoundError(
            "no data root at %s (Vault(path, create=True) or Vault.init(path) makes one)"
            % shown, "vault_storage_init", ErrorCode.NOT_FOUND)
    for name, is_kind in ((b"users", os.path.isdir), (b"config.json", os.path.isfile)):
        if not is_kind(os.path.join(root, name)):
            raise NotFoundError(
                "%s is not a data root: it has no %s (Vault(path, create=True) makes one)"
                % (shown, os.fsdecode(name)), "vault_storage_init", ErrorCode.NOT_FOUND)


def _root_key(root: bytes) -> bytes:
    return os.path.normpath(os.path.abspath(root))


class Vault:
    """The data root of this process, opened in the library.

        with Vault("/var/lib/keldrune-vault") as vault:
            user_id = vault.user_create("alice@example.org", "hash", 600000, "key")

    `library` names the shared object to load (else $KELDRUNE_VAULT_LIB,
    else the installed libkeldrune-vault-storage.so.0); the first Vault of
    the process loads it.

    The root must be an existing data root (a directory holding users/ and
    config.json): a mistyped path raises NotFoundError rather than making a
    new, empty vault. `create=True` (or Vault.init) creates the root, its
    users directory and config.json when missing (the root's parent must
    exist). A relative root is made absolute first, so a later os.chdir does
    not move it."""

    def __init__(self, root: PathArg, *, library: Optional[PathArg] = None,
                 create: bool = False) -> None:
        self._closed = True
        if not isinstance(root, (str, bytes, os.PathLike)):
            raise TypeError("root must be a path, not %s" % type(root).__name__)
        given = _bytes(os.fsencode(os.fspath(root)), "root")
        if not given:
            raise ValueError("root must not be empty")
        self._lib: Library = load_library(library)
        if not create:
            _require_data_root(given)
        key = _root_key(given)
        st = _State
        with st.cond:
            if st.root is None:
                # The library keeps the root as given, so a relative one
                # would follow a later os.chdir: it gets the absolute form.
                if self._lib.fn["vault_storage_init"](os.path.abspath(given)) != 0:
                    failure = self._lib.last_failure("vault_storage_init")
                    # A failed init may leave the root set: forget it again.
                    self._lib.fn["vault_storage_cleanup"]()
                    raise failure
                st.root, st.given = key, given
            elif st.root != key:
                raise VaultError(
                    "this process has the data root %s open; the library holds one data root "
                    "per process: close every Vault of it before opening %s"
                    % (os.fsdecode(st.given or b""), os.fsdecode(given)), "vault_storage_init")
            st.users += 1
            self._root = given
            self._closed = False

    @classmethod
    def init(cls, root: PathArg, *, library: Optional[PathArg] = None) -> "Vault":
        """Opens root, creating the data root first when it is missing."""
        return cls(root, library=library, create=True)

    # ---- lifecycle ------------------------------------------------------------------
    @property
    def root(self) -> str:
        """The data root, as given."""
        return os.fsdecode(self._root)

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Closes this Vault; the last one of the root waits for calls still
        running in other threads and then releases the root in the library.
        Closing twice is harmless."""
        st = _State
        with st.cond:
            if self._closed:
                return
            self._closed = True
            st.users -= 1
            if st.users > 0:
                return
            st.cond.wait_for(lambda: st.active == 0 or st.users > 0)
            if st.users > 0:  # reopened with the same root meanwhile
                return
            self._lib.fn["vault_storage_cleanup"]()
            st.root = st.given = None

    def __enter__(self) -> "Vault":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return "<Vault %r%s>" % (self.root if hasattr(self, "_root") else None,
                                 " closed" if self._closed else "")

    @property
    def library_version(self) -> str:
        """The loaded library's version, "MAJOR.MINOR.PATCH"."""
        return _text(self._lib.fn["vault_storage_version"]())

    @contextmanager
    def _call(self) -> Iterator[Library]:
        st = _State
        with st.cond:
            if self._closed:
                raise VaultError("vault: closed")
            st.active += 1
        try:
            yield self._lib
        finally:
            with st.cond:
                st.active -= 1
                if st.active == 0:
                    st.cond.notify_all()

    def _fail(self, function: str) -> VaultError:
        return self._lib.last_failure(function)

    def _account_missing(self, user_id: bytes) -> bool:
        """True when the account's profile is not there: the library's saves
        then fail on the missing directory (NOT_FOUND with a path message),
        and its folder list reads as empty."""
        if self._lib.alloc_text("vault_user_get_profile_json_alloc", user_id) is not None:
            return False
        return self._lib.last_error_code() == ErrorCode.NOT_FOUND

    def _alloc(self, function: str, *args: bytes) -> str:
        with self._call() as lib:
            raw = lib.alloc_text(function, *args)
            if raw is None:
                raise self._fail(function)
        return _text(raw)

    # ---- accounts -------------------------------------------------------------------
    def user_exists(self, email: Text) -> bool:
        """Is an account registered under this address (ASCII letters
        compare case-insensitively)?"""
        email_b = _bytes(email, "email")
        with self._call() as lib:
            rc = lib.fn["vault_user_exists"](email_b)
            if rc < 0:
                raise self._fail("vault_user_exists")
        return rc == 1

    def user_find_by_email(self, email: Text) -> Account:
        """The account registered under this address; NotFoundError when
        there is none."""
        email_b = _bytes(email, "email")
        uid = ctypes.create_string_buffer(ID_SIZE)
        iterations = ctypes.c_uint32(0)
        hash_buf = ctypes.create_string_buffer(_UNTOUCHED, HASH_SIZE)
        key_buf = ctypes.create_string_buffer(_UNTOUCHED, KEY_SIZE)
        with self._call() as lib:
            rc = lib.fn["vault_user_find_by_email"](
                email_b, uid, ctypes.byref(iterations), hash_buf, key_buf)
            if rc == 1:  # the library records no message of its own here
                raise NotFoundError("find_by_email: no account has this e-mail",
                                    "vault_user_find_by_email", ErrorCode.NOT_FOUND)
            if rc != 0:
                raise self._fail("vault_user_find_by_email")

        def credential(buf: ctypes.Array) -> Optional[str]:
            return None if buf.raw[:1] == _UNTOUCHED else _text(buf.value)

        return Account(_text(uid.value), iterations.value, credential(hash_buf),
                       credential(key_buf))

    def user_create(self, email: Text, master_password_hash: Optional[Text] = None,
                    iterations: int = 0, protected_key: Optional[Text] = None) -> str:
        """Registers an account and returns its user id; AlreadyExistsError
        when the address is taken. A missing hash or key is stored as an
        empty string."""
        email_b = _bytes(email, "email")
        hash_b = _optional_bytes(master_password_hash, "master_password_hash")
        iterations = _uint32(iterations, "iterations")
        key_b = _optional_bytes(protected_key, "protected_key")
        uid = ctypes.create_string_buffer(ID_SIZE)
        with self._call() as lib:
            rc = lib.fn["vault_user_create"](email_b, hash_b, iterations, key_b, uid)
            if rc != 0:
                raise self._fail("vault_user_create")
        return _text(uid.value)

    def user_get_profile_json(self, user_id: Text) -> str:
        """The stored profile document, exactly as on disk."""
        return self._alloc("vault_user_get_profile_json_alloc", _bytes(user_id, "user_id"))

    def user_set_credentials(self, user_id: Text, current_hash: Text,
                             master_password_hash: Text, iterations: int,
                             protected_key: Text) -> None:
        """Replaces the hash, iteration count and protected key together, only
        if the stored hash equals current_hash: MismatchError when it differs,
        NotFoundError when there is no such account."""
        args = (_bytes(user_id, "user_id"), _bytes(current_hash, "current_hash"),
                _bytes(master_password_hash, "master_password_hash"),
                _uint32(iterations, "iterations"), _bytes(protected_key, "protected_key"))
        with self._call() as lib:
            if lib.fn["vault_user_set_credentials"](*args) != 0:
                raise self._fail("vault_user_set_credentials")

    def user_replace_vault(self, user_id: Text, current_hash: Text,
                           master_password_hash: Text, iterations: int,
                           protected_key: Text, ciphers: Text, trash: Text,
                           folders: Text) -> None:
        """Key rotation: replaces the live items, the trashed items (JSON
        arrays of item documents, each with a usable "id"), the folder list
        (a JSON array of folders) and the credentials in one step that no
        reader, crash or power cut sees half-done. MismatchError when the
        stored hash is not current_hash, ChangedError when the stored items
        are not exactly those given (read the vault again), NotFoundError
        when there is no such account."""
        args = (_bytes(user_id, "user_id"), _bytes(current_hash, "current_hash"),
                _bytes(master_password_hash, "master_password_hash"),
                _uint32(iterations, "iterations"), _bytes(protected_key, "protected_key"),
                _bytes(ciphers, "ciphers"), _bytes(trash, "trash"), _bytes(folders, "folders"))
        with self._call() as lib:
            if lib.fn["vault_user_replace_vault"](*args) != 0:
                raise self._fail("vault_user_replace_vault")

    def user_change_email(self, user_id: Text, email: Text) -> None:
        """Changes the account's address: AlreadyExistsError when another
        account holds it, NotFoundError when there is no such account."""
        args = (_bytes(user_id, "user_id"), _bytes(email, "email"))
        with self._call() as lib:
            if lib.fn["vault_user_change_email"](*args) != 0:
                raise self._fail("vault_user_change_email")

    def user_delete(self, user_id: Text) -> None:
        """Deletes the account with all its items; NotFoundError when there
        is no such account."""
        uid_b = _bytes(user_id, "user_id")
        with self._call() as lib:
            if lib.fn["vault_user_delete"](uid_b) != 0:
                raise self._fail("vault_user_delete")

    def user_revision(self, user_id: Text) -> str:
        """A short token that changes whenever the account's sync document
        may have changed; equal tokens before and after a sync mean it is
        current."""
        return self._alloc("vault_user_revision_alloc", _bytes(user_id, "user_id"))

    # ---- items ----------------------------------------------------------------------
    def _save(self, function: str, what: str, user_id: Text, document: Text) -> str:
        uid_b = _bytes(user_id, "user_id")
        doc_b = _bytes(document, "document")
        out = ctypes.create_string_buffer(ID_SIZE)
        with self._call() as lib:
            if lib.fn[function](uid_b, doc_b, out) != 0:
                failure = lib.last_failure(function)
                if failure.code == ErrorCode.NOT_FOUND and self._account_missing(uid_b):
                    raise NotFoundError("%s: user not found" % what, function,
                                        failure.code, failure.errno)
                raise failure
        return _text(out.value)

    def cipher_save(self, user_id: Text, document: Text) -> str:
        """Stores (creates or replaces) an item, a JSON text kept byte for
        byte; returns its id (the document's "id" member when usable, else a
        fresh UUID). NotFoundError when the account does not exist."""
        return self._save("vault_cipher_save", "cipher_save", user_id, document)

    def cipher_get(self, user_id: Text, cipher_id: Text) -> str:
        """The live item's stored text, of any size."""
        return self._alloc("vault_cipher_get_alloc", _bytes(user_id, "user_id"),
                           _bytes(cipher_id, "cipher_id"))

    def _move(self, function: str, *args: object) -> None:
        with self._call() as lib:
            if lib.fn[function](*args) != 0:
                # 1 is "not there" for every move and removal.
                raise self._fail(function)

    def cipher_delete(self, user_id: Text, cipher_id: Text, permanent: bool = False) -> None:
        """Moves the live item to the trash, or removes it for good.
        NotFoundError when it is not live; AlreadyExistsError when the trash
        already holds this id (nothing changes)."""
        self._move("vault_cipher_delete", _bytes(user_id, "user_id"),
                   _bytes(cipher_id, "cipher_id"), 1 if _flag(permanent, "permanent") else 0)

    def cipher_restore_from_trash(self, user_id: Text, cipher_id: Text) -> None:
        """Moves a trashed item back. NotFoundError when it is not in the
        trash; AlreadyExistsError when a live item has this id."""
        self._move("vault_cipher_restore_from_trash", _bytes(user_id, "user_id"),
                   _bytes(cipher_id, "cipher_id"))

    # ---- folders --------------------------------------------------------------------
    def folders_get_json(self, user_id: Text) -> str:
        """The folder list as stored ("[]" when the account has none);
        NotFoundError when the account does not exist."""
        uid_b = _bytes(user_id, "user_id")
        with self._call() as lib:
            raw = lib.alloc_text("vault_folders_get_json_alloc", uid_b)
            if raw is None:
                raise self._fail("vault_folders_get_json_alloc")
            if raw == b"[]" and self._account_missing(uid_b):
                raise NotFoundError("folders: user not found", "vault_folders_get_json_alloc",
                                    ErrorCode.NOT_FOUND)
        return _text(raw)

    def folder_save(self, user_id: Text, document: Text) -> str:
        """Adds or replaces a folder from a JSON object ("id", "name",
        "revisionDate"); returns its id."""
        return self._save("vault_folder_save", "folder_save", user_id, document)

    def folder_delete(self, user_id: Text, folder_id: Text) -> None:
        """Removes a folder; NotFoundError when there is no such entry (or no
        list)."""
        self._move("vault_folder_delete", _bytes(user_id, "user_id"),
                   _bytes(folder_id, "folder_id"))

    # ---- views ----------------------------------------------------------------------
    def sync_generate_json(self, user_id: Text) -> str:
        """The account's whole sync document, of any size."""
        return self._alloc("vault_sync_generate_json_alloc", _bytes(user_id, "user_id"))

    def storage_get_stats_json(self) -> str:
        """Counts and sizes of the whole tree, over every account."""
        return self._alloc("vault_storage_get_stats_json_alloc")


def library_version(library: Optional[PathArg] = None) -> str:
    """The version of the library this process loads (loading it if needed)."""
    return _text(load_library(library).fn["vault_storage_version"]())
