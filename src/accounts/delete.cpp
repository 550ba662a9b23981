// vault_user_delete, and the removal of what a deletion cut short left.
//
// The steps:
//  1. take the account's profile lock (profile.h), so that a change of
//     credentials or address runs to its end before or after, never
//     across, a deletion; it is held until the rename is on disk;
//  2. rename users/<id> to users/.deleted.<id>.<nonce> (layout.h), then
//     sync users/. The rename is the one instant at which the account
//     disappears for every reader: every listing passes over hidden names,
//     and every export reaches the account through users/<id> by path.
//     Of two deletions only one rename finds the directory.
//  3. release the address the remainder's profile holds (vs_claim_release):
//     the profile at users/<id> is gone, so an entry still naming this account goes; one that another
//     account took over stays.
//  4. take the remainder's whole lock (waiting for writers still in it),
//     mark it retired (swap.h), remove its files, innermost first, then
//     its directories, the mark last, let go, and sync users/.
// A crash or power cut before 2 leaves the whole account; after it, an
// invisible remainder. Its index entry, until step 3, names an account
// whose profile no longer confirms it: no lookup trusts such an entry, so
// the address is free at once, and a registration of it takes the entry
// over. vs_user_delete_remainders finishes 3 and 4 (the next deletion of
// the account does so for its own remainders; reindex and check for all).
//
// A save racing the deletion never brings the account back: no item or
// folder writer makes directories, and each reaches its directory by path
// when it starts. One that opened its directory before step 2 lands its
// file in the remainder, which step 4 removes (it succeeded before the
// deletion); one that starts after step 2 finds no directory and fails; a
// file created in a directory step 4 already removed cannot be made at
// all. Step 4 lists a directory again when a late file kept it from going.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "keldrune-vault-storage.h"
#include "accounts/claim.h"
#include "accounts/delete.h"
#include "accounts/profile.h"
#include "accounts/scan.h"
#include "foundation/email_index.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/swap.h"
#include "foundation/text.h"

// Steps 3 and 4 for the remainder name in users/ (open as users_fd; path
// users) of the account user_id. 0, or -1 with "<prefix>: ..." recorded.
static int vs_finish_remainder(const char *root, int users_fd, const char *users,
                               const char *name, const char *user_id, const char *prefix) {
  char rel[VS_ENTRY_PATH], path[VS_ENTRY_PATH];
  if (vs_path(rel, sizeof rel, "%s/" VS_PROFILE_NAME, name) != 0 ||
      vs_path(path, sizeof path, "%s/%s", users, rel) != 0) {
    vs_error_code(VAULT_INVALID, 0, "%s: path too long", prefix);
    return -1;
  }
  char *raw = nullptr;
  uint64_t len = 0;
  // The profile as the last change left it: a change on another host just
  // before the rename replaced it, and this client may still hold the
  // name for the file it replaced (GlusterFS), whose address is the old one.
  if (vs_read_file_current(root, path, &raw, &len) == 0) {
    VsText text(raw);
    VsDoc doc(vs_parse(text.get(), (size_t)len));
    const char *email = nullptr;
    if (doc && vs_profile_email(yyjson_doc_get_root(doc.get()), &email) == 1 &&
        vs_claim_release(root, email, user_id, prefix) != 0)
      return -1;
  } else if (!vs_read_absent(errno)) {
    vs_error_errno(errno, "%s: cannot read %s/%s (%s)", prefix, users, rel, strerror(errno));
    return -1;
  }
  // The remainder's whole lock, held until it is gone, as a replacement
  // holds the directory it swapped out: a sync that another host's caches
  // led here, and whose look for the mark they answered too, then asks a
  // listing of users/ (foundation/swap.h, vs_swap_unlisted). Writers that
  // reached the remainder before the rename finish first. No lock file, or
  // one still held after the wait, does not stop the removal.
  VsFd whole;
  vs_lock_take_below(users_fd, name, false, vs_lock_wait_ms(), whole);
  // Marked retired before anything in it goes, for another host whose
  // caches still lead users/<id> here (foundation/swap.h). A mark that
  // cannot be made does not stop the removal, as that host's reads then
  // only fail.
  vs_swap_mark(users_fd, name);
  int removed = vs_remove_tree(users_fd, name, 0);
  int e = errno;
  vs_lock_drop(whole);
  if (removed != 0) {
    vs_error_errno(e, "%s: cannot remove %s/%s (%s)", prefix, users, name, strerror(e));
    return -1;
  }
  if (fsync(users_fd) != 0) {
    vs_error_errno(errno, "%s: sync failed: %s (%s)", prefix, users, strerror(errno));
    return -1;
  }
  return 0;
}

int vs_user_delete_remainders(const char *root, const char *user_id, long *removed,
                              const char *prefix) {
  if (removed) *removed = 0;
  char users[VS_SCAN_USERS_PATH];
  VsList list;
  int opened = vs_users_list_open(root, users, list, prefix);
  if (opened != 0) return opened < 0 ? -1 : 0;
  // The rename of a deletion still running may not be on disk yet: it is
  // made durable before its address goes, as the deletion itself does.
  bool synced = false;
  int rc = 0;
  for (const char *name; (name = vs_list_next(list)) != nullptr;) {
    char id[VS_ID_MAX + 1];
    if (!vs_deleted_remainder(name, id) || (user_id && strcmp(id, user_id) != 0)) continue;
    if (!synced && fsync(list.fd.fd) != 0) {
      vs_error_errno(errno, "%s: sync failed: %s (%s)", prefix, users, strerror(errno));
      return -1;
    }
    synced = true;
    if (vs_finish_remainder(root, list.fd.fd, users, name, id, prefix) != 0)
      rc = -1;
    else if (removed)
      (*removed)++;
  }
  if (errno != 0 && rc == 0) {
    vs_error_errno(errno, "%s: cannot list %s (%s)", prefix, users, strerror(errno));
    return -1;
  }
  return rc;
}

static int vs_user_delete_body(const char *user_id) {
  static const char prefix[] = "delete";
  VsAccountPaths acct;
  if (vs_account_begin(user_id, "delete", acct) != 0) return -1;
  char users[VS_SCAN_USERS_PATH], nonce[VS_ID_BUF], hidden[VS_ENTRY_PATH];
  if (vs_users_dir(users, sizeof users, s_root) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "delete: path too long");
    return -1;
  }
  if (vs_uuid_generate(nonce) != 0 || vs_deleted_name(hidden, sizeof hidden, user_id, nonce) != 0) {
    vs_error_code(VAULT_IO, 0, "delete: no random source");
    return -1;
  }
  VsFd lock;
  int rc = vs_profile_lock(s_root, acct, lock, prefix);
  if (rc < 0) return -1;
  if (rc == 0) {
    VsFd users_fd(vs_open_beneath(s_root, users, O_RDONLY | O_DIRECTORY, 0));
    if (!users_fd.ok()) {
      vs_error_errno(errno, "delete: cannot open %s (%s)", users, strerror(errno));
      return -1;
    }
    // What a replacement cut short left goes first: a staged directory
    // that never committed must not be taken for a commit to finish once
    // users/<id> is gone (foundation/swap.h).
    if (vs_swap_clear(users_fd.fd, user_id) != 0 && errno != ENOENT) {
      vs_error_errno(errno, "delete: cannot remove an earlier replacement in %s (%s)", users,
                     strerror(errno));
      return -1;
    }
    // Step 2. A file system without the no-replace flag renames plainly:
    // the nonce makes the name one that nothing else has.
    if (renameat2(users_fd.fd, user_id, users_fd.fd, hidden, RENAME_NOREPLACE) != 0 &&
        (errno != EINVAL || renameat(users_fd.fd, user_id, users_fd.fd, hidden) != 0)) {
      if (errno != ENOENT) {
        vs_error_errno(errno, "delete: rename %s/%s (%s)", users, user_id, strerror(errno));
        return -1;
      }
      rc = 1;  // another deletion was first
    } else if (fsync(users_fd.fd) != 0) {
      // Hidden now, but a power cut could bring it back: its address stays
      // until a sync succeeds (the next deletion's, or reindex's).
      vs_error_errno(errno, "delete: sync failed: %s (%s)", users, strerror(errno));
      return -1;
    } else {
      vs_lock_drop(lock);
      if (vs_finish_remainder(s_root, users_fd.fd, users, hidden, user_id, prefix) != 0)
        return -1;  // the account is gone; its remainder waits for the next try
    }
  }
  // Remainders an earlier deletion of this account left (crash, failure).
  vs_lock_drop(lock);
  if (vs_user_delete_remainders(s_root, user_id, nullptr, prefix) != 0) return -1;
  if (rc == 1) {
    vs_error_code(VAULT_NOT_FOUND, 0, "delete: not found");
    return 1;
  }
  return 0;
}

extern "C" int vault_user_delete(const char *user_id) {
  return vs_call(vs_user_delete_body, user_id);
}
