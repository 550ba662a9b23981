"""ctypes binding of keldrune-vault-storage: every export.

The library is loaded with the platform's dynamic loader (ctypes.CDLL) and
each export is resolved by name. The binding adds no behaviour of its own:
every method returns what the C function returns, with outputs that C hands
back through caller buffers returned alongside the result code.

- Texts passed in may be str (encoded as UTF-8) or bytes; None is passed as
  NULL where the C function accepts NULL.
- Text results (profile, cipher, folder list, sync document, statistics)
  come from the library's _alloc functions: of any size, copied out and
  released with vault_free at once, and decoded from UTF-8; bytes that are
  not UTF-8 survive as surrogate escapes (errors="surrogateescape"). None
  means the call failed: last_error() says why.
- The identifier buffers are 37 bytes, the hash buffer 128 and the protected
  key buffer 512, as the C interface requires.
- Threads: every method may be called from any thread at any time between
  init() and cleanup(), with no lock: ctypes releases the interpreter lock
  for the length of each call, so calls from several threads run in the
  library at once. last_error() is per thread (as errno is): it explains the
  latest failure of the thread that calls it. init() and cleanup() must not
  run while another thread is inside a call.

Example (python3 keldrune_vault.py LIBRARY DATA_ROOT runs the same):

    vault = VaultStorage("/usr/lib/libkeldrune-vault-storage.so.0")
    vault.init("/var/lib/keldrune-vault")
    rc, user_id = vault.user_create("alice@example.org", "hash", 600000, "key")
    rc, cipher_id = vault.cipher_save(user_id, '{"type":1}')
    print(vault.sync_generate_json(user_id))
"""

import ctypes
import ctypes.util
import os
import sys

ID_SIZE = 37
HASH_SIZE = 128
KEY_SIZE = 512

_c_int = ctypes.c_int
_c_str = ctypes.c_char_p
_c_buf = ctypes.POINTER(ctypes.c_char)  # a create_string_buffer() or None
_c_ptr = ctypes.c_void_p  # a text the caller releases with vault_free
_c_len = ctypes.POINTER(ctypes.c_size_t)

# name: (result type, argument types)
_SIGNATURES = {
    "vault_storage_init": (_c_int, [_c_str]),
    "vault_storage_cleanup": (None, []),
    "vault_storage_last_error": (_c_str, []),
    "vault_user_exists": (_c_int, [_c_str]),
    "vault_user_find_by_email": (
        _c_int, [_c_str, _c_buf, ctypes.POINTER(ctypes.c_uint32), _c_buf, _c_buf]),
    "vault_user_create": (_c_int, [_c_str, _c_str, ctypes.c_uint32, _c_str, _c_buf]),
    "vault_user_get_profile_json": (_c_str, [_c_str]),
    "vault_cipher_save": (_c_int, [_c_str, _c_str, _c_buf]),
    "vault_cipher_get": (_c_str, [_c_str, _c_str]),
    "vault_cipher_delete": (_c_int, [_c_str, _c_str, _c_int]),
    "vault_cipher_restore_from_trash": (_c_int, [_c_str, _c_str]),
    "vault_folders_get_json": (_c_str, [_c_str]),
    "vault_folder_save": (_c_int, [_c_str, _c_str, _c_buf]),
    "vault_folder_delete": (_c_int, [_c_str, _c_str]),
    "vault_sync_generate_json": (_c_str, [_c_str]),
    "vault_storage_get_stats_json": (_c_str, []),
    "vault_sync_generate_json_alloc": (_c_ptr, [_c_str, _c_len]),
    "vault_cipher_get_alloc": (_c_ptr, [_c_str, _c_str, _c_len]),
    "vault_folders_get_json_alloc": (_c_ptr, [_c_str, _c_len]),
    "vault_user_get_profile_json_alloc": (_c_ptr, [_c_str, _c_len]),
    "vault_storage_get_stats_json_alloc": (_c_ptr, [_c_len]),
    "vault_free": (None, [_c_ptr]),
    "vault_storage_version": (_c_str, []),
}


def _arg(value):
    """str -> UTF-8 bytes; bytes and None pass unchanged."""
    if value is None or isinstance(value, bytes):
        return value
    return str(value).encode("utf-8")


def _text(raw):
    """A returned char * (already copied by ctypes) -> str, or None for NULL."""
    if raw is None:
        return None
    return raw.decode("utf-8", errors="surrogateescape")


def _out(buf):
    """The text in a filled output buffer."""
    return buf.value.decode("utf-8", errors="surrogateescape")


def find_library():
    """The library named by $KELDRUNE_VAULT_LIB, else the one the loader finds."""
    path = os.environ.get("KELDRUNE_VAULT_LIB")
    if path:
        return path
    return ctypes.util.find_library("keldrune-vault-storage") or "libkeldrune-vault-storage.so.0"


class VaultStorage:
    """One loaded copy of the library. Method names are the export names
    without the vault_ prefix."""

    def __init__(self, path=None):
        self._lib = ctypes.CDLL(path or find_library())
        self._fn = {}
        for name, (restype, argtypes) in _SIGNATURES.items():
            fn = getattr(self._lib, name)  # AttributeError when it is missing
            fn.restype = restype
            fn.argtypes = argtypes
            self._fn[name] = fn

    def _alloc_text(self, name, *args):
        """Calls an _alloc export; its text (decoded) or None. The library's
        copy is released before returning, also when decoding fails."""
        length = ctypes.c_size_t(0)
        ptr = self._fn[name](*args, ctypes.byref(length))
        if not ptr:
            return None
        try:
            return _text(ctypes.string_at(ptr, length.value))
        finally:
            self._fn["vault_free"](ptr)

    # ---- lifecycle ------------------------------------------------------------
    def storage_init(self, root):
        """0 ready, -1 failure."""
        return self._fn["vault_storage_init"](_arg(root))

    init = storage_init

    def storage_cleanup(self):
        self._fn["vault_storage_cleanup"]()

    cleanup = storage_cleanup

    def storage_last_error(self):
        """The latest failure message ("OK" until something failed)."""
        return _text(self._fn["vault_storage_last_error"]())

    last_error = storage_last_error

    def storage_version(self):
        """The library's version, "MAJOR.MINOR.PATCH"."""
        return _text(self._fn["vault_storage_version"]())

    version = storage_version

    # ---- accounts ---------------------------------------------------------------
    def user_exists(self, email):
        """1 registered, 0 not, -1 failure."""
        return self._fn["vault_user_exists"](_arg(email))

    def user_find_by_email(self, email):
        """(rc, user_id, iterations, hash, protected_key); rc 0 found,
        1 not found, -1 failure. The outputs are None unless rc is 0; the
        hash and key are "" when the profile lacks them."""
        uid = ctypes.create_string_buffer(ID_SIZE)
        iterations = ctypes.c_uint32(0)
        hash_buf = ctypes.create_string_buffer(HASH_SIZE)
        key_buf = ctypes.create_string_buffer(KEY_SIZE)
        rc = self._fn["vault_user_find_by_email"](
            _arg(email), uid, ctypes.byref(iterations), hash_buf, key_buf)
        if rc != 0:
            return rc, None, None, None, None
        return rc, _out(uid), iterations.value, _out(hash_buf), _out(key_buf)

    def user_create(self, email, hash=None, iterations=0, protected_key=None):
        """(rc, user_id); rc 0 created, 1 already registered, -1 failure."""
        uid = ctypes.create_string_buffer(ID_SIZE)
        rc = self._fn["vault_user_create"](
            _arg(email), _arg(hash), iterations, _arg(protected_key), uid)
        return rc, (_out(uid) if rc == 0 else None)

    def user_get_profile_json(self, user_id):
        return self._alloc_text("vault_user_get_profile_json_alloc", _arg(user_id))

    # ---- ciphers ----------------------------------------------------------------
    def cipher_save(self, user_id, json_text):
        """(rc, cipher_id); rc 0 stored, -1 failure."""
        cid = ctypes.create_string_buffer(ID_SIZE)
        rc = self._fn["vault_cipher_save"](_arg(user_id), _arg(json_text), cid)
        return rc, (_out(cid) if rc == 0 else None)

    def cipher_get(self, user_id, cipher_id):
        return self._alloc_text("vault_cipher_get_alloc", _arg(user_id), _arg(cipher_id))

    def cipher_delete(self, user_id, cipher_id, permanent=False):
        """0 done, 1 not found, -1 failure."""
        return self._fn["vault_cipher_delete"](
            _arg(user_id), _arg(cipher_id), 1 if permanent else 0)

    def cipher_restore_from_trash(self, user_id, cipher_id):
        """0 restored, 1 not in the trash, -1 failure."""
        return self._fn["vault_cipher_restore_from_trash"](_arg(user_id), _arg(cipher_id))

    # ---- folders ------------------------------------------------------------------
    def folders_get_json(self, user_id):
        return self._alloc_text("vault_folders_get_json_alloc", _arg(user_id))

    def folder_save(self, user_id, json_text):
        """(rc, folder_id); rc 0 saved, -1 failure."""
        fid = ctypes.create_string_buffer(ID_SIZE)
        rc = self._fn["vault_folder_save"](_arg(user_id), _arg(json_text), fid)
        return rc, (_out(fid) if rc == 0 else None)

    def folder_delete(self, user_id, folder_id):
        """0 removed, 1 no list or no such entry, -1 failure."""
        return self._fn["vault_folder_delete"](_arg(user_id), _arg(folder_id))

    # ---- views --------------------------------------------------------------------
    def sync_generate_json(self, user_id):
        return self._alloc_text("vault_sync_generate_json_alloc", _arg(user_id))

    def storage_get_stats_json(self):
        """The statistics over every account."""
        return self._alloc_text("vault_storage_get_stats_json_alloc")

    stats = storage_get_stats_json


def _example(library, root):
    """A short tour; raises AssertionError with the last error on a surprise."""
    import json

    vault = VaultStorage(library)

    def expect(ok, what):
        if not ok:
            raise AssertionError("%s (last error: %s)" % (what, vault.last_error()))
        print("ok   ", what)

    expect(vault.init(root) == 0, "init " + root)
    rc, user_id = vault.user_create("carol@example.org", "hash", 600000, "key")
    expect(rc == 0, "register carol: " + str(user_id))
    rc, found, iterations, hash_, key = vault.user_find_by_email("CAROL@example.org")
    expect((rc, found, iterations, hash_, key) == (0, user_id, 600000, "hash", "key"),
           "find carol")
    rc, cid = vault.cipher_save(user_id, json.dumps({"type": 1, "name": "2.enc"}))
    expect(rc == 0 and len(cid) == 36, "save an item: " + str(cid))
    expect(vault.cipher_delete(user_id, cid) == 0, "trash it")
    expect(vault.cipher_restore_from_trash(user_id, cid) == 0, "restore it")
    rc, fid = vault.folder_save(user_id, json.dumps({"name": "2.enc-folder"}))
    expect(rc == 0, "add a folder")
    sync = json.loads(vault.sync_generate_json(user_id))
    expect(sync["object"] == "sync" and len(sync["ciphers"]) == 1
           and sync["folders"][0]["id"] == fid, "sync document")
    stats = json.loads(vault.stats())
    expect(stats["users"] == 1 and stats["ciphers"] == 1, "statistics: %s" % stats)
    vault.cleanup()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: keldrune_vault.py LIBRARY_PATH DATA_ROOT (a fresh directory)")
    _example(sys.argv[1], sys.argv[2])
