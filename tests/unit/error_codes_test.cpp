// The result code and errno are per thread, like the last-error text; the
// texts the fixed-buffer exports return outlive vault_storage_cleanup.
#include <errno.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

class ThreadsCodes : public VaultTest {};

// Eight threads, each driving its own outcome over and over, see only
// their own code, errno and text, whatever the others do meanwhile.
TEST_F(ThreadsCodes, EachThreadSeesOnlyItsOwn) {
  make_account("u1", "{\"email\":\"u1@example.org\"}");
  ASSERT_EQ(vault_cipher_save("u1", "{\"id\":\"c1\"}", nullptr), 0);
  struct Outcome {
    std::function<void()> call;
    int code, err;
    const char *text;  // NULL: the thread's text stays "OK"
  };
  const Outcome outcomes[8] = {
      {[] { vault_cipher_get("u1", "c1"); }, VAULT_OK, 0, nullptr},
      {[] { vault_cipher_get("u1", "none"); }, VAULT_NOT_FOUND, ENOENT, "cipher_get: not found"},
      {[] { vault_cipher_save("u1", "{,}", nullptr); }, VAULT_INVALID, 0,
       "cipher_save: invalid json"},
      {[] { vault_user_create("u1@example.org", "", 0, "", nullptr); }, VAULT_EXISTS, 0,
       "create: email already registered"},
      {[] { vault_sync_generate_json("nobody"); }, VAULT_NOT_FOUND, 0, "sync: user not found"},
      {[] { vault_folder_delete("u1", "none"); }, VAULT_NOT_FOUND, 0, "folder_delete: not found"},
      {[] { vault_user_exists(""); }, VAULT_INVALID, 0, "exists: empty email"},
      {[] { vault_user_find_by_email("x@example.org", nullptr, nullptr, nullptr, nullptr); },
       VAULT_NOT_FOUND, 0, nullptr},
  };
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (const Outcome &o : outcomes)
    threads.emplace_back([&o, &wrong] {
      for (int i = 0; i < 200; i++) {
        o.call();
        if (vault_storage_last_error_code() != o.code || vault_storage_last_errno() != o.err ||
            std::string(vault_storage_last_error()) != (o.text ? o.text : "OK"))
          wrong++;
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  // A fresh thread starts at VAULT_OK, errno 0.
  std::thread([] {
    EXPECT_EQ(vault_storage_last_error_code(), VAULT_OK);
    EXPECT_EQ(vault_storage_last_errno(), 0);
  }).join();
}

// A text got before cleanup stays readable after it, and after an init of
// another root, until the same export is called again in this thread.
// (The address sanitizer build turns a read of freed memory into a
// failure.)
TEST_F(ThreadsCodes, TextsOutliveCleanupAndAnotherInit) {
  make_account("u1", "{\"email\":\"u1@example.org\"}");
  ASSERT_EQ(vault_cipher_save("u1", "{\"id\":\"c1\",\"n\":1}", nullptr), 0);
  const char *cipher = vault_cipher_get("u1", "c1");
  const char *profile = vault_user_get_profile_json("u1");
  const char *stats = vault_storage_get_stats_json();
  ASSERT_TRUE(cipher && profile && stats);
  const std::string stats_copy = stats;
  size_t blocks = vs_result_blocks();
  vault_storage_cleanup();
  EXPECT_EQ(vs_result_blocks(), blocks);
  EXPECT_STREQ(cipher, "{\"id\":\"c1\",\"n\":1}");
  const std::string other = base + "/other";
  ASSERT_EQ(vault_storage_init(other.c_str()), 0);
  EXPECT_STREQ(profile, "{\"email\":\"u1@example.org\"}");
  EXPECT_EQ(stats, stats_copy);
  // The next call of the same export reuses the buffer.
  EXPECT_EQ(vault_cipher_get("u1", "c1"), nullptr);
  EXPECT_STREQ(cipher, "");
  vault_storage_cleanup();
  ASSERT_EQ(vault_storage_init(root.c_str()), 0);
}

}  // namespace
