// vault_user_set_credentials: the master-password hash, the key-derivation
// iteration count and the protected key replaced together, only when the
// stored hash is the one the caller presents (a compare-and-swap).
//
// The steps, all under the account's profile lock (profile.h):
//  1. read the current profile (the file the last holder put in place);
//  2. compare its "masterPasswordHash" with current_hash;
//  3. splice the three new values into its text and write it whole
//     (temporary file, fsync, rename, directory sync).
// Two changes from the same old hash, in any threads, processes or hosts:
// the second holder reads the first one's profile, whose hash differs, and
// answers 1; exactly one succeeds. A crash or power cut before the rename
// leaves the old profile, after it the new one; never a mix, since the
// three values live in the one file. A deletion holds the same lock: a
// change either lands before it (and is deleted with the account) or
// finds no profile and answers 1.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "keldrune-vault-storage.h"
#include "accounts/profile.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/text.h"

// Compares a presented secret with the stored one in time that depends on
// their lengths only, never on where they first differ.
static bool vs_secret_equal(const char *a, size_t alen, const char *b, size_t blen) {
  unsigned char diff = alen == blen ? 0 : 1;
  size_t n = alen < blen ? alen : blen;
  for (size_t i = 0; i < n; i++) diff |= (unsigned char)(a[i] ^ b[i]);
  return diff == 0;
}

bool vs_profile_hash_is(yyjson_doc *profile, const char *current_hash) {
  yyjson_val *stored = yyjson_obj_get(yyjson_doc_get_root(profile), "masterPasswordHash");
  return yyjson_is_str(stored) && vs_secret_equal(yyjson_get_str(stored), yyjson_get_len(stored),
                                                  current_hash, strlen(current_hash));
}

int vs_credentials_prepare(const char *prefix, const char *current_hash, const char *hash,
                           uint32_t iterations, const char *protected_key, VsCredentials &c) {
  if (!current_hash || !hash || !protected_key) {
    vs_error_code(VAULT_INVALID, 0, "%s: missing hash or key", prefix);
    return -1;
  }
  if (!vs_utf8_valid(current_hash) || !vs_utf8_valid(hash) || !vs_utf8_valid(protected_key)) {
    vs_error_code(VAULT_INVALID, 0, "%s: invalid utf-8", prefix);
    return -1;
  }
  // The new values as JSON, escaped as at registration; too long for a
  // profile is refused before anything is locked.
  int hash_len = vs_json_string(c.hash, sizeof c.hash, hash);
  int key_len = vs_json_string(c.key, sizeof c.key, protected_key);
  int iter_len = snprintf(c.iter, sizeof c.iter, "%u", (unsigned)iterations);
  if (hash_len < 0 || key_len < 0) {
    vs_error_code(VAULT_INVALID, 0, "%s: profile too large", prefix);
    return -1;
  }
  c.edits[0] = {"masterPasswordHash", c.hash, (size_t)hash_len};
  c.edits[1] = {"kdfIterations", c.iter, (size_t)iter_len};
  c.edits[2] = {"protectedKey", c.key, (size_t)key_len};
  return 0;
}

static int vs_user_set_credentials_body(const char *user_id, const char *current_hash,
                                       const char *hash, uint32_t iterations,
                                       const char *protected_key) {
  static const char prefix[] = "set_credentials";
  VsAccountPaths acct;
  if (vs_account_begin(user_id, "set_credentials", acct) != 0) return -1;
  VsCredentials creds;
  if (vs_credentials_prepare(prefix, current_hash, hash, iterations, protected_key, creds) != 0)
    return -1;

  VsFd lock;
  VsPin pin;
  int rc = vs_profile_lock(s_root, acct, lock, prefix, &pin);
  if (rc == 1) {
    vs_error_code(VAULT_NOT_FOUND, 0, "set_credentials: not found");
    return 1;
  }
  if (rc != 0) return -1;
  VsText text;
  VsDoc doc;
  uint64_t len = 0;
  rc = vs_profile_load(s_root, acct, text, &len, doc, prefix);
  if (rc == 1) {
    vs_error_code(VAULT_NOT_FOUND, 0, "set_credentials: not found");
    return 1;
  }
  if (rc != 0) return -1;
  if (!vs_profile_hash_is(doc.get(), current_hash)) {
    vs_error_code(VAULT_MISMATCH, 0, "set_credentials: hash mismatch");
    return 1;
  }
  doc.reset();
  rc = vs_profile_store(s_root, acct, text.get(), (size_t)len, creds.edits, 3, prefix);
  vs_lock_drop(lock);
  return rc == 0 ? 0 : -1;
}

extern "C" int vault_user_set_credentials(const char *user_id, const char *current_hash,
                                          const char *hash, uint32_t iterations,
                                          const char *protected_key) {
  return vs_call(vs_user_set_credentials_body, user_id, current_hash, hash, iterations, protected_key);
}
