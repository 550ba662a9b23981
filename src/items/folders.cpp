// Folder list: each account's folders.json, one JSON array of small folder
// entries. Save and delete read the whole list once, edit it in memory and
// write it back whole through the atomic write, minified, all under the
// account's folder-list lock, so that concurrent changes from threads,
// processes and hosts all land. Elements that are not folder entries are
// never matched and keep their places.
#include <errno.h>
#include <string.h>

#include <utility>

#include "keldrune-vault-storage.h"
#include "foundation/atomic_write.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "items/folders.h"

enum : size_t { VS_NAME_BUF = 512, VS_REVISION_BUF = 128 };

// Takes the account's folder-list lock for one read-modify-write (prefix:
// the export's message prefix). 0 held, or nothing to hold because the
// account directory does not exist (the write then fails as it always
// did); -1 with a message.
//
// Why this keeps every change: each writer holds the lock (an OFD lock on
// one byte of the account's lock file, which is never removed) from before
// its read until after its rename, so the next writer reads the list only
// once the previous one is in place, whether it runs in another thread,
// process or host. The read in between is vs_read_file_current: on a shared
// file system a client can still see the list the previous holder replaced
// (its caches), and that read makes sure it has the current file. Readers
// take no lock: the atomic write gives them a whole list (on a shared file
// system possibly one a second old).
static int vs_folders_lock(const VsAccountPaths &acct, VsFd &lock, VsPin &pin, const char *prefix) {
  return vs_lock_writer(s_root, acct.dir, VS_LOCK_FOLDERS, lock, prefix, false, &pin);
}

enum VsListLoad { VS_LIST_OK = 0, VS_LIST_MISSING = 1, VS_LIST_UNREADABLE = -1, VS_LIST_CORRUPT = -2 };

// Reads and parses the list file. Only a file that does not exist counts as
// missing: one that exists but cannot be read keeps the read's message, so
// no caller ever takes it for an empty list and writes over it.
static VsListLoad vs_load_list(const char *path, VsDoc &doc) {
  char *raw = nullptr;
  uint64_t len = 0;
  if (vs_read_file_current(s_root, path, &raw, &len) != 0)
    return errno == ENOENT ? VS_LIST_MISSING : VS_LIST_UNREADABLE;
  VsText text(raw);
  // All bytes read are parsed: a NUL inside the file makes it corrupt, so
  // nothing after one is silently dropped by a rewrite.
  doc.reset(vs_parse(text.get(), (size_t)len));
  if (!doc || !yyjson_is_arr(yyjson_doc_get_root(doc.get()))) return VS_LIST_CORRUPT;
  return VS_LIST_OK;
}

// Index of the first element that is an object whose first "id" member is a
// string equal to id; false when there is none.
static bool vs_find_entry(yyjson_val *arr, const char *id, size_t *index) {
  size_t i, max;
  yyjson_val *v;
  yyjson_arr_foreach(arr, i, max, v) {
    if (yyjson_equals_str(yyjson_obj_get(v, "id"), id)) {
      *index = i;
      return true;
    }
  }
  return false;
}

// Serialises the list minified and writes it whole. 0 written, -1 failure.
static int vs_write_list(yyjson_mut_doc *doc, const char *path,
                         const char *serialise_fail) {
  size_t len = 0;
  VsText text(yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr));
  if (!text) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s", serialise_fail);
    return -1;
  }
  return vs_atomic_write(s_root, path, text.get(), len);
}

// The text of the first member named key when it is a string, up to its
// first NUL and cut to fit out; the empty text otherwise.
static void vs_member_text(yyjson_val *obj, const char *key, char *out,
                           size_t size) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  if (s)
    vs_copy_text(out, size, s);
  else
    out[0] = '\0';
}

// What a folder entry keeps of a submitted folder, and its identifier.
struct VsFolderFields {
  char id[VS_ID_BUF], name[VS_NAME_BUF], revision[VS_REVISION_BUF];
};
// 0, or -1 without random bytes for a fresh identifier.
static int vs_folder_fields(yyjson_val *obj, VsFolderFields &f) {
  if (vs_choose_id(obj, f.id) != 0) return -1;
  vs_member_text(obj, "name", f.name, sizeof f.name);
  vs_member_text(obj, "revisionDate", f.revision, sizeof f.revision);
  return 0;
}

// The entry stored for a folder: "id", "name" and "revisionDate" when
// given, and "object". NULL without memory: an entry is never written
// without its "id".
static yyjson_mut_val *vs_folder_entry(yyjson_mut_doc *d, const char *id, const char *name,
                                       const char *revision) {
  yyjson_mut_val *entry = yyjson_mut_obj(d);
  if (!entry || !yyjson_mut_obj_add_strcpy(d, entry, "id", id) ||
      (name[0] && !yyjson_mut_obj_add_strcpy(d, entry, "name", name)) ||
      (revision[0] && !yyjson_mut_obj_add_strcpy(d, entry, "revisionDate", revision)) ||
      !yyjson_mut_obj_add_str(d, entry, "object", "folder"))
    return nullptr;
  return entry;
}

int vs_folder_list_reduce(const char *json, VsText &out, size_t *len, const char *prefix) {
  VsDoc doc(json ? vs_parse(json, strlen(json)) : nullptr);
  yyjson_val *arr = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_arr(arr)) {
    vs_error_code(VAULT_INVALID, 0, "%s: folders not a json array", prefix);
    return -1;
  }
  VsMutDoc mdoc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val *list = mdoc ? yyjson_mut_arr(mdoc.get()) : nullptr;
  if (!list) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", prefix);
    return -1;
  }
  yyjson_mut_doc_set_root(mdoc.get(), list);
  size_t i, max;
  yyjson_val *v;
  yyjson_arr_foreach(arr, i, max, v) {
    if (!yyjson_is_obj(v)) {
      vs_error_code(VAULT_INVALID, 0, "%s: folder %zu not an object", prefix, i);
      return -1;
    }
    VsFolderFields f;
    if (vs_folder_fields(v, f) != 0) {
      vs_error("%s: no random source", prefix);
      return -1;
    }
    // As saving the folders one after another into an empty list: a later
    // entry of an id takes the place of an earlier one, at the end.
    size_t at, n;
    yyjson_mut_val *e;
    yyjson_mut_arr_foreach(list, at, n, e) {
      if (yyjson_mut_equals_str(yyjson_mut_obj_get(e, "id"), f.id)) {
        yyjson_mut_arr_remove(list, at);
        break;
      }
    }
    yyjson_mut_val *entry = vs_folder_entry(mdoc.get(), f.id, f.name, f.revision);
    if (!entry || !yyjson_mut_arr_append(list, entry)) {
      vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", prefix);
      return -1;
    }
  }
  VsText text(yyjson_mut_write_opts(mdoc.get(), 0, nullptr, len, nullptr));
  if (!text) {  // a name cut inside a character is invalid UTF-8
    vs_error_code(VAULT_INVALID, 0, "%s: folders do not serialise", prefix);
    return -1;
  }
  out = std::move(text);
  return 0;
}

// The list text for the two getters: the stored text (*heap, malloc'ed),
// or "[]" (static; *heap stays NULL) when there is no list to read. NULL
// with the message recorded on failure.
static const char *vs_folders_text(const char *user_id, char **heap, uint64_t *len) {
  *heap = nullptr;
  if (!s_root || !vs_id_safe(user_id)) {
    vs_error_code(s_root ? VAULT_INVALID : VAULT_NO_ROOT, 0, "folders: bad user id");
    return nullptr;
  }
  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, user_id) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "folders: path too long");
    return nullptr;
  }
  if (vs_read_file(s_root, acct.folders, heap, len) != 0) {
    // Running out of memory says nothing about the list: never "[]" then.
    if (errno == ENOMEM) {
      vs_error_code(VAULT_NO_MEMORY, ENOMEM, "folders: out of memory");
      return nullptr;
    }
    // A list that is not there answers as empty; the read's message stays
    // in the last-error text. One that exists but cannot be read now is no
    // empty list: a client would drop its folders.
    if (!vs_read_absent(errno)) {
      vs_error_errno(errno, "folders: cannot read %s (%s)", acct.folders, strerror(errno));
      return nullptr;
    }
    *len = 2;
    return "[]";
  }
  if (*len == 0) {
    free(*heap);
    *heap = nullptr;
    vs_error_code(VAULT_CORRUPT, 0, "folders: empty document");
    return nullptr;
  }
  return *heap;
}

static const char *vs_folders_get_json_body(const char *user_id) {
  char *out = vs_result_begin(VS_RES_FOLDERS, "folders");
  if (!out) return nullptr;
  char *raw = nullptr;
  uint64_t len = 0;
  const char *text = vs_folders_text(user_id, &raw, &len);
  VsText owned(raw);
  if (!text) return nullptr;
  if (len > VS_FOLDERS_MAX) {  // a cut list would be invalid JSON
    vs_error_code(VAULT_TOO_LARGE, 0, "folders: too large");
    return nullptr;
  }
  vs_copy_text(out, VS_FOLDERS_BUF_SIZE, text);
  return out;
}

static char *vs_folders_get_json_alloc_body(const char *user_id, size_t *len_out) {
  char *raw = nullptr;
  uint64_t len = 0;
  const char *text = vs_folders_text(user_id, &raw, &len);
  if (!text) return nullptr;
  if (!raw && !(raw = strdup(text))) {  // the "[]" answer, as the caller's own text
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "folders: out of memory");
    return nullptr;
  }
  if (len_out) *len_out = (size_t)len;
  return raw;
}

static int vs_folder_save_locked(const VsAccountPaths &acct, const char *id, const char *name,
                                 const char *revision);
static int vs_folder_delete_locked(const VsAccountPaths &acct, const char *folder_id);

static int vs_folder_save_body(const char *user_id, const char *json,
                               char *id_out) {
  if (!s_root || !vs_id_safe(user_id)) {
    vs_error_code(s_root ? VAULT_INVALID : VAULT_NO_ROOT, 0, "folder_save: bad user id");
    return -1;
  }
  if (!json || !*json) {
    vs_error_code(VAULT_INVALID, 0, "folder_save: empty json");
    return -1;
  }
  VsFolderFields f;
  {
    VsDoc doc(vs_parse(json, strlen(json)));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) {
      vs_error_code(VAULT_INVALID, 0, "folder_save: invalid json");
      return -1;
    }
    if (vs_folder_fields(root, f) != 0) {
      vs_error("folder_save: no random source");
      return -1;
    }
  }
  const char *id = f.id, *name = f.name, *revision = f.revision;
  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, user_id) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "folder_save: path too long");
    return -1;
  }

  VsFd lock;
  VsPin pin;
  if (vs_folders_lock(acct, lock, pin, "folder_save") != 0) return -1;
  int rc = vs_folder_save_locked(acct, id, name, revision);
  vs_lock_drop(lock);
  if (rc == 0 && id_out) memcpy(id_out, id, strlen(id) + 1);
  return rc;
}

// The read-modify-write of a save, with the lock held.
static int vs_folder_save_locked(const VsAccountPaths &acct, const char *id, const char *name,
                                 const char *revision) {
  VsDoc list;
  VsMutDoc mdoc;
  switch (vs_load_list(acct.folders, list)) {
    case VS_LIST_UNREADABLE:
      return -1;  // the read's own message; the file stays as it is
    case VS_LIST_CORRUPT:
      vs_error_code(VAULT_CORRUPT, 0, "folder_save: corrupt folders.json");
      return -1;
    case VS_LIST_MISSING:
      mdoc.reset(yyjson_mut_doc_new(nullptr));
      if (!mdoc) {
        vs_error_code(VAULT_NO_MEMORY, ENOMEM, "folder_save: alloc fail");
        return -1;
      }
      // A failed array shows as "arr add fail" when the entry is appended.
      yyjson_mut_doc_set_root(mdoc.get(), yyjson_mut_arr(mdoc.get()));
      break;
    case VS_LIST_OK: {
      size_t index = 0;
      bool found = vs_find_entry(yyjson_doc_get_root(list.get()), id, &index);
      mdoc.reset(yyjson_doc_mut_copy(list.get(), nullptr));
      list.reset();
      if (!mdoc) {
        vs_error_code(VAULT_NO_MEMORY, ENOMEM, "folder_save: alloc fail");
        return -1;
      }
      // Copies keep element order, so the index found above still holds.
      if (found) yyjson_mut_arr_remove(yyjson_mut_doc_get_root(mdoc.get()), index);
      break;
    }
  }

  // Any member that cannot be added fails the save: an entry is never
  // written without its "id".
  yyjson_mut_doc *d = mdoc.get();
  yyjson_mut_val *entry = vs_folder_entry(d, id, name, revision);
  if (!entry) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "folder_save: alloc fail");
    return -1;
  }
  if (!yyjson_mut_arr_append(yyjson_mut_doc_get_root(d), entry)) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "folder_save: arr add fail");
    return -1;
  }
  // A name cut inside a multi-byte character is invalid UTF-8, which the
  // writer refuses: the save then fails and the list stays as it was.
  return vs_write_list(d, acct.folders, "folder_save: write fail");
}

static int vs_folder_delete_body(const char *user_id, const char *folder_id) {
  if (!s_root || !vs_id_safe(user_id) || !vs_id_safe(folder_id)) {
    vs_error_code(s_root ? VAULT_INVALID : VAULT_NO_ROOT, 0, "folder_delete: bad id");
    return -1;
  }
  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, user_id) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "folder_delete: path too long");
    return -1;
  }
  VsFd lock;
  VsPin pin;
  if (vs_folders_lock(acct, lock, pin, "folder_delete") != 0) return -1;
  int rc = vs_folder_delete_locked(acct, folder_id);
  vs_lock_drop(lock);
  return rc;
}

// The read-modify-write of a delete, with the lock held.
static int vs_folder_delete_locked(const VsAccountPaths &acct, const char *folder_id) {
  VsDoc list;
  switch (vs_load_list(acct.folders, list)) {
    case VS_LIST_MISSING:
      vs_error_code(VAULT_NOT_FOUND, 0, "folder_delete: no folders");
      return 1;
    case VS_LIST_UNREADABLE:
      return -1;  // the read's own message
    case VS_LIST_CORRUPT:
      vs_error_code(VAULT_CORRUPT, 0, "folder_delete: corrupt");
      return -1;
    case VS_LIST_OK:
      break;
  }
  size_t index = 0;
  if (!vs_find_entry(yyjson_doc_get_root(list.get()), folder_id, &index)) {
    vs_error_code(VAULT_NOT_FOUND, 0, "folder_delete: not found");
    return 1;  // nothing changed, nothing written
  }
  VsMutDoc mdoc(yyjson_doc_mut_copy(list.get(), nullptr));
  list.reset();
  if (!mdoc) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "folder_delete: alloc fail");
    return -1;
  }
  yyjson_mut_arr_remove(yyjson_mut_doc_get_root(mdoc.get()), index);
  return vs_write_list(mdoc.get(), acct.folders, "folder_delete: write fail");
}

// The exports: each records its call's code (results.h).
extern "C" const char *vault_folders_get_json(const char *user_id) {
  return vs_call(vs_folders_get_json_body, user_id);
}

extern "C" char *vault_folders_get_json_alloc(const char *user_id, size_t *len_out) {
  return vs_call(vs_folders_get_json_alloc_body, user_id, len_out);
}

extern "C" int vault_folder_save(const char *user_id, const char *json,
                                 char *id_out) {
  return vs_call(vs_folder_save_body, user_id, json, id_out);
}

extern "C" int vault_folder_delete(const char *user_id, const char *folder_id) {
  return vs_call(vs_folder_delete_body, user_id, folder_id);
}
