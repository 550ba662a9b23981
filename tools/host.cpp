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

#include <fstream>
#include <iostream>
#include <sstream>

#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "host.h"

bool vh_init(VhContext &ctx) {
  if (vault_storage_init(ctx.root.c_str()) != 0) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return false;
  }
  return true;
}

namespace {

int vh_no_root(const VhContext &ctx) {
  fprintf(stderr, "no data root at %s; run `keldrune-vault init`\n", ctx.root.c_str());
  return VH_FAIL;
}

int vh_unreadable(const char *path) {
  fprintf(stderr, "cannot read %s (%s)\n", path, strerror(errno));
  return VH_FAIL;
}

}  // namespace

// Only init and demo create a data root: a mistyped --root must fail, not
// grow a fresh tree and answer "no" or zeros from it. With users/ and
// config.json present, the library's init creates nothing.
int vh_data_root(VhContext &ctx, bool open_library) {
  const char *root = ctx.root.c_str();
  struct stat st;
  if (stat(root, &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return vh_no_root(ctx);
    return vh_unreadable(root);
  }
  if (!S_ISDIR(st.st_mode)) return vh_no_root(ctx);
  char users[VS_ACCOUNT_PATH], config[VS_ACCOUNT_PATH];
  if (vs_users_dir(users, sizeof users, root) != 0 ||
      vs_config_path(config, sizeof config, root) != 0) {
    fprintf(stderr, "data root path too long: %s\n", root);
    return VH_FAIL;
  }
  VsFd dir(vs_open_beneath(root, users, O_RDONLY | O_DIRECTORY, 0));
  if (!dir.ok()) return errno == ENOENT || errno == ENOTDIR ? vh_no_root(ctx) : vh_unreadable(users);
  // Only its existence matters: the library never reads config.json.
  VsFd cfg(vs_open_beneath(root, config, O_PATH, 0));
  if (!cfg.ok()) return errno == ENOENT ? vh_no_root(ctx) : vh_unreadable(config);
  // Reads of the tree made without the library's init still follow the
  // file system's kind (on a shared one they retry a replaced file).
  if (!open_library) vs_fs_note(users);
  if (open_library && vault_storage_init(root) != 0) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return VH_FAIL;
  }
  return VH_OK;
}

int vh_account(const VhContext &ctx, const std::string &user_id) {
  VsAccountPaths paths;
  if (!vs_id_safe(user_id.c_str()) || vs_account_paths(paths, ctx.root.c_str(), user_id.c_str()) != 0)
    return VH_OK;
  struct stat st;
  if (lstat(paths.dir, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return VH_OK;
  } else if (errno != ENOENT && errno != ENOTDIR) {
    return vh_unreadable(paths.dir);
  }
  fprintf(stderr, "no account %s\n", user_id.c_str());
  return VH_SOFT;
}

// From the library's result code: what is missing or already there is 1
// (so are all soft results), input the library refuses is 2, the rest is a
// failure.
int vh_exit_for(int rc, int code) {
  if (rc == 1) return VH_SOFT;
  switch (code) {
    case VAULT_NOT_FOUND:
    case VAULT_EXISTS:
    case VAULT_MISMATCH:
    case VAULT_CHANGED: return VH_SOFT;
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
