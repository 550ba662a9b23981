// The e-mail index rebuilt from the accounts on disk (see reindex.h).
#include "admin/reindex.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "accounts/claim.h"
#include "accounts/delete.h"
#include "accounts/scan.h"
#include "foundation/atomic_write.h"
#include "foundation/email_index.h"
#include "foundation/files.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/results.h"
#include "foundation/swap.h"
#include "foundation/text.h"

namespace {

// The first failure of a run is its message; later ones are counted.
struct VsProblems {
  char first[VS_ERROR_SIZE] = "";
  long count = 0;
  void note() {
    if (count++ == 0) vs_copy_text(first, sizeof first, vs_error_str());
  }
};

// Whether an entry, read under its lock, is confirmed by the profile of the
// account it names (read now: it may have been registered since the
// accounts were read). One that cannot be read is kept.
bool vs_entry_confirmed(const char *root, const char *text) {
  VsDoc doc, profile;
  const char *id = nullptr, *email = nullptr;
  if (vs_index_parse(text, strlen(text), doc, &id, &email) != 0) return false;
  VsAccountPaths acct;
  if (vs_account_paths(acct, root, id) != 0) return false;
  return vs_profile_match(root, -1, nullptr, acct.profile, email, &profile) != 1;
}

// Removes entries of addresses no account held when the accounts were read
// (claims of writers that died, accounts removed by hand) unless their
// profile confirms them now, and entries that are no entries.
void vs_prune(const char *root, const char *index_dir, const VsAddressBook &book,
              VsReindexReport &r, VsProblems &p) {
  VsList list;
  if (vs_list_open(list, root, index_dir) != 0) {
    vs_error("reindex: cannot list %s (%s)", index_dir, strerror(errno));
    p.note();
    return;
  }
  for (const char *name; (name = vs_list_next(list)) != nullptr;) {
    if (!vs_index_entry_name(name) || vs_address_book_find(book, name, nullptr)) continue;
    VsIndexHold hold;
    char text[VS_INDEX_ENTRY_MAX];
    int rc = vs_index_lock(root, name, hold, text);
    if (rc == 1) continue;
    if (rc == 0 && vs_entry_confirmed(root, text)) continue;
    if (rc == 0 && vs_index_remove(hold, VS_INDEX_DEFER) == 0) {
      r.removed++;
      continue;
    }
    p.note();
  }
}

// Withdraws the authoritative mark, for good before anything else is
// written.
int vs_unmark(const char *marker) {
  if (unlink(marker) != 0 && errno != ENOENT) {
    vs_error("reindex: cannot remove %s (%s)", marker, strerror(errno));
    return -1;
  }
  if (vs_sync_parent(marker) != 0) {
    char failed[VS_ERROR_SIZE];
    vs_copy_text(failed, sizeof failed, vs_error_str());
    vs_error("reindex: %s", failed);
    return -1;
  }
  return 0;
}

// A run stopped before it changed the mark: the report says whether the
// index is authoritative as it stands.
int vs_stopped(const char *root, VsReindexReport &r) {
  r.authoritative = vs_index_authoritative(root) == 1;
  return -1;
}

}  // namespace

int vs_admin_reindex(const char *root, VsReindexMode mode, VsReindexReport &r,
                     const VsReindexProgress *progress) {
  char dir[VS_ENTRY_PATH], lock_path[VS_ENTRY_PATH], marker[VS_ENTRY_PATH],
      users[VS_ENTRY_PATH];
  if (vs_index_dir(dir, sizeof dir, root) != 0 ||
      vs_index_file(lock_path, sizeof lock_path, root, VS_INDEX_LOCK_NAME) != 0 ||
      vs_index_file(marker, sizeof marker, root, VS_INDEX_MARKER_NAME) != 0 ||
      vs_users_dir(users, sizeof users, root) != 0) {
    vs_error("reindex: path too long");
    return -1;
  }
  if (access(users, F_OK) != 0) {
    vs_error("reindex: no users directory under %s (%s)", root, strerror(errno));
    return -1;
  }
  if (vs_mkdir(root, dir) != 0) {
    char failed[VS_ERROR_SIZE];
    vs_copy_text(failed, sizeof failed, vs_error_str());
    vs_error("reindex: %s", failed);
    return vs_stopped(root, r);
  }
  VsFd lock(vs_open_beneath(root, lock_path, O_RDWR | O_CREAT, 0600));
  if (!lock.ok() || vs_lock_take(lock.fd, vs_lock_wait_ms()) != 0) {
    vs_error("reindex: cannot lock %s (%s)", lock_path,
             errno == EAGAIN ? "another reindex is running" : strerror(errno));
    return vs_stopped(root, r);
  }
  int was = vs_index_authoritative(root);
  if (was < 0) {
    vs_error("reindex: cannot examine %s (%s)", marker, strerror(errno));
    return -1;
  }
  if (was == 1 && vs_unmark(marker) != 0) return vs_stopped(root, r);

  VsProblems p;
  // Deletions cut short first: a remainder's address is released only if
  // no account holds it, so the entries written below are the live ones'.
  if (vs_user_delete_remainders(root, nullptr, &r.remainders, "reindex") != 0) p.note();
  // Replacements cut short: committed ones rolled forward, the rest removed.
  if (vs_swap_finish_leftovers(root, &r.replacements, "reindex") != 0) p.note();
  VsAddressBook book;
  if (vs_address_book_read(root, book, "reindex") != 0) p.note();
  if (book.unreadable) {
    vs_error("reindex: %ld profiles could not be read (%s)", book.unreadable,
             strerror(book.unreadable_errno));
    p.note();
  }
  // One entry per address, naming the account a scan finds first.
  for (size_t i = 0; i < book.n; i++) {
    if (progress && progress->tick) progress->tick(progress->ctx, (long)i, (long)book.n);
    if (i > 0 && strcmp(book.v[i].key, book.v[i - 1].key) == 0) continue;
    const VsKnownAddress *a = vs_address_book_find(book, book.v[i].key, nullptr);
    if (!vs_utf8_valid(a->email)) continue;  // no registration could have made it: scanned
    size_t count = 0;
    vs_address_book_find(book, book.v[i].key, &count);
    r.accounts += (long)count;
    char entry[VS_INDEX_ENTRY_MAX], holder[VS_ID_MAX + 1];
    int n = strlen(a->id) <= VS_UUID_LEN ? vs_index_format(entry, a->id, a->email) : -1;
    if (n < 0) continue;  // an address or id no entry can hold: scanned
    VsIndexHold hold;
    int rc = vs_claim_address(root, a->email, a->id, entry, (size_t)n, &book, VS_INDEX_DEFER,
                              hold, holder, "reindex");
    if (rc == VS_CLAIM_MADE)
      r.written++;
    else if (rc == VS_CLAIM_OURS || rc == VS_CLAIM_TAKEN)
      r.kept++;
    else
      p.note();
  }
  vs_prune(root, dir, book, r, p);
  bool synced = vs_index_sync_all(root) == 0;
  if (!synced) {
    char failed[VS_ERROR_SIZE];
    vs_copy_text(failed, sizeof failed, vs_error_str());
    vs_error("reindex: %s", failed);
    p.note();
  }
  // An index that was authoritative stays so (its entries were kept or
  // repaired, never lost), unless withdrawn on purpose; a new mark only
  // after a run without problems.
  bool mark = mode != VS_REINDEX_SCAN_MISSES &&
              (was == 1 || (mode == VS_REINDEX_AUTHORITATIVE && p.count == 0));
  if (mark && synced) {
    static const char k_marker[] = "{\"authoritative\":true}";
    if (vs_atomic_write(root, marker, k_marker, sizeof k_marker - 1) != 0) {
      char failed[VS_ERROR_SIZE];
      vs_copy_text(failed, sizeof failed, vs_error_str());
      vs_error("reindex: %s", failed);
      p.note();
      // A directory sync that fails after the rename leaves the mark in
      // place (the index under it is complete and synced): reported as
      // it is.
      r.authoritative = vs_index_authoritative(root) == 1;
    } else {
      r.authoritative = true;
    }
  }
  r.problems = p.count;
  if (p.count == 0) return 0;
  vs_error("%s", p.first);
  return -1;
}
