// Folder list: reading, entry building, rewriting of the whole list (first
// match only, other elements in place), corrupt and unreadable lists.
#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include "foundation/locks.h"
#include "test_util.h"

namespace {

class Folders : public VaultTest {
 protected:
  std::string dir, list;
  void SetUp() override {
    VaultTest::SetUp();
    dir = make_account("u1");
    list = dir + "/folders.json";
  }
  std::string err() const { return vault_storage_last_error(); }
};

TEST_F(Folders, ReadReturnsTheListAsStored) {
  EXPECT_STREQ(vault_folders_get_json("u1"), "[]");
  vt_write(list, "{ not json");  // never parsed by the read
  EXPECT_STREQ(vault_folders_get_json("u1"), "{ not json");
  vt_write(list, std::string("[1]\0[2]", 7));
  EXPECT_STREQ(vault_folders_get_json("u1"), "[1]");

  // No directory at all reads as an empty list, with success.
  const char *text = vault_folders_get_json("ghost");
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "[]");
  EXPECT_EQ(err(), "read failed: " + user_dir("ghost") + "/folders.json (" + strerror(ENOENT) + ")");

  std::string fits = "[\"" + std::string(16379, 'a') + "\"]";  // 16383 bytes
  vt_write(list, fits);
  EXPECT_EQ(vault_folders_get_json("u1"), fits);
  vt_write(list, fits + " ");
  EXPECT_EQ(vault_folders_get_json("u1"), nullptr);
  EXPECT_EQ(err(), "folders: too large");
  EXPECT_STREQ(vs_result_buf(VS_RES_FOLDERS), "");

  EXPECT_EQ(vault_folders_get_json("a.b"), nullptr);
  EXPECT_EQ(err(), "folders: bad user id");
  vault_storage_cleanup();
  EXPECT_EQ(vault_folders_get_json("u1"), nullptr);
  EXPECT_EQ(err(), "folders: bad user id");
}

TEST_F(Folders, AListThatExistsButCannotBeReadIsNeverTakenForEmpty) {
  unlink(list.c_str());
  ASSERT_EQ(mkdir(list.c_str(), 0700), 0);
  const std::string why = "read failed: " + list + " (" + strerror(EISDIR) + ")";
  EXPECT_STREQ(vault_folders_get_json("u1"), "[]");  // read only: nothing at risk
  EXPECT_EQ(err(), why);
  EXPECT_EQ(vault_folder_save("u1", "{\"name\":\"W\"}", nullptr), -1);
  EXPECT_EQ(err(), why);
  EXPECT_EQ(vault_folder_delete("u1", "f1"), -1);
  EXPECT_EQ(err(), why);
  EXPECT_TRUE(vt_list(list).empty());
  for (auto &n : vt_list(dir)) EXPECT_EQ(n.find(".tmp."), std::string::npos) << n;

  if (geteuid() != 0) {  // permissions do not bind the superuser
    rmdir(list.c_str());
    vt_write(list, "[{\"id\":\"keep\",\"object\":\"folder\"}]");
    chmod(list.c_str(), 0);
    EXPECT_EQ(vault_folder_save("u1", "{\"name\":\"W\"}", nullptr), -1);
    EXPECT_EQ(err(), "read failed: " + list + " (" + strerror(EACCES) + ")");
    chmod(list.c_str(), 0600);
    EXPECT_EQ(vt_read(list), "[{\"id\":\"keep\",\"object\":\"folder\"}]");
  }
}

TEST_F(Folders, SaveWritesAMinifiedEntryInMemberOrder) {
  char id[VAULT_ID_SIZE] = "";
  ASSERT_EQ(vault_folder_save("u1", "{ \"name\" : \"Work\" }", id), 0) << err();
  EXPECT_EQ(strlen(id), 36u);
  EXPECT_TRUE(vs_id_safe(id));
  EXPECT_EQ(vt_read(list), "[{\"id\":\"" + std::string(id) + "\",\"name\":\"Work\",\"object\":\"folder\"}]");

  vt_write(list, "[ ]");
  ASSERT_EQ(vault_folder_save("u1",
                              "{\"extra\":1,\"revisionDate\":\"2024-01-01T00:00:00Z\",\"name\":\"A\","
                              "\"id\":\"f1\",\"object\":\"x\"}",
                              id),
            0);
  EXPECT_STREQ(id, "f1");
  EXPECT_EQ(vt_read(list),
            "[{\"id\":\"f1\",\"name\":\"A\",\"revisionDate\":\"2024-01-01T00:00:00Z\",\"object\":\"folder\"}]");

  // Unusable ids, the 37-byte one included, get a fresh UUID.
  for (const std::string &bad : {std::string("\"\""), std::string("3"), std::string("\"a.b\""),
                                 "\"" + std::string(37, 'z') + "\""}) {
    ASSERT_EQ(vault_folder_save("u1", ("{\"id\":" + bad + "}").c_str(), id), 0);
    EXPECT_EQ(strlen(id), 36u) << bad;
    EXPECT_EQ(vt_read(list).find("zzzzz"), std::string::npos);
  }
  ASSERT_EQ(vault_folder_save("u1", "{\"id\":\"f2\"}", nullptr), 0);  // no out-id wanted
  EXPECT_NE(vt_read(list).find("{\"id\":\"f2\",\"object\":\"folder\"}"), std::string::npos);
}

TEST_F(Folders, NameAndRevisionDateRules) {
  struct Case { const char *doc, *entry; };
  const Case cases[] = {
      {"{\"id\":\"f\",\"name\":\"\"}", "{\"id\":\"f\",\"object\":\"folder\"}"},
      {"{\"id\":\"f\",\"name\":5,\"revisionDate\":null}", "{\"id\":\"f\",\"object\":\"folder\"}"},
      {"{\"id\":\"f\",\"name\":5,\"name\":\"hidden\"}", "{\"id\":\"f\",\"object\":\"folder\"}"},
      {"{\"id\":\"f\",\"name\":\"a\\u0000b\",\"revisionDate\":\"\"}", "{\"id\":\"f\",\"name\":\"a\",\"object\":\"folder\"}"},
      {"{\"id\":\"f\",\"name\":\"a/\\\"\\u00e9\"}", "{\"id\":\"f\",\"name\":\"a/\\\"\xC3\xA9\",\"object\":\"folder\"}"},
  };
  for (const Case &c : cases) {
    vt_write(list, "[]");
    ASSERT_EQ(vault_folder_save("u1", c.doc, nullptr), 0) << c.doc;
    EXPECT_EQ(vt_read(list), std::string("[") + c.entry + "]") << c.doc;
  }

  vt_write(list, "[]");
  std::string doc = "{\"id\":\"f\",\"name\":\"" + std::string(600, 'n') + "\",\"revisionDate\":\"" +
                    std::string(200, 'r') + "\"}";
  ASSERT_EQ(vault_folder_save("u1", doc.c_str(), nullptr), 0);
  EXPECT_EQ(vt_read(list), "[{\"id\":\"f\",\"name\":\"" + std::string(511, 'n') + "\",\"revisionDate\":\"" +
                               std::string(127, 'r') + "\",\"object\":\"folder\"}]");

  // A cut inside a two-byte character leaves invalid UTF-8: refused whole.
  std::string split = "{\"name\":\"" + std::string(510, 'n');
  for (int i = 0; i < 45; i++) split += "\xC3\xA9";
  split += "\"}";
  const std::string before = vt_read(list);
  EXPECT_EQ(vault_folder_save("u1", split.c_str(), nullptr), -1);
  EXPECT_EQ(err(), "folder_save: write fail");
  EXPECT_EQ(vt_read(list), before);
}

TEST_F(Folders, SaveAndDeleteTouchOnlyTheFirstMatch) {
  const std::string others =
      "[1,{\"id\":\"f1\",\"name\":\"old\"},\"s\",{\"id\":\"f1\",\"name\":\"dup\"},[2],{\"name\":\"noid\"},"
      "{\"id\":5},{\"x\":1,\"id\":\"f2\"}]";
  vt_write(list, others);
  ASSERT_EQ(vault_folder_save("u1", "{\"id\":\"f1\",\"name\":\"new\"}", nullptr), 0);
  EXPECT_EQ(vt_read(list),
            "[1,\"s\",{\"id\":\"f1\",\"name\":\"dup\"},[2],{\"name\":\"noid\"},{\"id\":5},{\"x\":1,\"id\":\"f2\"},"
            "{\"id\":\"f1\",\"name\":\"new\",\"object\":\"folder\"}]");

  vt_write(list, others);
  ASSERT_EQ(vault_folder_delete("u1", "f1"), 0);
  EXPECT_EQ(vt_read(list),
            "[1,\"s\",{\"id\":\"f1\",\"name\":\"dup\"},[2],{\"name\":\"noid\"},{\"id\":5},{\"x\":1,\"id\":\"f2\"}]");
  ASSERT_EQ(vault_folder_delete("u1", "f2"), 0);
  ASSERT_EQ(vault_folder_delete("u1", "f1"), 0);
  EXPECT_EQ(vt_read(list), "[1,\"s\",[2],{\"name\":\"noid\"},{\"id\":5}]");
}

TEST_F(Folders, DeleteSoftNegativesLeaveTheFileAlone) {
  const std::string spaced = "[ {\"id\" : \"f1\"} ,\n {\"id\":\"f2\"} ]\n";
  vt_write(list, spaced);
  EXPECT_EQ(vault_folder_delete("u1", "nope"), 1);
  EXPECT_EQ(err(), "folder_delete: not found");
  EXPECT_EQ(vt_read(list), spaced);
  ASSERT_EQ(vault_folder_delete("u1", "f2"), 0);
  EXPECT_EQ(vt_read(list), "[{\"id\":\"f1\"}]");  // rewritten minified
  ASSERT_EQ(vault_folder_delete("u1", "f1"), 0);
  EXPECT_EQ(vt_read(list), "[]");
  EXPECT_EQ(vault_folder_delete("u1", "f1"), 1);
  EXPECT_EQ(err(), "folder_delete: not found");

  // A 64-byte id is accepted by delete.
  std::string id64(64, 'x');
  vt_write(list, "[{\"id\":\"" + id64 + "\"}]");
  EXPECT_EQ(vault_folder_delete("u1", id64.c_str()), 0);

  unlink(list.c_str());
  EXPECT_EQ(vault_folder_delete("u1", "f1"), 1);
  EXPECT_EQ(err(), "folder_delete: no folders");
  EXPECT_FALSE(vt_exists(list));
  EXPECT_EQ(vault_folder_delete("u1", std::string(65, 'x').c_str()), -1);
  EXPECT_EQ(err(), "folder_delete: bad id");
}

TEST_F(Folders, SaveStartsANewListOnlyWhenNoneExists) {
  unlink(list.c_str());
  char id[VAULT_ID_SIZE];
  ASSERT_EQ(vault_folder_save("u1", "{\"id\":\"f1\"}", id), 0);
  EXPECT_EQ(vt_read(list), "[{\"id\":\"f1\",\"object\":\"folder\"}]");
  // The failed first read's message stays: a success resets nothing.
  EXPECT_EQ(err().rfind("read failed: " + list, 0), 0u);
}

TEST_F(Folders, CorruptListsAndBadDocumentsAreRefused) {
  for (const std::string &bad : {std::string("{}"), std::string("not json"), std::string(""),
                                 std::string("[1] [2]"), std::string("[1]\0[2]", 7)}) {
    vt_write(list, bad);
    EXPECT_EQ(vault_folder_save("u1", "{\"id\":\"f1\"}", nullptr), -1);
    EXPECT_EQ(err(), "folder_save: corrupt folders.json");
    EXPECT_EQ(vault_folder_delete("u1", "f1"), -1);
    EXPECT_EQ(err(), "folder_delete: corrupt");
    EXPECT_EQ(vt_read(list), bad);
  }

  vt_write(list, "[]");
  for (const char *doc : {"[{\"id\":\"f\"}]", "\"str\"", "{\"id\":\"f\",}", "{"}) {
    EXPECT_EQ(vault_folder_save("u1", doc, nullptr), -1) << doc;
    EXPECT_EQ(err(), "folder_save: invalid json");
  }
  EXPECT_EQ(vault_folder_save("u1", "", nullptr), -1);
  EXPECT_EQ(err(), "folder_save: empty json");
  EXPECT_EQ(vault_folder_save("u1", nullptr, nullptr), -1);
  EXPECT_EQ(err(), "folder_save: empty json");
  EXPECT_EQ(vault_folder_save("../u1", "{}", nullptr), -1);
  EXPECT_EQ(err(), "folder_save: bad user id");
  EXPECT_EQ(vt_read(list), "[]");

  // No account directory: the write fails and creates nothing.
  EXPECT_EQ(vault_folder_save("ghost", "{}", nullptr), -1);
  EXPECT_EQ(err().rfind("open failed: " + user_dir("ghost") + "/folders.json.tmp.", 0), 0u) << err();
  EXPECT_FALSE(vt_exists(user_dir("ghost")));
}

TEST_F(Folders, PathsThatDoNotFitAreRefused) {
  std::string long_root = base + "/" + std::string(4250 - base.size(), 'r');
  vault_storage_init(long_root.c_str());
  std::string uid(64, 'u');
  EXPECT_EQ(vault_folders_get_json(uid.c_str()), nullptr);
  EXPECT_EQ(err(), "folders: path too long");
  EXPECT_EQ(vault_folder_save(uid.c_str(), "{}", nullptr), -1);
  EXPECT_EQ(err(), "folder_save: path too long");
  EXPECT_EQ(vault_folder_delete(uid.c_str(), "f"), -1);
  EXPECT_EQ(err(), "folder_delete: path too long");
}

}  // namespace

// ---- the folder list's lock ------------------------------------------------------

// Processes saving distinct folders into one list at once: every change
// lands (without the lock, most of them were lost).
TEST_F(VaultTest, ConcurrentFolderSavesKeepEveryChange) {
  make_account("shared", "{\"email\":\"s@x\"}");
  const int procs = 4, each = 15;
  std::vector<int> bad = vt_run_processes(procs, [&](int p) {
    int failed = 0;
    for (int i = 0; i < each; i++) {
      std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
      failed += vault_folder_save("shared", ("{\"id\":\"" + id + "\"}").c_str(), nullptr) != 0;
      // Deletes of its own entries go through the same lock.
      if (i % 5 == 4) failed += vault_folder_delete("shared", id.c_str()) != 0;
    }
    return failed;
  });
  EXPECT_EQ(bad, std::vector<int>(procs, 0));
  std::string list = vault_folders_get_json("shared");
  for (int p = 0; p < procs; p++)
    for (int i = 0; i < each; i++) {
      std::string id = "\"p" + std::to_string(p) + "-" + std::to_string(i) + "\"";
      EXPECT_EQ(list.find(id) != std::string::npos, i % 5 != 4) << id;
    }
}

// A lock another writer does not let go of fails the call with a clear
// message, and nothing is written.
TEST_F(VaultTest, FolderLockNotHadInTimeFailsCleanly) {
  std::string d = make_account("held", "{\"email\":\"h@x\"}");
  ASSERT_EQ(vault_folder_save("held", "{\"id\":\"f1\"}", nullptr), 0);
  std::string before = vt_read(d + "/folders.json");
  int fd = open((d + "/" VS_LOCK_NAME).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(vs_lock_take(fd, 0), 0);
  vs_lock_set_wait_ms(100);
  EXPECT_EQ(vault_folder_save("held", "{\"id\":\"f2\"}", nullptr), -1);
  EXPECT_EQ(std::string(vault_storage_last_error()),
            "folder_save: lock failed: " + d + "/" VS_LOCK_NAME " (held by another writer too long)");
  EXPECT_EQ(vault_folder_delete("held", "f1"), -1);
  EXPECT_EQ(std::string(vault_storage_last_error()).rfind("folder_delete: lock failed: ", 0), 0u);
  EXPECT_EQ(vt_read(d + "/folders.json"), before);
  close(fd);
  EXPECT_EQ(vault_folder_save("held", "{\"id\":\"f2\"}", nullptr), 0);
  vs_lock_set_wait_ms(VS_LOCK_WAIT_MS);
  // Reads take no lock; an account without a directory still just fails
  // in the write, as it always did.
  EXPECT_STRNE(vault_folders_get_json("held"), "[]");
  EXPECT_EQ(vault_folder_save("nobody", "{\"id\":\"f\"}", nullptr), -1);
  EXPECT_EQ(std::string(vault_storage_last_error()).rfind("open failed: ", 0), 0u);
}
