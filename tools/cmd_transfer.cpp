// `export [USER_ID...]` and `import FILE|-`: a dump of whole accounts as
// JSON lines (the format: admin/export.h), and its load into a data root.
// Both are the library's (admin/export.h, admin/import.h): here the
// dump's grammar on import, the output files and the reports.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <map>
#include <string>
#include <vector>

#include <yyjson.h>

#include "admin/export.h"
#include "admin/import.h"
#include "admin/tree.h"
#include "host.h"

namespace {


// A fresh document whose root is an empty object: the object, or nullptr
// when there is no memory.
yyjson_mut_val *vh_new_object(VsMutDoc &doc) {
  doc.reset(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val *o = doc ? yyjson_mut_obj(doc.get()) : nullptr;
  if (o) yyjson_mut_doc_set_root(doc.get(), o);
  return o;
}

// ---- export -------------------------------------------------------------------------
// The dump itself is written by the library (admin/export.h); here the
// output's rules (a private file, the reports on standard error).

struct VhExport {
  VhMeter progress;
};

void vh_export_note(void *, const char *path, const char *why, bool exported) {
  if (exported)
    fprintf(stderr, "export: exported %s as stored (%s)\n", path, why);
  else
    fprintf(stderr, "export: passed over %s (%s)\n", path, why);
}

void vh_export_progress(void *ctx, const VsExportReport &r) {
  char where[64];
  snprintf(where, sizeof where, " (%ld of %ld accounts)", r.accounts, r.total);
  vh_meter_set(static_cast<VhExport *>(ctx)->progress, r.items, -1, where);
}

// A dump holds every account's master-password hash and protected key: a
// regular file on standard output (a shell's redirection, made 0644 by the
// usual umask) is narrowed to 0600. An exit code; the reason is printed.
int vh_stdout_private() {
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

int vh_export(VhContext &ctx, const std::vector<std::string> &wanted, const std::string &output) {
  int rc = vh_data_root(ctx, false);
  if (rc != VH_OK) return rc;
  if (output.empty() && (rc = vh_stdout_private()) != VH_OK) return rc;
  std::vector<const char *> ids;
  for (const std::string &id : wanted) ids.push_back(id.c_str());
  VhExport x;
  vh_meter_start(x.progress, ctx, "export", "items", -1);
  VsExportSink sink;
  sink.note = vh_export_note;
  sink.progress = vh_export_progress;
  sink.ctx = &x;
  VsExportReport r;
  fflush(stdout);
  int done = output.empty()
                 ? vs_admin_export(vs_admin_root(), ids.data(), ids.size(), STDOUT_FILENO, sink, r)
                 : vs_admin_export_file(vs_admin_root(), ids.data(), ids.size(), output.c_str(),
                                        sink, r);
  vh_meter_end(x.progress);
  if (done != 0) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    if (done == 1) return VH_SOFT;  // an account asked for is not there
    int code = vault_storage_last_error_code();
    return code == VAULT_EXISTS || code == VAULT_INVALID ? VH_USAGE : VH_FAIL;
  }
  fprintf(stderr, "export: %ld accounts, %ld items\n", r.accounts, r.items);
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
  std::map<std::string, long> seen;  // account ids of the dump so far, and their lines
  std::map<std::string, long> staged_items;  // "<0|1><id>" of the current account -> line
  long long bytes = 0, size = -1;  // read so far, and the dump's size when known
  bool skipping = false;  // the current account is refused: skip its items
  long line = 0;
  long accounts = 0;  // account and item lines of the dump
  long items = 0;
  VhMeter progress;
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
  std::string twice(const char *what, const char *id, long first_line) const {
    return std::string(what) + " " + id + " appears twice in the dump (lines " +
           std::to_string(first_line) + " and " + std::to_string(line) + ")";
  }
  void tick() {
    char where[96];
    if (size > 0)
      snprintf(where, sizeof where, " (%ld accounts, %lld%% of the dump)", accounts,
               bytes * 100 / size);
    else
      snprintf(where, sizeof where, " (%ld accounts)", accounts);
    vh_meter_set(progress, items, -1, where);
  }
  int failed() {
    fprintf(stderr, "%s\n", vault_storage_last_error());
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
    int rc = vs_import_commit(vs_admin_root(), *staged, &book, reason, sizeof reason);
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
    auto first = seen.emplace(yyjson_get_str(id), line);
    if (!first.second)
      return bad(twice("account", yyjson_get_str(id), first.first->second).c_str(), VH_USAGE);
    staged_items.clear();
    int rc = finish();
    if (rc != VH_OK) return rc;
    accounts++;
    skipping = false;
    auto s = std::make_unique<VsStaged>();
    char reason[256];
    rc = vs_import_begin(vs_admin_root(), yyjson_get_str(id), replace, *s, reason,
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
    // One item twice in an account: the second copy would replace the first.
    auto first = staged_items.emplace((yyjson_get_bool(trash) ? "1" : "0") +
                                          std::string(yyjson_get_str(id)),
                                      line);
    if (!first.second) return bad(twice("item", yyjson_get_str(id), first.first->second).c_str());
    if (skipping) return VH_OK;
    std::string name = std::string(yyjson_get_str(id)) + VS_DOC_SUFFIX;
    if (vs_import_write(*staged, yyjson_get_bool(trash) ? VS_STAGE_TRASH : VS_STAGE_CIPHERS,
                        name.c_str(), yyjson_get_str(doc), yyjson_get_len(doc)) != 0)
      return failed();
    tick();
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

int vh_print_import(const VhContext &ctx, const VhImportReport &r, bool complete, bool quiet) {
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
    if (!quiet) {
      for (const std::string &id : r.created) printf("created   %s\n", id.c_str());
      for (const std::string &id : r.replaced) printf("replaced  %s\n", id.c_str());
    }
    for (size_t i = 0; i < r.refused.size(); i++)
      printf("refused   %s: %s\n", r.refused[i].c_str(), r.reasons[i].c_str());
    printf("import: %zu created, %zu replaced, %zu refused, %ld items%s\n", r.created.size(),
           r.replaced.size(), r.refused.size(), r.items, complete ? "" : " (stopped early)");
  }
  return VH_OK;
}

int vh_import(VhContext &ctx, const std::string &input, bool replace, bool quiet) {
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
  vh_meter_start(im.progress, ctx, "import", "items", -1);
  if (quiet) vh_meter_end(im.progress);  // import's own --quiet
  struct stat st;
  if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode)) im.size = st.st_size;
  // Every address on disk, read once: each account's claim consults it
  // rather than reading every profile again.
  if (vs_address_book_read(vs_admin_root(), im.book, "import") != 0) return im.failed();
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
    im.bytes += n;
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
      if (!yyjson_equals_str(f, VS_DUMP_FORMAT) ||
          yyjson_get_int(yyjson_obj_get(o, "version")) != VS_DUMP_VERSION) {
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
  vh_meter_end(im.progress);
  vh_print_import(ctx, im.report, rc == VH_OK, quiet);
  if (rc != VH_OK) return rc;
  return im.report.refused.empty() ? VH_OK : VH_SOFT;
}

struct VhTransferArgs {
  std::vector<std::string> ids;
  std::string input;
  std::string output;
  bool replace = false;
  bool quiet = false;
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
  imp->add_flag("-q,--quiet", args->quiet,
                "no line per account created or replaced (refusals and the total still)");
  imp->callback([&ctx, args] {
    ctx.exit_code = vh_import(ctx, args->input, args->replace, args->quiet);
  });
}
