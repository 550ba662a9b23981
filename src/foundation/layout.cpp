// Path builders and listing rules of the data tree (see layout.h).
#include "layout.h"

#include <string.h>

#include "identifiers.h"
#include "temp_names.h"
#include "text.h"

int vs_users_dir(char *buf, size_t size, const char *root) {
  return vs_path(buf, size, "%s/" VS_USERS_NAME, root);
}

int vs_config_path(char *buf, size_t size, const char *root) {
  return vs_path(buf, size, "%s/" VS_CONFIG_NAME, root);
}

int vs_account_paths(VsAccountPaths &p, const char *root, const char *user_id) {
  if (vs_path(p.dir, sizeof p.dir, "%s/" VS_USERS_NAME "/%s", root, user_id) != 0 ||
      vs_path(p.ciphers, sizeof p.ciphers, "%s/" VS_CIPHERS_NAME, p.dir) != 0 ||
      vs_path(p.trash, sizeof p.trash, "%s/" VS_TRASH_NAME, p.dir) != 0 ||
      vs_path(p.profile, sizeof p.profile, "%s/" VS_PROFILE_NAME, p.dir) != 0 ||
      vs_path(p.folders, sizeof p.folders, "%s/" VS_FOLDERS_NAME, p.dir) != 0)
    return -1;
  return 0;
}

int vs_cipher_path(char *buf, size_t size, const VsAccountPaths &account,
                   const char *cipher_id, int trash) {
  return vs_path(buf, size, "%s/%s" VS_DOC_SUFFIX, trash ? account.trash : account.ciphers,
                 cipher_id);
}

int vs_account_name(const char *name) { return name[0] != '.'; }

// Hidden names (also "." and ".."), leftover temporary files and names
// longer than any identifier are never read as accounts.
int vs_scan_candidate(const char *name) {
  return name[0] != '.' && !vs_temp_marked(name) && strnlen(name, VS_ID_MAX + 1) <= VS_ID_MAX;
}

static int vs_json_suffix(const char *name, size_t len) {
  const size_t n = sizeof VS_DOC_SUFFIX - 1;
  return name[0] != '.' && len > n && memcmp(name + len - n, VS_DOC_SUFFIX, n) == 0;
}

int vs_item_file_name(const char *name) {
  return vs_json_suffix(name, strlen(name)) && !vs_temp_marked(name);
}

int vs_trash_file_name(const char *name) { return vs_json_suffix(name, strlen(name)); }

int vs_deleted_name(char *buf, size_t size, const char *user_id, const char *nonce) {
  return vs_path(buf, size, VS_DELETED_PREFIX "%s.%s", user_id, nonce);
}

int vs_deleted_remainder(const char *name, char *user_id_out) {
  const size_t n = sizeof VS_DELETED_PREFIX - 1;
  if (strncmp(name, VS_DELETED_PREFIX, n) != 0) return 0;
  const char *id = name + n, *dot = strchr(id, '.');
  size_t len = dot ? (size_t)(dot - id) : 0;
  if (len == 0 || len > VS_ID_MAX || dot[1] == '\0') return 0;
  if (user_id_out) {
    memcpy(user_id_out, id, len);
    user_id_out[len] = '\0';
  }
  return 1;
}

int vs_staging_name(char *buf, size_t size, const char *user_id, const char *nonce) {
  return vs_path(buf, size, VS_STAGING_PREFIX "%s.%s", user_id, nonce);
}

int vs_replace_name(char *buf, size_t size, const char *user_id) {
  return vs_path(buf, size, VS_REPLACE_PREFIX "%s", user_id);
}

int vs_replaced_name(char *buf, size_t size, const char *user_id) {
  return vs_path(buf, size, VS_REPLACED_PREFIX "%s", user_id);
}

// The user id in name after prefix, up to the end (whole: true) or up to a
// '.' followed by more (a nonce).
static int vs_swap_id(const char *name, const char *prefix, bool whole, char *user_id_out) {
  size_t n = strlen(prefix);
  if (strncmp(name, prefix, n) != 0) return 0;
  const char *id = name + n, *dot = strchr(id, '.');
  if (whole ? dot != nullptr : (!dot || dot[1] == '\0')) return 0;
  size_t len = dot ? (size_t)(dot - id) : strlen(id);
  char tmp[VS_ID_MAX + 1];
  if (len == 0 || len > VS_ID_MAX) return 0;
  memcpy(tmp, id, len);
  tmp[len] = '\0';
  if (!vs_id_safe(tmp)) return 0;
  if (user_id_out) memcpy(user_id_out, tmp, len + 1);
  return 1;
}

VsSwapName vs_swap_name(const char *name, char *user_id_out) {
  if (vs_swap_id(name, VS_STAGING_PREFIX, false, user_id_out)) return VS_SWAP_STAGING;
  if (vs_swap_id(name, VS_REPLACE_PREFIX, true, user_id_out)) return VS_SWAP_REPLACE;
  if (vs_swap_id(name, VS_REPLACED_PREFIX, true, user_id_out)) return VS_SWAP_REPLACED;
  return VS_SWAP_NONE;
}
