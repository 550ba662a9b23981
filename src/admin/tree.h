// The one walk over the data tree that the operator's commands share
// (`check`, `user list`, `export`): the accounts of users/ as every
// listing takes them, sorted listings, whole-file reads with a reason, the
// item counts of the statistics and the profile's e-mail through the
// library's one reader. Everything is read link-safe below the root with
// the foundation's rules; nothing here writes.
//
// Also the data root of the operator's commands: vs_admin_open checks that
// a path is an existing data root and makes it the library's one root
// (s_root) and its one shared-file-system note, creating nothing.
#ifndef VS_ADMIN_TREE_H
#define VS_ADMIN_TREE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "foundation/holders.h"
#include "foundation/layout.h"

// 0 root is a data root (a directory with users/ and config.json), now the
// library's root; 1 there is none there (message "no data root at <root>;
// run `keldrune-vault init`"); -1 it cannot be examined ("cannot read
// <path> (<reason>)"). Nothing is created.
int vs_admin_open(const char *root);
// The library's data root, or NULL.
const char *vs_admin_root(void);

// Entry names of one directory, sorted, without "." and "..".
struct VsNames {
  char **v = nullptr;
  size_t n = 0, cap = 0;
  VsNames() = default;
  VsNames(const VsNames &) = delete;
  VsNames &operator=(const VsNames &) = delete;
  ~VsNames() { clear(); }
  void clear();
};
// Lists dir below root, following no link below root. 0, or -1 (errno;
// ENOMEM without memory).
int vs_names_read(const char *root, const char *dir, VsNames &out);

// "a directory", "a regular file", ... for reports.
const char *vs_kind_name(mode_t m);

// A whole regular file below root, as the library reads documents: the
// text (malloc'ed, NUL after it) and its length, or NULL with errno and a
// reason for reports in *why ("not a regular file" for what the reader
// refuses as no document).
char *vs_admin_read(const char *root, const char *path, uint64_t *len, const char **why);

// An entry of users/ as the statistics count an account: an account name,
// not marked temporary, a directory (not through a link); with addressable,
// also a usable id (one the exports can be given).
bool vs_admin_is_account(const char *root, const char *name, bool addressable);
// Whether the account directory of user_id is there: 0 yes (or the id is
// malformed, for the library's exports to refuse with their own message);
// 1 no ("no account <id>"); -1 it cannot be examined ("cannot read <path>
// (<reason>)").
int vs_admin_account_there(const char *root, const char *user_id);
// Every account of the tree (vs_admin_is_account), sorted. 0; -1 with
// "<prefix>: cannot list <users> (<reason>)".
int vs_admin_accounts(const char *root, VsNames &ids, bool addressable, const char *prefix);

// Which trashed names of an account are its live file itself (a restore
// cut short: the item is live, counted and exported once), as the
// statistics tell them apart. A directory that cannot be opened, or no
// live_dir (NULL: not a trash), has no such names.
struct VsLiveTwins {
  VsFd trash, live;
  VsLiveTwins(const char *root, const char *trash_dir, const char *live_dir);
  bool is_twin(const char *name) const;
};

// The items of ciphers/ (live NULL) or of trash/ (live: the account's
// ciphers/) as the statistics count them; 0 when the directory is not
// there, -1 (errno) when it cannot be listed.
long vs_admin_count_items(const char *root, const char *dir, const char *live);

// The address of a parsed profile when it is one a lookup can match (the
// library's reader, vs_profile_email): 1 with *email pointing into the
// document, else 0.
int vs_admin_profile_email(yyjson_val *profile_root, const char **email);
// The same read from the profile file: 1 with a malloc'ed copy in *email;
// 0 no usable address (or no readable profile).
int vs_admin_profile_email_at(const char *root, const char *profile, char **email);

#endif
