// The e-mail lookup: the scan over the users directory and the indexed
// lookup before it, shared by the lookup exports and account creation.
#ifndef VS_ACCOUNTS_SCAN_H
#define VS_ACCOUNTS_SCAN_H

#include <stdint.h>

#include "foundation/files.h"
#include "foundation/holders.h"

// 0 an account matched (the wanted outputs are filled), 1 none did; records
// no message. The results below write no output: the users path does not
// fit its buffer; the matching directory's name is longer than a user id
// buffer holds (only when the user id is wanted); no match, but the listing
// or some entry could not be examined for a passing reason (I/O, memory,
// descriptors, permission), so the address may be registered after all
// (errno tells why).
enum { VS_SCAN_PATH_TOO_LONG = -1, VS_SCAN_ID_TOO_LONG = -2, VS_SCAN_UNSURE = -3 };
int vs_user_scan(const char *root, const char *email, char *user_id_out,
                 uint32_t *iterations_out, char *hash_out, char *key_out);


// The lookup of both exports: the e-mail index first, then (unless the
// index is authoritative and has no entry) the scan. Same results.
int vs_user_lookup(const char *root, const char *email, char *user_id_out,
                   uint32_t *iterations_out, char *hash_out, char *key_out);

// Reads one profile and tests its first "email" member: the file rel below
// the open directory dir_fd (path dir, for messages), or the path rel when
// dir_fd < 0. 0 a match (*out holds the document), 1 no match or no
// profile, -1 it could not be examined for a passing reason (errno).
int vs_profile_match(const char *data_root, int dir_fd, const char *dir, const char *rel,
                     const char *email, VsDoc *out);

// Lists the users directory for a writer of many accounts: 0 open in list
// (its path in users, VS_SCAN_USERS_PATH bytes), 1 there is none (no
// accounts), -1 with "<prefix>: path too long" or "<prefix>: cannot list
// ...".
int vs_users_list_open(const char *root, char *users, VsList &list, const char *prefix);

#endif
