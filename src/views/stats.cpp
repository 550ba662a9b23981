// Storage statistics: how many accounts, ciphers, trashed ciphers and folder
// lists the data tree holds and how many bytes the ciphers and folder lists
// take, as a small JSON object. Works from directory listings and file-status
// queries only; no document is opened. Counters and sizes are 64-bit so that
// large trees never wrap, and the root is written as a proper JSON string.
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "keldrune-vault-storage.h"
#include "foundation/files.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/text.h"

namespace {

constexpr size_t VS_STATS_ACCOUNTS = 64;  // accounts examined per call
constexpr size_t VS_STATS_NAME = 264;     // table slot for one account name

struct VsStats {
  uint64_t users, ciphers, folders, trash, bytes;
};

// The size a status query reports for a regular file; anything else (a
// directory, FIFO or link planted under a document's name) holds no vault
// data. Links are never followed (directories are listed with vs_list_open,
// files queried without following), so nothing outside the tree counts.
uint64_t vs_file_bytes(const struct stat &st) {
  return S_ISREG(st.st_mode) && st.st_size > 0 ? (uint64_t)st.st_size : 0;
}

void vs_stats_ciphers(const char *dir_path, VsStats &st) {
  VsList dir;
  if (vs_list_open(dir, s_root, dir_path) != 0) return;
  size_t dir_len = strlen(dir_path);
  while (const char *name = vs_list_next(dir)) {
    if (!vs_item_file_name(name)) continue;
    // The entry's path ("%s/%s") must fit its buffer to be taken at all.
    if (dir_len + 1 + strlen(name) >= VS_ENTRY_PATH) continue;
    st.ciphers++;
    struct stat sb;
    if (fstatat(dir.fd.fd, name, &sb, AT_SYMLINK_NOFOLLOW) == 0) st.bytes += vs_file_bytes(sb);
  }
}

void vs_stats_trash(const char *dir_path, VsStats &st) {
  VsList dir;
  if (vs_list_open(dir, s_root, dir_path) != 0) return;
  while (const char *name = vs_list_next(dir))
    if (vs_trash_file_name(name)) st.trash++;
}

void vs_stats_account(const char *name, VsStats &st) {
  // Any path too long for its buffer is longer than the system takes: an
  // account that cannot be formed has nothing that could be counted.
  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, name) != 0) return;
  vs_stats_ciphers(acct.ciphers, st);
  vs_stats_trash(acct.trash, st);
  struct stat sb;
  if (vs_check_beneath(s_root, acct.folders) == 0 &&
      fstatat(AT_FDCWD, acct.folders, &sb, AT_SYMLINK_NOFOLLOW) == 0) {
    st.folders++;
    st.bytes += vs_file_bytes(sb);
  }
}

// Lists the users directory: every name not starting with "." counts, and
// the first VS_STATS_ACCOUNTS of them are examined. A name too long for its
// slot keeps its place but is not examined (a cut name would be another
// directory).
void vs_stats_users(VsStats &st) {
  char users[VS_ACCOUNT_PATH];
  if (vs_users_dir(users, sizeof users, s_root) != 0) return;
  char names[VS_STATS_ACCOUNTS][VS_STATS_NAME];
  size_t n = 0;
  {
    VsList dir;
    if (vs_list_open(dir, s_root, users) != 0) return;
    while (const char *name = vs_list_next(dir)) {
      if (!vs_account_name(name)) continue;
      st.users++;
      if (n == VS_STATS_ACCOUNTS) continue;
      size_t len = strlen(name);
      if (len < VS_STATS_NAME)
        memcpy(names[n], name, len + 1);
      else
        names[n][0] = '\0';
      n++;
    }
  }
  for (size_t i = 0; i < n; i++)
    if (names[i][0]) vs_stats_account(names[i], st);
}

}  // namespace

extern "C" const char *vault_storage_get_stats_json(void) {
  s_stats_buf[0] = '\0';
  if (!s_root) {
    vs_error("stats: not initialized");
    return nullptr;
  }
  VsStats st{0, 0, 0, 0, 0};
  vs_stats_users(st);

  char root[VS_STATS_BUF_SIZE];
  size_t root_len = 0;
  if (vs_json_escape(root, sizeof root, &root_len, s_root) != 0 ||
      vs_path(s_stats_buf, VS_STATS_BUF_SIZE,
              "{\"users\":%" PRIu64 ",\"ciphers\":%" PRIu64 ",\"folders\":%" PRIu64
              ",\"trash\":%" PRIu64 ",\"vault_bytes\":%" PRIu64 ",\"root\":\"%s\"}",
              st.users, st.ciphers, st.folders, st.trash, st.bytes, root) != 0) {
    s_stats_buf[0] = '\0';
    vs_error("stats: too large");
    return nullptr;
  }
  return s_stats_buf;
}
