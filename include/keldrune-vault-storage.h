/*
 * keldrune-vault-storage: the storage layer of a self-hosted password-vault
 * server, as sixteen C functions.
 *
 * Conventions shared by every function:
 * - int results: 0 success, 1 soft negative (missing / already there),
 *   -1 failure. vault_user_exists answers 1 yes, 0 no, -1 failure.
 * - Text results point into a static buffer owned by the library, one buffer
 *   per function. The text stays valid until the next call of the same
 *   function; never free it. NULL means failure.
 * - After -1, NULL, or a soft negative, vault_storage_last_error() says why,
 *   with one exception: vault_user_find_by_email's "not found" (1) records
 *   no message of its own (nor does vault_user_exists's "no", 0), so the
 *   text may be older than the call. A success never resets that text.
 * - Identifier buffers passed in are at least VAULT_ID_SIZE (37) bytes: 36
 *   characters and a NUL; hash and key buffers VAULT_HASH_SIZE and
 *   VAULT_KEY_SIZE. They are written only on success. Any output pointer
 *   may be NULL.
 * - The library is not thread-safe: the host serialises its calls.
 */
#ifndef KELDRUNE_VAULT_STORAGE_H
#define KELDRUNE_VAULT_STORAGE_H

#include <stdint.h>

/* Sizes in bytes of the output buffers callers lend (NUL included). */
#define VAULT_ID_SIZE 37    /* a user, cipher or folder id: 36 characters */
#define VAULT_HASH_SIZE 128 /* a master-password hash, cut to 127 bytes */
#define VAULT_KEY_SIZE 512  /* a protected key, cut to 511 bytes */

#if defined(VAULT_BUILDING_LIBRARY)
#define VAULT_API __attribute__((visibility("default")))
#else
#define VAULT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the data root (copied) and creates it, its "users" directory and a
 * default config.json when missing. May be called again to switch roots.
 * Returns 0 ready, -1 failure ("init: empty root", "mkdir failed: ..."). */
VAULT_API int vault_storage_init(const char *root);

/* Forgets the data root. Files, buffers and the last-error text stay. */
VAULT_API void vault_storage_cleanup(void);

/* The latest failure message ("OK" until something failed). Never NULL;
 * owned by the library. */
VAULT_API const char *vault_storage_last_error(void);

/* 1 when an account has this e-mail (ASCII case-insensitive), 0 when none
 * does, -1 on failure. */
VAULT_API int vault_user_exists(const char *email);

/* Finds the account of an e-mail. Outputs (each may be NULL): user id
 * (37 bytes), iteration count, master-password hash (128 bytes, cut to 127),
 * protected key (512 bytes, cut to 511). Hash and key buffers are left as
 * they were when the profile lacks the member. 0 found, 1 not found (no
 * message of its own), -1 failure. */
VAULT_API int vault_user_find_by_email(const char *email, char *user_id_out,
                                       uint32_t *iterations_out,
                                       char *hash_out, char *key_out);

/* Registers an account: directories, profile.json and an empty folder list.
 * hash and protected_key may be NULL (stored as empty strings). The new user
 * id goes to user_id_out (37 bytes) when given. 0 created, 1 the e-mail is
 * already registered, -1 failure (nothing is left behind). */
VAULT_API int vault_user_create(const char *email, const char *hash,
                                uint32_t iterations, const char *protected_key,
                                char *user_id_out);

/* The account's profile text (at most 16383 bytes), or NULL. */
VAULT_API const char *vault_user_get_profile_json(const char *user_id);

/* Stores a cipher (any strict JSON value) byte for byte under its "id"
 * member, or under a fresh UUID when that is missing or unusable. The id
 * used goes to id_out (37 bytes) when given. 0 stored, -1 failure. */
VAULT_API int vault_cipher_save(const char *user_id, const char *json,
                                char *id_out);

/* The stored cipher text (at most 65534 bytes), or NULL. */
VAULT_API const char *vault_cipher_get(const char *user_id,
                                       const char *cipher_id);

/* Moves a live cipher to the trash (permanent == 0) or removes it.
 * 0 done, 1 not found, -1 failure. A move never replaces a trashed file. */
VAULT_API int vault_cipher_delete(const char *user_id, const char *cipher_id,
                                  int permanent);

/* Moves a trashed cipher back. 0 restored, 1 not in the trash, -1 failure.
 * Never replaces a live file. */
VAULT_API int vault_cipher_restore_from_trash(const char *user_id,
                                              const char *cipher_id);

/* The folder list text ("[]" when there is none), or NULL. */
VAULT_API const char *vault_folders_get_json(const char *user_id);

/* Adds a folder, or replaces the entry with the same id (it moves to the
 * end). The id used goes to id_out (37 bytes) when given. 0 saved,
 * -1 failure. */
VAULT_API int vault_folder_save(const char *user_id, const char *json,
                                char *id_out);

/* Removes the first folder entry with this id. 0 removed, 1 no list or no
 * such entry, -1 failure. */
VAULT_API int vault_folder_delete(const char *user_id, const char *folder_id);

/* The account's sync document (profile, folders, ciphers, settings), at most
 * 262142 bytes, or NULL. */
VAULT_API const char *vault_sync_generate_json(const char *user_id);

/* Counts and sizes of the whole data tree as a small JSON object, or NULL. */
VAULT_API const char *vault_storage_get_stats_json(void);

#ifdef __cplusplus
}
#endif

#endif
