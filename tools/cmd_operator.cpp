// Operator commands that read the data tree directly instead of going
// through the exports: `user list` (accounts with their e-mail, item and
// trash counts) and `check` (a consistency check of a data root). Both are
// read-only; the one exception is `check --remove-stale-temp MINUTES`,
// which removes leftover temporary files of the atomic write older than
// that, and nothing else. Neither initialises the root, since that could
// create directories or config.json.
//
// The naming rules below mirror the library's listing rules (account scan,
// item files, trash entries, temporary names); the tool cannot call the
// library's internal helpers, which the shared object does not export.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <yyjson.h>

#include "host.h"

namespace {

// Limits of the read exports: a document above them is refused on read.
const long long k_profile_max = 16383;
const long long k_folders_max = 16383;
const long long k_cipher_max = 65534;

struct VhDocFree {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
struct VhMutDocFree {
  void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using VhDoc = std::unique_ptr<yyjson_doc, VhDocFree>;
using VhMutDoc = std::unique_ptr<yyjson_mut_doc, VhMutDocFree>;

// ---- naming rules -------------------------------------------------------------

bool vh_id_safe(const std::string &s) {
  if (s.empty() || s.size() > 64) return false;
  for (unsigned char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool vh_ends_with(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// A name the library's listings take as a document ("<id>.json" without
// ".tmp."), and the weaker rule of the trash count.
bool vh_item_file_name(const std::string &s) {
  return !s.empty() && s[0] != '.' && s.size() >= 6 && vh_ends_with(s, ".json") &&
         s.find(".tmp.") == std::string::npos;
}
bool vh_trash_file_name(const std::string &s) {
  return !s.empty() && s[0] != '.' && s.size() >= 6 && vh_ends_with(s, ".json");
}

bool vh_digits(const std::string &s, size_t from, size_t to, bool allow_sign) {
  if (allow_sign && from < to && s[from] == '-') from++;
  if (from >= to) return false;
  for (size_t i = from; i < to; i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// A temporary file of the atomic write: "<target>.tmp.<time>", or
// "<target>.tmp.<time>.<pid>.<seq>" when the first name was taken.
bool vh_temp_name(const std::string &s) {
  size_t at = s.rfind(".tmp.");
  while (at != std::string::npos) {
    if (at > 0) {
      size_t p = at + 5;
      size_t d1 = s.find('.', p);
      if (d1 == std::string::npos) {
        if (vh_digits(s, p, s.size(), true)) return true;
      } else {
        size_t d2 = s.find('.', d1 + 1);
        if (d2 != std::string::npos && s.find('.', d2 + 1) == std::string::npos &&
            vh_digits(s, p, d1, true) && vh_digits(s, d1 + 1, d2, false) &&
            vh_digits(s, d2 + 1, s.size(), false))
          return true;
      }
    }
    if (at == 0) break;
    at = s.rfind(".tmp.", at - 1);
  }
  return false;
}

// ---- small file-system helpers ------------------------------------------------------

// Entry names of a directory, sorted, without "." and "..". False (errno
// set) when it cannot be listed.
bool vh_list(const std::string &dir, std::vector<std::string> &out) {
  out.clear();
  DIR *d = opendir(dir.c_str());
  if (!d) return false;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    out.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return true;
}

const char *vh_kind_name(mode_t m) {
  if (S_ISDIR(m)) return "a directory";
  if (S_ISREG(m)) return "a regular file";
  if (S_ISLNK(m)) return "a symbolic link";
  if (S_ISFIFO(m)) return "a FIFO";
  if (S_ISSOCK(m)) return "a socket";
  return "a device";
}

// Reads a whole regular file without following a link or blocking on a
// FIFO. False with a reason otherwise.
bool vh_read_whole(const std::string &path, std::string &out, std::string &why) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
    close(fd);
    return false;
  }
  out.clear();
  out.reserve((size_t)st.st_size);
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, (size_t)n);
  }
  close(fd);
  return true;
}

std::string vh_octal(mode_t m) {
  char b[16];
  snprintf(b, sizeof b, "%04o", (unsigned)(m & 07777));
  return b;
}

// ASCII-only folding, as the library compares e-mail addresses.
std::string vh_email_key(const std::string &s) {
  std::string k = s;
  for (char &c : k)
    if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
  return k;
}

// The first "email" member of a profile when it is a string.
bool vh_profile_email(yyjson_val *root, std::string &email) {
  yyjson_val *v = yyjson_obj_get(root, "email");
  if (!yyjson_is_str(v)) return false;
  email.assign(yyjson_get_str(v), yyjson_get_len(v));
  return true;
}

// ---- the check -------------------------------------------------------------------------

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
  // e-mail (folded) -> accounts holding it, in walk order
  std::map<std::string, std::vector<std::string>> emails;
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

// A leftover temporary file: reported with its age, or removed when it is
// older than the limit the operator gave.
void vh_temp(VhCheck &c, const std::string &path, const struct stat &st) {
  long long age = (long long)(c.now - st.st_mtime);
  if (age < 0) age = 0;
  if (!S_ISREG(st.st_mode)) {
    vh_find(c, "wrong-kind", path, std::string("temporary name held by ") + vh_kind_name(st.st_mode));
    return;
  }
  if (c.stale_minutes >= 0 && age >= c.stale_minutes * 60) {
    if (unlink(path.c_str()) == 0) {
      c.removed.push_back(VhFinding{"temp-file", path, "removed", age});
      return;
    }
    c.removal_failed = true;
    vh_find(c, "temp-file", path, std::string("could not remove: ") + strerror(errno), age);
    return;
  }
  vh_find(c, "temp-file", path, "leftover of an interrupted write, age " + std::to_string(age) + "s",
          age);
}

// lstat of one entry; false when it vanished meanwhile (a running host).
bool vh_stat(const std::string &path, struct stat &st) {
  return lstat(path.c_str(), &st) == 0;
}

// Reads and parses one document. `want` is the root type it must have
// (YYJSON_TYPE_NONE: any); `max` the largest size the read exports accept
// (-1: none). Returns the parsed document for callers that look inside.
VhDoc vh_document(VhCheck &c, const std::string &path, const struct stat &st, yyjson_type want,
                  long long max, const char *what) {
  vh_check_mode(c, path, st);
  if (!S_ISREG(st.st_mode)) {
    vh_find(c, "wrong-kind", path, std::string(what) + " is " + vh_kind_name(st.st_mode));
    return nullptr;
  }
  c.documents++;
  std::string text, why;
  if (!vh_read_whole(path, text, why)) {
    vh_find(c, "unreadable", path, why);
    return nullptr;
  }
  if (max >= 0 && (long long)text.size() > max)
    vh_find(c, "too-large", path,
            std::to_string(text.size()) + " bytes; the library returns at most " +
                std::to_string(max));
  yyjson_read_err err;
  VhDoc doc(yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, &err));
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
  if (!vh_list(dir, names)) {
    vh_find(c, "unreadable", dir, strerror(errno));
    return;
  }
  for (const std::string &n : names) {
    std::string p = dir + "/" + n;
    struct stat st;
    if (!vh_stat(p, st)) continue;
    if (vh_temp_name(n)) {
      vh_check_mode(c, p, st);
      vh_temp(c, p, st);
      continue;
    }
    bool listed = trash ? vh_trash_file_name(n) : vh_item_file_name(n);
    if (!listed) {
      vh_check_mode(c, p, st);
      vh_find(c, "bad-name", p,
              trash ? "not an item file name; ignored by the library"
                    : "not an item file name; every listing passes over it");
      continue;
    }
    std::string id = n.substr(0, n.size() - 5);
    if (!vh_id_safe(id))
      vh_find(c, "bad-name", p,
              trash ? "counted in the trash, but no identifier can restore it"
                    : "listed by sync, but no identifier can read, trash or delete it");
    vh_document(c, p, st, YYJSON_TYPE_NONE, trash ? -1 : k_cipher_max,
                trash ? "a trashed item" : "an item");
    if (!trash) {
      live.push_back(n);
    } else if (std::binary_search(live.begin(), live.end(), n)) {
      vh_find(c, "live-and-trash", p,
              "the same identifier is live in ciphers/: trashing and restoring it fail until one "
              "copy is removed");
    }
  }
}

void vh_check_account(VhCheck &c, const std::string &dir, const std::string &id) {
  c.accounts++;
  std::vector<std::string> names;
  if (!vh_list(dir, names)) {
    vh_find(c, "unreadable", dir, strerror(errno));
    return;
  }
  bool has_profile = false, has_ciphers = false, has_trash = false;
  for (const std::string &n : names) {
    std::string p = dir + "/" + n;
    struct stat st;
    if (!vh_stat(p, st)) continue;
    if (n == "profile.json") {
      has_profile = true;
      VhDoc doc = vh_document(c, p, st, YYJSON_TYPE_OBJ, k_profile_max, "a profile");
      yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
      std::string email;
      if (yyjson_is_obj(root)) {
        if (vh_profile_email(root, email))
          c.emails[vh_email_key(email)].push_back(id);
        else
          vh_find(c, "no-email", p, "no string \"email\" member: no lookup can find this account");
      }
    } else if (n == "folders.json") {
      vh_document(c, p, st, YYJSON_TYPE_ARR, k_folders_max, "a folder list");
    } else if (n == "ciphers" || n == "trash") {
      vh_check_mode(c, p, st);
      if (!S_ISDIR(st.st_mode)) {
        vh_find(c, "wrong-kind", p, n + " is " + vh_kind_name(st.st_mode));
        continue;
      }
      (n == "ciphers" ? has_ciphers : has_trash) = true;
    } else if (vh_temp_name(n)) {
      vh_check_mode(c, p, st);
      vh_temp(c, p, st);
    } else {
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
    vh_check_items(c, dir + "/ciphers", false, live);
  else
    vh_find(c, "missing", dir + "/ciphers", "no ciphers directory: saves into this account fail");
  std::sort(live.begin(), live.end());
  if (has_trash)
    vh_check_items(c, dir + "/trash", true, live);
  else
    vh_find(c, "missing", dir + "/trash", "no trash directory: moves to the trash fail");
}

// Walks the whole root. False when the root itself cannot be listed.
bool vh_check_root(VhCheck &c, std::string &error) {
  struct stat st;
  if (stat(c.root.c_str(), &st) != 0) {
    error = "check: cannot open " + c.root + " (" + strerror(errno) + ")";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = "check: cannot open " + c.root + " (not a directory)";
    return false;
  }
  vh_check_mode(c, c.root, st);
  std::vector<std::string> names;
  if (!vh_list(c.root, names)) {
    error = "check: cannot list " + c.root + " (" + strerror(errno) + ")";
    return false;
  }
  bool has_config = false, has_users = false;
  for (const std::string &n : names) {
    std::string p = c.root + "/" + n;
    struct stat est;
    if (!vh_stat(p, est)) continue;
    if (n == "config.json") {
      has_config = true;
      vh_document(c, p, est, YYJSON_TYPE_OBJ, -1, "the configuration");
    } else if (n == "users") {
      vh_check_mode(c, p, est);
      if (!S_ISDIR(est.st_mode))
        vh_find(c, "wrong-kind", p, std::string("users is ") + vh_kind_name(est.st_mode));
      else
        has_users = true;
    } else if (vh_temp_name(n)) {
      vh_check_mode(c, p, est);
      vh_temp(c, p, est);
    }
    // Anything else beside config.json and users belongs to the operator.
  }
  if (!has_config)
    vh_find(c, "missing", c.root + "/config.json", "no configuration file (init writes one)");
  if (!has_users) {
    vh_find(c, "missing", c.root + "/users", "no users directory (init creates it)");
    return true;
  }

  std::string users = c.root + "/users";
  if (!vh_list(users, names)) {
    vh_find(c, "unreadable", users, strerror(errno));
    return true;
  }
  for (const std::string &n : names) {
    if (n[0] == '.') continue;  // hidden: every listing of the library skips it
    std::string p = users + "/" + n;
    struct stat est;
    if (!vh_stat(p, est)) continue;
    if (vh_temp_name(n)) {
      vh_check_mode(c, p, est);
      vh_temp(c, p, est);
      continue;
    }
    if (!S_ISDIR(est.st_mode)) {
      vh_check_mode(c, p, est);
      vh_find(c, "wrong-kind", p,
              std::string("an account must be a directory, this is ") + vh_kind_name(est.st_mode) +
                  " (statistics still count it)");
      continue;
    }
    vh_check_mode(c, p, est);
    if (!vh_id_safe(n))
      vh_find(c, "bad-name", p, "not a usable user id: no export can address this account");
    else if (n.size() > 36)
      vh_find(c, "bad-name", p,
              "user id longer than 36 characters: lookups cannot hand it out");
    if (n.find(".tmp.") != std::string::npos) continue;  // never scanned as an account
    vh_check_account(c, p, n);
  }
  for (const auto &e : c.emails) {
    if (e.second.size() < 2) continue;
    std::string all;
    for (const std::string &id : e.second) all += (all.empty() ? "" : ", ") + id;
    for (size_t i = 1; i < e.second.size(); i++)
      vh_find(c, "duplicate-email", users + "/" + e.second[i],
              "e-mail \"" + e.first + "\" is held by " + std::to_string(e.second.size()) +
                  " accounts (" + all + "); lookups find only one of them");
  }
  return true;
}

yyjson_mut_val *vh_finding_json(yyjson_mut_doc *doc, const VhFinding &f) {
  yyjson_mut_val *o = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_strncpy(doc, o, "kind", f.kind.data(), f.kind.size());
  yyjson_mut_obj_add_strncpy(doc, o, "path", f.path.data(), f.path.size());
  yyjson_mut_obj_add_strncpy(doc, o, "detail", f.detail.data(), f.detail.size());
  if (f.age >= 0) yyjson_mut_obj_add_int(doc, o, "age_seconds", f.age);
  return o;
}

// Names on disk may hold any bytes: the JSON output keeps them as they are.
const yyjson_write_flag k_write_flags = YYJSON_WRITE_ALLOW_INVALID_UNICODE;

int vh_print_check(const VhCheck &c, bool json) {
  if (json) {
    VhMutDoc doc(yyjson_mut_doc_new(nullptr));
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
    char *text = yyjson_mut_write(doc.get(), k_write_flags, nullptr);
    if (!text) return VH_FAIL;
    printf("%s\n", text);
    free(text);
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

// ---- user list ---------------------------------------------------------------------------

struct VhAccountRow {
  std::string id;
  std::string email;  // empty with has_email false: no readable profile
  bool has_email = false;
  long items = 0;
  long trash = 0;
};

long vh_count(const std::string &dir, bool trash) {
  std::vector<std::string> names;
  if (!vh_list(dir, names)) return 0;
  long n = 0;
  for (const std::string &s : names)
    if (trash ? vh_trash_file_name(s) : vh_item_file_name(s)) n++;
  return n;
}

// Control characters would break the table: shown as '?'.
std::string vh_printable(const std::string &s) {
  std::string out = s;
  for (char &ch : out)
    if ((unsigned char)ch < 0x20 || ch == 0x7f) ch = '?';
  return out;
}

int vh_user_list(const std::string &root, bool json) {
  std::string users = root + "/users";
  std::vector<std::string> names;
  if (!vh_list(users, names)) {
    fprintf(stderr, "user list: cannot open %s (%s)\n", users.c_str(), strerror(errno));
    return VH_FAIL;
  }
  std::vector<VhAccountRow> rows;
  for (const std::string &n : names) {
    if (n[0] == '.' || n.find(".tmp.") != std::string::npos) continue;
    std::string dir = users + "/" + n;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    VhAccountRow r;
    r.id = n;
    std::string text, why;
    if (vh_read_whole(dir + "/profile.json", text, why)) {
      VhDoc doc(yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, nullptr));
      if (doc) r.has_email = vh_profile_email(yyjson_doc_get_root(doc.get()), r.email);
    }
    r.items = vh_count(dir + "/ciphers", false);
    r.trash = vh_count(dir + "/trash", true);
    rows.push_back(std::move(r));
  }
  if (json) {
    VhMutDoc doc(yyjson_mut_doc_new(nullptr));
    if (!doc) return VH_FAIL;
    yyjson_mut_val *arr = yyjson_mut_arr(doc.get());
    yyjson_mut_doc_set_root(doc.get(), arr);
    for (const VhAccountRow &r : rows) {
      yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc.get(), arr);
      yyjson_mut_obj_add_strncpy(doc.get(), o, "userId", r.id.data(), r.id.size());
      if (r.has_email)
        yyjson_mut_obj_add_strncpy(doc.get(), o, "email", r.email.data(), r.email.size());
      else
        yyjson_mut_obj_add_null(doc.get(), o, "email");
      yyjson_mut_obj_add_int(doc.get(), o, "items", r.items);
      yyjson_mut_obj_add_int(doc.get(), o, "trash", r.trash);
    }
    char *text = yyjson_mut_write(doc.get(), k_write_flags, nullptr);
    if (!text) return VH_FAIL;
    printf("%s\n", text);
    free(text);
    return VH_OK;
  }
  printf("%-36s  %6s  %6s  %s\n", "USER ID", "ITEMS", "TRASH", "E-MAIL");
  for (const VhAccountRow &r : rows)
    printf("%-36s  %6ld  %6ld  %s\n", vh_printable(r.id).c_str(), r.items, r.trash,
           r.has_email ? vh_printable(r.email).c_str() : "-");
  return VH_OK;
}

struct VhOperatorArgs {
  bool json = false;
  long long stale_minutes = -1;
};

}  // namespace

void vh_add_operator_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhOperatorArgs>();

  // `user` is created by the account commands; attach to it when present.
  CLI::App *user = nullptr;
  try {
    user = app.get_subcommand("user");
  } catch (const CLI::OptionNotFound &) {
    user = app.add_subcommand("user", "accounts");
    user->require_subcommand(1);
  }
  CLI::App *list = user->add_subcommand(
      "list", "list the accounts: user id, item and trash counts, e-mail (reads the tree)");
  list->add_flag("--json", args->json, "print a JSON array");
  list->callback([&ctx, args] { ctx.exit_code = vh_user_list(ctx.root, args->json); });

  CLI::App *check = app.add_subcommand(
      "check", "read-only consistency check of the data root; exit 0 clean, 1 findings");
  check->add_flag("--json", args->json, "print the findings as one JSON object");
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
    ctx.exit_code = vh_print_check(c, args->json);
  });
}
