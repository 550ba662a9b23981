// The operator's walk over the data tree (see tree.h).
#include "admin/tree.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "foundation/email_index.h"
#include "foundation/files.h"
#include "foundation/identifiers.h"
#include "foundation/moves.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/temp_names.h"

static int vs_no_root(const char *root) {
  vs_error_code(VAULT_NOT_FOUND, 0, "no data root at %s; run `keldrune-vault init`", root);
  return 1;
}

static int vs_unreadable(const char *path) {
  vs_error_errno(errno, "cannot read %s (%s)", path, strerror(errno));
  return -1;
}

int vs_admin_open(const char *root) {
  if (!root || !*root) return vs_no_root("");
  struct stat st;
  if (stat(root, &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? vs_no_root(root) : vs_unreadable(root);
  if (!S_ISDIR(st.st_mode)) return vs_no_root(root);
  char users[VS_ACCOUNT_PATH], config[VS_ACCOUNT_PATH];
  if (vs_users_dir(users, sizeof users, root) != 0 ||
      vs_config_path(config, sizeof config, root) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "data root path too long: %s", root);
    return -1;
  }
  VsFd dir(vs_open_beneath(root, users, O_RDONLY | O_DIRECTORY, 0));
  if (!dir.ok()) return errno == ENOENT || errno == ENOTDIR ? vs_no_root(root) : vs_unreadable(users);
  // Only its existence matters: the library never reads config.json.
  VsFd cfg(vs_open_beneath(root, config, O_PATH, 0));
  if (!cfg.ok()) return errno == ENOENT ? vs_no_root(root) : vs_unreadable(config);
  char *copy = strdup(root);
  if (!copy) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "out of memory");
    return -1;
  }
  free(s_root);
  s_root = copy;
  // Reads of the tree follow the file system's kind (on a shared one they
  // retry a replaced file).
  vs_fs_note(users);
  return 0;
}

const char *vs_admin_root(void) { return s_root; }

void VsNames::clear() {
  for (size_t i = 0; i < n; i++) free(v[i]);
  free(v);
  v = nullptr;
  n = cap = 0;
}

static int vs_name_cmp(const void *a, const void *b) {
  return strcmp(*(char *const *)a, *(char *const *)b);
}

int vs_names_read(const char *root, const char *dir, VsNames &out) {
  out.clear();
  VsList list;
  if (vs_list_open(list, root, dir) != 0) return -1;
  errno = 0;
  while (const char *name = vs_list_next(list)) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (out.n == out.cap) {
      size_t cap = out.cap ? out.cap * 2 : 64;
      char **grown = (char **)realloc(out.v, cap * sizeof *grown);
      if (!grown) {
        errno = ENOMEM;
        return -1;
      }
      out.v = grown;
      out.cap = cap;
    }
    if (!(out.v[out.n] = strdup(name))) {
      errno = ENOMEM;
      return -1;
    }
    out.n++;
    errno = 0;
  }
  if (errno != 0) return -1;
  if (out.n > 1) qsort(out.v, out.n, sizeof *out.v, vs_name_cmp);
  return 0;
}

const char *vs_kind_name(mode_t m) {
  if (S_ISDIR(m)) return "a directory";
  if (S_ISREG(m)) return "a regular file";
  if (S_ISLNK(m)) return "a symbolic link";
  if (S_ISFIFO(m)) return "a FIFO";
  if (S_ISSOCK(m)) return "a socket";
  return "a device";
}

char *vs_admin_read(const char *root, const char *path, uint64_t *len, const char **why) {
  char *text = nullptr;
  if (vs_read_file(root, path, &text, len) != 0) {
    int e = errno;
    // The library's reader refuses anything but a regular file with EINVAL.
    *why = e == EINVAL ? "not a regular file" : strerror(e);
    errno = e;
    return nullptr;
  }
  return text;
}

bool vs_admin_is_account(const char *root, const char *name, bool addressable) {
  if (!vs_account_name(name) || vs_temp_marked(name) || (addressable && !vs_id_safe(name)))
    return false;
  VsAccountPaths paths;
  struct stat st;
  return vs_account_paths(paths, root, name) == 0 && lstat(paths.dir, &st) == 0 &&
         S_ISDIR(st.st_mode);
}

int vs_admin_account_there(const char *root, const char *user_id) {
  VsAccountPaths paths;
  if (!vs_id_safe(user_id) || vs_account_paths(paths, root, user_id) != 0) return 0;
  struct stat st;
  if (lstat(paths.dir, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
  } else if (errno != ENOENT && errno != ENOTDIR) {
    return vs_unreadable(paths.dir);
  }
  vs_error_code(VAULT_NOT_FOUND, 0, "no account %s", user_id);
  return 1;
}

int vs_admin_accounts(const char *root, VsNames &ids, bool addressable, const char *prefix) {
  char users[VS_ACCOUNT_PATH];
  VsNames names;
  if (vs_users_dir(users, sizeof users, root) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "%s: path too long", prefix);
    return -1;
  }
  if (vs_names_read(root, users, names) != 0) {
    vs_error_errno(errno, "%s: cannot list %s (%s)", prefix, users, strerror(errno));
    return -1;
  }
  // The accounts keep the listing's (sorted) order; what is no account
  // is freed here.
  ids.clear();
  ids.v = names.v;
  ids.cap = names.cap;
  for (size_t i = 0; i < names.n; i++) {
    if (vs_admin_is_account(root, names.v[i], addressable))
      ids.v[ids.n++] = names.v[i];
    else
      free(names.v[i]);
  }
  names.v = nullptr;
  names.n = names.cap = 0;
  return 0;
}

VsLiveTwins::VsLiveTwins(const char *root, const char *trash_dir, const char *live_dir) {
  if (!live_dir) return;
  trash.reset(vs_open_beneath(root, trash_dir, O_RDONLY | O_DIRECTORY, 0));
  live.reset(vs_open_beneath(root, live_dir, O_RDONLY | O_DIRECTORY, 0));
}

bool VsLiveTwins::is_twin(const char *name) const {
  return trash.ok() && vs_live_twin(trash.fd, live.fd, name);
}

long vs_admin_count_items(const char *root, const char *dir, const char *live) {
  VsNames names;
  if (vs_names_read(root, dir, names) != 0) return errno == ENOENT ? 0 : -1;
  VsLiveTwins twin(root, dir, live);
  long n = 0;
  for (size_t i = 0; i < names.n; i++) {
    const char *s = names.v[i];
    n += live ? vs_trash_file_name(s) && !twin.is_twin(s) : vs_item_file_name(s);
  }
  return n;
}

int vs_admin_profile_email(yyjson_val *profile_root, const char **email) {
  return vs_profile_email(profile_root, email) == 1 ? 1 : 0;
}

int vs_admin_profile_email_at(const char *root, const char *profile, char **email) {
  *email = nullptr;
  uint64_t len = 0;
  const char *why = nullptr;
  VsText text(vs_admin_read(root, profile, &len, &why));
  if (!text) return 0;
  VsDoc doc(vs_parse(text.get(), (size_t)len));
  const char *e = nullptr;
  if (!doc || vs_admin_profile_email(yyjson_doc_get_root(doc.get()), &e) != 1) return 0;
  *email = strdup(e);
  return *email ? 1 : 0;
}
