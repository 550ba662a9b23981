// The foundation's exports: the data root's lifecycle (init with the
// default configuration, cleanup), the last-error text, the release of
// the texts the _alloc exports hand out, and the version. They live apart
// from the internal library, which defines no export and keeps no root.
#include "root.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "keldrune-vault-storage.h"
#include "atomic_write.h"
#include "email_index.h"
#include "files.h"
#include "layout.h"
#include "results.h"

char *s_root;

static const char k_default_config[] =
    "{\"title\":\"Personal Vault Server\",\"allow_registrations\":true}";

static int vs_storage_init(const char *root) {
  if (!root || !*root) {
    vs_error_code(VAULT_INVALID, 0, "init: empty root");
    return -1;
  }
  char *copy = strdup(root);
  free(s_root);
  s_root = copy;
  if (!copy) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "init: out of memory");
    return -1;
  }
  char users[VS_ACCOUNT_PATH];
  char config[VS_ACCOUNT_PATH];
  char index[VS_ENTRY_PATH];
  if (vs_users_dir(users, sizeof users, s_root) != 0 ||
      vs_config_path(config, sizeof config, s_root) != 0 ||
      vs_index_dir(index, sizeof index, s_root) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "init: path too long");
    return -1;
  }
  if (vs_mkdir(s_root, s_root) != 0) return -1;
  if (vs_mkdir(s_root, users) != 0) return -1;
  vs_fs_note(users);  // whether reads must expect other hosts' replacements
  // The e-mail index's directory is one of the tree's fixed parts (a
  // registration makes it too, in a tree from before it). A plain file in
  // place of users still lets init succeed; later calls fail there.
  VsErrorSave earlier;
  vs_error_save(earlier);
  if (vs_mkdir(s_root, index) != 0) {
    if (errno != ENOTDIR) return -1;
    vs_error_restore(earlier);
  }
  // Only a config.json that is surely absent gets the default: one we
  // merely failed to look at belongs to the operator, and so does a link
  // under its name, also one whose target is missing (writing the default
  // would replace the link).
  struct stat st;
  if (lstat(config, &st) == 0) {
    if (!S_ISLNK(st.st_mode) || stat(config, &st) == 0) return 0;
    if (errno == ENOENT) {
      vs_error_code(VAULT_CORRUPT, ENOENT, "init: dangling link %s", config);
      return -1;
    }
  }
  if (errno != ENOENT) {
    vs_error_errno(errno, "init: cannot check %s (%s)", config, strerror(errno));
    return -1;
  }
  return vs_atomic_write(s_root, config, k_default_config, sizeof k_default_config - 1);
}

extern "C" int vault_storage_init(const char *root) { return vs_call(vs_storage_init, root); }

// The result buffers stay: a host may still read a text it got before.
extern "C" void vault_storage_cleanup(void) {
  vs_call_begin();
  free(s_root);
  s_root = nullptr;
  vs_call_end(true);
}

extern "C" const char *vault_storage_last_error(void) { return vs_error_str(); }
extern "C" int vault_storage_last_error_code(void) { return vs_error_code_now(); }
extern "C" int vault_storage_last_errno(void) { return vs_error_errno_now(); }

extern "C" void vault_free(void *p) { free(p); }

extern "C" const char *vault_storage_version(void) { return KELDRUNE_VAULT_VERSION; }
