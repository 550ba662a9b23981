// `export [USER_ID...]` and `import FILE|-`: a dump of whole accounts as
// JSON lines, and its load into a data root.
//
// The dump holds every document of an account byte for byte, as JSON
// strings (a document that is not UTF-8 keeps its raw bytes inside the
// string), one line each:
//
//   {"format":"keldrune-vault-dump","version":1}
//   {"account":"<user id>","profile":"<text>"|null,"folders":"<text>"|null}
//   {"item":"<id>","trash":false|true,"document":"<text>"}   (of that account)
//   ...
//   {"end":true,"accounts":N,"items":M}
//
// Both read and write the tree directly, with the library's layout and
// listing rules and its link-safe primitives: no export reads the trash or
// writes a profile or an item under the name it had, and a round trip must
// reproduce every file exactly.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

#include "foundation/files.h"
#include "admin/import.h"
#include "foundation/results.h"
#include "host.h"
#include "tree.h"

namespace {

const char k_format[] = "keldrune-vault-dump";
const int k_version = 1;

// ---- progress on a terminal ---------------------------------------------------------
// A line on standard error, rewritten in place, once the work has taken a
// second; only when standard error is a terminal.
struct VhProgress {
  const char *what;
  bool tty = isatty(STDERR_FILENO) == 1;
  struct timespec start {}, last {};
  bool shown = false;

  explicit VhProgress(const char *w) : what(w) { clock_gettime(CLOCK_MONOTONIC, &start); }
  static double secs(const timespec &a, const timespec &b) {
    return (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_nsec - a.tv_nsec) / 1e9;
  }
  void tick(long accounts, long items) {
    if (!tty) return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (secs(start, now) < 1.0 || (shown && secs(last, now) < 0.25)) return;
    last = now;
    shown = true;
    fprintf(stderr, "\r%s: %ld accounts, %ld items", what, accounts, items);
  }
  void done() {
    if (shown) fprintf(stderr, "\r\033[K");
  }
};

// A fresh document whose root is an empty object: the object, or nullptr
// when there is no memory.
yyjson_mut_val *vh_new_object(VsMutDoc &doc) {
  doc.reset(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val *o = doc ? yyjson_mut_obj(doc.get()) : nullptr;
  if (o) yyjson_mut_doc_set_root(doc.get(), o);
  return o;
}

// ---- export -------------------------------------------------------------------------

struct VhExport {
  std::string root;
  FILE *out = stdout;
  std::string output;  // --output FILE; empty: standard output
  long accounts = 0;
  long items = 0;
  VhProgress progress{"export"};
};

bool vh_write_line(VhExport &x, yyjson_mut_doc *doc) {
  size_t len = 0;
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
  if (!text) {
    fprintf(stderr, "export: out of memory\n");
    return false;
  }
  VsText hold(text);
  if (fwrite(text, 1, len, x.out) != len || fputc('\n', x.out) == EOF) {
    fprintf(stderr, "export: cannot write the dump (%s)\n", strerror(errno));
    return false;
  }
  return true;
}

// Adds key: the file's text, or null when there is no file. False (with
// the reason printed) when it exists but cannot be read.
bool vh_add_file(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                 const std::string &root, const char *path, std::string &text) {
  std::string why;
  if (!vh_read_whole(root, path, text, why)) {
    if (errno == ENOENT) {
      yyjson_mut_obj_add_null(doc, obj, key);
      return true;
    }
    fprintf(stderr, "export: cannot read %s (%s)\n", path, why.c_str());
    return false;
  }
  yyjson_mut_obj_add_strn(doc, obj, key, text.data(), text.size());
  return true;
}

// The item lines of ciphers/ or trash/ (live: the account's ciphers/, for
// the trash). A directory that is not there has no items; names the library
// cannot address are passed over with a word. A trashed name that is the
// live file itself (a restore cut short) is the live item, exported once.
bool vh_export_items(VhExport &x, const char *dir, const char *live) {
  bool trash = live != nullptr;
  std::vector<std::string> names;
  if (!vh_list(x.root, dir, names)) {
    if (errno == ENOENT) return true;
    fprintf(stderr, "export: cannot list %s (%s)\n", dir, strerror(errno));
    return false;
  }
  VhLiveTwins twin(x.root, dir, live);
  for (const std::string &n : names) {
    bool listed = trash ? vs_trash_file_name(n.c_str()) && !vs_temp_marked(n.c_str())
                        : vs_item_file_name(n.c_str());
    if (!listed) continue;  // temporary files and other names are no items
    if (twin(n.c_str())) continue;
    std::string id = n.substr(0, n.size() - strlen(VS_DOC_SUFFIX));
    std::string path = std::string(dir) + "/" + n;
    if (!vs_id_safe(id.c_str())) {
      fprintf(stderr, "export: passed over %s (no identifier can address it)\n", path.c_str());
      continue;
    }
    std::string text, why;
    if (!vh_read_whole(x.root, path, text, why)) {
      if (errno == ENOENT) continue;  // removed meanwhile by a running host
      // What the sync document passes over (a FIFO, socket, directory or
      // link under an item's name) is no item: said, and passed over.
      if (vs_read_absent(errno)) {
        fprintf(stderr, "export: passed over %s (%s)\n", path.c_str(), why.c_str());
        continue;
      }
      fprintf(stderr, "export: cannot read %s (%s)\n", path.c_str(), why.c_str());
      return false;
    }
    VsMutDoc doc;
    yyjson_mut_val *o = vh_new_object(doc);
    if (!o) return false;
    yyjson_mut_obj_add_strn(doc.get(), o, "item", id.data(), id.size());
    yyjson_mut_obj_add_bool(doc.get(), o, "trash", trash);
    yyjson_mut_obj_add_strn(doc.get(), o, "document", text.data(), text.size());
    if (!vh_write_line(x, doc.get())) return false;
    x.items++;
    x.progress.tick(x.accounts, x.items);
  }
  return true;
}

bool vh_export_account(VhExport &x, const std::string &uid) {
  VsAccountPaths paths;
  if (vs_account_paths(paths, x.root.c_str(), uid.c_str()) != 0) {
    fprintf(stderr, "export: path too long for account %s\n", uid.c_str());
    return false;
  }
  VsMutDoc doc;
  yyjson_mut_val *o = vh_new_object(doc);
  if (!o) return false;
  yyjson_mut_obj_add_strn(doc.get(), o, "account", uid.data(), uid.size());
  std::string profile, folders;  // live until the line is written
  if (!vh_add_file(doc.get(), o, "profile", x.root, paths.profile, profile) ||
      !vh_add_file(doc.get(), o, "folders", x.root, paths.folders, folders) ||
      !vh_write_line(x, doc.get()))
    return false;
  x.accounts++;
  return vh_export_items(x, paths.ciphers, nullptr) &&
         vh_export_items(x, paths.trash, paths.ciphers);
}

// An account directory as every listing takes it.
bool vh_is_account(const std::string &root, const std::string &name) {
  if (!vs_account_name(name.c_str()) || vs_temp_marked(name.c_str()) ||
      !vs_id_safe(name.c_str()))
    return false;
  VsAccountPaths paths;
  struct stat st;
  return vs_account_paths(paths, root.c_str(), name.c_str()) == 0 &&
         lstat(paths.dir, &st) == 0 && S_ISDIR(st.st_mode);
}

// Where a dump goes. It holds every account's master-password hash and
// protected key, so a file is the owner's alone: --output FILE makes a new
// file 0600 (never one that exists), and a regular file on standard output
// (a shell's redirection, made 0644 by the usual umask) is narrowed to 0600.
// An exit code; the reason is printed.
int vh_dump_open(VhExport &x, const std::string &output) {
  if (output.empty()) {
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
      if (fchmod(STDOUT_FILENO, st.st_mode & 0700) != 0) {
        fprintf(stderr, "export: standard output is a file others may read, and its mode "
                        "cannot be narrowed (%s)\n", strerror(errno));
        return VH_FAIL;
      }
      fprintf(stderr, "export: standard output is a file: its mode is now %04o (a dump holds "
                      "credentials)\n", (unsigned)(st.st_mode & 0700));
    }
    return VH_OK;
  }
  int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    bool exists = errno == EEXIST;
    fprintf(stderr, "export: cannot create %s (%s)%s\n", output.c_str(), strerror(errno),
            exists ? ": a dump never replaces a file" : "");
    return exists ? VH_USAGE : VH_FAIL;
  }
  x.out = fdopen(fd, "w");
  if (!x.out) {
    fprintf(stderr, "export: cannot write %s (%s)\n", output.c_str(), strerror(errno));
    close(fd);
    unlink(output.c_str());
    return VH_FAIL;
  }
  x.output = output;
  return VH_OK;
}

// Ends the dump: a file of --output is flushed to stable storage and
// closed; one that could not be finished is removed, so that no half dump
// is mistaken for a whole one.
bool vh_dump_close(VhExport &x, bool ok) {
  if (x.output.empty()) {
    if (ok && fflush(x.out) != 0) {
      fprintf(stderr, "export: cannot write the dump (%s)\n", strerror(errno));
      return false;
    }
    return ok;
  }
  if (ok && (fflush(x.out) != 0 || fsync(fileno(x.out)) != 0)) {
    fprintf(stderr, "export: cannot write %s (%s)\n", x.output.c_str(), strerror(errno));
    ok = false;
  }
  if (fclose(x.out) != 0 && ok) {
    fprintf(stderr, "export: cannot write %s (%s)\n", x.output.c_str(), strerror(errno));
    ok = false;
  }
  x.out = stdout;
  if (!ok) unlink(x.output.c_str());
  return ok;
}

int vh_export_to(VhContext &ctx, VhExport &x, const std::vector<std::string> &wanted);

int vh_export(VhContext &ctx, const std::vector<std::string> &wanted, const std::string &output) {
  int rc = vh_data_root(ctx, false);
  if (rc != VH_OK) return rc;
  VhExport x;
  x.root = ctx.root;
  rc = vh_dump_open(x, output);
  if (rc != VH_OK) return rc;
  rc = vh_export_to(ctx, x, wanted);
  if (!vh_dump_close(x, rc == VH_OK) && rc == VH_OK) rc = VH_FAIL;
  if (rc == VH_OK) fprintf(stderr, "export: %ld accounts, %ld items\n", x.accounts, x.items);
  return rc;
}

int vh_export_to(VhContext &, VhExport &x, const std::vector<std::string> &wanted) {
  std::vector<std::string> ids = wanted;
  if (ids.empty()) {
    char users[VS_ACCOUNT_PATH];
    std::vector<std::string> names;
    if (vs_users_dir(users, sizeof users, x.root.c_str()) != 0 ||
        !vh_list(x.root, users, names)) {
      fprintf(stderr, "export: cannot list %s/%s (%s)\n", x.root.c_str(), VS_USERS_NAME,
              strerror(errno));
      return VH_FAIL;
    }
    for (const std::string &n : names)
      if (vh_is_account(x.root, n)) ids.push_back(n);
  } else {
    // Every account asked for must be there before a line is written.
    for (const std::string &id : ids)
      if (!vh_is_account(x.root, id)) {
        fprintf(stderr, "export: no account %s\n", id.c_str());
        return VH_SOFT;
      }
  }

  VsMutDoc head;
  yyjson_mut_val *h = vh_new_object(head);
  if (!h) return VH_FAIL;
  yyjson_mut_obj_add_str(head.get(), h, "format", k_format);
  yyjson_mut_obj_add_int(head.get(), h, "version", k_version);
  if (!vh_write_line(x, head.get())) return VH_FAIL;
  for (const std::string &id : ids)
    if (!vh_export_account(x, id)) {
      x.progress.done();
      return VH_FAIL;
    }
  VsMutDoc end;
  yyjson_mut_val *e = vh_new_object(end);
  if (!e) return VH_FAIL;
  yyjson_mut_obj_add_true(end.get(), e, "end");
  yyjson_mut_obj_add_int(end.get(), e, "accounts", x.accounts);
  yyjson_mut_obj_add_int(end.get(), e, "items", x.items);
  x.progress.done();
  if (!vh_write_line(x, end.get())) return VH_FAIL;
  return VH_OK;
}

// ---- import -------------------------------------------------------------------------
//
// The dump is read line by line; each account is staged, written, claimed
// and committed by the library's import (admin/import.h), which holds the
// protocol and its durability. Here: the dump's grammar, checked whole
// (header first, usable ids, one copy of each account, the end line's
// counts), and the report.

struct VhImportReport {
  std::vector<std::string> created, replaced, refused;
  std::vector<std::string> reasons;  // of the refused, in order
  long items = 0;
};

// An id of the dump: a string without a NUL that vs_id_safe accepts (an
// account's of at most 36 characters, as the library makes them).
bool vh_dump_id(yyjson_val *v, size_t max) {
  const char *s = yyjson_get_str(v);
  return s && strlen(s) == yyjson_get_len(v) && yyjson_get_len(v) <= max && vs_id_safe(s);
}

struct VhImport {
  VhContext &ctx;
  bool replace = false;
  VhImportReport report;
  std::unique_ptr<VsStaged> staged;  // the account being read
  VsAddressBook book;
  std::set<std::string> seen;  // account ids of the dump so far
  bool skipping = false;  // the current account is refused: skip its items
  long line = 0;
  long accounts = 0;  // account and item lines of the dump
  long items = 0;
  VhProgress progress{"import"};
  explicit VhImport(VhContext &c) : ctx(c) {}
  ~VhImport() { drop(); }

  void drop() {
    if (staged) vs_import_drop(*staged);
    staged.reset();
  }
  int bad(const char *what, int code = VH_FAIL) {
    fprintf(stderr, "import: line %ld: %s\n", line, what);
    return code;
  }
  int failed() {
    fprintf(stderr, "%s\n", vs_error_str());
    return VH_FAIL;
  }
  void refuse(const std::string &uid, const char *why) {
    report.refused.push_back(uid);
    report.reasons.push_back(why);
    skipping = true;
  }

  // Commits the account being read, if any.
  int finish() {
    if (!staged) return VH_OK;
    char reason[256];
    int rc = vs_import_commit(ctx.root.c_str(), *staged, &book, reason, sizeof reason);
    if (rc < 0 && staged->placed) {  // in place, though not known to be durable: said so
      (staged->replace ? report.replaced : report.created).push_back(staged->uid);
      report.items += staged->items;
    }
    if (rc < 0) return failed();
    if (rc == 1) {
      report.refused.push_back(staged->uid);
      report.reasons.push_back(reason);
      drop();
      return VH_OK;
    }
    (staged->replace ? report.replaced : report.created).push_back(staged->uid);
    report.items += staged->items;
    staged.reset();
    return VH_OK;
  }

  int account(yyjson_val *o) {
    yyjson_val *id = yyjson_obj_get(o, "account");
    yyjson_val *profile = yyjson_obj_get(o, "profile");
    yyjson_val *folders = yyjson_obj_get(o, "folders");
    if (!vh_dump_id(id, VS_UUID_LEN)) return bad("\"account\" is not a usable user id");
    if (!(yyjson_is_str(profile) || yyjson_is_null(profile)) ||
        !(yyjson_is_str(folders) || yyjson_is_null(folders)))
      return bad("\"profile\" and \"folders\" must be strings or null");
    // One account twice: the second copy would silently replace or
    // mix with the first.
    if (!seen.insert(yyjson_get_str(id)).second)
      return bad((std::string("account ") + yyjson_get_str(id) + " appears twice").c_str(),
                 VH_USAGE);
    int rc = finish();
    if (rc != VH_OK) return rc;
    accounts++;
    skipping = false;
    auto s = std::make_unique<VsStaged>();
    char reason[256];
    rc = vs_import_begin(ctx.root.c_str(), yyjson_get_str(id), replace, *s, reason,
                         sizeof reason);
    if (rc == 1) {
      refuse(yyjson_get_str(id), reason);
      return VH_OK;
    }
    staged = std::move(s);
    if (rc < 0) return failed();
    if (yyjson_is_str(profile) &&
        vs_import_write(*staged, VS_STAGE_ACCOUNT, VS_PROFILE_NAME, yyjson_get_str(profile),
                        yyjson_get_len(profile)) != 0)
      return failed();
    if (yyjson_is_str(folders) &&
        vs_import_write(*staged, VS_STAGE_ACCOUNT, VS_FOLDERS_NAME, yyjson_get_str(folders),
                        yyjson_get_len(folders)) != 0)
      return failed();
    return VH_OK;
  }

  int item(yyjson_val *o) {
    yyjson_val *id = yyjson_obj_get(o, "item");
    yyjson_val *trash = yyjson_obj_get(o, "trash");
    yyjson_val *doc = yyjson_obj_get(o, "document");
    if (!vh_dump_id(id, VS_ID_MAX) || !yyjson_is_bool(trash) || !yyjson_is_str(doc))
      return bad("an item needs a usable \"item\" id, \"trash\" and a \"document\" string");
    if (accounts == 0) return bad("an item before any account");
    items++;
    if (skipping) return VH_OK;
    std::string name = std::string(yyjson_get_str(id)) + VS_DOC_SUFFIX;
    if (vs_import_write(*staged, yyjson_get_bool(trash) ? VS_STAGE_TRASH : VS_STAGE_CIPHERS,
                        name.c_str(), yyjson_get_str(doc), yyjson_get_len(doc)) != 0)
      return failed();
    progress.tick(accounts, items);
    return VH_OK;
  }

  // The end line: its counts must be those of the dump, or the dump is not
  // the one that was written (the last account is then not committed).
  int end(yyjson_val *o) {
    yyjson_val *a = yyjson_obj_get(o, "accounts"), *i = yyjson_obj_get(o, "items");
    if (!yyjson_is_int(a) || !yyjson_is_int(i) || yyjson_get_sint(a) != accounts ||
        yyjson_get_sint(i) != items) {
      char what[160];
      snprintf(what, sizeof what,
               "the end line's counts do not match the dump (%ld accounts, %ld items)",
               accounts, items);
      return bad(what);
    }
    return finish();
  }
};

int vh_print_import(const VhContext &ctx, const VhImportReport &r, bool complete) {
  if (ctx.json) {
    VsMutDoc doc;
    yyjson_mut_val *o = vh_new_object(doc);
    if (!o) return VH_FAIL;
    yyjson_mut_obj_add_bool(doc.get(), o, "complete", complete);
    yyjson_mut_val *c = yyjson_mut_obj_add_arr(doc.get(), o, "created");
    for (const std::string &id : r.created) yyjson_mut_arr_add_strcpy(doc.get(), c, id.c_str());
    c = yyjson_mut_obj_add_arr(doc.get(), o, "replaced");
    for (const std::string &id : r.replaced) yyjson_mut_arr_add_strcpy(doc.get(), c, id.c_str());
    c = yyjson_mut_obj_add_arr(doc.get(), o, "refused");
    for (size_t i = 0; i < r.refused.size(); i++) {
      yyjson_mut_val *e = yyjson_mut_arr_add_obj(doc.get(), c);
      yyjson_mut_obj_add_strcpy(doc.get(), e, "userId", r.refused[i].c_str());
      yyjson_mut_obj_add_strcpy(doc.get(), e, "reason", r.reasons[i].c_str());
    }
    yyjson_mut_obj_add_int(doc.get(), o, "items", r.items);
    if (!vh_print_json(ctx, doc.get())) return VH_FAIL;
  } else {
    for (const std::string &id : r.created) printf("created   %s\n", id.c_str());
    for (const std::string &id : r.replaced) printf("replaced  %s\n", id.c_str());
    for (size_t i = 0; i < r.refused.size(); i++)
      printf("refused   %s: %s\n", r.refused[i].c_str(), r.reasons[i].c_str());
    printf("import: %zu created, %zu replaced, %zu refused, %ld items%s\n", r.created.size(),
           r.replaced.size(), r.refused.size(), r.items, complete ? "" : " (stopped early)");
  }
  return VH_OK;
}

int vh_import(VhContext &ctx, const std::string &input, bool replace) {
  int rc = vh_data_root(ctx, true);
  if (rc != VH_OK) return rc;
  FILE *in = input == "-" ? stdin : fopen(input.c_str(), "rb");
  if (!in) {
    fprintf(stderr, "import: cannot open %s (%s)\n", input.c_str(), strerror(errno));
    return VH_FAIL;
  }
  std::unique_ptr<FILE, int (*)(FILE *)> hold(in == stdin ? nullptr : in, fclose);

  VhImport im(ctx);
  im.replace = replace;
  // Every address on disk, read once: each account's claim consults it
  // rather than reading every profile again.
  if (vs_address_book_read(ctx.root.c_str(), im.book, "import") != 0) return im.failed();
  if (im.book.unreadable) {
    fprintf(stderr, "import: cannot check email (%ld profiles could not be read: %s)\n",
            im.book.unreadable, strerror(im.book.unreadable_errno));
    return VH_FAIL;
  }
  char *buf = nullptr;
  size_t cap = 0;
  bool ended = false;
  rc = VH_OK;
  for (;;) {
    errno = 0;
    ssize_t n = getline(&buf, &cap, in);
    if (n < 0) {
      if (errno != 0 || ferror(in)) {
        fprintf(stderr, "import: cannot read %s (%s)\n", input.c_str(), strerror(errno));
        rc = VH_FAIL;
      }
      break;
    }
    im.line++;
    if (n > 0 && buf[n - 1] == '\n') buf[--n] = '\0';
    if (n == 0 && im.line > 1) continue;  // the header is the first line, never blank
    if (ended) {
      rc = im.bad("text after the end line");
      break;
    }
    yyjson_read_err err;
    VsDoc doc(yyjson_read_opts(buf, (size_t)n, YYJSON_READ_ALLOW_INVALID_UNICODE, nullptr, &err));
    yyjson_val *o = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(o) && im.line > 1) {
      rc = im.bad(doc ? "not a JSON object" : err.msg);
      break;
    }
    if (im.line == 1) {
      yyjson_val *f = yyjson_obj_get(o, "format");
      if (!yyjson_equals_str(f, k_format) ||
          yyjson_get_int(yyjson_obj_get(o, "version")) != k_version) {
        rc = im.bad("not a keldrune-vault dump of version 1");
        break;
      }
      continue;
    }
    if (yyjson_obj_get(o, "account")) {
      rc = im.account(o);
    } else if (yyjson_obj_get(o, "item")) {
      rc = im.item(o);
    } else if (yyjson_is_true(yyjson_obj_get(o, "end"))) {
      rc = im.end(o);
      ended = true;
    } else {
      rc = im.bad("neither an account, an item nor the end");
    }
    if (rc != VH_OK) break;
  }
  free(buf);
  if (rc == VH_OK && !ended) {
    // A cut dump: the account being read may be missing items.
    fprintf(stderr, "import: the dump ends without its end line%s\n",
            im.staged ? "; its last account was not imported" : "");
    rc = VH_FAIL;
  }
  im.drop();
  im.progress.done();
  vh_print_import(ctx, im.report, rc == VH_OK);
  if (rc != VH_OK) return rc;
  return im.report.refused.empty() ? VH_OK : VH_SOFT;
}

struct VhTransferArgs {
  std::vector<std::string> ids;
  std::string input;
  std::string output;
  bool replace = false;
};

}  // namespace

void vh_add_transfer_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhTransferArgs>();
  CLI::App *exp = app.add_subcommand(
      "export", "write accounts (all, or those named) with every document as JSON lines to "
                "standard output");
  exp->add_option("USER_ID", args->ids, "accounts to export (default: every account)");
  exp->add_option("-o,--output", args->output,
                  "write the dump to FILE, created 0600 (an existing file is refused); the "
                  "dump holds every account's credentials");
  exp->callback([&ctx, args] { ctx.exit_code = vh_export(ctx, args->ids, args->output); });

  CLI::App *imp = app.add_subcommand(
      "import", "load a dump made by export (FILE, or - for standard input); an account that "
                "exists is refused (exit 1) unless --replace");
  imp->add_option("FILE", args->input, "the dump, - for standard input")->required();
  imp->add_flag("--replace", args->replace,
                "replace accounts of the same user id, whole, with the dump's");
  imp->callback([&ctx, args] { ctx.exit_code = vh_import(ctx, args->input, args->replace); });
}
