// Result codes, subsystem by subsystem: every situation an export can meet
// (missing things, things already there, bad input, limits, no root, and
// system failures forced through the system-call wrappers) gives its code
// and errno, and the last-error text it always gave.
#include <errno.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/locks.h"
#include "foundation/vs_internal.h"
#include "rel_util.h"
#include "shim.h"

namespace {

struct Case {
  const char *what;
  std::function<void()> call;
  int code;
  int err;
  // The whole last-error text, or its beginning when it ends with '*'
  // (texts holding a temporary name); "" when the call records none.
  std::string text;
};

void run_cases(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    vs_error("before %s", c.what);  // so a case that records nothing shows
    std::string before = vault_storage_last_error();
    c.call();
    EXPECT_EQ(vault_storage_last_error_code(), c.code) << c.what;
    EXPECT_EQ(vault_storage_last_errno(), c.err) << c.what;
    std::string got = vault_storage_last_error();
    if (c.text.empty())
      EXPECT_EQ(got, before) << c.what;
    else if (c.text.back() == '*')
      EXPECT_EQ(got.substr(0, c.text.size() - 1), c.text.substr(0, c.text.size() - 1)) << c.what;
    else
      EXPECT_EQ(got, c.text) << c.what;
  }
}

std::string why(int e) { return std::string(" (") + strerror(e) + ")"; }

class Codes : public ::testing::Test {
 protected:
  std::string scratch, root, uid;
  void SetUp() override {
    scratch = vts_scratch("codes");
    ASSERT_FALSE(scratch.empty());
    root = scratch + "/root";
    ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vr_last_error();
    char id[VAULT_ID_SIZE];
    ASSERT_EQ(vault_user_create("a@example.org", "h", 1, "k", id), 0) << vr_last_error();
    uid = id;
  }
  void TearDown() override {
    vr_io_force(nullptr, 0);
    vr_io_hook(nullptr, nullptr, nullptr);
    vs_fs_set_shared(0);
    vault_storage_cleanup();
    vts_remove_tree(scratch);
  }
  std::string dir() const { return root + "/users/" + uid; }
  const char *u() const { return uid.c_str(); }
};

TEST_F(Codes, Lifecycle) {
  const std::string orphan = scratch + "/no/such/root";
  run_cases({
      {"init empty", [] { vault_storage_init(""); }, VAULT_INVALID, 0, "init: empty root"},
      {"init NULL", [] { vault_storage_init(nullptr); }, VAULT_INVALID, 0, "init: empty root"},
      {"init without parent", [&] { vault_storage_init(orphan.c_str()); }, VAULT_NOT_FOUND,
       ENOENT, "mkdir failed: " + orphan + why(ENOENT)},
      {"init", [&] { EXPECT_EQ(vault_storage_init(root.c_str()), 0); }, VAULT_OK, 0, ""},
      {"cleanup", [] { vault_storage_cleanup(); }, VAULT_OK, 0, ""},
  });
  // Without a root every export that needs one says so.
  char id[VAULT_ID_SIZE];
  run_cases({
      {"exists", [] { vault_user_exists("a@example.org"); }, VAULT_NO_ROOT, 0, "not initialized"},
      {"find", [&] { vault_user_find_by_email("a@example.org", id, nullptr, nullptr, nullptr); },
       VAULT_NO_ROOT, 0, "not initialized"},
      {"create", [] { vault_user_create("b@example.org", "", 0, "", nullptr); }, VAULT_NO_ROOT, 0,
       "not initialized"},
      {"profile", [&] { vault_user_get_profile_json(u()); }, VAULT_NO_ROOT, 0,
       "profile: bad user id"},
      {"cipher_save", [&] { vault_cipher_save(u(), "{}", nullptr); }, VAULT_NO_ROOT, 0,
       "cipher_save: bad user id"},
      {"cipher_get", [&] { vault_cipher_get_alloc(u(), "c", nullptr); }, VAULT_NO_ROOT, 0,
       "cipher_get: bad id"},
      {"cipher_delete", [&] { vault_cipher_delete(u(), "c", 0); }, VAULT_NO_ROOT, 0,
       "cipher_delete: bad id"},
      {"restore", [&] { vault_cipher_restore_from_trash(u(), "c"); }, VAULT_NO_ROOT, 0,
       "restore: bad id"},
      {"folders", [&] { vault_folders_get_json(u()); }, VAULT_NO_ROOT, 0, "folders: bad user id"},
      {"folder_save", [&] { vault_folder_save(u(), "{}", nullptr); }, VAULT_NO_ROOT, 0,
       "folder_save: bad user id"},
      {"folder_delete", [&] { vault_folder_delete(u(), "f"); }, VAULT_NO_ROOT, 0,
       "folder_delete: bad id"},
      {"sync", [&] { vault_sync_generate_json_alloc(u(), nullptr); }, VAULT_NO_ROOT, 0,
       "sync: bad user id"},
      {"stats", [] { vault_storage_get_stats_json(); }, VAULT_NO_ROOT, 0, "stats: not initialized"},
  });
  // The readers of the state, vault_free and the version change nothing.
  vault_cipher_get(u(), "c");
  vault_storage_last_error();
  vault_storage_last_errno();
  vault_free(nullptr);
  vault_storage_version();
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_NO_ROOT);
  ASSERT_EQ(vault_storage_init(root.c_str()), 0);
}

TEST_F(Codes, Accounts) {
  char id[VAULT_ID_SIZE];
  run_cases({
      {"exists yes", [] { EXPECT_EQ(vault_user_exists("A@example.org"), 1); }, VAULT_OK, 0, ""},
      {"exists no", [] { EXPECT_EQ(vault_user_exists("b@example.org"), 0); }, VAULT_OK, 0, ""},
      {"exists empty", [] { vault_user_exists(""); }, VAULT_INVALID, 0, "exists: empty email"},
      {"find", [&] {
         EXPECT_EQ(vault_user_find_by_email("a@example.org", id, nullptr, nullptr, nullptr), 0);
       }, VAULT_OK, 0, ""},
      // No message of its own: the code alone says "not found".
      {"find none", [&] {
         EXPECT_EQ(vault_user_find_by_email("b@example.org", id, nullptr, nullptr, nullptr), 1);
       }, VAULT_NOT_FOUND, 0, ""},
      {"find empty", [&] { vault_user_find_by_email(nullptr, id, nullptr, nullptr, nullptr); },
       VAULT_INVALID, 0, "find_by_email: empty email"},
      {"create taken", [] { EXPECT_EQ(vault_user_create("A@EXAMPLE.ORG", "", 0, "", nullptr), 1); },
       VAULT_EXISTS, 0, "create: email already registered"},
      {"create empty", [] { vault_user_create("", "", 0, "", nullptr); }, VAULT_INVALID, 0,
       "create: empty email"},
      {"create bad utf-8", [] { vault_user_create("c@example.org", "\xff", 0, "", nullptr); },
       VAULT_INVALID, 0, "create: invalid utf-8"},
      {"create huge", [] {
         std::string key(VS_PROFILE_MAX, 'k');
         vault_user_create("c@example.org", "", 0, key.c_str(), nullptr);
       }, VAULT_INVALID, 0, "create: profile too large"},
      {"profile", [&] { EXPECT_NE(vault_user_get_profile_json(u()), nullptr); }, VAULT_OK, 0, ""},
      {"profile bad id", [] { vault_user_get_profile_json("../etc"); }, VAULT_INVALID, 0,
       "profile: bad user id"},
      {"profile none", [] { vault_user_get_profile_json_alloc("nobody", nullptr); },
       VAULT_NOT_FOUND, ENOENT, "profile: not found"},
  });
  // Too large for the fixed buffer, whole through the _alloc twin.
  std::string big = "{\"email\":\"big@example.org\",\"pad\":\"" + std::string(VS_PROFILE_MAX, 'p') + "\"}";
  ASSERT_TRUE(vts_make_account(root, "big", big.c_str(), "[]").size());
  run_cases({
      {"profile too large", [] { vault_user_get_profile_json("big"); }, VAULT_TOO_LARGE, 0,
       "profile: too large"},
      {"profile alloc", [] { vault_free(vault_user_get_profile_json_alloc("big", nullptr)); },
       VAULT_OK, 0, ""},
  });
}

TEST_F(Codes, Items) {
  ASSERT_EQ(vault_cipher_save(u(), "{\"id\":\"both\"}", nullptr), 0);
  ASSERT_EQ(vault_cipher_delete(u(), "both", 0), 0);
  ASSERT_EQ(vault_cipher_save(u(), "{\"id\":\"both\"}", nullptr), 0);
  std::string huge = "{\"id\":\"huge\",\"pad\":\"" + std::string(VS_CIPHER_MAX, 'x') + "\"}";
  ASSERT_EQ(vault_cipher_save(u(), huge.c_str(), nullptr), 0);
  const std::string missing = root + "/users/nobody/ciphers/c.json.tmp.";
  run_cases({
      {"save", [&] { EXPECT_EQ(vault_cipher_save(u(), "{\"id\":\"c\"}", nullptr), 0); }, VAULT_OK,
       0, ""},
      {"save bad id", [] { vault_cipher_save("a/b", "{}", nullptr); }, VAULT_INVALID, 0,
       "cipher_save: bad user id"},
      {"save empty", [&] { vault_cipher_save(u(), "", nullptr); }, VAULT_INVALID, 0,
       "cipher_save: empty json"},
      {"save invalid", [&] { vault_cipher_save(u(), "{,}", nullptr); }, VAULT_INVALID, 0,
       "cipher_save: invalid json"},
      // The text names the temporary file; the code says what a host needs.
      {"save no account", [] { vault_cipher_save("nobody", "{\"id\":\"c\"}", nullptr); },
       VAULT_NOT_FOUND, ENOENT, "open failed: " + missing + "*"},
      {"get", [&] { EXPECT_NE(vault_cipher_get(u(), "c"), nullptr); }, VAULT_OK, 0, ""},
      {"get none", [&] { vault_cipher_get(u(), "none"); }, VAULT_NOT_FOUND, ENOENT,
       "cipher_get: not found"},
      {"get bad id", [&] { vault_cipher_get(u(), "../x"); }, VAULT_INVALID, 0, "cipher_get: bad id"},
      {"get too large", [&] { vault_cipher_get(u(), "huge"); }, VAULT_TOO_LARGE, 0,
       "cipher_get: too large"},
      {"delete none", [&] { EXPECT_EQ(vault_cipher_delete(u(), "none", 0), 1); }, VAULT_NOT_FOUND,
       0, "cipher_delete: not found"},
      {"delete for good none", [&] { EXPECT_EQ(vault_cipher_delete(u(), "none", 1), 1); },
       VAULT_NOT_FOUND, 0, "cipher_delete: not found"},
      {"delete onto trashed", [&] { EXPECT_EQ(vault_cipher_delete(u(), "both", 0), -1); },
       VAULT_EXISTS, EEXIST, "cipher_delete: rename " + std::string(strerror(EEXIST))},
      {"restore onto live", [&] { EXPECT_EQ(vault_cipher_restore_from_trash(u(), "both"), -1); },
       VAULT_EXISTS, EEXIST, "restore: rename " + std::string(strerror(EEXIST))},
      {"restore none", [&] { EXPECT_EQ(vault_cipher_restore_from_trash(u(), "none"), 1); },
       VAULT_NOT_FOUND, 0, "restore: not in trash"},
      {"restore bad id", [&] { vault_cipher_restore_from_trash(u(), ""); }, VAULT_INVALID, 0,
       "restore: bad id"},
      {"delete", [&] { EXPECT_EQ(vault_cipher_delete(u(), "c", 0), 0); }, VAULT_OK, 0, ""},
  });
  run_cases({
      {"folder_save", [&] { EXPECT_EQ(vault_folder_save(u(), "{\"id\":\"f\"}", nullptr), 0); },
       VAULT_OK, 0, ""},
      {"folder_save invalid", [&] { vault_folder_save(u(), "[", nullptr); }, VAULT_INVALID, 0,
       "folder_save: invalid json"},
      {"folder_save empty", [&] { vault_folder_save(u(), nullptr, nullptr); }, VAULT_INVALID, 0,
       "folder_save: empty json"},
      {"folder_delete none", [&] { EXPECT_EQ(vault_folder_delete(u(), "none"), 1); },
       VAULT_NOT_FOUND, 0, "folder_delete: not found"},
      {"folder_delete bad id", [&] { vault_folder_delete(u(), "a b"); }, VAULT_INVALID, 0,
       "folder_delete: bad id"},
      {"folder_delete", [&] { EXPECT_EQ(vault_folder_delete(u(), "f"), 0); }, VAULT_OK, 0, ""},
  });
  ASSERT_TRUE(vts_write(dir() + "/folders.json", "{\"not\":\"a list\"}"));
  run_cases({
      {"folder_save corrupt", [&] { vault_folder_save(u(), "{\"id\":\"f\"}", nullptr); },
       VAULT_CORRUPT, 0, "folder_save: corrupt folders.json"},
      {"folder_delete corrupt", [&] { vault_folder_delete(u(), "f"); }, VAULT_CORRUPT, 0,
       "folder_delete: corrupt"},
  });
  ASSERT_EQ(unlink((dir() + "/folders.json").c_str()), 0);
  // No list reads as "[]": a success, whatever the read recorded.
  run_cases({
      {"folders none", [&] { EXPECT_STREQ(vault_folders_get_json(u()), "[]"); }, VAULT_OK, 0,
       "read failed: " + dir() + "/folders.json" + why(ENOENT)},
      {"folder_delete no list", [&] { EXPECT_EQ(vault_folder_delete(u(), "f"), 1); },
       VAULT_NOT_FOUND, 0, "folder_delete: no folders"},
  });
}

TEST_F(Codes, Views) {
  ASSERT_TRUE(vts_make_account(root, "odd", "[1]", "[]").size());
  std::string pad(60000, 'x');
  for (int i = 0; i < 5; i++)
    ASSERT_EQ(vault_cipher_save(u(), ("{\"id\":\"c" + std::to_string(i) + "\",\"p\":\"" + pad +
                                      "\"}").c_str(), nullptr), 0);
  run_cases({
      {"sync too large", [&] { vault_sync_generate_json(u()); }, VAULT_TOO_LARGE, 0,
       "sync: payload too large"},
      {"sync alloc", [&] { vault_free(vault_sync_generate_json_alloc(u(), nullptr)); }, VAULT_OK,
       0, ""},
      {"sync none", [] { vault_sync_generate_json("nobody"); }, VAULT_NOT_FOUND, 0,
       "sync: user not found"},
      {"sync bad id", [] { vault_sync_generate_json("."); }, VAULT_INVALID, 0, "sync: bad user id"},
      {"sync corrupt", [] { vault_sync_generate_json("odd"); }, VAULT_CORRUPT, 0,
       "sync: corrupt profile"},
      {"stats", [] { EXPECT_NE(vault_storage_get_stats_json(), nullptr); }, VAULT_OK, 0, ""},
  });
}

// Failures of the system, forced: each gives its own code with the errno.
TEST_F(Codes, SystemFailures) {
  ASSERT_TRUE(vr_io_available());
  const std::string cipher = dir() + "/ciphers/c.json";
  for (int e : {ENOSPC, EDQUOT, EIO}) {
    vr_io_force("write", e);
    EXPECT_EQ(vault_cipher_save(u(), "{\"id\":\"c\"}", nullptr), -1);
    vr_io_force(nullptr, 0);
    EXPECT_EQ(vault_storage_last_error_code(), e == EIO ? VAULT_IO : VAULT_NO_SPACE) << e;
    EXPECT_EQ(vault_storage_last_errno(), e);
    EXPECT_EQ(vr_last_error(), "write failed: " + cipher + why(e));
  }
  ASSERT_EQ(vault_cipher_save(u(), "{\"id\":\"c\"}", nullptr), 0);
  vr_io_force("fstat", ENOMEM);
  EXPECT_EQ(vault_cipher_get(u(), "c"), nullptr);
  vr_io_force(nullptr, 0);
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_NO_MEMORY);
  EXPECT_EQ(vault_storage_last_errno(), ENOMEM);
  EXPECT_EQ(vr_last_error(), "cipher_get: out of memory");

  // Another writer holds the folder list's lock past the wait.
  const int wait = vs_lock_wait_ms();
  vs_lock_set_wait_ms(20);
  VsFd held;
  ASSERT_EQ(vs_lock_account(root.c_str(), dir().c_str(), VS_LOCK_FOLDERS, held), 0);
  run_cases({{"folder_save locked", [&] { vault_folder_save(u(), "{\"id\":\"f\"}", nullptr); },
              VAULT_BUSY, EAGAIN,
              "folder_save: lock failed: " + dir() + "/.lock (held by another writer too long)"}});
  vs_lock_drop(held);
  vs_lock_set_wait_ms(wait);

  // A shared file system that keeps refusing the list as stale (from the
  // listing on, so the account's lock itself is had).
  const std::string list = dir() + "/folders.json";
  vs_fs_set_shared(1);
  vr_io_hook("getdents64", [](void *) { vr_io_force("fcntl", ESTALE); }, nullptr);
  run_cases({{"folder_delete stale", [&] { vault_folder_delete(u(), "f"); }, VAULT_STALE, ESTALE,
              "read failed: " + list + why(ESTALE)}});
  vr_io_force(nullptr, 0);
  vr_io_hook(nullptr, nullptr, nullptr);
  vs_fs_set_shared(0);

  // A success after all of them: OK, the text stays.
  std::string text = vr_last_error();
  EXPECT_EQ(vault_cipher_save(u(), "{\"id\":\"c\"}", nullptr), 0);
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_OK);
  EXPECT_EQ(vault_storage_last_errno(), 0);
  EXPECT_EQ(vr_last_error(), text);
}

}  // namespace
