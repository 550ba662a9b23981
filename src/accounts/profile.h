// The profile's read-modify-write: every writer that changes an existing
// account's profile.json (credentials, e-mail address) takes the account's
// profile lock, reads the current profile, rewrites only the members it
// changes (every other byte stays as stored) and writes the whole file
// back through the atomic write, still under the lock. Deletion takes the
// same lock, so it never runs in the middle of such a change.
#ifndef VS_ACCOUNTS_PROFILE_H
#define VS_ACCOUNTS_PROFILE_H

#include <stddef.h>
#include <stdint.h>

#include "keldrune-vault-storage.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/layout.h"

enum : size_t {
  // The longest profile the library writes, as at registration.
  VS_PROFILE_WRITE_MAX = VAULT_NEW_PROFILE_MAX,
};

// Takes the account's profile lock (pin: locks.h). 0 held; 1 there is no
// account directory (nothing held, nothing recorded); -1 with "<prefix>:
// lock failed: ...".
int vs_profile_lock(const char *root, const VsAccountPaths &acct, VsFd &lock, const char *prefix,
                    VsPin *pin = nullptr);

// The current profile, read under that lock (vs_read_file_current) and
// parsed. 0 with text (its bytes), *len and doc; 1 there is none; -1 with
// "<prefix>: cannot read ...", "<prefix>: out of memory" or "<prefix>:
// corrupt profile" (not a JSON object).
int vs_profile_load(const char *root, const VsAccountPaths &acct, VsText &text, uint64_t *len, VsDoc &doc,
                    const char *prefix);

// One member to set: its name (plain ASCII, no escaping needed) and its new
// value as JSON text.
struct VsMemberEdit {
  const char *key;
  const char *value;
  size_t len;
};

// Rewrites the object text (strict JSON, as loaded above): the value of
// the first top-level member of each edit's name is replaced, and a name
// the object lacks is appended as its last member; nothing else moves.
// 0 with the new text in out (malloc'ed) and *out_len; -1 without memory.
int vs_json_splice(const char *text, size_t len, const VsMemberEdit *edits, size_t n,
                   VsText &out, size_t *out_len);

// Splices the edits into the loaded profile and writes it back (atomic
// write). 0; -1 with "<prefix>: profile too large" (beyond
// VS_PROFILE_WRITE_MAX bytes), "<prefix>: out of memory" or the write's
// message.
int vs_profile_store(const char *root, const VsAccountPaths &acct, const char *text, size_t len,
                     const VsMemberEdit *edits, size_t n, const char *prefix);

// Walking a text that is strict JSON: the index past the white space at
// t[i], and the index past the value that starts at t[i].
size_t vs_skip_ws(const char *t, size_t i, size_t len);
size_t vs_skip_value(const char *t, size_t i, size_t len);

// A JSON string of text (quotes included) into buf: its length, or -1 when
// it does not fit size bytes.
int vs_json_string(char *buf, size_t size, const char *text);

// New credentials as profile members (the values as JSON, escaped as at
// registration), ready for vs_profile_store.
struct VsCredentials {
  char hash[VS_PROFILE_WRITE_MAX + 1], key[VS_PROFILE_WRITE_MAX + 1], iter[16];
  VsMemberEdit edits[3];
};
// Checks and escapes the arguments of a change of credentials. 0; -1 with
// "<prefix>: missing hash or key", "<prefix>: invalid utf-8" or
// "<prefix>: profile too large" (VAULT_INVALID).
int vs_credentials_prepare(const char *prefix, const char *current_hash, const char *hash,
                           uint32_t iterations, const char *protected_key, VsCredentials &c);
// Whether the profile's "masterPasswordHash" is current_hash (compared in
// time that does not tell where they differ).
bool vs_profile_hash_is(yyjson_doc *profile, const char *current_hash);

// The checks every change of an account starts with: a data root, a usable
// user id and the account's paths. 0; -1 with "not initialized",
// "<prefix>: bad user id" or "<prefix>: path too long".
int vs_account_begin(const char *user_id, const char *prefix, VsAccountPaths &acct);

#endif
