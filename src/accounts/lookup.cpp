// Account lookup by e-mail: the scan over the users directory that reads one
// profile at a time until its "email" matches, and the two exports built on
// it (vault_user_exists, vault_user_find_by_email). The e-mail index answers
// first: an entry confirmed by its account's profile is a match at the cost
// of two small reads. Without one, the scan lists the directory and reads
// the profiles afresh, unless the index is authoritative.
#include <errno.h>
#include <string.h>

#include <utility>

#include "keldrune-vault-storage.h"
#include "accounts/scan.h"
#include "foundation/email_index.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/ring.h"
#include "foundation/root.h"
#include "foundation/text.h"

enum : size_t {
  VS_NAME_BUF = VS_ID_MAX + 1,  // a candidate's name and its NUL
  VS_HASH_BUF = VAULT_HASH_SIZE,
  VS_KEY_BUF = VAULT_KEY_SIZE,
};

// Copies a string member into a caller's buffer, cut to size-1 bytes; an
// absent or non-string member leaves the buffer as the caller had it.
static void vs_copy_member(yyjson_val *obj, const char *key, char *out, size_t size) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  if (out && s) vs_copy_text(out, size, s);
}

static const char k_profile_rel[] = "/" VS_PROFILE_NAME;

// Tests the text of a profile read whole: 0 a match (*out holds the
// document), 1 no match or not a profile, -1 out of memory (errno).
static int vs_profile_text_match(const char *text, size_t len, const char *email, VsDoc *out) {
  yyjson_read_err err;
  VsDoc doc(vs_parse(text, len, &err));
  if (!doc) {
    if (err.code != YYJSON_READ_ERROR_MEMORY_ALLOCATION) return 1;
    errno = ENOMEM;
    return -1;
  }
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) == 0) return 1;
  const char *stored = nullptr;
  if (vs_profile_email(root, &stored) != 1 || !vs_email_equal(stored, email)) return 1;
  *out = std::move(doc);
  return 0;
}

int vs_profile_match(const char *data_root, int dir_fd, const char *dir, const char *rel,
                     const char *email, VsDoc *out) {
  char *raw = nullptr;
  uint64_t len = 0;
  int rc = dir_fd >= 0 ? vs_read_file_at(data_root, dir_fd, dir, rel, &raw, &len)
                       : vs_read_file(data_root, rel, &raw, &len);
  if (rc != 0) return vs_read_absent(errno) ? 1 : -1;
  VsText text(raw);  // the doc owns copies
  return vs_profile_text_match(text.get(), (size_t)len, email, out);
}

// Fills the wanted outputs from a matching profile. A directory name that
// does not fit the id buffer is never cut: a cut name would be a different
// account.
static int vs_fill_outputs(const VsDoc &doc, const char *name, char *user_id_out,
                           uint32_t *iterations_out, char *hash_out, char *key_out) {
  if (user_id_out && strlen(name) > VS_UUID_LEN) return VS_SCAN_ID_TOO_LONG;
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (user_id_out) vs_copy_text(user_id_out, VS_ID_BUF, name);
  if (iterations_out) {
    // Low 32 bits of any integer (a negative one as two's complement);
    // reals and every other type give 0.
    yyjson_val *it = yyjson_obj_get(root, "kdfIterations");
    *iterations_out = yyjson_is_int(it) ? (uint32_t)yyjson_get_uint(it) : 0;
  }
  vs_copy_member(root, "masterPasswordHash", hash_out, VS_HASH_BUF);
  vs_copy_member(root, "protectedKey", key_out, VS_KEY_BUF);
  return 0;
}

int vs_user_scan(const char *root, const char *email, char *user_id_out,
                 uint32_t *iterations_out, char *hash_out, char *key_out) {
  char users[VS_SCAN_USERS_PATH];
  if (vs_users_dir(users, sizeof users, root) != 0) return VS_SCAN_PATH_TOO_LONG;
  size_t users_len = strlen(users);
  VsList dir;
  if (vs_list_open(dir, root, users) != 0) {
    // No users directory: a tree without accounts.
    return vs_list_absent(errno) ? 1 : VS_SCAN_UNSURE;
  }

  // The profiles are read a batch at a time through the thread's ring
  // (foundation/ring.h), in listing order; one the ring did not read is
  // read the plain way, which decides what it is (the ring is only used on
  // a local file system, where the plain read would see the same text). The first match in listing order ends the scan, as one
  // read at a time would.
  int unsure = 0;  // errno of the first entry that could not be examined
  VsRingBatch batch;
  for (bool listed_all = false; !listed_all;) {
    batch.n = 0;
    while (batch.n < VS_RING_BATCH) {
      const char *entry = vs_list_next(dir);
      if (!entry) {
        if (errno != 0 && !unsure) unsure = errno;
        listed_all = true;
        break;
      }
      if (!vs_scan_candidate(entry)) continue;
      // The candidate's profile, relative to the listed directory: a name
      // of at most 64 bytes and "/profile.json". Its full path must still
      // fit the profile path buffer to be taken at all.
      size_t name_len = strlen(entry);
      if (users_len + 1 + name_len + sizeof k_profile_rel - 1 >= VS_FILE_PATH) continue;
      char rel[VS_NAME_BUF + sizeof k_profile_rel];
      static_assert(sizeof rel <= sizeof batch.names[0], "a candidate's profile fits a batch name");
      memcpy(rel, entry, name_len);
      memcpy(rel + name_len, k_profile_rel, sizeof k_profile_rel);
      vs_ring_add(batch, rel, true);
    }
    vs_ring_read(batch, dir.fd.fd);
    for (int i = 0; i < batch.n; i++) {
      const char *rel = batch.names[i];
      VsDoc doc;
      int rc = batch.text[i] ? vs_profile_text_match(batch.text[i], batch.len[i], email, &doc)
                             : vs_profile_match(root, dir.fd.fd, users, rel, email, &doc);
      if (rc < 0 && !unsure) unsure = errno;
      if (rc != 0) continue;
      // The first match ends the scan.
      char name[VS_NAME_BUF];
      size_t name_len = (size_t)(strchr(rel, '/') - rel);
      memcpy(name, rel, name_len);
      name[name_len] = '\0';
      return vs_fill_outputs(doc, name, user_id_out, iterations_out, hash_out, key_out);
    }
  }
  if (!unsure) return 1;
  errno = unsure;
  return VS_SCAN_UNSURE;
}

int vs_user_lookup(const char *root, const char *email, char *user_id_out,
                   uint32_t *iterations_out, char *hash_out, char *key_out) {
  char id[VS_ID_BUF];
  int rc = vs_index_read(root, email, id);
  if (rc == 0) {
    VsAccountPaths acct;
    VsDoc doc;
    if (vs_account_paths(acct, root, id) == 0 &&
        vs_profile_match(root, -1, nullptr, acct.profile, email, &doc) == 0)
      return vs_fill_outputs(doc, id, user_id_out, iterations_out, hash_out, key_out);
    // An entry its profile does not confirm (an account removed or changed
    // by hand, a registration still running): the scan decides.
  } else if (rc == 1 && vs_index_authoritative(root) == 1) {
    return 1;
  }
  return vs_user_scan(root, email, user_id_out, iterations_out, hash_out, key_out);
}

static int vs_user_exists_body(const char *email) {
  if (!s_root) {
    vs_error_code(VAULT_NO_ROOT, 0, "not initialized");
    return -1;
  }
  if (!email || !*email) {
    vs_error_code(VAULT_INVALID, 0, "exists: empty email");
    return -1;
  }
  int rc = vs_user_lookup(s_root, email, nullptr, nullptr, nullptr, nullptr);
  if (rc == VS_SCAN_PATH_TOO_LONG) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "exists: path too long");
    return -1;
  }
  // An account that could not be examined may hold the address: "not
  // registered" would have the host offer it for registration again.
  if (rc == VS_SCAN_UNSURE) {
    vs_error_errno(errno, "exists: cannot check email (%s)", strerror(errno));
    return -1;
  }
  return rc == 0 ? 1 : 0;
}

static int vs_user_find_by_email_body(const char *email, char *user_id_out,
                                      uint32_t *iterations_out, char *hash_out,
                                      char *key_out) {
  if (!s_root) {
    vs_error_code(VAULT_NO_ROOT, 0, "not initialized");
    return -1;
  }
  if (!email || !*email) {
    vs_error_code(VAULT_INVALID, 0, "find_by_email: empty email");
    return -1;
  }
  int rc = vs_user_lookup(s_root, email, user_id_out, iterations_out, hash_out, key_out);
  if (rc == VS_SCAN_PATH_TOO_LONG) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "find_by_email: path too long");
    return -1;
  }
  if (rc == VS_SCAN_ID_TOO_LONG) {
    vs_error_code(VAULT_TOO_LARGE, 0, "find_by_email: user id too long");
    return -1;
  }
  if (rc == VS_SCAN_UNSURE) {
    vs_error_errno(errno, "find_by_email: cannot check email (%s)", strerror(errno));
    return -1;
  }
  if (rc == 0) return 0;
  vs_error_set_code(VAULT_NOT_FOUND, 0);  // no message of its own
  return 1;
}

// The exports: each records its call's code (results.h).
extern "C" int vault_user_exists(const char *email) {
  vs_call_begin();
  int r = vs_user_exists_body(email);
  vs_call_end(r >= 0);
  return r;
}

extern "C" int vault_user_find_by_email(const char *email, char *user_id_out,
                                        uint32_t *iterations_out, char *hash_out,
                                        char *key_out) {
  return vs_call(vs_user_find_by_email_body, email, user_id_out, iterations_out, hash_out, key_out);
}
