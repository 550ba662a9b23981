// vault_user_change_email: an account's address changed with the same
// exactly-once claim as registration.
//
// The steps, under the account's profile lock (profile.h):
//  1. read the current profile and its address;
//  2. claim the new address for this account (vs_claim_address): of every
//     registration, import and change to it, from any thread, process or
//     host, one gets the claim; another account holding it answers 1;
//  3. write the profile with the new address (one atomic write);
//  4. release the old address (vs_claim_release): its entry goes if it
//     still names this account, whose profile no longer holds it.
// A lookup trusts an entry only when the named profile confirms it, and
// otherwise looks the address up among the profiles. So at every instant,
// and after a crash or power cut between any two steps, each address is
// found under the one account whose profile holds it, or under none, and
// the account under exactly the address its profile holds: before step 3
// the new entry is an unconfirmed claim and the old one confirmed; after
// it the other way round. An entry left unconfirmed is clutter that
// `check` reports, `reindex` removes, and the next claim of the address
// takes over. Changing to the same address in another letter case finds
// the account's own entry (OURS) and rewrites its spelling.
#include <errno.h>
#include <string.h>

#include "keldrune-vault-storage.h"
#include "accounts/claim.h"
#include "accounts/profile.h"
#include "accounts/scan.h"
#include "foundation/email_index.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/text.h"

static int vs_user_change_email_body(const char *user_id, const char *new_email) {
  static const char prefix[] = "change_email";
  VsAccountPaths acct;
  if (vs_account_begin(user_id, "change_email", acct) != 0) return -1;
  if (!new_email || !*new_email) {
    vs_error_code(VAULT_INVALID, 0, "change_email: empty email");
    return -1;
  }
  if (!vs_utf8_valid(new_email)) {
    vs_error_code(VAULT_INVALID, 0, "change_email: invalid utf-8");
    return -1;
  }
  char e_email[VS_PROFILE_WRITE_MAX + 1], entry[VS_INDEX_ENTRY_MAX];
  int email_len = vs_json_string(e_email, sizeof e_email, new_email);
  int entry_len = email_len < 0 ? -1 : vs_index_format(entry, user_id, new_email);
  if (entry_len < 0) {
    vs_error_code(VAULT_INVALID, 0, "change_email: profile too large");
    return -1;
  }

  // Step 1.
  VsFd lock;
  VsPin pin;
  int rc = vs_profile_lock(s_root, acct, lock, prefix, &pin);
  VsText text;
  VsDoc doc;
  uint64_t len = 0;
  if (rc == 0) rc = vs_profile_load(s_root, acct, text, &len, doc, prefix);
  if (rc == 1) {
    vs_error_code(VAULT_NOT_FOUND, 0, "change_email: not found");
    return 1;
  }
  if (rc != 0) return -1;
  const char *old = nullptr;
  if (vs_profile_email(yyjson_doc_get_root(doc.get()), &old) != 1) old = nullptr;

  // Step 2.
  VsIndexHold claim;
  char holder[VS_ID_MAX + 1];
  rc = vs_claim_address(s_root, new_email, user_id, entry, (size_t)entry_len, nullptr,
                        VS_INDEX_SYNC, claim, holder, prefix);
  if (rc == VS_CLAIM_TAKEN) {
    vs_error_code(VAULT_EXISTS, 0, "change_email: email already registered");
    return 1;
  }
  if (rc == VS_CLAIM_UNSYNCED) {  // "sync failed: ..."; a held claim goes again
    if (claim.fd.ok()) vs_claim_drop(claim);
    return -1;
  }
  if (rc == VS_CLAIM_FAILED) return -1;
  // OURS: the account's own entry (the same address, perhaps in another
  // letter case); it takes the new spelling.
  if (rc == VS_CLAIM_OURS && vs_index_replace(claim, entry, (size_t)entry_len) == -1)
    return -1;

  // Step 3.
  const VsMemberEdit edit = {"email", e_email, (size_t)email_len};
  if (vs_profile_store(s_root, acct, text.get(), (size_t)len, &edit, 1, prefix) != 0) {
    // A fresh claim goes again unless the new profile is in place after
    // all (only its directory sync failed): then the entry is its.
    VsDoc now;
    if (rc == VS_CLAIM_MADE &&
        vs_profile_match(s_root, -1, nullptr, acct.profile, new_email, &now) != 0)
      vs_claim_drop(claim);
    return -1;
  }
  claim.release();

  // Step 4. The change is made; an old entry that cannot be removed now is
  // an unconfirmed one, which changes no answer.
  char old_key[VS_INDEX_KEY_BUF], new_key[VS_INDEX_KEY_BUF];
  vs_index_key(new_email, new_key);
  if (old) {
    vs_index_key(old, old_key);
    if (strcmp(old_key, new_key) != 0) vs_claim_release(s_root, old, user_id, prefix);
  }
  vs_lock_drop(lock);
  return 0;
}

extern "C" int vault_user_change_email(const char *user_id, const char *new_email) {
  return vs_call(vs_user_change_email_body, user_id, new_email);
}
