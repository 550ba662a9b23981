// Account creation and the profile document: vault_user_create registers an
// address (its claim in the e-mail index, the scan for accounts made by
// hand, directories, profile.json, an empty folders.json) and undoes its
// own work when a step fails;
// vault_user_get_profile_json hands a stored profile back unparsed.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "keldrune-vault-storage.h"
#include "accounts/claim.h"
#include "accounts/profile.h"
#include "foundation/atomic_write.h"
#include "foundation/email_index.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/text.h"

enum : size_t {
  VS_PROFILE_DOC = VS_PROFILE_WRITE_MAX + 1,  // the formatted profile and its NUL
  VS_TIME_BUF = 64,
};

static const char k_profile_template[] =
    "{\"email\":\"%s\",\"masterPasswordHash\":\"%s\",\"kdfAlgorithm\":\"PBKDF2_SHA256\","
    "\"kdfIterations\":%u,\"protectedKey\":\"%s\",\"securityStamp\":\"%s\","
    "\"name\":\"Vault User\",\"twoFactorEnabled\":false,\"keys\":{},\"folders\":[],"
    "\"createdAt\":\"%s\",\"object\":\"profile\"}";

// Formats the profile document into doc (VS_PROFILE_DOC bytes). Returns its
// length, or -1 when the escaped document would exceed 8191 bytes.
static int vs_format_profile(char *doc, const char *email, const char *hash,
                             uint32_t iterations, const char *key,
                             const char *user_id, const char *created) {
  // The three escaped values share one scratch buffer: together they must
  // stay well under the document's own limit anyway.
  char esc[VS_PROFILE_DOC];
  size_t pos = 0;
  const char *e_email = esc;
  if (vs_json_escape(esc, sizeof esc, &pos, email) != 0) return -1;
  const char *e_hash = esc + pos;
  if (vs_json_escape(esc, sizeof esc, &pos, hash) != 0) return -1;
  const char *e_key = esc + pos;
  if (vs_json_escape(esc, sizeof esc, &pos, key) != 0) return -1;
  int n = snprintf(doc, VS_PROFILE_DOC, k_profile_template, e_email, e_hash,
                   (unsigned)iterations, e_key, user_id, created);
  if (n < 0 || (size_t)n >= VS_PROFILE_DOC) return -1;
  return n;
}

// Removes what a failed creation made: the files it wrote (a write whose
// directory sync failed has its file in place), then the directories it
// created, innermost first. Best effort and silent: the failing step's
// message stays the last error.
static void vs_undo_create(const char *const dirs[], const bool fresh[], int count,
                           const char *file, const char *file2 = nullptr) {
  if (file) unlink(file);
  if (file2) unlink(file2);
  for (int i = count - 1; i >= 0; i--)
    if (fresh[i]) rmdir(dirs[i]);
  VsErrorSave failed;  // the failing step's message stays
  vs_error_save(failed);
  if (vs_sync_parent(dirs[0]) != 0) vs_error_restore(failed);
}

static int vs_user_create_body(const char *email, const char *hash, uint32_t iterations,
                               const char *protected_key, char *user_id_out) {
  if (!s_root) {
    vs_error_code(VAULT_NO_ROOT, 0, "not initialized");
    return -1;
  }
  if (!email || !*email) {
    vs_error_code(VAULT_INVALID, 0, "create: empty email");
    return -1;
  }
  if (!hash) hash = "";
  if (!protected_key) protected_key = "";
  if (!vs_utf8_valid(email) || !vs_utf8_valid(hash) || !vs_utf8_valid(protected_key)) {
    vs_error_code(VAULT_INVALID, 0, "create: invalid utf-8");
    return -1;
  }

  // The new account's id and paths first: a root too long for them is
  // refused before the scan reads every profile.
  char user_id[VS_ID_BUF];
  if (vs_uuid_generate(user_id) != 0) {
    vs_error("create: no random source");
    return -1;
  }

  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, user_id) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "create: path too long");
    return -1;
  }

  // Everything that can be refused is settled before the claim.
  char created[VS_TIME_BUF];
  time_t now = time(nullptr);
  struct tm utc;
  char doc[VS_PROFILE_DOC];
  char entry[VS_INDEX_ENTRY_MAX];
  int len = -1, entry_len = -1;
  if (gmtime_r(&now, &utc) && strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", &utc) > 0)
    len = vs_format_profile(doc, email, hash, iterations, protected_key, user_id, created);
  if (len >= 0) entry_len = vs_index_format(entry, user_id, email);
  if (len < 0 || entry_len < 0) {
    vs_error_code(VAULT_INVALID, 0, "create: profile too large");
    return -1;
  }

  // The claim first: of all registrations of this address, from any
  // thread, process or host, and of every import of it, only one gets past
  // it; accounts the index does not know are looked for as part of it.
  VsIndexHold claim;
  char holder[VS_ID_MAX + 1];
  int rc = vs_claim_address(s_root, email, user_id, entry, (size_t)entry_len, nullptr,
                            VS_INDEX_SYNC, claim, holder, "create");
  if (rc == VS_CLAIM_TAKEN || rc == VS_CLAIM_OURS) {
    claim.release();
    vs_error_code(VAULT_EXISTS, 0, "create: email already registered");
    return 1;
  }
  if (rc == VS_CLAIM_UNSYNCED) {  // "sync failed: ..."; a held claim goes again
    if (claim.fd.ok()) vs_claim_drop(claim);
    return -1;
  }
  if (rc != VS_CLAIM_MADE) return -1;

  const char *const dirs[3] = {acct.dir, acct.ciphers, acct.trash};
  bool fresh[3];
  for (int i = 0; i < 3; i++) {
    fresh[i] = access(dirs[i], F_OK) != 0;
    if (vs_mkdir(s_root, dirs[i]) != 0) {
      // Including this one: it may have been made before its sync failed.
      vs_undo_create(dirs, fresh, i + 1, nullptr);
      vs_claim_drop(claim);
      return -1;
    }
  }
  // The folder list goes first: the profile is what makes the account
  // registered, so a crash between the two writes leaves an unregistered
  // directory, never an account without its folder list.
  const char *folders = access(acct.folders, F_OK) != 0 ? acct.folders : nullptr;
  const char *profile = access(acct.profile, F_OK) != 0 ? acct.profile : nullptr;
  if (vs_atomic_write(s_root, acct.folders, "[]", 2) != 0) {
    vs_undo_create(dirs, fresh, 3, folders);
    vs_claim_drop(claim);
    return -1;
  }
  if (vs_atomic_write(s_root, acct.profile, doc, (uint64_t)len) != 0) {
    vs_undo_create(dirs, fresh, 3, folders, profile);
    vs_claim_drop(claim);
    return -1;
  }
  // The account is complete: the claim's lock goes, its entry stays.

  if (user_id_out) memcpy(user_id_out, user_id, VS_ID_BUF);
  return 0;
}

// The stored profile, read whole for the two getters; NULL with the message
// recorded.
static char *vs_profile_text(const char *user_id, uint64_t *len) {
  if (!s_root || !vs_id_safe(user_id)) {
    vs_error_code(s_root ? VAULT_INVALID : VAULT_NO_ROOT, 0, "profile: bad user id");
    return nullptr;
  }
  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, user_id) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "profile: path too long");
    return nullptr;
  }
  return vs_read_document(s_root, acct.profile, "profile", len);
}

static const char *vs_user_get_profile_json_body(const char *user_id) {
  char *out = vs_result_begin(VS_RES_PROFILE, "profile");
  if (!out) return nullptr;
  uint64_t len = 0;
  VsText text(vs_profile_text(user_id, &len));
  if (!text) return nullptr;
  // The text ends at its first NUL; one that would not fit whole is refused
  // rather than handed back cut (and so no longer JSON).
  if (strnlen(text.get(), (size_t)len) >= VS_PROFILE_BUF_SIZE) {
    vs_error_code(VAULT_TOO_LARGE, 0, "profile: too large");
    return nullptr;
  }
  vs_copy_text(out, VS_PROFILE_BUF_SIZE, text.get());
  return out;
}

static char *vs_user_get_profile_json_alloc_body(const char *user_id, size_t *len_out) {
  uint64_t len = 0;
  char *text = vs_profile_text(user_id, &len);
  if (text && len_out) *len_out = (size_t)len;
  return text;
}

// The exports: each records its call's code (results.h).
extern "C" int vault_user_create(const char *email, const char *hash, uint32_t iterations,
                                 const char *protected_key, char *user_id_out) {
  return vs_call(vs_user_create_body, email, hash, iterations, protected_key, user_id_out);
}

extern "C" const char *vault_user_get_profile_json(const char *user_id) {
  return vs_call(vs_user_get_profile_json_body, user_id);
}

extern "C" char *vault_user_get_profile_json_alloc(const char *user_id, size_t *len_out) {
  return vs_call(vs_user_get_profile_json_alloc_body, user_id, len_out);
}
