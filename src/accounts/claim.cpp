// The claim on an address (see claim.h) and the address book of the
// writers of many accounts.
#include "accounts/claim.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "accounts/scan.h"
#include "foundation/files.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/text.h"

VsAddressBook::~VsAddressBook() {
  for (size_t i = 0; i < n; i++) free(v[i].email);
  free(v);
}

static int vs_known_cmp(const void *a, const void *b) {
  const VsKnownAddress *x = (const VsKnownAddress *)a, *y = (const VsKnownAddress *)b;
  int c = strcmp(x->key, y->key);
  if (c != 0) return c;
  return x->order < y->order ? -1 : x->order > y->order ? 1 : 0;
}

int vs_users_list_open(const char *root, char *users, VsList &list, const char *prefix) {
  if (vs_users_dir(users, VS_SCAN_USERS_PATH, root) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "%s: path too long", prefix);
    return -1;
  }
  if (vs_list_open(list, root, users) != 0) {
    if (vs_list_absent(errno)) return 1;
    vs_error_errno(errno, "%s: cannot list %s (%s)", prefix, users, strerror(errno));
    return -1;
  }
  return 0;
}

int vs_address_book_read(const char *root, VsAddressBook &book, const char *prefix) {
  char users[VS_SCAN_USERS_PATH];
  VsList list;
  int opened = vs_users_list_open(root, users, list, prefix);
  if (opened != 0) return opened < 0 ? -1 : 0;
  VsBuf buf;
  for (const char *name; (name = vs_list_next(list)) != nullptr;) {
    if (!vs_scan_candidate(name)) continue;
    char rel[VS_ID_MAX + sizeof "/" VS_PROFILE_NAME + 1];
    if (vs_path(rel, sizeof rel, "%s/" VS_PROFILE_NAME, name) != 0) continue;
    uint64_t len = 0;
    if (vs_read_file_at_buf(root, list.fd.fd, users, rel, buf, YYJSON_PADDING_SIZE, &len) != 0) {
      if (!vs_read_absent(errno)) {
        if (!book.unreadable++) book.unreadable_errno = errno;
      }
      continue;
    }
    VsDoc doc(vs_parse(buf.p, (size_t)len));
    const char *email = nullptr;
    if (!doc || vs_profile_email(yyjson_doc_get_root(doc.get()), &email) != 1) continue;
    char key[VS_INDEX_KEY_BUF];
    vs_index_key(email, key);
    // Appended unsorted; sorted once below.
    if (book.n == book.cap) {
      size_t cap = book.cap ? book.cap * 2 : 256;
      void *p = realloc(book.v, cap * sizeof *book.v);
      if (!p) {
        vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", prefix);
        return -1;
      }
      book.v = (VsKnownAddress *)p;
      book.cap = cap;
    }
    char *copy = strdup(email);
    if (!copy) {
      vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", prefix);
      return -1;
    }
    VsKnownAddress &a = book.v[book.n];
    memcpy(a.key, key, sizeof key);
    vs_copy_text(a.id, sizeof a.id, name);
    a.email = copy;
    a.order = book.n;
    book.n++;
  }
  if (errno != 0) {
    vs_error_errno(errno, "%s: cannot list %s (%s)", prefix, users, strerror(errno));
    return -1;
  }
  if (book.n) qsort(book.v, book.n, sizeof *book.v, vs_known_cmp);
  return 0;
}

// The first entry whose key is not below key.
static size_t vs_book_lower(const VsAddressBook &b, const char *key) {
  size_t lo = 0, hi = b.n;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (strcmp(b.v[mid].key, key) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// The holder of key listed first: within a key the book is in listing
// order.
static const VsKnownAddress *vs_book_first(const VsAddressBook &b, const char *key,
                                           size_t *count) {
  size_t lo = vs_book_lower(b, key), end = lo;
  while (end < b.n && strcmp(b.v[end].key, key) == 0) end++;
  if (count) *count = end - lo;
  return end > lo ? &b.v[lo] : nullptr;
}

const VsKnownAddress *vs_address_book_find(const VsAddressBook &b, const char *key,
                                           size_t *count) {
  return vs_book_first(b, key, count);
}

// Looks for an account other than user_id holding email, as a lookup's scan
// would (or in the book): 0 found (holder filled, empty for an id too long
// to hand out), 1 none, -1 unsure (errno), -2 the users path does not fit.
// The account user_id itself, found first, is no other holder (a replacing
// import puts it back; reindex names the first of several holders).
static int vs_look_elsewhere(const char *root, const char *email, const char *user_id,
                             const VsAddressBook *book, char *holder) {
  holder[0] = '\0';
  if (book) {
    char key[VS_INDEX_KEY_BUF];
    vs_index_key(email, key);
    const VsKnownAddress *a = vs_book_first(*book, key, nullptr);
    if (!a || strcmp(a->id, user_id) == 0) return 1;
    vs_copy_text(holder, VS_ID_MAX + 1, a->id);
    return 0;
  }
  char id[VS_ID_BUF] = "";
  int rc = vs_user_scan(root, email, id, nullptr, nullptr, nullptr);
  if (rc == 0 && strcmp(id, user_id) == 0) return 1;
  if (rc == 0) {
    vs_copy_text(holder, VS_ID_MAX + 1, id);
    return 0;
  }
  if (rc == VS_SCAN_ID_TOO_LONG) return 0;
  if (rc == 1) return 1;
  return rc == VS_SCAN_PATH_TOO_LONG ? -2 : -1;
}

void vs_claim_drop(VsIndexHold &hold) {
  VsErrorSave failed;
  vs_error_save(failed);
  if (vs_index_remove(hold) != 0) vs_error_restore(failed);
}

static int vs_claim_unsure(const char *prefix, int rc, int e) {
  if (rc == -2)
    vs_error_code(VAULT_IO, ENAMETOOLONG, "%s: path too long", prefix);
  else
    vs_error_errno(e, "%s: cannot check email (%s)", prefix,
             e == EAGAIN ? "another registration of it holds its index entry too long"
                         : strerror(e));
  return VS_CLAIM_FAILED;
}

int vs_claim_address(const char *root, const char *email, const char *user_id,
                     const char *entry, size_t len, const VsAddressBook *book,
                     VsIndexSync sync, VsIndexHold &hold, char *holder, const char *prefix) {
  char key[VS_INDEX_KEY_BUF];
  vs_index_key(email, key);
  holder[0] = '\0';
  for (int round = 0; round < 16; round++) {
    int rc = vs_index_create(root, key, entry, len, hold, sync);
    if (rc == VS_INDEX_UNSYNCED) return VS_CLAIM_UNSYNCED;
    if (rc < 0) {
      int e = errno;
      return vs_claim_unsure(prefix, -1, e);
    }
    if (rc == 0) {
      // Step 1: the accounts the index does not know, unless the operator
      // has declared it complete.
      int auth = vs_index_authoritative(root);
      if (auth == 1) return VS_CLAIM_MADE;
      int found = auth < 0 ? -1 : vs_look_elsewhere(root, email, user_id, book, holder);
      if (found == 1) return VS_CLAIM_MADE;
      int e = errno;
      vs_index_remove(hold);
      if (found == 0) return VS_CLAIM_TAKEN;
      return vs_claim_unsure(prefix, found, e);
    }
    // Step 2: an entry exists.
    char text[VS_INDEX_ENTRY_MAX];
    rc = vs_index_lock(root, key, hold, text);
    if (rc == 1) continue;  // removed meanwhile: make it anew
    if (rc != 0) {
      int e = errno;
      return vs_claim_unsure(prefix, -1, e);
    }
    VsDoc doc, profile;
    const char *id = nullptr, *stored = nullptr;
    VsAccountPaths acct;
    if (vs_index_parse(text, strlen(text), doc, &id, &stored) == 0 &&
        vs_email_equal(stored, email) && vs_account_paths(acct, root, id) == 0) {
      rc = vs_profile_match(root, -1, nullptr, acct.profile, email, &profile);
      if (rc == 0) {
        if (strcmp(id, user_id) == 0) return VS_CLAIM_OURS;
        vs_copy_text(holder, VS_ID_MAX + 1, id);
        hold.release();
        return VS_CLAIM_TAKEN;
      }
      if (rc < 0) {
        int e = errno;
        hold.release();
        return vs_claim_unsure(prefix, -1, e);
      }
    }
    // Step 3: unconfirmed. Looked for first, as a lookup does.
    int found = vs_look_elsewhere(root, email, user_id, book, holder);
    if (found != 1) {
      int e = errno;
      hold.release();
      return found == 0 ? VS_CLAIM_TAKEN : vs_claim_unsure(prefix, found, e);
    }
    rc = vs_index_replace(hold, entry, len, sync);
    if (rc == 0) return VS_CLAIM_MADE;
    if (rc == VS_INDEX_UNSYNCED) return VS_CLAIM_UNSYNCED;
    int e = errno;
    hold.release();
    return vs_claim_unsure(prefix, -1, e);
  }
  vs_error_code(VAULT_BUSY, 0, "%s: cannot claim email (its index entry keeps changing)", prefix);
  return VS_CLAIM_FAILED;
}

// The failure of a release: the failing step's message, prefixed, with its
// code and errno (a full disk stays VAULT_NO_SPACE for the caller).
static int vs_release_failed(const char *prefix) {
  char failed[VS_ERROR_SIZE];
  vs_copy_text(failed, sizeof failed, vs_error_str());
  vs_error_code(vs_error_code_now(), vs_error_errno_now(), "%s: cannot release email (%s)", prefix,
                failed);
  return -1;
}

int vs_claim_release(const char *root, const char *email, const char *user_id,
                     const char *prefix) {
  char key[VS_INDEX_KEY_BUF];
  vs_index_key(email, key);
  VsIndexHold hold;
  char text[VS_INDEX_ENTRY_MAX];
  int rc = vs_index_lock(root, key, hold, text);
  if (rc == 1) return 0;  // no entry
  if (rc != 0) return vs_release_failed(prefix);
  VsDoc doc, profile;
  const char *id = nullptr, *stored = nullptr;
  if (vs_index_parse(text, strlen(text), doc, &id, &stored) != 0 || strcmp(id, user_id) != 0)
    return 0;  // another account's (or garbage, which the next claim takes over)
  VsAccountPaths acct;
  if (vs_account_paths(acct, root, user_id) != 0) {
    vs_error("%s: path too long", prefix);
    return -1;
  }
  rc = vs_profile_match(root, -1, nullptr, acct.profile, email, &profile);
  if (rc == 0) return 0;  // still this account's address
  if (rc < 0) {
    vs_error_errno(errno, "%s: cannot release email (%s)", prefix, strerror(errno));
    return -1;
  }
  return vs_index_remove(hold) == 0 ? 0 : vs_release_failed(prefix);
}
