// `check`: a consistency check of a data root, reading the tree directly.
// Read-only; the one exception is `check --remove-stale-temp MINUTES`,
// which removes leftover temporary files of the atomic write older than
// that, and nothing else. Every finding names its kind, the path and what
// it means for the library.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include <yyjson.h>

#include "foundation/email_index.h"
#include "foundation/layout.h"
#include "foundation/text.h"
#include "host.h"
#include "tree.h"

namespace {

std::string vh_octal(mode_t m) {
  char b[16];
  snprintf(b, sizeof b, "%04o", (unsigned)(m & 07777));
  return b;
}

// An address folded as the library compares addresses: two accounts whose
// keys are equal are one address to every lookup.
std::string vh_email_key(const std::string &s) {
  std::string k = s;
  for (char &c : k) c = (char)vs_email_fold((unsigned char)c);
  return k;
}

struct VhFinding {
  std::string kind;
  std::string path;
  std::string detail;
  long long age = -1;  // seconds, for temporary files
};

struct VhCheck {
  std::string root;
  time_t now = 0;
  long long stale_minutes = -1;  // -1: remove nothing
  std::vector<VhFinding> findings;
  std::vector<VhFinding> removed;
  bool removal_failed = false;
  long accounts = 0;
  long documents = 0;
  // Accounts whose sync document the fixed-size export is asked for.
  std::vector<std::string> syncable;
  // e-mail (folded) -> accounts holding it, in walk order
  std::map<std::string, std::vector<std::string>> emails;
  std::set<std::string> with_email;  // accounts whose profile holds an address
};

void vh_find(VhCheck &c, const char *kind, const std::string &path, const std::string &detail,
             long long age = -1) {
  c.findings.push_back(VhFinding{kind, path, detail, age});
}

// Permission bits: directories 0700, files 0600, exactly.
void vh_check_mode(VhCheck &c, const std::string &path, const struct stat &st) {
  if (S_ISLNK(st.st_mode)) return;  // a link's own bits mean nothing; reported as wrong-kind
  mode_t want = S_ISDIR(st.st_mode) ? 0700 : 0600;
  if ((st.st_mode & 07777) != want)
    vh_find(c, "permissions", path, vh_octal(st.st_mode) + ", expected " + vh_octal(want));
}

// How a parked move source relates to another copy of its item.
std::string vh_compare_copy(const VhCheck &c, const std::string &parked, const struct stat &pst,
                            const std::string &other) {
  struct stat ost;
  if (lstat(other.c_str(), &ost) != 0) return "absent";
  if (ost.st_dev == pst.st_dev && ost.st_ino == pst.st_ino)
    return "the same file, the move finished";
  if (!S_ISREG(ost.st_mode)) return vh_kind_name(ost.st_mode);
  std::string a, b, why;
  if (!vh_read_whole(c.root, parked, a, why) || !vh_read_whole(c.root, other, b, why))
    return "cannot compare (" + why + ")";
  return a == b ? "the same content" : "different content";
}

// A name parked by a move is never removed, whatever its age: a mover
// killed before putting back a file that was not the moved one (a save
// that landed on the name meanwhile) leaves that version there only. The
// finding compares it with the item's live and trashed copies.
void vh_parked(VhCheck &c, const std::string &dir, const std::string &path, const std::string &item,
               const struct stat &st, long long age) {
  std::vector<std::string> copies;
  size_t slash = dir.rfind('/');
  std::string leaf = slash == std::string::npos ? dir : dir.substr(slash + 1);
  if (slash != std::string::npos && (leaf == VS_CIPHERS_NAME || leaf == VS_TRASH_NAME)) {
    std::string account = dir.substr(0, slash);
    copies = {VS_CIPHERS_NAME "/" + item, VS_TRASH_NAME "/" + item};
    for (std::string &copy : copies)
      copy += ": " + vh_compare_copy(c, path, st, account + "/" + copy);
  } else {
    copies = {item + ": " + vh_compare_copy(c, path, st, dir + "/" + item)};
  }
  std::string detail =
      "item name parked by an interrupted trash or restore move; it may be the only copy of "
      "a newer save: compare it with the live and trash copies before removing anything (";
  for (size_t i = 0; i < copies.size(); i++) detail += (i ? "; " : "") + copies[i];
  vh_find(c, "parked-move", path, detail + "), age " + std::to_string(age) + "s", age);
}

// A name the library gives files that are not documents. Reported with its
// age; a leftover of a write is removed instead when it is older than the
// limit the operator gave. False when the name is not one of them.
bool vh_temp(VhCheck &c, const std::string &dir, const std::string &name, const struct stat &st) {
  size_t item_len = 0;
  VsTempKind kind = vs_temp_kind(name.c_str(), &item_len);
  if (kind == VS_TEMP_NONE) return false;
  std::string path = dir + "/" + name;
  vh_check_mode(c, path, st);
  long long age = (long long)(c.now - st.st_mtime);
  if (age < 0) age = 0;
  if (!S_ISREG(st.st_mode)) {
    vh_find(c, "wrong-kind", path, std::string("temporary name held by ") + vh_kind_name(st.st_mode));
    return true;
  }
  if (kind == VS_TEMP_PARKED) {
    vh_parked(c, dir, path, name.substr(0, item_len), st, age);
    return true;
  }
  if (c.stale_minutes >= 0 && age >= c.stale_minutes * 60) {
    if (unlink(path.c_str()) == 0) {
      c.removed.push_back(VhFinding{"temp-file", path, "removed", age});
      return true;
    }
    c.removal_failed = true;
    vh_find(c, "temp-file", path, std::string("could not remove: ") + strerror(errno), age);
    return true;
  }
  vh_find(c, "temp-file", path, "leftover of an interrupted write, age " + std::to_string(age) + "s",
          age);
  return true;
}

// lstat of one entry; false when it vanished meanwhile (a running host).
bool vh_stat(const std::string &path, struct stat &st) {
  return lstat(path.c_str(), &st) == 0;
}

// Reads and parses one document. `want` is the root type it must have
// (YYJSON_TYPE_NONE: any); `max` the largest size the read exports accept
// (-1: none). Returns the parsed document for callers that look inside.
VsDoc vh_document(VhCheck &c, const std::string &path, const struct stat &st, yyjson_type want,
                  long long max, const char *what) {
  vh_check_mode(c, path, st);
  if (!S_ISREG(st.st_mode)) {
    vh_find(c, "wrong-kind", path, std::string(what) + " is " + vh_kind_name(st.st_mode));
    return nullptr;
  }
  c.documents++;
  std::string text, why;
  if (!vh_read_whole(c.root, path, text, why)) {
    vh_find(c, "unreadable", path, why);
    return nullptr;
  }
  if (max >= 0 && (long long)text.size() > max)
    vh_find(c, "too-large", path,
            std::to_string(text.size()) + " bytes; the fixed-size read functions return at most " +
                std::to_string(max) + " (hosts need their _alloc variants)");
  yyjson_read_err err;
  VsDoc doc(vs_parse(text.data(), text.size(), &err));
  if (!doc) {
    vh_find(c, "not-json", path,
            std::string(err.msg ? err.msg : "invalid") + " at byte " + std::to_string(err.pos));
    return nullptr;
  }
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (want != YYJSON_TYPE_NONE && yyjson_get_type(root) != want)
    vh_find(c, "wrong-root", path,
            std::string(what) + " must be " + (want == YYJSON_TYPE_OBJ ? "an object" : "an array") +
                ", holds " + yyjson_get_type_desc(root));
  return doc;
}

// ciphers/ or trash/ of one account. `live` names are collected so the
// trash can be compared with them.
void vh_check_items(VhCheck &c, const std::string &dir, bool trash,
                    std::vector<std::string> &live) {
  std::vector<std::string> names;
  if (!vh_list(c.root, dir, names)) {
    vh_find(c, "unreadable", dir, strerror(errno));
    return;
  }
  for (const std::string &n : names) {
    std::string p = dir + "/" + n;
    struct stat st;
    if (!vh_stat(p, st)) continue;
    if (vh_temp(c, dir, n, st)) continue;
    bool listed = trash ? vs_trash_file_name(n.c_str()) : vs_item_file_name(n.c_str());
    if (!listed) {
      vh_check_mode(c, p, st);
      vh_find(c, "bad-name", p,
              trash ? "not an item file name; ignored by the library"
                    : "not an item file name; every listing passes over it");
      continue;
    }
    std::string id = n.substr(0, n.size() - (sizeof VS_DOC_SUFFIX - 1));
    if (!vs_id_safe(id.c_str()))
      vh_find(c, "bad-name", p,
              trash ? "counted in the trash, but no identifier can restore it"
                    : "listed by sync, but no identifier can read, trash or delete it");
    vh_document(c, p, st, YYJSON_TYPE_NONE, trash ? -1 : (long long)VS_CIPHER_MAX,
                trash ? "a trashed item" : "an item");
    if (!trash) {
      live.push_back(n);
    } else if (std::binary_search(live.begin(), live.end(), n)) {
      struct stat lst;
      std::string other = dir.substr(0, dir.rfind('/') + 1) + VS_CIPHERS_NAME "/" + n;
      if (vh_stat(other, lst) && lst.st_dev == st.st_dev && lst.st_ino == st.st_ino)
        vh_find(c, "cut-short-restore", p,
                "one file under its live and its trash name: a restore stopped between its two "
                "steps (where renames cannot refuse to replace); the library shows it as live. "
                "`cipher restore` finishes it, `cipher delete` moves it to the trash");
      else
        vh_find(c, "live-and-trash", p,
                "the same identifier is live in ciphers/: trashing and restoring it fail until "
                "one copy is removed");
    }
  }
}

void vh_check_account(VhCheck &c, const VsAccountPaths &paths, const std::string &id) {
  c.accounts++;
  const std::string dir = paths.dir;
  std::vector<std::string> names;
  if (!vh_list(c.root, dir, names)) {
    vh_find(c, "unreadable", dir, strerror(errno));
    return;
  }
  bool has_profile = false, has_ciphers = false, has_trash = false;
  for (const std::string &n : names) {
    std::string p = dir + "/" + n;
    struct stat st;
    if (!vh_stat(p, st)) continue;
    if (n == VS_PROFILE_NAME) {
      has_profile = true;
      VsDoc doc = vh_document(c, p, st, YYJSON_TYPE_OBJ, VS_PROFILE_MAX, "a profile");
      yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
      std::string email;
      if (yyjson_is_obj(root)) {
        if (vh_profile_email(root, email)) {
          c.emails[vh_email_key(email)].push_back(id);
          c.with_email.insert(id);
        } else {
          vh_find(c, "no-email", p, "no usable \"email\" member (absent, not a string, or holding a NUL byte): no "
                "lookup can find this account");
        }
      }
    } else if (n == VS_FOLDERS_NAME) {
      vh_document(c, p, st, YYJSON_TYPE_ARR, VS_FOLDERS_MAX, "a folder list");
    } else if (n == VS_CIPHERS_NAME || n == VS_TRASH_NAME) {
      vh_check_mode(c, p, st);
      if (!S_ISDIR(st.st_mode)) {
        vh_find(c, "wrong-kind", p, n + " is " + vh_kind_name(st.st_mode));
        continue;
      }
      (n == VS_CIPHERS_NAME ? has_ciphers : has_trash) = true;
    } else if (n == VS_LOCK_NAME && S_ISREG(st.st_mode)) {
      vh_check_mode(c, p, st);  // the account's lock file: no data, keep it
    } else if (!vh_temp(c, dir, n, st)) {
      vh_check_mode(c, p, st);
      vh_find(c, "bad-name", p, "not part of an account; the library ignores it");
    }
  }
  if (!has_profile)
    vh_find(c, "no-profile", dir,
            "account directory without profile.json: lookups pass over it, statistics count it");
  // Items first, so the trash can be compared with the live names.
  std::vector<std::string> live;
  if (has_ciphers)
    vh_check_items(c, paths.ciphers, false, live);
  else
    vh_find(c, "missing", paths.ciphers, "no ciphers directory: saves into this account fail");
  std::sort(live.begin(), live.end());
  if (has_trash)
    vh_check_items(c, paths.trash, true, live);
  else
    vh_find(c, "missing", paths.trash, "no trash directory: moves to the trash fail");
}

// Whether vault_storage_init would find every part of the tree it makes
// (the root, users/, users/.email-index, config.json): only then is it
// opened on the tree, since a check never changes it.
bool vh_init_makes_nothing(const VhCheck &c) {
  char index[VS_ENTRY_PATH], config[VS_ACCOUNT_PATH];
  struct stat st;
  return vs_index_dir(index, sizeof index, c.root.c_str()) == 0 &&
         vs_config_path(config, sizeof config, c.root.c_str()) == 0 &&
         lstat(index, &st) == 0 && lstat(config, &st) == 0;
}

// Accounts whose sync document the fixed-size export refuses ("sync:
// payload too large"): hosts that use only the first sixteen functions
// cannot sync them. Asked of the library itself, on a complete data root
// only (there its init creates nothing); a tree from before the e-mail
// index is reported instead, as init or `reindex` would add the index.
void vh_check_sync_sizes(VhCheck &c) {
  if (c.syncable.empty()) return;
  if (!vh_init_makes_nothing(c)) {
    vh_find(c, "missing", c.root + "/" VS_USERS_NAME "/" VS_INDEX_NAME,
            "no e-mail index directory (a tree from before it): every lookup reads all "
            "profiles until `reindex` builds it (init creates it empty); sizes of sync "
            "documents not checked");
    return;
  }
  if (vault_storage_init(c.root.c_str()) != 0) return;
  for (const std::string &dir : c.syncable) {
    std::string id = dir.substr(dir.rfind('/') + 1);
    if (!vault_sync_generate_json(id.c_str()) &&
        vault_storage_last_error_code() == VAULT_TOO_LARGE)
      vh_find(c, "sync-too-large", dir,
              "the sync document exceeds the 262142 bytes of vault_sync_generate_json: hosts "
              "using it cannot sync this account (vault_sync_generate_json_alloc can)");
  }
  vault_storage_cleanup();
}

void vh_check_index(VhCheck &c, const std::string &users);

// Walks the whole root. False when the root itself cannot be listed.
bool vh_check_root(VhCheck &c, std::string &error) {
  const std::string no_root = "no data root at " + c.root + "; run `keldrune-vault init`";
  struct stat st;
  if (stat(c.root.c_str(), &st) != 0) {
    error = errno == ENOENT || errno == ENOTDIR
                ? no_root
                : "check: cannot open " + c.root + " (" + strerror(errno) + ")";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = no_root;
    return false;
  }
  vh_check_mode(c, c.root, st);
  std::vector<std::string> names;
  // The root may itself be a link (to another disk, say): listing "<root>/."
  // follows it, while nothing below it is ever reached through one.
  if (!vh_list(c.root, c.root + "/.", names)) {
    error = "check: cannot list " + c.root + " (" + strerror(errno) + ")";
    return false;
  }
  bool has_config = false, has_users = false;
  for (const std::string &n : names) {
    std::string p = c.root + "/" + n;
    struct stat est;
    if (!vh_stat(p, est)) continue;
    if (n == VS_CONFIG_NAME) {
      has_config = true;
      vh_document(c, p, est, YYJSON_TYPE_OBJ, -1, "the configuration");
    } else if (n == VS_USERS_NAME) {
      vh_check_mode(c, p, est);
      if (!S_ISDIR(est.st_mode))
        vh_find(c, "wrong-kind", p, std::string("users is ") + vh_kind_name(est.st_mode));
      else
        has_users = true;
    } else {
      // Temporary names are the library's; anything else beside
      // config.json and users belongs to the operator.
      vh_temp(c, c.root, n, est);
    }
  }
  if (!has_config && !has_users) {
    // Nothing of a data root: a mistyped path, most likely.
    error = no_root;
    return false;
  }
  if (!has_config)
    vh_find(c, "missing", c.root + "/" VS_CONFIG_NAME, "no configuration file (init writes one)");
  if (!has_users) {
    vh_find(c, "missing", c.root + "/" VS_USERS_NAME, "no users directory (init creates it)");
    return true;
  }

  std::string users = c.root + "/" VS_USERS_NAME;
  if (!vh_list(c.root, users, names)) {
    vh_find(c, "unreadable", users, strerror(errno));
    return true;
  }
  for (const std::string &n : names) {
    std::string p = users + "/" + n;
    if (!vs_account_name(n.c_str())) {  // hidden: every listing skips it
      if (vs_deleted_remainder(n.c_str(), nullptr) == 1)
        vh_find(c, "deletion-remainder", p,
                "an account whose deletion was cut short; nothing reads it: the next deletion "
                "of the account or `reindex` removes it and releases its address");
      else if (vs_swap_name(n.c_str(), nullptr) != VS_SWAP_NONE)
        vh_find(c, "replacement-leftover", p,
                "what a replacement of the account's vault (key rotation) left, cut short or "
                "still running; the account reads whole: the next access rolls a committed "
                "one forward, and `reindex` finishes or removes the rest");
      else if (vs_temp_marked(n.c_str()) && n != "." && n != "..")
        vh_find(c, "import-leftover", p,
                "an account an interrupted import was building, or one it replaced; nothing "
                "reads it: remove it once no import runs");
      continue;
    }
    struct stat est;
    if (!vh_stat(p, est)) continue;
    if (vh_temp(c, users, n, est)) continue;
    if (!S_ISDIR(est.st_mode)) {
      vh_check_mode(c, p, est);
      vh_find(c, "wrong-kind", p,
              std::string("an account must be a directory, this is ") + vh_kind_name(est.st_mode) +
                  " (statistics still count it)");
      continue;
    }
    vh_check_mode(c, p, est);
    if (!vs_id_safe(n.c_str()))
      vh_find(c, "bad-name", p, "not a usable user id: no export can address this account");
    else if (n.size() > VS_ID_BUF - 1)
      vh_find(c, "bad-name", p,
              "user id longer than " + std::to_string(VS_ID_BUF - 1) +
                  " characters: lookups cannot hand it out");
    if (vs_temp_marked(n.c_str())) continue;  // never scanned as an account
    VsAccountPaths paths;
    if (vs_account_paths(paths, c.root.c_str(), n.c_str()) != 0) {
      vh_find(c, "unreadable", p, strerror(ENAMETOOLONG));
      continue;
    }
    vh_check_account(c, paths, n);
    if (vs_id_safe(n.c_str())) c.syncable.push_back(paths.dir);
  }
  if (has_config) vh_check_sync_sizes(c);
  for (const auto &e : c.emails) {
    if (e.second.size() < 2) continue;
    std::string all;
    for (const std::string &id : e.second) all += (all.empty() ? "" : ", ") + id;
    for (size_t i = 1; i < e.second.size(); i++)
      vh_find(c, "duplicate-email", users + "/" + e.second[i],
              "e-mail \"" + e.first + "\" is held by " + std::to_string(e.second.size()) +
                  " accounts (" + all + "); lookups find only one of them");
  }
  vh_check_index(c, users);
  return true;
}

// The e-mail index: every entry must be confirmed by the profile of the
// account it names (lookups pass over one that is not, and scan); when the
// index is authoritative, every account's address must have an entry
// naming it, or lookups and registrations do not see the account.
void vh_check_index(VhCheck &c, const std::string &users) {
  std::string dir = users + "/" VS_INDEX_NAME;
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return;  // no index yet: every lookup scans
  vh_check_mode(c, dir, st);
  std::vector<std::string> names;
  if (!S_ISDIR(st.st_mode) || !vh_list(c.root, dir, names)) {
    vh_find(c, S_ISDIR(st.st_mode) ? "unreadable" : "wrong-kind", dir,
            S_ISDIR(st.st_mode) ? strerror(errno) : "the e-mail index must be a directory");
    return;
  }
  bool authoritative = false;
  std::map<std::string, std::string> confirmed;  // key -> account the entry names
  for (const std::string &n : names) {
    std::string p = dir + "/" + n;
    if (!vh_stat(p, st)) continue;
    if (n == VS_INDEX_LOCK_NAME) continue;
    if (n == VS_INDEX_MARKER_NAME) {
      authoritative = true;
      continue;
    }
    if (vh_temp(c, dir, n, st)) continue;
    vh_check_mode(c, p, st);
    if (!vs_index_entry_name(n.c_str())) {
      vh_find(c, "bad-name", p, "not an e-mail index entry; the library ignores it");
      continue;
    }
    std::string text, why;
    if (!vh_read_whole(c.root, p, text, why)) {
      vh_find(c, "unreadable", p, why);
      continue;
    }
    VsDoc doc;
    const char *id = nullptr, *email = nullptr;
    char key[VS_INDEX_KEY_BUF];
    std::string problem;
    if (vs_index_parse(text.data(), text.size(), doc, &id, &email) != 0) {
      problem = "not an index entry";
    } else {
      vs_index_key(email, key);
      auto held = c.emails.find(vh_email_key(email));
      bool holds = held != c.emails.end() &&
                   std::find(held->second.begin(), held->second.end(), id) != held->second.end();
      if (n != key)
        problem = "filed under the key of another address";
      else if (!holds && c.with_email.count(id) == 0 && vh_stat(users + "/" + id, st))
        continue;  // an account without a usable profile: reported on its own
      else if (!holds)
        problem = std::string("names account ") + id + ", whose profile does not hold \"" + email +
                  "\"";
      else
        confirmed[n] = id;
    }
    if (!problem.empty())
      vh_find(c, "bad-index-entry", p,
              problem + ": lookups pass over it and scan; `reindex` repairs it (a registration "
                        "that is running right now also shows so, for a moment)");
  }
  if (!authoritative) return;
  for (const auto &e : c.emails) {
    char key[VS_INDEX_KEY_BUF];
    vs_index_key(e.first.c_str(), key);
    if (confirmed.count(key)) continue;
    for (const std::string &id : e.second)
      vh_find(c, "not-indexed", users + "/" + id,
              "the index is authoritative but has no entry for \"" + e.first +
                  "\": lookups and registrations do not see this account; run `reindex`");
  }
}

yyjson_mut_val *vh_finding_json(yyjson_mut_doc *doc, const VhFinding &f) {
  yyjson_mut_val *o = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_strncpy(doc, o, "kind", f.kind.data(), f.kind.size());
  yyjson_mut_obj_add_strncpy(doc, o, "path", f.path.data(), f.path.size());
  yyjson_mut_obj_add_strncpy(doc, o, "detail", f.detail.data(), f.detail.size());
  if (f.age >= 0) yyjson_mut_obj_add_int(doc, o, "age_seconds", f.age);
  return o;
}

int vh_print_check(const VhCheck &c, bool json) {
  if (json) {
    VsMutDoc doc(yyjson_mut_doc_new(nullptr));
    if (!doc) return VH_FAIL;
    yyjson_mut_val *root = yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    yyjson_mut_obj_add_strncpy(doc.get(), root, "root", c.root.data(), c.root.size());
    yyjson_mut_obj_add_bool(doc.get(), root, "clean", c.findings.empty());
    yyjson_mut_obj_add_int(doc.get(), root, "accounts", c.accounts);
    yyjson_mut_obj_add_int(doc.get(), root, "documents", c.documents);
    yyjson_mut_val *arr = yyjson_mut_obj_add_arr(doc.get(), root, "findings");
    for (const VhFinding &f : c.findings) yyjson_mut_arr_append(arr, vh_finding_json(doc.get(), f));
    arr = yyjson_mut_obj_add_arr(doc.get(), root, "removed");
    for (const VhFinding &f : c.removed) yyjson_mut_arr_append(arr, vh_finding_json(doc.get(), f));
    if (!vh_print_json(doc.get())) return VH_FAIL;
  } else {
    for (const VhFinding &f : c.removed)
      printf("removed  %s  (age %llds)\n", f.path.c_str(), f.age);
    for (const VhFinding &f : c.findings)
      printf("%s  %s  %s\n", f.kind.c_str(), f.path.c_str(), f.detail.c_str());
    const char *as = c.accounts == 1 ? "" : "s";
    const char *ds = c.documents == 1 ? "" : "s";
    if (c.findings.empty())
      printf("check: clean (%ld account%s, %ld document%s)\n", c.accounts, as, c.documents, ds);
    else
      printf("check: %zu finding%s (%ld account%s, %ld document%s)\n", c.findings.size(),
             c.findings.size() == 1 ? "" : "s", c.accounts, as, c.documents, ds);
  }
  if (c.removal_failed) return VH_FAIL;
  return c.findings.empty() ? VH_OK : VH_SOFT;
}

struct VhCheckArgs {
  long long stale_minutes = -1;
};

}  // namespace

void vh_add_check_command(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhCheckArgs>();
  CLI::App *check = app.add_subcommand(
      "check", "read-only consistency check of the data root (--json: one JSON object); exit 0 "
               "clean, 1 findings");
  check->add_option("--remove-stale-temp", args->stale_minutes,
                    "remove leftover temporary files at least MINUTES old (nothing else)")
      ->check(CLI::Range(1LL, 52560000LL))
      ->type_name("MINUTES");
  check->callback([&ctx, args] {
    VhCheck c;
    c.root = ctx.root;
    c.now = time(nullptr);
    c.stale_minutes = args->stale_minutes;
    std::string error;
    if (!vh_check_root(c, error)) {
      fprintf(stderr, "%s\n", error.c_str());
      ctx.exit_code = VH_FAIL;
      return;
    }
    ctx.exit_code = vh_print_check(c, ctx.json);
  });
}
