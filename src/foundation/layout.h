// The layout of the data tree: the names under the root, the sizes of the
// buffers paths are formed in, the builders of every path, and the listing
// rules by which a directory entry is taken as an account or a document.
// Every builder takes the data root explicitly, so code with a root of its
// own (the operator tool) forms exactly the same paths.
//
//   <root>/config.json
//   <root>/users/<user id>/profile.json
//   <root>/users/<user id>/folders.json
//   <root>/users/<user id>/ciphers/<cipher id>.json
//   <root>/users/<user id>/trash/<cipher id>.json
//   <root>/users/<user id>/.lock          locks of the account (locks.h)
//   <root>/users/<user id>/.retired       the mark of a directory that is
//                                         no longer, or about to be no
//                                         longer, the account (swap.h)
//   <root>/users/.deleted.<user id>.<n>   a deleted account's remainder
//                                         (hidden: no listing takes it)
//   <root>/users/.staging.<user id>.<n>   a whole new account directory
//                                         being written by a replacement
//   <root>/users/.replace.<user id>       the staged directory, complete,
//                                         about to be swapped in
//   <root>/users/.replaced.<user id>      the directory swapped out
//                                         (the swap: foundation/swap.h)
#ifndef VS_LAYOUT_H
#define VS_LAYOUT_H

#include <stddef.h>

#define VS_CONFIG_NAME "config.json"
#define VS_USERS_NAME "users"
#define VS_PROFILE_NAME "profile.json"
#define VS_FOLDERS_NAME "folders.json"
#define VS_CIPHERS_NAME "ciphers"
#define VS_TRASH_NAME "trash"
#define VS_DOC_SUFFIX ".json"
#define VS_LOCK_NAME ".lock"
#define VS_RETIRED_NAME ".retired"
#define VS_DELETED_PREFIX ".deleted."
#define VS_STAGING_PREFIX ".staging."
#define VS_REPLACE_PREFIX ".replace."
#define VS_REPLACED_PREFIX ".replaced."

enum : size_t {
  VS_ACCOUNT_PATH = 4300,  // the root's own files and an account directory
  VS_FILE_PATH = 4600,     // a file or directory inside an account
  VS_ENTRY_PATH = 4900,    // an entry of a listed directory
  VS_SCAN_USERS_PATH = 4420,
  VS_TMP_PATH = 4300,      // a temporary name of a write or a move
};

// "<root>/users" and "<root>/config.json"; 0, or -1 when the path does not
// fit (the buffer then holds the empty text).
int vs_users_dir(char *buf, size_t size, const char *root);
int vs_config_path(char *buf, size_t size, const char *root);

// Every path of one account, formed once per call.
struct VsAccountPaths {
  char dir[VS_ACCOUNT_PATH];
  char ciphers[VS_FILE_PATH];
  char trash[VS_FILE_PATH];
  char profile[VS_FILE_PATH];
  char folders[VS_FILE_PATH];
};
// 0, or -1 when any path does not fit its buffer.
int vs_account_paths(VsAccountPaths &paths, const char *root, const char *user_id);
// "<account>/ciphers/<id>.json", or in "trash" when trash is non-zero.
int vs_cipher_path(char *buf, size_t size, const VsAccountPaths &account,
                   const char *cipher_id, int trash);

// Listing rules, applied to entry names.
int vs_account_name(const char *name);      // counted as an account in "users"
int vs_scan_candidate(const char *name);    // read by the e-mail scan
int vs_item_file_name(const char *name);    // a cipher file in "ciphers"
int vs_trash_file_name(const char *name);   // counted in "trash"

// The name in "users" a deleted account's directory is renamed to: the
// prefix, its id and a fresh nonce (a UUID), so that no two deletions,
// even of accounts of one id imported again, ever pick the same name. 0, or
// -1 when it does not fit.
int vs_deleted_name(char *buf, size_t size, const char *user_id, const char *nonce);
// 1 when name in "users" is such a remainder; its user id then goes to
// user_id_out (VS_ID_MAX + 1 bytes) when given.
int vs_deleted_remainder(const char *name, char *user_id_out);

// The names of a replacement of the account user_id (swap.h): the staged
// directory while it is written (a fresh nonce per replacement), the
// complete staged directory and the directory swapped out. 0, or -1 when
// the name does not fit.
int vs_staging_name(char *buf, size_t size, const char *user_id, const char *nonce);
int vs_replace_name(char *buf, size_t size, const char *user_id);
int vs_replaced_name(char *buf, size_t size, const char *user_id);
// What a name in "users" is of a replacement: VS_SWAP_NONE, or one of the
// three kinds, with its user id to user_id_out (VS_ID_MAX + 1 bytes).
enum VsSwapName { VS_SWAP_NONE = 0, VS_SWAP_STAGING, VS_SWAP_REPLACE, VS_SWAP_REPLACED };
VsSwapName vs_swap_name(const char *name, char *user_id_out);

#endif
