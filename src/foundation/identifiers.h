// The identifier rule (what may name an account, cipher or folder), the
// version-4 UUIDs the library makes, and the choice of a submitted
// document's identifier.
#ifndef VS_IDENTIFIERS_H
#define VS_IDENTIFIERS_H

#include <stddef.h>

#include <yyjson.h>

#include "keldrune-vault-storage.h"

enum : size_t {
  VS_ID_BUF = VAULT_ID_SIZE,  // 36 characters and a NUL
  VS_ID_MAX = VAULT_ID_MAX,   // longest identifier accepted
  VS_UUID_LEN = 36,
};

// 1 when id is 1 to 64 bytes of ASCII letters, digits, '-' and '_' (so it
// is always one plain file or directory name), else 0. NULL gives 0.
int vs_id_safe(const char *id);
// 0 filled with a fresh version-4 UUID; -1 when no random bytes could be had
// (the buffer then holds the empty text).
int vs_uuid_generate(char *out);
// Picks the identifier of a submitted document: the first "id" member of an
// object when it is a non-empty string of at most 36 bytes passing
// vs_id_safe, else a fresh UUID. 0 done, -1 no random bytes.
int vs_choose_id(yyjson_val *root, char out[VS_ID_BUF]);
// 1 with that first "id" member in out when it is usable as above, else 0.
int vs_usable_id(yyjson_val *root, char out[VS_ID_BUF]);

#endif
