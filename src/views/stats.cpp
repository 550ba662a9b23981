// Storage statistics: how many accounts, ciphers, trashed ciphers and folder
// lists the data tree holds and how many bytes the ciphers and folder lists
// take, as a small JSON object. Works from directory listings and file-status
// queries only; no document is opened. Counters and sizes are 64-bit so that
// large trees never wrap, and the root is written as a proper JSON string.
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "keldrune-vault-storage.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/moves.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/swap.h"
#include "foundation/text.h"

namespace {

constexpr size_t VS_STATS_ACCOUNTS = VAULT_STATS_ACCOUNTS;  // accounts examined per call
constexpr size_t VS_STATS_NAME = 264;     // table slot for one account name

struct VsStats {
  uint64_t users, ciphers, folders, trash, bytes;
};

// The size a status query reports for a regular file; anything else (a
// directory, FIFO or link planted under a document's name) holds no vault
// data. Links are never followed (directories are listed with vs_list_open,
// files queried without following), so nothing outside the tree counts.
uint64_t vs_file_bytes(const struct stat &st) {
  return S_ISREG(st.st_mode) && st.st_size > 0 ? (uint64_t)st.st_size : 0;
}

// Says that path could not be read or queried (errno) and returns -1. Only
// what is surely not there, or no document, is passed over: statistics
// that leave out what could not be looked at would report a smaller tree
// as a success.
int vs_stats_unknown(const char *path) {
  vs_error_errno(errno, "stats: cannot read %s (%s)", path, strerror(errno));
  return -1;
}

// Opens a listing; 1 when nothing is there to list, or a link, whose
// target is outside the tree and holds no vault data.
int vs_stats_list(VsList &dir, const char *path) {
  if (vs_list_open(dir, s_root, path) == 0) return 0;
  return vs_list_absent(errno) || errno == ELOOP ? 1 : vs_stats_unknown(path);
}

// The end of a listing, or its failure.
int vs_stats_listed(const char *path) { return errno == 0 ? 0 : vs_stats_unknown(path); }

// linked: set when a live file has a second name, which may be its trash
// name (see vs_stats_trash).
int vs_stats_ciphers(const char *dir_path, VsStats &st, bool &linked) {
  VsList dir;
  int rc = vs_stats_list(dir, dir_path);
  if (rc != 0) return rc > 0 ? 0 : -1;
  size_t dir_len = strlen(dir_path);
  for (;;) {
    const char *name = vs_list_next(dir);
    if (!name) return vs_stats_listed(dir_path);
    if (!vs_item_file_name(name)) continue;
    // The entry's path ("%s/%s") must fit its buffer to be taken at all.
    if (dir_len + 1 + strlen(name) >= VS_ENTRY_PATH) continue;
    st.ciphers++;
    // A file removed since the listing still counts, without a size.
    struct stat sb;
    if (fstatat(dir.fd.fd, name, &sb, AT_SYMLINK_NOFOLLOW) == 0) {
      st.bytes += vs_file_bytes(sb);
      if (sb.st_nlink > 1) linked = true;
    } else if (errno != ENOENT) {
      return vs_stats_unknown(dir_path);
    }
  }
}

// linked: a live file has a second name (vs_stats_ciphers); only then are
// trashed names compared with the live ones, one status query each.
int vs_stats_trash(const char *dir_path, const char *live_path, bool linked, VsStats &st) {
  VsList dir;
  int rc = vs_stats_list(dir, dir_path);
  if (rc != 0) return rc > 0 ? 0 : -1;
  VsFd live;
  if (linked) live.reset(vs_open_beneath(s_root, live_path, O_RDONLY | O_DIRECTORY, 0));
  for (;;) {
    const char *name = vs_list_next(dir);
    if (!name) return vs_stats_listed(dir_path);
    if (vs_trash_file_name(name) && !(linked && vs_live_twin(dir.fd.fd, live.fd, name)))
      st.trash++;
  }
}

int vs_stats_account_once(const VsAccountPaths &acct, VsStats &st) {
  bool linked = false;
  if (vs_stats_ciphers(acct.ciphers, st, linked) != 0 ||
      vs_stats_trash(acct.trash, acct.ciphers, linked, st) != 0)
    return -1;
  struct stat sb;
  if (vs_check_beneath(s_root, acct.folders) != 0 ||
      fstatat(AT_FDCWD, acct.folders, &sb, AT_SYMLINK_NOFOLLOW) != 0)
    return vs_read_absent(errno) ? 0 : vs_stats_unknown(acct.folders);
  st.folders++;
  st.bytes += vs_file_bytes(sb);
  return 0;
}

// One account's counts, all from one directory: a replacement swaps in
// another directory and removes the old one (its listing then fails with
// ENOENT, or counts what is left of it), so the directory is held for the
// count and the account counted again when it was swapped meanwhile
// (swap.h). A few rounds: each lost is a whole replacement committed.
int vs_stats_account(const char *name, VsStats &st) {
  // Any path too long for its buffer is longer than the system takes: an
  // account that cannot be formed has nothing that could be counted.
  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, name) != 0) return 0;
  enum { VS_STATS_ROUNDS = 8 };
  for (int round = 0;; round++) {
    struct stat seen;
    VsFd held(vs_swap_hold(s_root, acct.dir, &seen));
    // Out of descriptors: the listings need the held one more, and the
    // directory is compared by its status alone (an inode number could then
    // come back, at worst, after two replacements within one count).
    bool have = held.ok() || ((errno == EMFILE || errno == ENFILE) && stat(acct.dir, &seen) == 0);
    VsStats one = {};
    int rc = vs_stats_account_once(acct, one);
    if (rc != 0 && held.ok() && (vs_error_errno_now() == EMFILE || vs_error_errno_now() == ENFILE)) {
      held.reset();
      one = VsStats{};
      rc = vs_stats_account_once(acct, one);
    }
    bool again = have && round + 1 < VS_STATS_ROUNDS &&
                 (rc != 0 ? vs_swap_gone(s_root, held.fd, acct.dir, seen, vs_error_errno_now())
                          : vs_swap_moved(s_root, held.fd, acct.dir, seen));
    if (again) {
      errno = ENOENT;
      vs_swap_settle(s_root, acct.dir);
      continue;
    }
    if (rc != 0) return -1;
    st.ciphers += one.ciphers;
    st.folders += one.folders;
    st.trash += one.trash;
    st.bytes += one.bytes;
    return 0;
  }
}

// Appends one account name to the packed names (each with its NUL). 0, or
// -1 with the message recorded.
int vs_stats_keep(VsText &names, size_t &used, size_t &cap, const char *name) {
  size_t len = strlen(name);
  if (len >= VS_STATS_NAME) len = 0;  // kept as the empty name: passed over
  if (used + len + 1 > cap) {
    size_t grown = cap ? 2 * cap : 64 * 40;
    while (grown < used + len + 1) grown *= 2;
    char *p = static_cast<char *>(realloc(names.get(), grown));
    if (!p) {
      vs_error_code(VAULT_NO_MEMORY, ENOMEM, "stats: out of memory");
      return -1;
    }
    names.release();
    names.reset(p);
    cap = grown;
  }
  memcpy(names.get() + used, name, len);
  names.get()[used + len] = '\0';
  used += len + 1;
  return 0;
}

bool vs_stats_kept(const VsText &names, size_t used, const char *name) {
  for (size_t at = 0; at < used; at += strlen(names.get() + at) + 1)
    if (strcmp(names.get() + at, name) == 0) return true;
  return false;
}

// Lists the users directory: every name not starting with "." counts, and
// the first `examine` of them (SIZE_MAX: all) are examined once the listing
// is closed, so that one descriptor at a time is enough. A name too long for
// a slot of the original 64-name table (no user id is that long) keeps its
// place but is not examined (a cut name would be another directory). 0, or
// -1 with the message recorded.
int vs_stats_users(VsStats &st, size_t examine) {
  char users[VS_ACCOUNT_PATH];
  if (vs_users_dir(users, sizeof users, s_root) != 0) return 0;
  // The names to examine, each with its NUL, one after the other.
  VsText names;
  size_t used = 0, cap = 0, n = 0;
  // An account in the middle of a replacement (swap.h) may be listed under
  // neither name: the swap is finished and the directory listed again (a
  // few times at most, each time only when a replacement's name is seen).
  // A listing that meets renames may also pass over a name that was there
  // all along, under its old name and its new one: every account a
  // replacement's name was seen for (traced) is looked up by its own name
  // after the listing.
  enum { VS_STATS_TRACED = 8 };
  char traced[VS_STATS_TRACED][VS_ID_MAX + 1];
  int n_traced = 0;
  const auto users_before = st.users;
  for (int round = 0, again = 1; again && round < 3; round++) {
    again = 0;
    st.users = users_before;
    used = n = 0;
    n_traced = 0;
    VsList dir;
    int rc = vs_stats_list(dir, users);
    if (rc != 0) return rc > 0 ? 0 : -1;
    for (;;) {
      const char *name = vs_list_next(dir);
      if (!name) {
        if (vs_stats_listed(users) != 0) return -1;
        break;
      }
      char id[VS_ID_MAX + 1], path[VS_ENTRY_PATH];
      VsSwapName kind = vs_swap_name(name, id);
      if (kind == VS_SWAP_REPLACE && vs_path(path, sizeof path, "%s/%s", users, id) == 0) {
        errno = ENOENT;
        vs_swap_settle(s_root, path);
        again = round < 2;
      }
      if (kind != VS_SWAP_NONE && n_traced < VS_STATS_TRACED) memcpy(traced[n_traced++], id, sizeof id);
      if (!vs_account_name(name)) continue;
      st.users++;
      if (n == examine) continue;
      n++;
      if (vs_stats_keep(names, used, cap, name) != 0) return -1;
    }
  }
  for (int k = 0; k < n_traced && n < examine; k++) {
    char path[VS_ENTRY_PATH];
    if (vs_stats_kept(names, used, traced[k]) || vs_path(path, sizeof path, "%s/%s", users, traced[k]) != 0)
      continue;
    errno = ENOENT;
    if (!vs_swap_settle(s_root, path)) continue;  // not (or no longer) an account
    st.users++;
    n++;
    if (vs_stats_keep(names, used, cap, traced[k]) != 0) return -1;
  }
  for (size_t at = 0; at < used; at += strlen(names.get() + at) + 1)
    if (names.get()[at] && vs_stats_account(names.get() + at, st) != 0) return -1;
  return 0;
}

// The document for the counts into out (size bytes), the root as a JSON
// string; -1 when it does not fit or no memory was left for the escape.
int vs_stats_format(char *out, size_t size, const VsStats &st) {
  size_t esc_size = strlen(s_root) * 6 + 1;  // every byte escaped, at worst
  VsText root(static_cast<char *>(malloc(esc_size)));
  size_t root_len = 0;
  if (!root || vs_json_escape(root.get(), esc_size, &root_len, s_root) != 0) return -1;
  return vs_path(out, size,
                 "{\"users\":%" PRIu64 ",\"ciphers\":%" PRIu64 ",\"folders\":%" PRIu64
                 ",\"trash\":%" PRIu64 ",\"vault_bytes\":%" PRIu64 ",\"root\":\"%s\"}",
                 st.users, st.ciphers, st.folders, st.trash, st.bytes, root.get());
}

}  // namespace

static const char *vs_storage_get_stats_json_body(void) {
  char *out = vs_result_begin(VS_RES_STATS, "stats");
  if (!out) return nullptr;
  if (!s_root) {
    vs_error_code(VAULT_NO_ROOT, 0, "stats: not initialized");
    return nullptr;
  }
  VsStats st{0, 0, 0, 0, 0};
  if (vs_stats_users(st, VS_STATS_ACCOUNTS) != 0) return nullptr;
  if (vs_stats_format(out, VS_STATS_BUF_SIZE, st) != 0) {
    out[0] = '\0';
    vs_error_code(VAULT_TOO_LARGE, 0, "stats: too large");
    return nullptr;
  }
  return out;
}

// The same counts over every account, in a text of any size.
static char *vs_storage_get_stats_json_alloc_body(size_t *len_out) {
  if (!s_root) {
    vs_error_code(VAULT_NO_ROOT, 0, "stats: not initialized");
    return nullptr;
  }
  VsStats st{0, 0, 0, 0, 0};
  if (vs_stats_users(st, SIZE_MAX) != 0) return nullptr;
  size_t size = strlen(s_root) * 6 + 160;  // the escaped root and five numbers
  VsText out(static_cast<char *>(malloc(size)));
  if (!out || vs_stats_format(out.get(), size, st) != 0) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "stats: out of memory");
    return nullptr;
  }
  if (len_out) *len_out = strlen(out.get());
  return out.release();
}

// The exports: each records its call's code (results.h).
extern "C" const char *vault_storage_get_stats_json(void) {
  return vs_call(vs_storage_get_stats_json_body);
}

extern "C" char *vault_storage_get_stats_json_alloc(size_t *len_out) {
  return vs_call(vs_storage_get_stats_json_alloc_body, len_out);
}
