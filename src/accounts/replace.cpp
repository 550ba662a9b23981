// vault_user_replace_vault: an account's live items, trashed items, folder
// list and credentials replaced together (a key rotation), only when the
// stored hash and the stored set of items are the ones the caller presents.
//
// The steps:
//  1. stage, holding no account lock: a whole new account directory
//     users/.staging.<id>.<nonce> (layout.h) with its own lock file, locked
//     whole by this call from the start (so reindex knows the stage is being
//     written, and after the commit writers wait until this call is done),
//     "ciphers" and "trash" holding each given document byte for byte, and
//     folders.json; every file and directory synced;
//  2. take every byte of the live account's lock file (locks.h; checked to
//     be the live one): no item, folder or profile writer is inside the
//     account, and none starts until the end;
//  3. compare: the stored hash with current_hash (VAULT_MISMATCH), and the
//     names in "ciphers" and "trash" with the ids given for each
//     (VAULT_CHANGED: an item saved, moved or removed since the client
//     read the vault would otherwise be lost or left under the old key).
//     Either differing answers 1 and the stage is removed;
//  4. write the profile into the stage: the stored profile with the three
//     credential members spliced in (as vault_user_set_credentials does);
//  5. swap the stage in (foundation/swap.h: its commit is one rename of
//     users/<id>, and every reader or writer that meets the account
//     between that and the next rename finishes the swap itself);
//  6. remove the swapped-out directory, then let go of the locks. In this
//     order because a writer waiting for the old directory's lock may
//     still be led there after the commit (another host's client resolves
//     users/<id> from its caches for a moment): it must find the directory
//     gone, and fail or try again, rather than save into a directory about
//     to be removed and answer 0 for an item no one will see.
// Nothing before 5 touches the live account, so a failure, crash or power
// cut there leaves it whole-old; from 5's first rename of users/<id> on it
// is whole-new. The revision token changes at 5 alone: it is made from the
// metadata of the live directory's names, and every name there is new.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "keldrune-vault-storage.h"
#include "accounts/profile.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/moves.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/swap.h"
#include "foundation/text.h"
#include "items/folders.h"

namespace {

const char k_prefix[] = "replace_vault";

// One given item: its id and where its bytes lie in the caller's text.
struct VsGivenItem {
  char id[VS_ID_BUF];
  const char *text;
  size_t len;
};
// The items of one list, sorted by id (malloc'ed; none for an empty list).
struct VsGiven {
  VsGivenItem *v = nullptr;
  size_t n = 0;
  VsGiven() = default;
  VsGiven(const VsGiven &) = delete;
  VsGiven &operator=(const VsGiven &) = delete;
  ~VsGiven() { free(v); }
};

int vs_by_id(const void *a, const void *b) {
  return strcmp(static_cast<const VsGivenItem *>(a)->id, static_cast<const VsGivenItem *>(b)->id);
}

int vs_id_vs_item(const void *id, const void *item) {
  return strcmp(static_cast<const char *>(id), static_cast<const VsGivenItem *>(item)->id);
}

bool vs_given_has(const VsGiven &g, const char *id) {
  return g.n > 0 && bsearch(id, g.v, g.n, sizeof *g.v, vs_id_vs_item) != nullptr;
}

// The elements of a JSON array of item documents, each an object with a
// usable "id"; what is stored for each is its own bytes in the array text.
// 0; -1 with "<prefix>: ..." (VAULT_INVALID) recorded.
int vs_given_items(const char *json, const char *what, VsGiven &out) {
  size_t len = json ? strlen(json) : 0;
  VsDoc doc(json ? vs_parse(json, len) : nullptr);
  yyjson_val *arr = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_arr(arr)) {
    vs_error_code(VAULT_INVALID, 0, "%s: %s not a json array", k_prefix, what);
    return -1;
  }
  size_t count = yyjson_arr_size(arr);
  if (count > 0 && !(out.v = static_cast<VsGivenItem *>(calloc(count, sizeof *out.v)))) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", k_prefix);
    return -1;
  }
  size_t i = vs_skip_ws(json, 0, len) + 1;  // past '['
  size_t idx, max;
  yyjson_val *v;
  yyjson_arr_foreach(arr, idx, max, v) {
    VsGivenItem &it = out.v[out.n];
    if (!vs_usable_id(v, it.id)) {
      vs_error_code(VAULT_INVALID, 0, "%s: %s item %zu has no usable id", k_prefix, what, idx);
      return -1;
    }
    // The text is strict JSON and the parse walked the same elements: the
    // next value starts after white space and, but for the first, a comma.
    i = vs_skip_ws(json, i, len);
    if (idx > 0) i = vs_skip_ws(json, i + 1, len);
    size_t end = vs_skip_value(json, i, len);
    it.text = json + i;
    it.len = end - i;
    out.n++;
    i = end;
  }
  if (out.n > 1) qsort(out.v, out.n, sizeof *out.v, vs_by_id);
  // One id once in a list.
  for (size_t k = 1; k < out.n; k++)
    if (strcmp(out.v[k].id, out.v[k - 1].id) == 0) {
      vs_error_code(VAULT_INVALID, 0, "%s: duplicate id %s", k_prefix, out.v[k].id);
      return -1;
    }
  return 0;
}

// Writes a new file name below dir_fd (dir: its path, for messages) whole
// and syncs it. 0; -1 with the message recorded.
int vs_stage_file(int dir_fd, const char *dir, const char *name, const char *text, size_t len) {
  VsFd fd(openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.ok()) {
    vs_error_errno(errno, "%s: open failed: %s/%s (%s)", k_prefix, dir, name, strerror(errno));
    return -1;
  }
  while (len > 0) {
    ssize_t n = write(fd.fd, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      vs_error_errno(errno, "%s: write failed: %s/%s (%s)", k_prefix, dir, name, strerror(errno));
      return -1;
    }
    text += n;
    len -= (size_t)n;
  }
  if (fsync(fd.fd) != 0 || fd.close_now() != 0) {
    vs_error_errno(errno, "%s: write failed: %s/%s (%s)", k_prefix, dir, name, strerror(errno));
    return -1;
  }
  return 0;
}

// Makes and opens the directory name below dir_fd. 0 with out open; -1
// with the message recorded.
int vs_stage_dir(int dir_fd, const char *dir, const char *name, VsFd &out) {
  if (mkdirat(dir_fd, name, 0700) != 0 ||
      (out.reset(openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
       !out.ok())) {
    vs_error_errno(errno, "%s: mkdir failed: %s/%s (%s)", k_prefix, dir, name, strerror(errno));
    return -1;
  }
  return 0;
}

int vs_stage_sync(int fd, const char *dir, const char *name) {
  if (fsync(fd) == 0) return 0;
  vs_error_errno(errno, "%s: sync failed: %s/%s (%s)", k_prefix, dir, name, strerror(errno));
  return -1;
}

// The items of one directory of the stage ("ciphers" or "trash").
int vs_stage_items(int stage_fd, const char *stage, const char *name,
                   const VsGiven &items) {
  VsFd dir;
  if (vs_stage_dir(stage_fd, stage, name, dir) != 0) return -1;
  char path[VS_ENTRY_PATH], file[VS_ID_BUF + sizeof VS_DOC_SUFFIX];
  if (vs_path(path, sizeof path, "%s/%s", stage, name) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "%s: path too long", k_prefix);
    return -1;
  }
  for (size_t k = 0; k < items.n; k++) {
    snprintf(file, sizeof file, "%s" VS_DOC_SUFFIX, items.v[k].id);
    if (vs_stage_file(dir.fd, path, file, items.v[k].text, items.v[k].len) != 0) return -1;
  }
  return vs_stage_sync(dir.fd, stage, name);
}

// Step 3's second half: whether the names in the account's "ciphers" and
// "trash" are exactly the ids given for each. 1 equal, 0 not, -1 with the
// message recorded.
int vs_same_items(const VsAccountPaths &acct, const VsGiven &live, const VsGiven &trash) {
  VsList lists[2];
  const char *dirs[2] = {acct.ciphers, acct.trash};
  const VsGiven *given[2] = {&live, &trash};
  for (int k = 0; k < 2; k++) {
    if (vs_list_open(lists[k], s_root, dirs[k]) != 0 && !vs_list_absent(errno)) {
      vs_error_errno(errno, "%s: cannot read %s (%s)", k_prefix, dirs[k], strerror(errno));
      return -1;
    }
  }
  for (int k = 0; k < 2; k++) {
    if (!lists[k].fd.ok()) {
      if (given[k]->n > 0) return 0;
      continue;
    }
    size_t seen = 0;
    char id[VS_ENTRY_PATH];
    for (const char *name; (name = vs_list_next(lists[k])) != nullptr;) {
      if (!vs_item_file_name(name)) continue;
      // A restore cut short leaves the live item under its trashed name
      // too: it is live.
      if (k == 1 && vs_live_twin(lists[1].fd.fd, lists[0].fd.fd, name)) continue;
      size_t len = strlen(name) - (sizeof VS_DOC_SUFFIX - 1);
      if (len >= VS_ID_BUF) return 0;  // no id given is that long
      memcpy(id, name, len);
      id[len] = '\0';
      if (!vs_given_has(*given[k], id)) return 0;
      seen++;
    }
    if (errno != 0) {
      vs_error_errno(errno, "%s: cannot read %s (%s)", k_prefix, dirs[k], strerror(errno));
      return -1;
    }
    if (seen != given[k]->n) return 0;
  }
  return 1;
}

// The call past its argument checks. users_fd: users/ (path users); stage:
// the staging name in it.
int vs_replace(const VsAccountPaths &acct, const char *user_id, int users_fd, const char *users,
               const char *stage, const char *current_hash, const VsCredentials &creds,
               const VsGiven &live, const VsGiven &trash,
               const char *folders, size_t folders_len) {
  // Step 1.
  VsFd stage_fd, stage_lock;
  if (vs_stage_dir(users_fd, users, stage, stage_fd) != 0) return -1;
  char stage_path[VS_ENTRY_PATH];
  VsAccountPaths staged;
  if (vs_path(stage_path, sizeof stage_path, "%s/%s", users, stage) != 0 ||
      vs_account_paths(staged, s_root, stage) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "%s: path too long", k_prefix);
    return -1;
  }
  stage_lock.reset(openat(stage_fd.fd, VS_LOCK_NAME, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!stage_lock.ok() || vs_lock_take(stage_lock.fd, 0) != 0) {
    vs_error_errno(errno, "%s: lock failed: %s/" VS_LOCK_NAME " (%s)", k_prefix, stage_path,
                   strerror(errno));
    return -1;
  }
  if (vs_stage_items(stage_fd.fd, stage_path, VS_CIPHERS_NAME, live) != 0 ||
      vs_stage_items(stage_fd.fd, stage_path, VS_TRASH_NAME, trash) != 0 ||
      vs_stage_file(stage_fd.fd, stage_path, VS_FOLDERS_NAME, folders, folders_len) != 0)
    return -1;

  // Step 2.
  VsFd lock;
  VsPin pin;
  if (vs_lock_account(s_root, acct.dir, VS_LOCK_WHOLE, lock, false, &pin) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      vs_error_code(VAULT_NOT_FOUND, 0, "%s: not found", k_prefix);
      return 1;
    }
    vs_error_errno(errno, "%s: lock failed: %s/" VS_LOCK_NAME " (%s)", k_prefix, acct.dir,
                   errno == EAGAIN ? "held by another writer too long" : strerror(errno));
    return -1;
  }

  // Step 3.
  VsText text;
  VsDoc doc;
  uint64_t len = 0;
  int rc = vs_profile_load(s_root, acct, text, &len, doc, k_prefix);
  if (rc == 1) {
    vs_error_code(VAULT_NOT_FOUND, 0, "%s: not found", k_prefix);
    return 1;
  }
  if (rc != 0) return -1;
  if (!vs_profile_hash_is(doc.get(), current_hash)) {
    vs_error_code(VAULT_MISMATCH, 0, "%s: hash mismatch", k_prefix);
    return 1;
  }
  doc.reset();
  rc = vs_same_items(acct, live, trash);
  if (rc < 0) return -1;
  if (rc == 0) {
    vs_error_code(VAULT_CHANGED, 0, "%s: items changed meanwhile", k_prefix);
    return 1;
  }

  // Step 4 (the atomic write syncs the file and the stage directory).
  if (vs_profile_store(s_root, staged, text.get(), (size_t)len, creds.edits, 3, k_prefix) != 0)
    return -1;

  // Step 5.
  VsSwapCommit done = vs_swap_commit(users_fd, users, user_id, pin.dir.fd, stage, k_prefix);
  if (done == VS_SWAP_REFUSED) return -1;
  // Step 6. The stage is the account now: nothing of it is removed.
  if (done == VS_SWAP_COMMITTED) vs_swap_remove_replaced(users_fd, user_id);
  vs_lock_drop(stage_lock);
  vs_lock_drop(lock);
  return done == VS_SWAP_UNFINISHED ? -2 : 0;
}

int vs_user_replace_vault_body(const char *user_id, const char *current_hash, const char *hash,
                               uint32_t iterations, const char *protected_key,
                               const char *ciphers_json, const char *trash_json,
                               const char *folders_json) {
  VsAccountPaths acct;
  if (vs_account_begin(user_id, k_prefix, acct) != 0) return -1;
  VsCredentials creds;
  if (vs_credentials_prepare(k_prefix, current_hash, hash, iterations, protected_key, creds) != 0)
    return -1;
  VsGiven live, trash;
  if (vs_given_items(ciphers_json, "ciphers", live) != 0 ||
      vs_given_items(trash_json, "trash", trash) != 0)
    return -1;
  for (size_t k = 0; k < trash.n; k++)  // one item is live or trashed
    if (vs_given_has(live, trash.v[k].id)) {
      vs_error_code(VAULT_INVALID, 0, "%s: duplicate id %s", k_prefix, trash.v[k].id);
      return -1;
    }
  VsText folders;
  size_t folders_len = 0;
  if (vs_folder_list_reduce(folders_json, folders, &folders_len, k_prefix) != 0) return -1;

  char users[VS_SCAN_USERS_PATH], nonce[VS_ID_BUF], stage[VS_ENTRY_PATH];
  if (vs_users_dir(users, sizeof users, s_root) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "%s: path too long", k_prefix);
    return -1;
  }
  if (vs_uuid_generate(nonce) != 0 || vs_staging_name(stage, sizeof stage, user_id, nonce) != 0) {
    vs_error_code(VAULT_IO, 0, "%s: no random source", k_prefix);
    return -1;
  }
  VsFd users_fd(vs_open_beneath(s_root, users, O_RDONLY | O_DIRECTORY, 0));
  if (!users_fd.ok()) {
    vs_error_errno(errno, "%s: cannot open %s (%s)", k_prefix, users, strerror(errno));
    return -1;
  }
  int rc = vs_replace(acct, user_id, users_fd.fd, users, stage, current_hash, creds, live, trash,
                      folders.get(), folders_len);
  if (rc == -2) return -1;  // committed: the account is the new one
  if (rc != 0) {
    // Nothing changed: the stage goes (a leftover is reindex's).
    int saved_code = vs_error_code_now(), saved_errno = vs_error_errno_now();
    vs_remove_tree(users_fd.fd, stage);
    vs_error_set_code(saved_code, saved_errno);
  }
  return rc;
}

}  // namespace

extern "C" int vault_user_replace_vault(const char *user_id, const char *current_hash,
                                        const char *hash, uint32_t iterations,
                                        const char *protected_key, const char *ciphers_json,
                                        const char *trash_json, const char *folders_json) {
  return vs_call(vs_user_replace_vault_body, user_id, current_hash, hash, iterations,
                 protected_key, ciphers_json, trash_json, folders_json);
}
