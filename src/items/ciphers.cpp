// Cipher store and trash: one file per cipher in an account's "ciphers"
// directory, named by its identifier, holding the caller's text byte for
// byte. Deleting moves the file into "trash" (or removes it for good);
// restoring moves it back. Moves never replace a file at their destination.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "keldrune-vault-storage.h"
#include "foundation/atomic_write.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/moves.h"
#include "foundation/results.h"
#include "foundation/root.h"

// Whether nothing is at the path of a file to remove for good; st receives
// what is there otherwise. A path that cannot be examined (no search
// permission, say) is not "missing": the removal that follows then fails
// with the system's reason instead.
static bool vs_missing(const char *path, struct stat &st) {
  if (stat(path, &st) == 0 || (errno != ENOENT && errno != ENOTDIR)) return false;
  // A link in place of "ciphers" is no missing file either: the removal
  // then fails with ELOOP.
  return vs_check_beneath(s_root, path) == 0;
}

// Forms the account's paths and the live and the trash path of one cipher;
// -1 when any does not fit its buffer.
static int vs_cipher_paths(const char *user_id, const char *cipher_id, VsAccountPaths &acct,
                           char live[VS_FILE_PATH], char trash[VS_FILE_PATH]) {
  if (vs_account_paths(acct, s_root, user_id) != 0 ||
      vs_cipher_path(live, VS_FILE_PATH, acct, cipher_id, 0) != 0)
    return -1;
  return vs_cipher_path(trash, VS_FILE_PATH, acct, cipher_id, 1);
}

// Every change of an account's items holds the shared item byte of its
// lock file (locks.h): changes of items never wait for each other, but a
// replacement of the whole account, which takes every byte, runs before
// or after them, never across, and compares the items they left.
static int vs_items_lock(const VsAccountPaths &acct, VsFd &lock, VsPin &pin, const char *prefix) {
  return vs_lock_writer(s_root, acct.dir, VS_LOCK_ITEMS, lock, prefix, true, &pin);
}

// The answer of a move. Nothing is looked up before it: the move itself
// says when nothing is at its source (an unknown account or identifier, a
// missing directory to move from, another process that moved or removed
// the file first: that process won the race, nothing failed).
static int vs_move_result(VsMove rc, const char *gone, const char *failed_fmt) {
  if (rc == VS_MOVED) return 0;
  if (rc == VS_MOVE_GONE) {
    vs_error_code(VAULT_NOT_FOUND, 0, "%s", gone);
    return 1;
  }
  if (rc == VS_MOVE_UNSYNCED) return -1;  // moved; "sync failed: ..." stands
  vs_error_errno(errno, failed_fmt, strerror(errno));
  return -1;
}

static int vs_cipher_save_body(const char *user_id, const char *json,
                               char *id_out) {
  if (!s_root || !vs_id_safe(user_id)) {
    vs_error_code(s_root ? VAULT_INVALID : VAULT_NO_ROOT, 0, "cipher_save: bad user id");
    return -1;
  }
  if (!json || !*json) {
    vs_error_code(VAULT_INVALID, 0, "cipher_save: empty json");
    return -1;
  }
  size_t len = strlen(json);
  char id[VS_ID_BUF];
  {
    // Parsed only to check the text and find its identifier; the caller's
    // own bytes are what gets stored.
    VsDoc doc(vs_parse(json, len));
    if (!doc) {
      vs_error_code(VAULT_INVALID, 0, "cipher_save: invalid json");
      return -1;
    }
    if (vs_choose_id(yyjson_doc_get_root(doc.get()), id) != 0) {
      vs_error("cipher_save: no random source");
      return -1;
    }
  }
  VsAccountPaths acct;
  char path[VS_FILE_PATH];
  if (vs_account_paths(acct, s_root, user_id) != 0 ||
      vs_cipher_path(path, sizeof path, acct, id, 0) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "cipher_save: path too long");
    return -1;
  }
  VsFd lock;
  VsPin pin;
  if (vs_items_lock(acct, lock, pin, "cipher_save") != 0) return -1;
  if (vs_atomic_write(s_root, path, json, len) != 0) return -1;
  if (id_out) memcpy(id_out, id, strlen(id) + 1);
  return 0;
}

// Reads the live file of a cipher whole for the two getters; NULL with the
// message recorded.
static char *vs_cipher_text(const char *user_id, const char *cipher_id, uint64_t *len) {
  if (!s_root || !vs_id_safe(user_id) || !vs_id_safe(cipher_id)) {
    vs_error_code(s_root ? VAULT_INVALID : VAULT_NO_ROOT, 0, "cipher_get: bad id");
    return nullptr;
  }
  VsAccountPaths acct;
  char path[VS_FILE_PATH];
  if (vs_account_paths(acct, s_root, user_id) != 0 ||
      vs_cipher_path(path, sizeof path, acct, cipher_id, 0) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "cipher_get: path too long");
    return nullptr;
  }
  return vs_read_document(s_root, path, "cipher_get", len);
}

static const char *vs_cipher_get_body(const char *user_id,
                                      const char *cipher_id) {
  char *out = vs_result_begin(VS_RES_CIPHER, "cipher_get");
  if (!out) return nullptr;
  uint64_t len = 0;
  VsText text(vs_cipher_text(user_id, cipher_id, &len));
  if (!text) return nullptr;
  // The buffer holds at most 65534 bytes of document; a larger one is
  // refused rather than handed back cut or empty as if it were the cipher.
  if (len > VS_CIPHER_MAX) {
    vs_error_code(VAULT_TOO_LARGE, 0, "cipher_get: too large");
    return nullptr;
  }
  vs_copy_text(out, VS_CIPHER_BUF_SIZE, text.get());
  return out;
}

static char *vs_cipher_get_alloc_body(const char *user_id, const char *cipher_id,
                                      size_t *len_out) {
  uint64_t len = 0;
  char *text = vs_cipher_text(user_id, cipher_id, &len);
  if (text && len_out) *len_out = (size_t)len;
  return text;
}

static int vs_cipher_delete_body(const char *user_id, const char *cipher_id,
                                 int permanent) {
  if (!s_root || !vs_id_safe(user_id) || !vs_id_safe(cipher_id)) {
    vs_error_code(s_root ? VAULT_INVALID : VAULT_NO_ROOT, 0, "cipher_delete: bad id");
    return -1;
  }
  VsAccountPaths acct;
  char live[VS_FILE_PATH], trash[VS_FILE_PATH];
  if (vs_cipher_paths(user_id, cipher_id, acct, live, trash) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "cipher_delete: path too long");
    return -1;
  }
  VsFd lock;
  VsPin pin;
  if (vs_items_lock(acct, lock, pin, "cipher_delete") != 0) return -1;
  if (permanent) {
    struct stat st;
    if (vs_missing(live, st)) {
      vs_error_code(VAULT_NOT_FOUND, 0, "cipher_delete: not found");
      return 1;
    }
    // A second name means a restore cut short may have left the item's
    // trashed name too: it goes first, or it would outlive the item.
    int rc = st.st_nlink > 1 ? vs_drop_cut_restore(s_root, live, trash, acct.dir) : 0;
    if (rc == -2) return -1;  // "sync failed: ..." stands
    // unlink, not remove: a directory standing under the name is refused,
    // never taken away.
    if (rc != 0 || vs_check_beneath(s_root, live) != 0 || unlink(live) != 0) {
      vs_error_errno(errno, "cipher_delete: remove %s", strerror(errno));
      return -1;
    }
    return vs_sync_parent(live);
  }
  // Only moves make names in the trash.
  return vs_move_result(vs_rename_noreplace(s_root, live, trash, acct.dir, true),
                        "cipher_delete: not found", "cipher_delete: rename %s");
}

static int vs_cipher_restore_from_trash_body(const char *user_id,
                                             const char *cipher_id) {
  if (!s_root || !vs_id_safe(user_id) || !vs_id_safe(cipher_id)) {
    vs_error_code(s_root ? VAULT_INVALID : VAULT_NO_ROOT, 0, "restore: bad id");
    return -1;
  }
  VsAccountPaths acct;
  char live[VS_FILE_PATH], trash[VS_FILE_PATH];
  if (vs_cipher_paths(user_id, cipher_id, acct, live, trash) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "restore: path too long");
    return -1;
  }
  VsFd lock;
  VsPin pin;
  if (vs_items_lock(acct, lock, pin, "restore") != 0) return -1;
  return vs_move_result(vs_rename_noreplace(s_root, trash, live, acct.dir, false),
                        "restore: not in trash", "restore: rename %s");
}

// The exports: each records its call's code (results.h).
extern "C" int vault_cipher_save(const char *user_id, const char *json,
                                 char *id_out) {
  return vs_call(vs_cipher_save_body, user_id, json, id_out);
}

extern "C" const char *vault_cipher_get(const char *user_id,
                                        const char *cipher_id) {
  return vs_call(vs_cipher_get_body, user_id, cipher_id);
}

extern "C" char *vault_cipher_get_alloc(const char *user_id, const char *cipher_id,
                                        size_t *len_out) {
  return vs_call(vs_cipher_get_alloc_body, user_id, cipher_id, len_out);
}

extern "C" int vault_cipher_delete(const char *user_id, const char *cipher_id,
                                   int permanent) {
  return vs_call(vs_cipher_delete_body, user_id, cipher_id, permanent);
}

extern "C" int vault_cipher_restore_from_trash(const char *user_id,
                                               const char *cipher_id) {
  return vs_call(vs_cipher_restore_from_trash_body, user_id, cipher_id);
}
