// Every call a unit test makes to one of the five exports with a fixed
// result buffer is checked against its _alloc twin (the test binary is
// linked with --wrap for the five): wherever the original succeeds, the
// twin returns the same text; wherever it fails for any reason but its
// size limit, the twin fails with the same message, code and errno. The
// twin runs after the original and the thread's last-error text, code and
// errno are put back as the original left them, so the tests themselves
// see no difference.
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "foundation/vs_internal.h"

extern "C" {
const char *__real_vault_user_get_profile_json(const char *user_id);
const char *__real_vault_cipher_get(const char *user_id, const char *cipher_id);
const char *__real_vault_folders_get_json(const char *user_id);
const char *__real_vault_sync_generate_json(const char *user_id);
const char *__real_vault_storage_get_stats_json(void);
}

namespace {

// The statistics differ by design once more than 64 accounts exist.
bool stats_comparable(const char *text) {
  const char *u = strstr(text, "\"users\":");
  return u && strtoull(u + 8, nullptr, 10) <= 64;
}

// orig and err: the original's result and its last-error state.
void compare(const char *what, const char *orig, const VsErrorSave &err, char *twin, size_t len,
             bool comparable = true) {
  std::string twin_err;
  if (!twin) twin_err = vault_storage_last_error();
  if (orig && comparable) {
    EXPECT_NE(twin, nullptr) << what << ": the _alloc twin failed (" << twin_err
                             << ") where the original succeeded";
    if (twin) {
      EXPECT_STREQ(twin, orig) << what << ": the _alloc twin returned another text";
      EXPECT_GE(len, strlen(twin)) << what;
    }
  } else if (!orig && err.code != VAULT_TOO_LARGE) {  // the twin has no size limit
    EXPECT_EQ(twin, nullptr) << what << ": the _alloc twin succeeded where the original failed ("
                             << err.text << ")";
    if (!twin) {
      EXPECT_EQ(twin_err, err.text) << what << ": another message";
      EXPECT_EQ(vault_storage_last_error_code(), err.code) << what << ": another code";
      EXPECT_EQ(vault_storage_last_errno(), err.err) << what << ": another errno";
    }
  }
  vault_free(twin);
}

// Runs the twin with the original's last-error state restored afterwards.
struct KeepError {
  VsErrorSave saved;
  KeepError() { vs_error_save(saved); }
  ~KeepError() { vs_error_restore(saved); }
};

// Calls the twin (given the length output) after the original returned r.
template <typename Twin>
const char *check_twin(const char *what, const char *r, Twin twin, bool comparable = true) {
  KeepError keep;
  size_t len = 0;
  char *t = twin(&len);
  compare(what, r, keep.saved, t, len, comparable);
  return r;
}

}  // namespace

extern "C" const char *__wrap_vault_user_get_profile_json(const char *user_id) {
  return check_twin("profile", __real_vault_user_get_profile_json(user_id),
                    [&](size_t *n) { return vault_user_get_profile_json_alloc(user_id, n); });
}

extern "C" const char *__wrap_vault_cipher_get(const char *user_id, const char *cipher_id) {
  return check_twin("cipher_get", __real_vault_cipher_get(user_id, cipher_id),
                    [&](size_t *n) { return vault_cipher_get_alloc(user_id, cipher_id, n); });
}

extern "C" const char *__wrap_vault_folders_get_json(const char *user_id) {
  return check_twin("folders", __real_vault_folders_get_json(user_id),
                    [&](size_t *n) { return vault_folders_get_json_alloc(user_id, n); });
}

extern "C" const char *__wrap_vault_sync_generate_json(const char *user_id) {
  return check_twin("sync", __real_vault_sync_generate_json(user_id),
                    [&](size_t *n) { return vault_sync_generate_json_alloc(user_id, n); });
}

extern "C" const char *__wrap_vault_storage_get_stats_json(void) {
  const char *r = __real_vault_storage_get_stats_json();
  return check_twin("stats", r, [](size_t *n) { return vault_storage_get_stats_json_alloc(n); },
                    r && stats_comparable(r));
}
