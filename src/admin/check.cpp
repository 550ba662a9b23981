// The consistency check of a data root (see check.h). The walk goes over
// the root, users/, every account and the e-mail index in sorted order;
// the addresses of the profiles are gathered on the way (folded as lookups
// compare them) and compared with each other and with the index at the end.
#include "admin/check.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <yyjson.h>

#include "admin/tree.h"
#include "foundation/email_index.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/temp_names.h"
#include "foundation/text.h"

namespace {

enum : size_t { VS_DETAIL = 16384 };  // a finding's text: a few paths and words

// One account whose profile holds a usable address.
struct VsHeld {
  char *key;     // the address folded as lookups compare it (malloc'ed)
  char *id;      // the account (malloc'ed)
  size_t order;  // walk order
  bool confirmed = false;  // an index entry names it and its profile confirms it
};

struct VsCheck {
  const char *root;
  const VsCheckSink &sink;
  VsCheckReport &r;
  time_t now = 0;
  long long stale_minutes = -1;
  VsHeld *held = nullptr;  // in walk order (sorted by id) until the end of the walk
  size_t n_held = 0, cap_held = 0;
  char **syncable = nullptr;  // account directories, for the sync size check
  size_t n_sync = 0, cap_sync = 0;
  bool out_of_memory = false;
  VsCheck(const char *rt, const VsCheckSink &s, VsCheckReport &rep) : root(rt), sink(s), r(rep) {}
  ~VsCheck() {
    for (size_t i = 0; i < n_held; i++) free(held[i].key), free(held[i].id);
    free(held);
    for (size_t i = 0; i < n_sync; i++) free(syncable[i]);
    free(syncable);
  }
};

void vs_find(VsCheck &c, const char *kind, const char *path, long long age, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void vs_find(VsCheck &c, const char *kind, const char *path, long long age, const char *fmt, ...) {
  char detail[VS_DETAIL];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(detail, sizeof detail, fmt, ap);
  va_end(ap);
  c.r.findings++;
  if (c.sink.finding) c.sink.finding(c.sink.ctx, VsFinding{kind, path, detail, age});
}

// Permission bits: directories 0700, files 0600, exactly.
void vs_check_mode(VsCheck &c, const char *path, const struct stat &st) {
  if (S_ISLNK(st.st_mode)) return;  // a link's own bits mean nothing; reported as wrong-kind
  mode_t want = S_ISDIR(st.st_mode) ? 0700 : 0600;
  if ((st.st_mode & 07777) != want)
    vs_find(c, "permissions", path, -1, "%04o, expected %04o", (unsigned)(st.st_mode & 07777),
            (unsigned)want);
}

// lstat of one entry; false when it vanished meanwhile (a running host).
bool vs_stat(const char *path, struct stat &st) { return lstat(path, &st) == 0; }

// How a parked move source relates to another copy of its item.
void vs_compare_copy(VsCheck &c, const char *parked, const struct stat &pst, const char *other,
                     char *out, size_t size) {
  struct stat ost;
  if (lstat(other, &ost) != 0) {
    snprintf(out, size, "absent");
    return;
  }
  if (ost.st_dev == pst.st_dev && ost.st_ino == pst.st_ino) {
    snprintf(out, size, "the same file, the move finished");
    return;
  }
  if (!S_ISREG(ost.st_mode)) {
    snprintf(out, size, "%s", vs_kind_name(ost.st_mode));
    return;
  }
  uint64_t la = 0, lb = 0;
  const char *why = nullptr;
  VsText a(vs_admin_read(c.root, parked, &la, &why));
  VsText b(a ? vs_admin_read(c.root, other, &lb, &why) : nullptr);
  if (!a || !b)
    snprintf(out, size, "cannot compare (%s)", why);
  else
    snprintf(out, size, "%s",
             la == lb && memcmp(a.get(), b.get(), (size_t)la) == 0 ? "the same content"
                                                                     : "different content");
}

// A name parked by a move is never removed, whatever its age: a mover
// killed before putting back a file that was not the moved one (a save
// that landed on the name meanwhile) leaves that version there only. The
// finding compares it with the item's live and trashed copies.
void vs_parked(VsCheck &c, const char *dir, const char *path, const char *item,
               const struct stat &st, long long age) {
  char copies[VS_DETAIL] = "", other[VS_ENTRY_PATH], how[512];
  const char *slash = strrchr(dir, '/');
  const char *leaf = slash ? slash + 1 : dir;
  if (slash && (strcmp(leaf, VS_CIPHERS_NAME) == 0 || strcmp(leaf, VS_TRASH_NAME) == 0)) {
    int account_len = (int)(slash - dir);
    const char *subs[2] = {VS_CIPHERS_NAME, VS_TRASH_NAME};
    size_t pos = 0;
    for (int i = 0; i < 2; i++) {
      if (vs_path(other, sizeof other, "%.*s/%s/%s", account_len, dir, subs[i], item) != 0)
        snprintf(how, sizeof how, "cannot compare (%s)", strerror(ENAMETOOLONG));
      else
        vs_compare_copy(c, path, st, other, how, sizeof how);
      int n = snprintf(copies + pos, sizeof copies - pos, "%s%s/%s: %s", i ? "; " : "", subs[i],
                       item, how);
      if (n > 0) pos += (size_t)n < sizeof copies - pos ? (size_t)n : sizeof copies - pos - 1;
    }
  } else {
    if (vs_path(other, sizeof other, "%s/%s", dir, item) != 0)
      snprintf(how, sizeof how, "cannot compare (%s)", strerror(ENAMETOOLONG));
    else
      vs_compare_copy(c, path, st, other, how, sizeof how);
    snprintf(copies, sizeof copies, "%s: %s", item, how);
  }
  vs_find(c, "parked-move", path, age,
          "item name parked by an interrupted trash or restore move; it may be the only copy "
          "of a newer save: compare it with the live and trash copies before removing "
          "anything (%s), age %llds",
          copies, age);
}

// A name the library gives files that are not documents. Reported with its
// age; a leftover of a write is removed instead when it is older than the
// limit the operator gave (and then no longer reported in any way). False
// when the name is not one of them.
bool vs_temp(VsCheck &c, const char *dir, const char *name, const struct stat &st) {
  size_t item_len = 0;
  VsTempKind kind = vs_temp_kind(name, &item_len);
  if (kind == VS_TEMP_NONE) return false;
  char path[VS_ENTRY_PATH];
  if (vs_path(path, sizeof path, "%s/%s", dir, name) != 0) return true;
  long long age = (long long)(c.now - st.st_mtime);
  if (age < 0) age = 0;
  if (S_ISREG(st.st_mode) && kind != VS_TEMP_PARKED && c.stale_minutes >= 0 &&
      age >= c.stale_minutes * 60) {
    if (unlink(path) == 0) {
      c.r.removed++;
      if (c.sink.removed) c.sink.removed(c.sink.ctx, VsFinding{"temp-file", path, "removed", age});
      return true;
    }
    c.r.removal_failed = true;
    vs_check_mode(c, path, st);
    vs_find(c, "temp-file", path, age, "could not remove: %s", strerror(errno));
    return true;
  }
  vs_check_mode(c, path, st);
  if (!S_ISREG(st.st_mode)) {
    vs_find(c, "wrong-kind", path, -1, "temporary name held by %s", vs_kind_name(st.st_mode));
    return true;
  }
  if (kind == VS_TEMP_PARKED) {
    char item[VS_ENTRY_PATH];
    snprintf(item, sizeof item, "%.*s", (int)item_len, name);
    vs_parked(c, dir, path, item, st, age);
    return true;
  }
  vs_find(c, "temp-file", path, age, "leftover of an interrupted write, age %llds", age);
  return true;
}

// Reads and parses one document. want is the root type it must have
// (YYJSON_TYPE_NONE: any); max the largest size the read exports accept
// (-1: none). Returns the parsed document for callers that look inside.
VsDoc vs_document(VsCheck &c, const char *path, const struct stat &st, yyjson_type want,
                  long long max, const char *what) {
  vs_check_mode(c, path, st);
  if (!S_ISREG(st.st_mode)) {
    vs_find(c, "wrong-kind", path, -1, "%s is %s", what, vs_kind_name(st.st_mode));
    return nullptr;
  }
  c.r.documents++;
  uint64_t len = 0;
  const char *why = nullptr;
  VsText text(vs_admin_read(c.root, path, &len, &why));
  if (!text) {
    vs_find(c, "unreadable", path, -1, "%s", why);
    return nullptr;
  }
  if (max >= 0 && (long long)len > max)
    vs_find(c, "too-large", path, -1,
            "%llu bytes; the fixed-size read functions return at most %lld (hosts need their "
            "_alloc variants)",
            (unsigned long long)len, max);
  yyjson_read_err err;
  VsDoc doc(vs_parse(text.get(), (size_t)len, &err));
  if (!doc) {
    vs_find(c, "not-json", path, -1, "%s at byte %zu", err.msg ? err.msg : "invalid", err.pos);
    return nullptr;
  }
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (want != YYJSON_TYPE_NONE && yyjson_get_type(root) != want)
    vs_find(c, "wrong-root", path, -1, "%s must be %s, holds %s", what,
            want == YYJSON_TYPE_OBJ ? "an object" : "an array", yyjson_get_type_desc(root));
  return doc;
}

int vs_name_cmp(const void *a, const void *b) {
  return strcmp(*(char *const *)a, *(char *const *)b);
}

// ciphers/ or trash/ of one account. live: the sorted names of ciphers/
// (filled when checking ciphers/, consulted for the trash).
void vs_check_items(VsCheck &c, const char *dir, bool trash, VsNames &live) {
  VsNames names;
  if (vs_names_read(c.root, dir, names) != 0) {
    vs_find(c, "unreadable", dir, -1, "%s", strerror(errno));
    return;
  }
  char p[VS_ENTRY_PATH], id[VS_ENTRY_PATH];
  for (size_t i = 0; i < names.n; i++) {
    const char *n = names.v[i];
    struct stat st;
    if (vs_path(p, sizeof p, "%s/%s", dir, n) != 0 || !vs_stat(p, st)) continue;
    if (vs_temp(c, dir, n, st)) continue;
    bool listed = trash ? vs_trash_file_name(n) : vs_item_file_name(n);
    if (!listed) {
      vs_check_mode(c, p, st);
      vs_find(c, "bad-name", p, -1, "%s",
              trash ? "not an item file name; ignored by the library"
                    : "not an item file name; every listing passes over it");
      continue;
    }
    snprintf(id, sizeof id, "%.*s", (int)(strlen(n) - (sizeof VS_DOC_SUFFIX - 1)), n);
    if (!vs_id_safe(id))
      vs_find(c, "bad-name", p, -1, "%s",
              trash ? "counted in the trash, but no identifier can restore it"
                    : "listed by sync, but no identifier can read, trash or delete it");
    vs_document(c, p, st, YYJSON_TYPE_NONE, trash ? -1 : (long long)VS_CIPHER_MAX,
                trash ? "a trashed item" : "an item");
    if (!trash) continue;  // names.v is sorted: ciphers/ keeps its listing below
    if (live.n == 0 || !bsearch(&n, live.v, live.n, sizeof *live.v, vs_name_cmp)) continue;
    struct stat lst;
    char other[VS_ENTRY_PATH];
    const char *slash = strrchr(dir, '/');
    bool twin = slash &&
                vs_path(other, sizeof other, "%.*s/%s/%s", (int)(slash - dir), dir,
                        VS_CIPHERS_NAME, n) == 0 &&
                vs_stat(other, lst) && lst.st_dev == st.st_dev && lst.st_ino == st.st_ino;
    if (twin)
      vs_find(c, "cut-short-restore", p, -1, "%s",
              "one file under its live and its trash name: a restore stopped between its two "
              "steps (where renames cannot refuse to replace); the library shows it as live. "
              "`cipher restore` finishes it, `cipher delete` moves it to the trash");
    else
      vs_find(c, "live-and-trash", p, -1, "%s",
              "the same identifier is live in ciphers/: trashing and restoring it fail until "
              "one copy is removed");
  }
  if (!trash) {  // the live names, for the trash
    live.clear();
    live.v = names.v, live.n = names.n, live.cap = names.cap;
    names.v = nullptr, names.n = names.cap = 0;
  }
}

bool vs_hold(VsCheck &c, const char *email, const char *id) {
  if (c.n_held == c.cap_held) {
    size_t cap = c.cap_held ? c.cap_held * 2 : 64;
    VsHeld *grown = (VsHeld *)realloc(c.held, cap * sizeof *grown);
    if (!grown) return false;
    c.held = grown;
    c.cap_held = cap;
  }
  char *key = strdup(email), *copy = strdup(id);
  if (!key || !copy) {
    free(key), free(copy);
    return false;
  }
  for (char *k = key; *k; k++) *k = (char)vs_email_fold((unsigned char)*k);
  c.held[c.n_held] = VsHeld{key, copy, c.n_held, false};
  c.n_held++;
  return true;
}

bool vs_push(char **&v, size_t &n, size_t &cap, const char *s) {
  if (n == cap) {
    size_t grown_cap = cap ? cap * 2 : 64;
    char **grown = (char **)realloc(v, grown_cap * sizeof *grown);
    if (!grown) return false;
    v = grown;
    cap = grown_cap;
  }
  if (!(v[n] = strdup(s))) return false;
  n++;
  return true;
}

void vs_check_account(VsCheck &c, const VsAccountPaths &paths, const char *id) {
  c.r.accounts++;
  const char *dir = paths.dir;
  VsNames names;
  if (vs_names_read(c.root, dir, names) != 0) {
    vs_find(c, "unreadable", dir, -1, "%s", strerror(errno));
    return;
  }
  bool has_profile = false, has_ciphers = false, has_trash = false;
  char p[VS_ENTRY_PATH];
  for (size_t i = 0; i < names.n; i++) {
    const char *n = names.v[i];
    struct stat st;
    if (vs_path(p, sizeof p, "%s/%s", dir, n) != 0 || !vs_stat(p, st)) continue;
    if (strcmp(n, VS_PROFILE_NAME) == 0) {
      has_profile = true;
      VsDoc doc = vs_document(c, p, st, YYJSON_TYPE_OBJ, VS_PROFILE_MAX, "a profile");
      yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
      const char *email = nullptr;
      if (yyjson_is_obj(root)) {
        if (vs_admin_profile_email(root, &email) == 1) {
          if (!vs_hold(c, email, id)) c.out_of_memory = true;
        } else {
          vs_find(c, "no-email", p, -1, "%s",
                  "no usable \"email\" member (absent, not a string, or holding a NUL byte): "
                  "no lookup can find this account");
        }
      }
    } else if (strcmp(n, VS_FOLDERS_NAME) == 0) {
      vs_document(c, p, st, YYJSON_TYPE_ARR, VS_FOLDERS_MAX, "a folder list");
    } else if (strcmp(n, VS_CIPHERS_NAME) == 0 || strcmp(n, VS_TRASH_NAME) == 0) {
      vs_check_mode(c, p, st);
      if (!S_ISDIR(st.st_mode)) {
        vs_find(c, "wrong-kind", p, -1, "%s is %s", n, vs_kind_name(st.st_mode));
        continue;
      }
      (strcmp(n, VS_CIPHERS_NAME) == 0 ? has_ciphers : has_trash) = true;
    } else if (strcmp(n, VS_LOCK_NAME) == 0 && S_ISREG(st.st_mode)) {
      vs_check_mode(c, p, st);  // the account's lock file: no data, keep it
    } else if (strcmp(n, VS_RETIRED_NAME) == 0 && S_ISREG(st.st_mode)) {
      vs_find(c, "retired-mark", p, -1, "%s",
              "the mark of a replacement cut short before its commit: on a shared file system "
              "every writer and reader of the account lists users/ until reindex or the next "
              "replacement removes it");
    } else if (!vs_temp(c, dir, n, st)) {
      vs_check_mode(c, p, st);
      vs_find(c, "bad-name", p, -1, "not part of an account; the library ignores it");
    }
  }
  if (!has_profile)
    vs_find(c, "no-profile", dir, -1, "%s",
            "account directory without profile.json: lookups pass over it, statistics count it");
  // Items first, so the trash can be compared with the live names.
  VsNames live;
  if (has_ciphers)
    vs_check_items(c, paths.ciphers, false, live);
  else
    vs_find(c, "missing", paths.ciphers, -1, "no ciphers directory: saves into this account fail");
  if (has_trash)
    vs_check_items(c, paths.trash, true, live);
  else
    vs_find(c, "missing", paths.trash, -1, "no trash directory: moves to the trash fail");
}

// Accounts whose sync document the fixed-size export refuses ("sync:
// payload too large"): hosts that use only the first sixteen functions
// cannot sync them. Asked of the library itself (through the sink), on a
// complete data root only, where opening it creates nothing; a tree from
// before the e-mail index is reported instead, as init or `reindex` would
// add the index.
void vs_check_sync_sizes(VsCheck &c) {
  if (c.n_sync == 0 || !c.sink.sync_too_large) return;
  char index[VS_ENTRY_PATH], config[VS_ACCOUNT_PATH];
  struct stat st;
  bool complete = vs_index_dir(index, sizeof index, c.root) == 0 &&
                  vs_config_path(config, sizeof config, c.root) == 0 && lstat(index, &st) == 0 &&
                  lstat(config, &st) == 0;
  if (!complete) {
    char users[VS_ACCOUNT_PATH];
    vs_path(users, sizeof users, "%s/%s/%s", c.root, VS_USERS_NAME, VS_INDEX_NAME);
    vs_find(c, "missing", users, -1, "%s",
            "no e-mail index directory (a tree from before it): every lookup reads all "
            "profiles until `reindex` builds it (init creates it empty); sizes of sync "
            "documents not checked");
    return;
  }
  for (size_t i = 0; i < c.n_sync; i++) {
    const char *id = strrchr(c.syncable[i], '/') + 1;
    if (c.sink.sync_too_large(c.sink.ctx, id))
      vs_find(c, "sync-too-large", c.syncable[i], -1, "%s",
              "the sync document exceeds the 262142 bytes of vault_sync_generate_json: hosts "
              "using it cannot sync this account (vault_sync_generate_json_alloc can)");
  }
}

int vs_held_cmp(const void *a, const void *b) {
  const VsHeld *x = (const VsHeld *)a, *y = (const VsHeld *)b;
  int k = strcmp(x->key, y->key);
  if (k != 0) return k;
  return x->order < y->order ? -1 : x->order > y->order;
}

// The accounts holding key (folded): the first of them in held, and how
// many (*count); NULL when none. held must be sorted by vs_held_cmp.
VsHeld *vs_held_find(VsCheck &c, const char *key, size_t *count) {
  size_t lo = 0, hi = c.n_held;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (strcmp(c.held[mid].key, key) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  size_t n = 0;
  while (lo + n < c.n_held && strcmp(c.held[lo + n].key, key) == 0) n++;
  *count = n;
  return n ? &c.held[lo] : nullptr;
}

void vs_check_index(VsCheck &c, const char *users);

// Walks the whole root. 1 or -1 (message recorded) when the root itself is
// none or cannot be listed.
int vs_check_root(VsCheck &c) {
  struct stat st;
  bool there = stat(c.root, &st) == 0;
  if (!there && errno != ENOENT && errno != ENOTDIR) {
    vs_error_errno(errno, "check: cannot open %s (%s)", c.root, strerror(errno));
    return -1;
  }
  if (!there || !S_ISDIR(st.st_mode)) {
    vs_error_code(VAULT_NOT_FOUND, 0, "no data root at %s; run `keldrune-vault init`", c.root);
    return 1;
  }
  vs_check_mode(c, c.root, st);
  VsNames names;
  char here[VS_ACCOUNT_PATH + 2], p[VS_ENTRY_PATH];
  // The root may itself be a link (to another disk, say): listing "<root>/."
  // follows it, while nothing below it is ever reached through one.
  if (vs_path(here, sizeof here, "%s/.", c.root) != 0) errno = ENAMETOOLONG;
  if (!here[0] || vs_names_read(c.root, here, names) != 0) {
    vs_error_errno(errno, "check: cannot list %s (%s)", c.root, strerror(errno));
    return -1;
  }
  bool has_config = false, has_users = false;
  for (size_t i = 0; i < names.n; i++) {
    const char *n = names.v[i];
    struct stat est;
    if (vs_path(p, sizeof p, "%s/%s", c.root, n) != 0 || !vs_stat(p, est)) continue;
    if (strcmp(n, VS_CONFIG_NAME) == 0) {
      has_config = true;
      vs_document(c, p, est, YYJSON_TYPE_OBJ, -1, "the configuration");
    } else if (strcmp(n, VS_USERS_NAME) == 0) {
      vs_check_mode(c, p, est);
      if (!S_ISDIR(est.st_mode))
        vs_find(c, "wrong-kind", p, -1, "users is %s", vs_kind_name(est.st_mode));
      else
        has_users = true;
    } else {
      // Temporary names are the library's; anything else beside
      // config.json and users belongs to the operator.
      vs_temp(c, c.root, n, est);
    }
  }
  if (!has_config && !has_users) {
    // Nothing of a data root: a mistyped path, most likely.
    vs_error_code(VAULT_NOT_FOUND, 0, "no data root at %s; run `keldrune-vault init`", c.root);
    return 1;
  }
  if (!has_config && vs_path(p, sizeof p, "%s/%s", c.root, VS_CONFIG_NAME) == 0)
    vs_find(c, "missing", p, -1, "no configuration file (init writes one)");
  char users[VS_ACCOUNT_PATH];
  if (vs_users_dir(users, sizeof users, c.root) != 0) {
    vs_error_errno(ENAMETOOLONG, "check: path too long: %s", c.root);
    return -1;
  }
  if (!has_users) {
    vs_find(c, "missing", users, -1, "no users directory (init creates it)");
    return 0;
  }
  if (vs_names_read(c.root, users, names) != 0) {
    vs_find(c, "unreadable", users, -1, "%s", strerror(errno));
    return 0;
  }
  for (size_t i = 0; i < names.n; i++) {
    const char *n = names.v[i];
    if (c.sink.progress) c.sink.progress(c.sink.ctx, (long)i, (long)names.n);
    if (vs_path(p, sizeof p, "%s/%s", users, n) != 0) continue;
    if (!vs_account_name(n)) {  // hidden: every listing skips it
      if (vs_deleted_remainder(n, nullptr) == 1)
        vs_find(c, "deletion-remainder", p, -1, "%s",
                "an account whose deletion was cut short; nothing reads it: the next deletion "
                "of the account or `reindex` removes it and releases its address");
      else if (vs_swap_name(n, nullptr) != VS_SWAP_NONE)
        vs_find(c, "replacement-leftover", p, -1, "%s",
                "what a replacement of the account's vault (key rotation) left, cut short or "
                "still running; the account reads whole: the next access rolls a committed "
                "one forward, and `reindex` finishes or removes the rest");
      else if (vs_temp_marked(n))
        vs_find(c, "import-leftover", p, -1, "%s",
                "an account an interrupted import was building, or one it replaced; nothing "
                "reads it: remove it once no import runs");
      continue;
    }
    struct stat est;
    if (!vs_stat(p, est)) continue;
    if (vs_temp(c, users, n, est)) continue;
    if (!S_ISDIR(est.st_mode)) {
      vs_check_mode(c, p, est);
      vs_find(c, "wrong-kind", p, -1,
              "an account must be a directory, this is %s (statistics still count it)",
              vs_kind_name(est.st_mode));
      continue;
    }
    vs_check_mode(c, p, est);
    if (!vs_id_safe(n))
      vs_find(c, "bad-name", p, -1, "not a usable user id: no export can address this account");
    else if (strlen(n) > VS_ID_BUF - 1)
      vs_find(c, "bad-name", p, -1,
              "user id longer than %d characters: lookups cannot hand it out", (int)VS_ID_BUF - 1);
    if (vs_temp_marked(n)) continue;  // never scanned as an account
    VsAccountPaths paths;
    if (vs_account_paths(paths, c.root, n) != 0) {
      vs_find(c, "unreadable", p, -1, "%s", strerror(ENAMETOOLONG));
      continue;
    }
    vs_check_account(c, paths, n);
    if (vs_id_safe(n) && !vs_push(c.syncable, c.n_sync, c.cap_sync, paths.dir))
      c.out_of_memory = true;
  }
  if (c.out_of_memory) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "check: out of memory");
    return -1;
  }
  if (has_config) vs_check_sync_sizes(c);
  vs_check_index(c, users);
  return 0;
}

// The e-mail index: every entry must be confirmed by the profile of the
// account it names (lookups pass over one that is not, and scan); when the
// index is authoritative, every account's address must have an entry
// naming it, or lookups and registrations do not see the account. Also
// the duplicate addresses, reported first.
void vs_check_index(VsCheck &c, const char *users) {
  // The accounts with an address, in walk order, which is sorted by id:
  // the address each one holds, found by id.
  char **ids = (char **)malloc((c.n_held ? c.n_held : 1) * sizeof *ids);
  char **keys = (char **)malloc((c.n_held ? c.n_held : 1) * sizeof *keys);
  VsText hold_ids((char *)ids), hold_keys((char *)keys);
  if (!ids || !keys) {
    c.out_of_memory = true;
    return;
  }
  for (size_t i = 0; i < c.n_held; i++) ids[i] = c.held[i].id, keys[i] = c.held[i].key;
  if (c.n_held > 1) qsort(c.held, c.n_held, sizeof *c.held, vs_held_cmp);

  char p[VS_ENTRY_PATH];
  for (size_t i = 0; i < c.n_held;) {
    size_t n = 1;
    while (i + n < c.n_held && strcmp(c.held[i + n].key, c.held[i].key) == 0) n++;
    if (n > 1) {
      char all[VS_DETAIL] = "";
      size_t pos = 0;
      for (size_t j = 0; j < n && pos < sizeof all - 1; j++) {
        int w = snprintf(all + pos, sizeof all - pos, "%s%s", j ? ", " : "", c.held[i + j].id);
        if (w > 0) pos += (size_t)w < sizeof all - pos ? (size_t)w : sizeof all - pos - 1;
      }
      for (size_t j = 1; j < n; j++)
        if (vs_path(p, sizeof p, "%s/%s", users, c.held[i + j].id) == 0)
          vs_find(c, "duplicate-email", p, -1,
                  "e-mail \"%s\" is held by %zu accounts (%s); lookups find only one of them",
                  c.held[i].key, n, all);
    }
    i += n;
  }

  char dir[VS_ENTRY_PATH];
  struct stat st;
  if (vs_path(dir, sizeof dir, "%s/%s", users, VS_INDEX_NAME) != 0 || lstat(dir, &st) != 0)
    return;  // no index yet: every lookup scans
  vs_check_mode(c, dir, st);
  VsNames names;
  if (!S_ISDIR(st.st_mode)) {
    vs_find(c, "wrong-kind", dir, -1, "the e-mail index must be a directory");
    return;
  }
  if (vs_names_read(c.root, dir, names) != 0) {
    vs_find(c, "unreadable", dir, -1, "%s", strerror(errno));
    return;
  }
  bool authoritative = false;
  for (size_t i = 0; i < names.n; i++) {
    const char *n = names.v[i];
    if (vs_path(p, sizeof p, "%s/%s", dir, n) != 0 || !vs_stat(p, st)) continue;
    if (strcmp(n, VS_INDEX_LOCK_NAME) == 0) continue;
    if (strcmp(n, VS_INDEX_MARKER_NAME) == 0) {
      authoritative = true;
      continue;
    }
    if (vs_temp(c, dir, n, st)) continue;
    vs_check_mode(c, p, st);
    if (!vs_index_entry_name(n)) {
      vs_find(c, "bad-name", p, -1, "not an e-mail index entry; the library ignores it");
      continue;
    }
    uint64_t len = 0;
    const char *why = nullptr;
    VsText text(vs_admin_read(c.root, p, &len, &why));
    if (!text) {
      vs_find(c, "unreadable", p, -1, "%s", why);
      continue;
    }
    VsDoc doc;
    const char *id = nullptr, *email = nullptr;
    char key[VS_INDEX_KEY_BUF];
    if (vs_index_parse(text.get(), (size_t)len, doc, &id, &email) != 0) {
      vs_find(c, "bad-index-entry", p, -1, "not an index entry: lookups pass over it and scan; "
              "`reindex` repairs it (a registration that is running right now also shows so, "
              "for a moment)");
      continue;
    }
    vs_index_key(email, key);
    char folded[VS_INDEX_ENTRY_MAX];
    snprintf(folded, sizeof folded, "%s", email);
    for (char *k = folded; *k; k++) *k = (char)vs_email_fold((unsigned char)*k);
    size_t count = 0;
    VsHeld *held = vs_held_find(c, folded, &count);
    bool holds = false;
    for (size_t j = 0; j < count && !holds; j++)
      if (strcmp(held[j].id, id) == 0) {
        holds = true;
        if (strcmp(n, key) == 0) held[j].confirmed = true;
      }
    // The address the named account holds, if any.
    char *const *hit = (char *const *)bsearch(&id, ids, c.n_held, sizeof *ids, vs_name_cmp);
    const char *own = hit ? keys[hit - ids] : nullptr;
    char account[VS_ENTRY_PATH];
    bool account_there =
        vs_path(account, sizeof account, "%s/%s", users, id) == 0 && vs_stat(account, st);
    const char *problem = nullptr;
    if (strcmp(n, key) != 0)
      problem = "filed under the key of another address";
    else if (holds)
      continue;
    else if (!own && account_there)
      continue;  // an account without a usable profile: reported on its own
    else if (own && count == 0) {
      // The account holds another address, and no account holds this one:
      // what an e-mail change leaves when it is cut between claiming the
      // new address and releasing the old one.
      vs_find(c, "email-change-cut-short", p, -1,
              "names account %s, whose profile holds \"%s\" instead of \"%s\": an e-mail "
              "change of that account was cut short between its steps (or its profile was "
              "edited by hand); lookups find the account under \"%s\" only and pass over "
              "this entry; `reindex` finishes the change (removes the entry)",
              id, own, email, own);
      continue;
    }
    if (problem)
      vs_find(c, "bad-index-entry", p, -1,
              "%s: lookups pass over it and scan; `reindex` repairs it (a registration that is "
              "running right now also shows so, for a moment)",
              problem);
    else
      vs_find(c, "bad-index-entry", p, -1,
              "names account %s, whose profile does not hold \"%s\": lookups pass over it and "
              "scan; `reindex` repairs it (a registration that is running right now also shows "
              "so, for a moment)",
              id, email);
  }
  if (!authoritative) return;
  for (size_t i = 0; i < c.n_held;) {
    size_t n = 1;
    while (i + n < c.n_held && strcmp(c.held[i + n].key, c.held[i].key) == 0) n++;
    bool confirmed = false;
    for (size_t j = 0; j < n; j++) confirmed = confirmed || c.held[i + j].confirmed;
    for (size_t j = 0; j < n && !confirmed; j++)
      if (vs_path(p, sizeof p, "%s/%s", users, c.held[i + j].id) == 0)
        vs_find(c, "not-indexed", p, -1,
                "the index is authoritative but has no entry for \"%s\": lookups and "
                "registrations do not see this account; run `reindex`",
                c.held[i].key);
    i += n;
  }
}

}  // namespace

int vs_admin_check(const char *root, long long stale_minutes, const VsCheckSink &sink,
                   VsCheckReport &r) {
  r = VsCheckReport();
  VsCheck c(root, sink, r);
  c.now = time(nullptr);
  c.stale_minutes = stale_minutes;
  int rc = vs_check_root(c);
  if (rc == 0 && c.out_of_memory) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "check: out of memory");
    return -1;
  }
  return rc;
}
