// Last-error text, file primitives, data root, identifiers and paths.
#include <errno.h>
#include <string.h>

#include <set>

#include "test_util.h"

TEST(Errors, LongMessageIsCutAndTerminated) {
  std::string big(3000, 'x');
  vs_error("read failed: %s (%s)", big.c_str(), "why");
  EXPECT_EQ(strlen(vault_storage_last_error()), 1023u);
  EXPECT_EQ(std::string(vault_storage_last_error()).substr(0, 13), "read failed: ");
  EXPECT_EQ(vs_error_str(), vault_storage_last_error());
}

TEST(Errors, SuccessNeverResetsTheText) {
  char tmpl[] = "/tmp/vs-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  EXPECT_EQ(vault_storage_init(""), -1);
  EXPECT_STREQ(vault_storage_last_error(), "init: empty root");
  std::string root = std::string(tmpl) + "/r";
  EXPECT_EQ(vault_storage_init(root.c_str()), 0);
  EXPECT_EQ(vault_storage_init(root.c_str()), 0);
  EXPECT_STREQ(vault_storage_last_error(), "init: empty root");
  vault_storage_cleanup();
  vt_rm_rf(tmpl);
}

class Primitives : public VaultTest {};

TEST_F(Primitives, MkdirAcceptsExistingAndReportsMissingParent) {
  std::string d = base + "/d";
  EXPECT_EQ(vs_mkdir(s_root, d.c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat(d.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(vs_mkdir(s_root, d.c_str()), 0);
  vt_write(base + "/file", "x");
  EXPECT_EQ(vs_mkdir(s_root, (base + "/file").c_str()), 0);
  std::string deep = base + "/no/such";
  EXPECT_EQ(vs_mkdir(s_root, deep.c_str()), -1);
  EXPECT_EQ(std::string(vault_storage_last_error()),
            "mkdir failed: " + deep + " (" + strerror(ENOENT) + ")");
}

TEST_F(Primitives, AtomicWriteStoresExactBytesWithPrivateMode) {
  std::string t = base + "/t.json";
  std::string data("ab\0cd", 5);
  ASSERT_EQ(vs_atomic_write(s_root, t.c_str(), data.data(), data.size()), 0);
  EXPECT_EQ(vt_read(t), data);
  struct stat st;
  ASSERT_EQ(stat(t.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(vs_atomic_write(s_root, t.c_str(), "", 0), 0);
  EXPECT_EQ(vt_read(t), "");
  for (auto &n : vt_list(base)) EXPECT_EQ(n.find(".tmp."), std::string::npos) << n;
}

TEST_F(Primitives, AtomicWriteNeverReusesAnExistingTemporaryName) {
  std::string t = base + "/t.json";
  // Plant files under every temporary name this second could produce, one
  // of them a symlink to a file outside: it must not be followed or emptied.
  std::string victim = base + "/victim";
  vt_write(victim, "precious");
  long now = (long)time(nullptr);
  for (long s = now; s <= now + 2; s++)
    symlink(victim.c_str(), (t + ".tmp." + std::to_string((int)s)).c_str());
  ASSERT_EQ(vs_atomic_write(s_root, t.c_str(), "new", 3), 0);
  EXPECT_EQ(vt_read(t), "new");
  EXPECT_EQ(vt_read(victim), "precious");
}

TEST_F(Primitives, AtomicWriteIntoMissingDirectoryNamesTheTemporary) {
  std::string t = base + "/missing/t.json";
  EXPECT_EQ(vs_atomic_write(s_root, t.c_str(), "x", 1), -1);
  std::string msg = vault_storage_last_error();
  EXPECT_EQ(msg.rfind("open failed: " + t + ".tmp.", 0), 0u) << msg;
  EXPECT_NE(msg.find(strerror(ENOENT)), std::string::npos);
}

TEST_F(Primitives, FailedRenameLeavesTargetAndRemovesTemporary) {
  std::string t = base + "/dir-target";
  ASSERT_EQ(mkdir(t.c_str(), 0700), 0);
  vt_write(t + "/keep", "k");
  EXPECT_EQ(vs_atomic_write(s_root, t.c_str(), "x", 1), -1);
  std::string msg = vault_storage_last_error();
  EXPECT_EQ(msg.rfind("rename failed: " + t + ".tmp.", 0), 0u) << msg;
  EXPECT_NE(msg.find(" -> " + t + " (" + strerror(EISDIR) + ")"), std::string::npos) << msg;
  EXPECT_EQ(vt_read(t + "/keep"), "k");
  for (auto &n : vt_list(base)) EXPECT_EQ(n.find(".tmp."), std::string::npos) << n;
}

TEST_F(Primitives, ReadFileWholeEmptyMissingAndNonRegular) {
  std::string f = base + "/f";
  vt_write(f, std::string("ab\0cd", 5));
  char *buf = nullptr;
  uint64_t len = 0;
  ASSERT_EQ(vs_read_file(s_root, f.c_str(), &buf, &len), 0);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(std::string(buf, 6), std::string("ab\0cd\0", 6));
  free(buf);

  vt_write(f, "");
  buf = nullptr;
  ASSERT_EQ(vs_read_file(s_root, f.c_str(), &buf, &len), 0);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(buf[0], '\0');
  free(buf);

  char *untouched = reinterpret_cast<char *>(0x1);
  uint64_t ulen = 77;
  std::string missing = base + "/nope";
  EXPECT_EQ(vs_read_file(s_root, missing.c_str(), &untouched, &ulen), -1);
  EXPECT_EQ(untouched, reinterpret_cast<char *>(0x1));
  EXPECT_EQ(ulen, 77u);
  EXPECT_EQ(std::string(vault_storage_last_error()),
            "read failed: " + missing + " (" + strerror(ENOENT) + ")");

  // A directory and a FIFO are refused at once; the FIFO must not block.
  EXPECT_EQ(vs_read_file(s_root, base.c_str(), &buf, &len), -1);
  EXPECT_EQ(std::string(vault_storage_last_error()).rfind("read failed: " + base, 0), 0u);
  std::string fifo = base + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(vs_read_file(s_root, fifo.c_str(), &buf, &len), -1);
  EXPECT_EQ(std::string(vault_storage_last_error()).rfind("read failed: " + fifo, 0), 0u);
}

TEST_F(Primitives, NoReplaceMoveKeepsBothFiles) {
  std::string a = base + "/a", b = base + "/b";
  vt_write(a, "A");
  vt_write(b, "B");
  EXPECT_EQ(vs_rename_noreplace(s_root, a.c_str(), b.c_str(), base.c_str(), false), VS_MOVE_FAILED);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(vt_read(a), "A");
  EXPECT_EQ(vt_read(b), "B");
  unlink(b.c_str());
  EXPECT_EQ(vs_rename_noreplace(s_root, a.c_str(), b.c_str(), base.c_str(), false), VS_MOVED);
  EXPECT_FALSE(vt_exists(a));
  EXPECT_EQ(vt_read(b), "A");
  // A source someone else moved first is told apart from a failure.
  EXPECT_EQ(vs_rename_noreplace(s_root, a.c_str(), b.c_str(), base.c_str(), false), VS_MOVE_GONE);
  EXPECT_EQ(errno, ENOENT);
  vt_write(a, "A2");
  EXPECT_EQ(vs_rename_replace(a.c_str(), b.c_str()), 0);
  EXPECT_EQ(vt_read(b), "A2");
}

class Root : public VaultTest {};

TEST_F(Root, InitCreatesTreeAndDefaultConfigOnce) {
  EXPECT_EQ(vt_read(root + "/config.json"),
            "{\"title\":\"Personal Vault Server\",\"allow_registrations\":true}");
  EXPECT_EQ(vt_read(root + "/config.json").size(), 60u);
  struct stat st;
  ASSERT_EQ(stat((root + "/users").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  vt_write(root + "/config.json", "");
  EXPECT_EQ(vault_storage_init(root.c_str()), 0);
  EXPECT_EQ(vt_read(root + "/config.json"), "");
  // A link in its place is the operator's too: followed to a file it counts
  // as there; dangling, it is refused, never replaced by the default.
  std::string cfg = root + "/config.json", real = base + "/operator-config.json";
  unlink(cfg.c_str());
  ASSERT_EQ(symlink(real.c_str(), cfg.c_str()), 0);
  EXPECT_EQ(vault_storage_init(root.c_str()), -1);
  EXPECT_EQ(std::string(vault_storage_last_error()), "init: dangling link " + cfg);
  char target[256] = "";
  EXPECT_EQ(readlink(cfg.c_str(), target, sizeof target - 1), (ssize_t)real.size());
  vt_write(real, "{}");
  EXPECT_EQ(vault_storage_init(root.c_str()), 0);
  EXPECT_EQ(vt_read(real), "{}");
}

TEST_F(Root, RefusedRootKeepsThePreviousOne) {
  EXPECT_EQ(vault_storage_init(nullptr), -1);
  EXPECT_STREQ(vault_storage_last_error(), "init: empty root");
  ASSERT_NE(s_root, nullptr);
  EXPECT_EQ(std::string(s_root), root);
}

TEST_F(Root, MissingParentFailsButRootStaysSet) {
  std::string bad = base + "/no/parent";
  EXPECT_EQ(vault_storage_init(bad.c_str()), -1);
  EXPECT_EQ(std::string(vault_storage_last_error()),
            "mkdir failed: " + bad + " (" + strerror(ENOENT) + ")");
  ASSERT_NE(s_root, nullptr);
  EXPECT_EQ(std::string(s_root), bad);
}

TEST_F(Root, PlainFileAtUsersStillInitialises) {
  std::string r2 = base + "/r2";
  mkdir(r2.c_str(), 0700);
  vt_write(r2 + "/users", "x");
  EXPECT_EQ(vault_storage_init(r2.c_str()), 0);
}

TEST_F(Root, CleanupForgetsTheRootAndGuardsApply) {
  vault_storage_cleanup();
  vault_storage_cleanup();
  EXPECT_EQ(s_root, nullptr);
  EXPECT_EQ(vault_user_exists("a@b"), -1);
  EXPECT_STREQ(vault_storage_last_error(), "not initialized");
  EXPECT_EQ(vault_cipher_get("u", "c"), nullptr);
  EXPECT_STREQ(vault_storage_last_error(), "cipher_get: bad id");
  EXPECT_EQ(vault_storage_get_stats_json(), nullptr);
  EXPECT_STREQ(vault_storage_last_error(), "stats: not initialized");
}

TEST_F(Root, DeepRootIsRefusedNeverCut) {
  // A root whose paths cannot fit their buffers must never be written under
  // a shortened path.
  std::string deep = base + "/" + std::string(4290, 'd');
  EXPECT_EQ(vault_storage_init(deep.c_str()), -1);
  EXPECT_STREQ(vault_storage_last_error(), "init: path too long");
  VsAccountPaths acct;
  EXPECT_EQ(vs_account_paths(acct, s_root, "abc"), -1);
  EXPECT_STREQ(acct.dir, "");
}

TEST(Paths, BuildersFollowTheTemplates) {
  VsAccountPaths acct;
  char buf[VS_FILE_PATH];
  ASSERT_EQ(vs_account_paths(acct, "/r", "u1"), 0);
  EXPECT_STREQ(acct.dir, "/r/users/u1");
  EXPECT_STREQ(acct.profile, "/r/users/u1/profile.json");
  EXPECT_STREQ(acct.folders, "/r/users/u1/folders.json");
  EXPECT_STREQ(acct.ciphers, "/r/users/u1/ciphers");
  EXPECT_STREQ(acct.trash, "/r/users/u1/trash");
  ASSERT_EQ(vs_cipher_path(buf, sizeof buf, acct, "c1", 0), 0);
  EXPECT_STREQ(buf, "/r/users/u1/ciphers/c1.json");
  ASSERT_EQ(vs_cipher_path(buf, sizeof buf, acct, "c1", 1), 0);
  EXPECT_STREQ(buf, "/r/users/u1/trash/c1.json");
  char small[12];
  EXPECT_EQ(vs_path(small, sizeof small, "%s/%s", "abcdef", "ghijk"), -1);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(vs_path(small, sizeof small, "%s/%s", "abcdef", "ghij"), 0);
}

TEST(Identifiers, IdSafe) {
  EXPECT_EQ(vs_id_safe("a"), 1);
  EXPECT_EQ(vs_id_safe("aZ09-_x"), 1);
  EXPECT_EQ(vs_id_safe(std::string(64, 'a').c_str()), 1);
  EXPECT_EQ(vs_id_safe(std::string(65, 'a').c_str()), 0);
  for (const char *bad : {"", "a.b", "a/b", "a b", "..", "a%2e", "\xc3\xa9"})
    EXPECT_EQ(vs_id_safe(bad), 0) << bad;
  EXPECT_EQ(vs_id_safe(nullptr), 0);
}

TEST(Identifiers, UuidFormatAndUniqueness) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; i++) {
    char id[VS_ID_BUF];
    ASSERT_EQ(vs_uuid_generate(id), 0);
    std::string s(id);
    ASSERT_EQ(s.size(), 36u);
    for (int p : {8, 13, 18, 23}) EXPECT_EQ(s[p], '-');
    EXPECT_EQ(s[14], '4');
    EXPECT_NE(std::string("89ab").find(s[19]), std::string::npos);
    for (size_t p = 0; p < s.size(); p++)
      if (s[p] != '-') {
        EXPECT_TRUE(isdigit((unsigned char)s[p]) || (s[p] >= 'a' && s[p] <= 'f'));
      }
    EXPECT_EQ(vs_id_safe(id), 1);
    EXPECT_TRUE(seen.insert(s).second);
  }
}

TEST(Identifiers, EmailEqualFoldsAsciiOnly) {
  EXPECT_EQ(vs_email_equal("Alice@Example.COM", "alice@example.com"), 1);
  EXPECT_EQ(vs_email_equal("alice@example.com ", "alice@example.com"), 0);
  EXPECT_EQ(vs_email_equal("\xc3\xa9@x", "\xc3\x89@x"), 0);
  EXPECT_EQ(vs_email_equal("a", "ab"), 0);
}

TEST(Identifiers, ListingNameRules) {
  for (const char *no : {"c3.JSON", ".hidden.json", "a.tmp.1.json", "x.json.tmp.123", ".json", "notes.txt"})
    EXPECT_EQ(vs_item_file_name(no), 0) << no;
  EXPECT_EQ(vs_item_file_name("ab.json"), 1);
  EXPECT_EQ(vs_item_file_name("a.json"), 1);
  EXPECT_EQ(vs_trash_file_name("a.tmp.1.json"), 1);
  EXPECT_EQ(vs_trash_file_name(".a.json"), 0);
  EXPECT_EQ(vs_trash_file_name(".json"), 0);
}

TEST(Identifiers, ChooseIdTakesFirstUsableShortId) {
  auto pick = [](const char *json) {
    yyjson_doc *d = vs_parse(json, strlen(json));
    char id[VS_ID_BUF];
    EXPECT_EQ(vs_choose_id(yyjson_doc_get_root(d), id), 0);
    yyjson_doc_free(d);
    return std::string(id);
  };
  EXPECT_EQ(pick("{\"id\":\"abc\"}"), "abc");
  EXPECT_EQ(pick("{\"x\":1,\"id\":\"a\",\"id\":\"b\"}"), "a");
  EXPECT_EQ(pick(("{\"id\":\"" + std::string(36, 'k') + "\"}").c_str()), std::string(36, 'k'));
  EXPECT_EQ(pick("{\"id\":\"a\\u0000b\"}"), "a");
  for (std::string j : std::vector<std::string>{"{\"id\":5,\"id\":\"b\"}", "{\"id\":\"\"}", "{\"id\":\"a.b\"}", "[1]", "{}",
                        "{\"id\":\"" + std::string(37, 'k') + "\"}"}) {
    std::string got = pick(j.c_str());
    EXPECT_EQ(got.size(), 36u) << j;
    EXPECT_EQ(got[14], '4') << j;
  }
}

TEST(TempNames, EveryNameTheLibraryMakesIsClassified) {
  char buf[VS_TMP_PATH];
  size_t target = 0;
  ASSERT_EQ(vs_temp_write_name(buf, sizeof buf, "c1.json", 1700000000), 0);
  EXPECT_STREQ(buf, "c1.json.tmp.1700000000");
  EXPECT_EQ(vs_temp_kind(buf, &target), VS_TEMP_WRITE);
  EXPECT_EQ(target, 7u);
  // After 2038 the time wraps to a negative number.
  ASSERT_EQ(vs_temp_write_name(buf, sizeof buf, "profile.json", -5), 0);
  EXPECT_EQ(vs_temp_kind(buf, nullptr), VS_TEMP_WRITE);

  ASSERT_EQ(vs_temp_retry_name(buf, sizeof buf, "folders.json", -7), 0);
  EXPECT_EQ(std::string(buf).rfind("folders.json.tmp.-7.", 0), 0u) << buf;
  EXPECT_EQ(vs_temp_kind(buf, &target), VS_TEMP_WRITE_RETRY);
  EXPECT_EQ(target, 12u);

  char second[VS_TMP_PATH];
  ASSERT_EQ(vs_temp_parked_name(buf, sizeof buf, "c1.json"), 0);
  ASSERT_EQ(vs_temp_parked_name(second, sizeof second, "c1.json"), 0);
  EXPECT_STRNE(buf, second);  // never the same name twice in one process
  EXPECT_EQ(vs_temp_kind(buf, &target), VS_TEMP_PARKED) << buf;
  EXPECT_EQ(target, 7u);

  // None of them is ever listed as a document or an account.
  for (const char *n : {(const char *)buf, (const char *)second, "c1.json.tmp.17", "x.json.tmp.1.2.3"}) {
    EXPECT_EQ(vs_item_file_name(n), 0) << n;
    EXPECT_EQ(vs_scan_candidate(n), 0) << n;
    EXPECT_EQ(vs_temp_marked(n), 1) << n;
  }
  char tiny[8];
  EXPECT_EQ(vs_temp_parked_name(tiny, sizeof tiny, "c1.json"), -1);
  EXPECT_STREQ(tiny, "");
}

TEST(TempNames, OtherNamesAreNotTemporaries) {
  for (const char *n : {"c1.json", "c1.json.tmp.", ".tmp.5", "a.tmp.x", "a.tmp.12x", "a.tmp.1..2",
                        "a.tmp.1.2.3.4", "a.tmp.-5.1", "a.tmp.1.-2", "a.tmp.--1", "a.tmp.-"}) {
    size_t target = 99;
    EXPECT_EQ(vs_temp_kind(n, &target), VS_TEMP_NONE) << n;
    EXPECT_EQ(target, 99u) << n;
  }
  // The suffix is the last mark followed only by digit groups, even when
  // the name it belongs to carries the mark itself.
  size_t target = 0;
  EXPECT_EQ(vs_temp_kind("a.tmp.x.json.tmp.7", &target), VS_TEMP_WRITE);
  EXPECT_EQ(target, 12u);
}

// The primitives take the data root as an argument: code with no library
// root set (the operator tool's own copy) gets the same link safety.
TEST(ExplicitRoot, LinksBelowTheGivenRootAreRefusedWithoutALibraryRoot) {
  vault_storage_cleanup();
  std::string base = vts_scratch("root-arg");
  ASSERT_FALSE(base.empty());
  std::string r = base + "/r", outside = base + "/outside";
  ASSERT_TRUE(vts_mkdir(r) && vts_mkdir(outside) && vts_mkdir(outside + "/sub"));
  vt_write(outside + "/f.json", "secret");
  ASSERT_EQ(symlink(outside.c_str(), (r + "/users").c_str()), 0);
  ASSERT_EQ(s_root, nullptr);

  std::string via = r + "/users/f.json";
  char *buf = nullptr;
  uint64_t len = 0;
  EXPECT_EQ(vs_read_file(r.c_str(), via.c_str(), &buf, &len), -1);
  EXPECT_EQ(errno, ELOOP);
  VsList list;
  EXPECT_EQ(vs_list_open(list, r.c_str(), (r + "/users/sub").c_str()), -1);
  EXPECT_EQ(vs_atomic_write(r.c_str(), (r + "/users/new.json").c_str(), "x", 1), -1);
  EXPECT_FALSE(vt_exists(outside + "/new.json"));
  EXPECT_EQ(vs_mkdir(r.c_str(), (r + "/users/made").c_str()), -1);
  EXPECT_FALSE(vt_exists(outside + "/made"));

  // Without a root only the final name is guarded: the argument matters.
  ASSERT_EQ(vs_read_file(nullptr, via.c_str(), &buf, &len), 0);
  EXPECT_STREQ(buf, "secret");
  free(buf);
  vt_rm_rf(base);
}

TEST_F(Primitives, NoDescriptorOutlivesAPrimitive) {
  std::string t = base + "/t.json", dir = base + "/d";
  ASSERT_TRUE(vts_mkdir(dir));
  vt_write(dir + "/keep", "k");
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);
  int before = vts_open_fds();
  char *buf = nullptr;
  uint64_t len = 0;
  for (int round = 0; round < 3; round++) {
    EXPECT_EQ(vs_atomic_write(s_root, t.c_str(), "x", 1), 0);
    EXPECT_EQ(vs_atomic_write(s_root, (base + "/missing/t.json").c_str(), "x", 1), -1);
    EXPECT_EQ(vs_atomic_write(s_root, dir.c_str(), "x", 1), -1);  // rename onto a directory
    ASSERT_EQ(vs_read_file(s_root, t.c_str(), &buf, &len), 0);
    free(buf);
    EXPECT_EQ(vs_read_file(s_root, dir.c_str(), &buf, &len), -1);
    EXPECT_EQ(vs_read_file(s_root, (base + "/fifo").c_str(), &buf, &len), -1);
    EXPECT_EQ(vs_read_file(s_root, (base + "/nope").c_str(), &buf, &len), -1);
    {
      VsList list;
      ASSERT_EQ(vs_list_open(list, s_root, base.c_str()), 0);
      while (vs_list_next(list)) {
      }
    }
    EXPECT_EQ(vs_rename_noreplace(s_root, t.c_str(), (dir + "/keep").c_str(), base.c_str(), false),
              VS_MOVE_FAILED);
    EXPECT_EQ(vs_rename_noreplace(s_root, t.c_str(), (dir + "/moved").c_str(), base.c_str(), false),
              VS_MOVED);
    unlink((dir + "/moved").c_str());
  }
  EXPECT_EQ(vts_open_fds(), before);
}
