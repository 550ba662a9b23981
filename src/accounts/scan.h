// The e-mail scan over the users directory, shared by the lookup exports
// and account creation (its duplicate test).
#ifndef VS_ACCOUNTS_SCAN_H
#define VS_ACCOUNTS_SCAN_H

#include <stdint.h>

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

#endif
