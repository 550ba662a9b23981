// The results the caller owns: texts of any size from the _alloc exports,
// released with vault_free, with the fixed-buffer exports' messages; empty
// stored documents never returned as success; the version; and result
// buffers kept across cleanup. (Every fixed-buffer call of the other unit
// tests is also compared with its _alloc twin: see same_bytes.cpp.)
#include <string.h>

#include <string>
#include <thread>

#include "test_util.h"

namespace {

class Alloc : public VaultTest {
 protected:
  std::string dir;
  void SetUp() override {
    VaultTest::SetUp();
    dir = make_account("u1", "{\"email\":\"a@x\"}");
  }
  // len by reference: read after the call that fills it.
  static std::string take(char *text, const size_t &len) {
    std::string s = text ? std::string(text, len) : "<null>";
    vault_free(text);
    return s;
  }
  static std::string err() { return vault_storage_last_error(); }
};

// A document far beyond every fixed buffer comes back whole from each
// _alloc export, where the fixed-buffer export refuses it.
TEST_F(Alloc, NoSizeLimitButMemory) {
  // A 5 MB item, stored and read back byte for byte.
  std::string big = "{\"id\":\"big\",\"notes\":\"" + std::string(5 << 20, 'n') + "\"}";
  ASSERT_EQ(vault_cipher_save("u1", big.c_str(), nullptr), 0) << err();
  size_t len = 0;
  EXPECT_EQ(take(vault_cipher_get_alloc("u1", "big", &len), len), big);
  EXPECT_EQ(len, big.size());
  EXPECT_EQ(vault_cipher_get("u1", "big"), nullptr);
  EXPECT_EQ(err(), "cipher_get: too large");

  // 5,000 folders.
  std::string list = "[";
  for (int i = 0; i < 5000; i++)
    list += std::string(i ? "," : "") + "{\"id\":\"f" + std::to_string(i) + "\",\"name\":\"2.folder-" +
            std::to_string(i) + "\",\"object\":\"folder\"}";
  list += "]";
  vt_write(dir + "/folders.json", list);
  EXPECT_EQ(take(vault_folders_get_json_alloc("u1", &len), len), list);
  EXPECT_EQ(vault_folders_get_json("u1"), nullptr);
  EXPECT_EQ(err(), "folders: too large");

  // A profile past 16 KiB.
  std::string profile = "{\"email\":\"a@x\",\"keys\":{\"k\":\"" + std::string(20000, 'k') + "\"}}";
  vt_write(dir + "/profile.json", profile);
  EXPECT_EQ(take(vault_user_get_profile_json_alloc("u1", &len), len), profile);
  EXPECT_EQ(vault_user_get_profile_json("u1"), nullptr);
  EXPECT_EQ(err(), "profile: too large");

  // The sync document holds all of it.
  char *sync = vault_sync_generate_json_alloc("u1", &len);
  ASSERT_NE(sync, nullptr) << err();
  EXPECT_EQ(strlen(sync), len);
  yyjson_doc *d = yyjson_read(sync, len, 0);
  ASSERT_NE(d, nullptr);
  yyjson_val *root = yyjson_doc_get_root(d);
  EXPECT_EQ(yyjson_arr_size(yyjson_obj_get(root, "folders")), 5000u);
  yyjson_val *c = yyjson_arr_get_first(yyjson_obj_get(root, "ciphers"));
  EXPECT_EQ(yyjson_get_len(yyjson_obj_get(c, "notes")), (size_t)5 << 20);
  yyjson_doc_free(d);
  vault_free(sync);
  EXPECT_EQ(vault_sync_generate_json("u1"), nullptr);
  EXPECT_EQ(err(), "sync: payload too large");
}

TEST_F(Alloc, TenThousandItemsSync) {
  const int n = 10000;
  std::string item = "{\"type\":1,\"name\":\"2." + std::string(100, 'x') + "\"}";
  for (int i = 0; i < n; i++) vt_write(dir + "/ciphers/i" + std::to_string(i) + ".json", item);
  size_t len = 0;
  char *sync = vault_sync_generate_json_alloc("u1", &len);
  ASSERT_NE(sync, nullptr) << err();
  yyjson_doc *d = yyjson_read(sync, len, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(yyjson_arr_size(yyjson_obj_get(yyjson_doc_get_root(d), "ciphers")), (size_t)n);
  yyjson_doc_free(d);
  // Minified items, one comma between each: the length is known exactly.
  EXPECT_EQ(len, 172 + 13 + n * item.size() + (n - 1));
  vault_free(sync);
}

// Texts of the _alloc exports, their lengths, and a NULL length pointer.
TEST_F(Alloc, LengthsAndOptionalOutputs) {
  ASSERT_EQ(vault_cipher_save("u1", "{\"id\":\"c1\"}", nullptr), 0);
  char *t = vault_cipher_get_alloc("u1", "c1", nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t, "{\"id\":\"c1\"}");
  vault_free(t);
  vault_free(nullptr);
  size_t len = 77;
  EXPECT_EQ(vault_cipher_get_alloc("u1", "c2", &len), nullptr);
  EXPECT_EQ(len, 77u) << "written only on success";
  EXPECT_EQ(err(), "cipher_get: not found");
  // "[]" for an account without a list, as the fixed-buffer export answers.
  unlink((dir + "/folders.json").c_str());
  EXPECT_EQ(take(vault_folders_get_json_alloc("u1", &len), len), "[]");
  EXPECT_EQ(len, 2u);
  // A stored file holding a NUL byte: the whole bytes, with their length.
  vt_write(dir + "/ciphers/z.json", std::string("{}\0x", 4));
  EXPECT_EQ(take(vault_cipher_get_alloc("u1", "z", &len), len), std::string("{}\0x", 4));
}

// An empty stored document is damage, never a document: every reader fails.
TEST_F(Alloc, EmptyStoredDocumentsAreNeverASuccess) {
  vt_write(dir + "/ciphers/e.json", "");
  vt_write(dir + "/folders.json", "");
  size_t len = 0;
  EXPECT_EQ(vault_cipher_get("u1", "e"), nullptr);
  EXPECT_EQ(err(), "cipher_get: empty document");
  EXPECT_EQ(vault_cipher_get_alloc("u1", "e", &len), nullptr);
  EXPECT_EQ(vault_folders_get_json("u1"), nullptr);
  EXPECT_EQ(err(), "folders: empty document");
  EXPECT_EQ(vault_folders_get_json_alloc("u1", &len), nullptr);
  vt_write(dir + "/profile.json", "");
  EXPECT_EQ(vault_user_get_profile_json("u1"), nullptr);
  EXPECT_EQ(err(), "profile: empty document");
  EXPECT_EQ(vault_user_get_profile_json_alloc("u1", &len), nullptr);
  EXPECT_EQ(err(), "profile: empty document");
}

// The _alloc statistics examine every account, not the first 64.
TEST_F(Alloc, StatsExamineEveryAccount) {
  for (int i = 0; i < 70; i++) {
    std::string d = make_account("a" + std::to_string(i));
    vt_write(d + "/ciphers/c.json", "{}");
  }
  size_t len = 0;
  std::string all = take(vault_storage_get_stats_json_alloc(&len), len);
  EXPECT_EQ(all.rfind("{\"users\":71,\"ciphers\":70,\"folders\":71,\"trash\":0,\"vault_bytes\":", 0), 0u)
      << all;
  const char *first = vault_storage_get_stats_json();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::string(first).rfind("{\"users\":71,\"ciphers\":", 0), 0u);
  EXPECT_NE(all, first);
  vault_storage_cleanup();
  EXPECT_EQ(vault_storage_get_stats_json_alloc(&len), nullptr);
  EXPECT_EQ(err(), "stats: not initialized");
}

TEST_F(Alloc, VersionComesFromTheHeader) {
  std::string want = std::to_string(KELDRUNE_VAULT_VERSION_MAJOR) + "." +
                     std::to_string(KELDRUNE_VAULT_VERSION_MINOR) + "." +
                     std::to_string(KELDRUNE_VAULT_VERSION_PATCH);
  EXPECT_EQ(want, KELDRUNE_VAULT_VERSION);
  EXPECT_STREQ(vault_storage_version(), KELDRUNE_VAULT_VERSION);
}

// Result buffers belong to their thread and stay across cleanup; a
// thread's last-error text is its own.
TEST_F(Alloc, ResultBuffersAndErrorsPerThread) {
  ASSERT_EQ(vault_cipher_save("u1", "{\"id\":\"c1\"}", nullptr), 0);
  EXPECT_EQ(vault_folder_delete("u1", "none"), 1);
  const char *mine = vault_cipher_get("u1", "c1");
  ASSERT_NE(mine, nullptr);
  std::thread([] {
    EXPECT_STREQ(vault_storage_last_error(), "OK");
    const char *other = vault_cipher_get("u1", "nope");
    EXPECT_EQ(other, nullptr);
    EXPECT_STREQ(vault_storage_last_error(), "cipher_get: not found");
    EXPECT_NE(vault_cipher_get("u1", "c1"), nullptr);
  }).join();
  EXPECT_STREQ(mine, "{\"id\":\"c1\"}") << "another thread's call changed this thread's text";
  EXPECT_STREQ(vault_storage_last_error(), "folder_delete: not found");
  size_t blocks = vs_result_blocks();
  EXPECT_GE(blocks, 1u);
  vault_storage_cleanup();
  EXPECT_EQ(vs_result_blocks(), blocks);
  EXPECT_STREQ(mine, "{\"id\":\"c1\"}");
}

}  // namespace
