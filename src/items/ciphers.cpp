// Cipher store and trash.
#include "../foundation/vs_internal.h"

extern "C" int vault_cipher_save(const char *, const char *, char *) { vs_error("cipher_save: bad user id"); return -1; }
extern "C" const char *vault_cipher_get(const char *, const char *) { s_cipher_buf[0] = 0; vs_error("cipher_get: bad id"); return nullptr; }
extern "C" int vault_cipher_delete(const char *, const char *, int) { vs_error("cipher_delete: bad id"); return -1; }
extern "C" int vault_cipher_restore_from_trash(const char *, const char *) { vs_error("restore: bad id"); return -1; }
