// Pieces every subcommand of the command-line host shares: the data-root
// rules, turning the library's results into output and exit codes, reading
// a document or a secret to hand to the library, and printing JSON.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "admin/tree.h"
#include "host.h"

bool vh_init(VhContext &ctx) {
  if (vault_storage_init(ctx.root.c_str()) != 0) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return false;
  }
  return true;
}

// Only init and demo create a data root: a mistyped --root must fail, not
// grow a fresh tree and answer "no" or zeros from it. The library checks
// the root (admin/tree.h) and keeps it as its one root; with users/ and
// config.json present, its init creates nothing.
int vh_data_root(VhContext &ctx, bool open_library) {
  const char *root = ctx.root.c_str();
  if (vs_admin_open(root) != 0 || (open_library && vault_storage_init(root) != 0)) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return VH_FAIL;
  }
  return VH_OK;
}

int vh_account(const VhContext &, const std::string &user_id) {
  int rc = vs_admin_account_there(vs_admin_root(), user_id.c_str());
  if (rc == 0) return VH_OK;
  fprintf(stderr, "%s\n", vault_storage_last_error());
  return rc == 1 ? VH_SOFT : VH_FAIL;
}

// From the library's result code: what is missing or already there is 1
// (so are all soft results), input the library refuses is 2, the rest is a
// failure.
int vh_exit_for(int rc, int code) {
  if (rc == 1) return VH_SOFT;
  switch (code) {
    case VAULT_NOT_FOUND:
    case VAULT_EXISTS:
    case VAULT_MISMATCH: return VH_SOFT;
    case VAULT_INVALID: return VH_USAGE;
    default: return VH_FAIL;
  }
}

int vh_result(int rc) {
  if (rc == 0) return VH_OK;
  fprintf(stderr, "%s\n", vault_storage_last_error());
  return vh_exit_for(rc, vault_storage_last_error_code());
}

int vh_text(const char *text) {
  if (!text) return vh_result(-1);
  printf("%s\n", text);
  return VH_OK;
}

int vh_owned(const VhContext &ctx, char *text, size_t len) {
  if (!text) return vh_result(-1);
  bool written = false;
  if (ctx.pretty) {
    VsDoc doc(yyjson_read_opts(text, len, YYJSON_READ_ALLOW_INVALID_UNICODE, nullptr, nullptr));
    char *out = doc ? yyjson_write(doc.get(), YYJSON_WRITE_PRETTY | YYJSON_WRITE_ALLOW_INVALID_UNICODE,
                                   nullptr)
                    : nullptr;
    if (out) {
      printf("%s\n", out);
      free(out);
      written = true;
    }
  }
  if (!written) {
    fwrite(text, 1, len, stdout);
    if (ctx.line_end || ctx.pretty || isatty(STDOUT_FILENO)) fputc('\n', stdout);
  }
  vault_free(text);
  return VH_OK;
}

namespace {

double vh_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

}  // namespace

VhProgress::VhProgress(const char *w)
    : what(w), tty(isatty(STDERR_FILENO) == 1), start(vh_now()) {}

void VhProgress::tick(long done, const char *unit, const char *where) {
  if (!tty) return;
  double now = vh_now();
  if (now - start < 1.0 || (shown && now - last < 0.25)) return;
  last = now;
  shown = true;
  fprintf(stderr, "\r%s: %ld %s%s, %.0f %s/s\033[K", what, done, unit, where,
          (double)done / (now - start), unit);
}

void VhProgress::done() {
  if (shown) fprintf(stderr, "\r\033[K");
  shown = false;
}

bool vh_read_input(const std::string &path, std::string &out) {
  std::stringstream ss;
  if (path == "-") {
    ss << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    ss << in.rdbuf();
  }
  out = ss.str();
  return true;
}

bool vh_secret(const std::string &value, const std::string &file, const char *what,
               std::string &out) {
  if (file.empty() && value != "-") {
    out = value;
    return true;
  }
  const std::string &from = file.empty() ? value : file;
  if (!vh_read_input(from, out)) {
    fprintf(stderr, "cannot read the %s from %s (%s)\n", what, from.c_str(), strerror(errno));
    return false;
  }
  // Its first line, without the line end.
  size_t end = out.find('\n');
  if (end != std::string::npos) out.resize(end);
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return true;
}

namespace {

bool vh_write_json(yyjson_mut_doc *doc, yyjson_write_flag flags) {
  char *text = yyjson_mut_write(doc, flags | YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  if (!text) return false;
  printf("%s\n", text);
  free(text);
  return true;
}

}  // namespace

bool vh_print_json(yyjson_mut_doc *doc) { return vh_write_json(doc, 0); }

bool vh_print_json(const VhContext &ctx, yyjson_mut_doc *doc) {
  return vh_write_json(doc, ctx.pretty ? YYJSON_WRITE_PRETTY : 0);
}
