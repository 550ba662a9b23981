// Hostile input: identifiers that try to leave their directory, hide a NUL,
// use percent-escapes or look-alike letters, or are too long, passed to
// every export that takes one and planted inside submitted documents; and
// symlinks planted at a temporary name, in place of `ciphers` or `trash`,
// or in place of a document. Nothing may be read or written outside the
// data root and no link may be followed where the library creates files.
// Everything the library creates carries 0700 (directories) or 0600 (files).
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include "store_model.h"

namespace {

const std::vector<std::string> &hostile_ids() {
  static const std::vector<std::string> ids = {
      "", ".", "..", "../ub", "../../outside", "a/b", "/etc/passwd", "ua/../ub", "%2e%2e", "%2e%2e%2fub",
      "a%00b", "c\xd0\xb0", "\xef\xbd\x83" "1", "ua\xe2\x80\x8b", "a b", "a\tb", "a\nb", "a\\b", "a:b",
      "-\xc2\xa0", ".hidden", "c1.json", "c1\x7f", std::string(65, 'a'), std::string(300, 'b'), "\xff\xfe"};
  return ids;
}

class Hostile : public ::testing::Test {
 protected:
  std::string scratch, root, outside, victim;
  void SetUp() override {
    scratch = vts_scratch("hostile", true);
    ASSERT_FALSE(scratch.empty());
    root = scratch + "/root";
    outside = scratch + "/outside";
    victim = outside + "/victim.json";
    mkdir(outside.c_str(), 0700);
    vts_write(victim, "{\"id\":\"victim\",\"secret\":\"outside\"}");
    vts_write(outside + "/c1.json", "{\"id\":\"c1\",\"secret\":\"outside\"}");
    ASSERT_EQ(vault_storage_init(root.c_str()), 0);
    for (const char *uid : {"ua", "ub"}) {
      std::string profile = std::string("{\"email\":\"") + uid + "@x.test\"}";
      ASSERT_FALSE(vts_make_account(root, uid, profile.c_str(), "[]").empty());
    }
    vts_write(root + "/users/ua/ciphers/c1.json", "{\"id\":\"c1\"}");
    vts_write(root + "/users/ua/trash/c2.json", "{\"id\":\"c2\"}");
  }
  void TearDown() override {
    vault_storage_cleanup();
    vts_remove_tree(scratch);
  }
  std::string outside_state() { return vr_tree_diff({}, vts_snapshot(outside)); }
};

}  // namespace

// Every identifier argument of every export, with each hostile value: the
// guard message, and no change anywhere.
TEST_F(Hostile, IdentifierArgumentsAreRefused) {
  VtsTree before = vts_snapshot(scratch);
  long tried = 0;
  struct Case {
    const char *msg;
    bool (*call)(const char *bad);
  };
  static const Case cases[] = {
      {"profile: bad user id", [](const char *b) { return vault_user_get_profile_json(b) == nullptr; }},
      {"cipher_save: bad user id", [](const char *b) { char o[VAULT_ID_SIZE]; return vault_cipher_save(b, "{\"id\":\"x\"}", o) == -1; }},
      {"cipher_get: bad id", [](const char *b) { return vault_cipher_get(b, "c1") == nullptr; }},
      {"cipher_get: bad id", [](const char *b) { return vault_cipher_get("ua", b) == nullptr; }},
      {"cipher_delete: bad id", [](const char *b) { return vault_cipher_delete(b, "c1", 0) == -1; }},
      {"cipher_delete: bad id", [](const char *b) { return vault_cipher_delete("ua", b, 0) == -1; }},
      {"cipher_delete: bad id", [](const char *b) { return vault_cipher_delete("ua", b, 1) == -1; }},
      {"restore: bad id", [](const char *b) { return vault_cipher_restore_from_trash(b, "c2") == -1; }},
      {"restore: bad id", [](const char *b) { return vault_cipher_restore_from_trash("ua", b) == -1; }},
      {"folders: bad user id", [](const char *b) { return vault_folders_get_json(b) == nullptr; }},
      {"folder_save: bad user id", [](const char *b) { char o[VAULT_ID_SIZE]; return vault_folder_save(b, "{\"name\":\"x\"}", o) == -1; }},
      {"folder_delete: bad id", [](const char *b) { return vault_folder_delete(b, "f1") == -1; }},
      {"folder_delete: bad id", [](const char *b) { return vault_folder_delete("ua", b) == -1; }},
      {"sync: bad user id", [](const char *b) { return vault_sync_generate_json(b) == nullptr; }},
  };
  for (const std::string &bad : hostile_ids()) {
    for (const Case &c : cases) {
      tried++;
      EXPECT_TRUE(c.call(bad.c_str())) << c.msg << ": accepted \"" << bad << "\"";
      EXPECT_EQ(std::string(vault_storage_last_error()), c.msg) << "\"" << bad << "\"";
    }
  }
  // NULL identifiers too.
  EXPECT_EQ(vault_cipher_get(nullptr, nullptr), nullptr);
  EXPECT_EQ(vault_sync_generate_json(nullptr), nullptr);
  EXPECT_EQ(vr_tree_diff(before, vts_snapshot(scratch)), "");
  printf("[figures] hostile: identifier-arguments=%ld\n", tried);
}

// Hostile "id" members inside documents: the item lands under a fresh UUID
// (or the part before an escaped NUL) inside the account, never elsewhere.
TEST_F(Hostile, IdentifierMembersStayInside) {
  long tried = 0;
  for (const std::string &bad : hostile_ids()) {
    if (bad.find('\0') != std::string::npos) continue;
    std::string json_id = vr_json_string(bad);
    if (json_id.empty()) json_id = "\"x\\u00ff\"";  // invalid UTF-8 cannot be written as a JSON string
    for (int folder = 0; folder < 2; folder++) {
      char out[VAULT_ID_SIZE] = "";
      std::string d = "{\"id\":" + json_id + ",\"name\":\"n\"}";
      int rc = folder ? vault_folder_save("ua", d.c_str(), out) : vault_cipher_save("ua", d.c_str(), out);
      tried++;
      ASSERT_EQ(rc, 0) << bad << ": " << vault_storage_last_error();
      bool usable = !bad.empty() && bad.size() <= 36 && bad.find_first_not_of(
          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") == std::string::npos;
      if (usable) {
        EXPECT_EQ(std::string(out), bad);
      } else {
        EXPECT_TRUE(vr_is_uuid(out)) << bad << " gave " << out;
      }
      if (!folder) {
        EXPECT_TRUE(vts_exists(root + "/users/ua/ciphers/" + out + ".json"));
      }
    }
  }
  // An escaped NUL ends the identifier.
  char out[VAULT_ID_SIZE] = "";
  ASSERT_EQ(vault_cipher_save("ua", "{\"id\":\"ab\\u0000..\\/..\\/x\"}", out), 0);
  EXPECT_STREQ(out, "ab");
  tried++;
  EXPECT_EQ(outside_state(), vr_tree_diff({}, vts_snapshot(outside)));
  VtsTree t = vts_snapshot(root);
  for (auto &kv : t) EXPECT_EQ(kv.first.find(".."), std::string::npos) << kv.first;
  EXPECT_EQ(vts_slurp(victim), "{\"id\":\"victim\",\"secret\":\"outside\"}");
  printf("[figures] hostile: identifier-members=%ld\n", tried);
}

// A symlink at every temporary name the next seconds could give: the save
// must not write through it.
TEST_F(Hostile, SymlinkAtTemporaryNameIsNotFollowed) {
  long now = (long)time(nullptr);
  std::string c = root + "/users/ua/ciphers/c5.json", f = root + "/users/ua/folders.json";
  for (long s = now; s <= now + 3; s++) {
    symlink(victim.c_str(), (c + ".tmp." + std::to_string(s)).c_str());
    symlink(victim.c_str(), (f + ".tmp." + std::to_string(s)).c_str());
  }
  ASSERT_EQ(vault_cipher_save("ua", "{\"id\":\"c5\"}", nullptr), 0) << vault_storage_last_error();
  ASSERT_EQ(vault_folder_save("ua", "{\"id\":\"f5\"}", nullptr), 0) << vault_storage_last_error();
  EXPECT_EQ(vts_slurp(c), "{\"id\":\"c5\"}");
  EXPECT_EQ(vts_slurp(victim), "{\"id\":\"victim\",\"secret\":\"outside\"}");
  struct stat st;
  ASSERT_EQ(lstat(c.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

// `ciphers` or `trash` replaced by a link to a directory outside: no
// cipher may be written, moved or read there.
TEST_F(Hostile, LinkedItemDirectoriesAreNotFollowed) {
  std::string a = root + "/users/ua";
  vts_remove_tree(a + "/ciphers");
  ASSERT_EQ(symlink(outside.c_str(), (a + "/ciphers").c_str()), 0);
  VtsTree out_before = vts_snapshot(outside);
  const std::string eloop = strerror(ELOOP);
  EXPECT_EQ(vault_cipher_save("ua", "{\"id\":\"planted\"}", nullptr), -1);
  EXPECT_TRUE(std::regex_match(vr_last_error(), std::regex("open failed: .*/ciphers/planted\\.json\\.tmp\\.-?[0-9]+ \\(" + eloop + "\\)")))
      << vr_last_error();
  EXPECT_FALSE(vts_exists(outside + "/planted.json")) << "a cipher was written outside the data root";
  const char *got = vault_cipher_get("ua", "c1");
  EXPECT_TRUE(!got || std::string(got).find("outside") == std::string::npos) << "read outside: " << got;
  // Not an empty "ciphers" either: a client would drop every item.
  EXPECT_EQ(vault_sync_generate_json("ua"), nullptr);
  EXPECT_EQ(vr_last_error(), "sync: cannot read " + a + "/ciphers (" + eloop + ")");
  EXPECT_EQ(vault_cipher_delete("ua", "c1", 0), -1);
  EXPECT_EQ(vr_last_error(), "cipher_delete: rename " + eloop);
  EXPECT_EQ(vault_cipher_delete("ua", "victim", 1), -1);
  EXPECT_EQ(vr_last_error(), "cipher_delete: remove " + eloop);
  EXPECT_EQ(vr_tree_diff(out_before, vts_snapshot(outside)), "");

  // The trash as a link: a delete must not move the cipher out of the root.
  std::string b = root + "/users/ub";
  vts_write(b + "/ciphers/k1.json", "{\"id\":\"k1\"}");
  vts_remove_tree(b + "/trash");
  ASSERT_EQ(symlink(outside.c_str(), (b + "/trash").c_str()), 0);
  EXPECT_EQ(vault_cipher_delete("ub", "k1", 0), -1);
  EXPECT_EQ(vr_last_error(), "cipher_delete: rename " + eloop);
  EXPECT_FALSE(vts_exists(outside + "/k1.json")) << "a cipher was moved outside the data root";
  EXPECT_EQ(vault_cipher_restore_from_trash("ub", "victim"), -1);
  EXPECT_EQ(vr_last_error(), "restore: rename " + eloop);
  EXPECT_TRUE(vts_exists(victim));
  EXPECT_FALSE(vts_exists(b + "/ciphers/victim.json")) << "a file from outside was moved in";
}

// A document replaced by a link to a file outside: its content must not be
// handed out.
TEST_F(Hostile, LinkedDocumentsAreNotRead) {
  std::string a = root + "/users/ua";
  ASSERT_EQ(symlink(victim.c_str(), (a + "/ciphers/ln.json").c_str()), 0);
  const char *got = vault_cipher_get("ua", "ln");
  EXPECT_TRUE(!got || std::string(got).find("outside") == std::string::npos) << "cipher read through a link";
  const char *sync = vault_sync_generate_json("ua");
  EXPECT_TRUE(!sync || std::string(sync).find("outside") == std::string::npos) << "sync read through a link";
  unlink((a + "/folders.json").c_str());
  ASSERT_EQ(symlink(victim.c_str(), (a + "/folders.json").c_str()), 0);
  const char *folders = vault_folders_get_json("ua");
  EXPECT_TRUE(!folders || std::string(folders).find("outside") == std::string::npos) << "folder list read through a link";
  unlink((a + "/profile.json").c_str());
  ASSERT_EQ(symlink(victim.c_str(), (a + "/profile.json").c_str()), 0);
  const char *profile = vault_user_get_profile_json("ua");
  EXPECT_TRUE(!profile || std::string(profile).find("outside") == std::string::npos) << "profile read through a link";
  // Replacing or removing the linked documents touches the links only.
  vault_cipher_save("ua", "{\"id\":\"ln\",\"new\":1}", nullptr);
  vault_folder_save("ua", "{\"id\":\"f1\"}", nullptr);
  EXPECT_EQ(vts_slurp(victim), "{\"id\":\"victim\",\"secret\":\"outside\"}");
}

// Everything the library creates is private to the service's user, whatever
// the process's umask.
TEST_F(Hostile, CreatedFilesArePrivate) {
  mode_t old = umask(0);
  std::string fresh = scratch + "/fresh";
  ASSERT_EQ(vault_storage_init(fresh.c_str()), 0);
  char uid[VAULT_ID_SIZE];
  ASSERT_EQ(vault_user_create("perm@x.test", "h", 1, "k", uid), 0);
  char id[VAULT_ID_SIZE];
  ASSERT_EQ(vault_cipher_save(uid, "{\"id\":\"p1\"}", id), 0);
  ASSERT_EQ(vault_cipher_save(uid, "{\"id\":\"p2\"}", id), 0);
  ASSERT_EQ(vault_cipher_delete(uid, "p1", 0), 0);
  ASSERT_EQ(vault_folder_save(uid, "{\"name\":\"x\"}", id), 0);
  umask(old);
  VtsTree t = vts_snapshot(fresh);
  EXPECT_GE(t.size(), 9u);
  for (auto &kv : t) {
    char kind = kv.second[0];
    std::string mode = kv.second.substr(2, kv.second.find(' ', 2) == std::string::npos ? std::string::npos : kv.second.find(' ', 2) - 2);
    if (kv.first == ".") continue;  // the root itself: made by init too
    EXPECT_TRUE((kind == 'd' && mode == "700") || (kind == 'f' && mode == "600")) << kv.first << ": " << kv.second.substr(0, 12);
  }
  struct stat st;
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// The users directory, or a whole account, as a link to a directory
// outside: no account is made and nothing is read there.
TEST_F(Hostile, LinkedUsersDirectoryIsNotFollowed) {
  std::string users = root + "/users";
  std::string elsewhere = scratch + "/elsewhere";
  ASSERT_EQ(rename(users.c_str(), elsewhere.c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), users.c_str()), 0);
  VtsTree before = vts_snapshot(outside);
  char uid[VAULT_ID_SIZE] = "";
  EXPECT_EQ(vault_user_create("linked@x.test", "h", 1, "k", uid), -1);
  EXPECT_EQ(vr_tree_diff(before, vts_snapshot(outside)), "");
  ASSERT_EQ(unlink(users.c_str()), 0);
  ASSERT_EQ(rename(elsewhere.c_str(), users.c_str()), 0);
  // An account directory that is a link.
  std::string acct = outside + "/acct";
  mkdir(acct.c_str(), 0700);
  mkdir((acct + "/ciphers").c_str(), 0700);
  vts_write(acct + "/profile.json", "{\"email\":\"out@x.test\",\"secret\":\"outside\"}");
  ASSERT_EQ(symlink(acct.c_str(), (users + "/ul").c_str()), 0);
  before = vts_snapshot(outside);
  EXPECT_EQ(vault_user_get_profile_json("ul"), nullptr);
  EXPECT_EQ(vault_sync_generate_json("ul"), nullptr);
  EXPECT_EQ(vault_cipher_save("ul", "{\"id\":\"z\"}", nullptr), -1);
  EXPECT_NE(vault_user_exists("out@x.test"), 1);
  EXPECT_EQ(vr_tree_diff(before, vts_snapshot(outside)), "");
}

// A relative data root works like an absolute one (the directory syncs of
// a root without a "/" use the working directory).
TEST_F(Hostile, RelativeRootStaysWhereItIs) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(scratch.c_str()), 0);
  EXPECT_EQ(vault_storage_init("rel"), 0) << vault_storage_last_error();
  char uid[VAULT_ID_SIZE];
  EXPECT_EQ(vault_user_create("rel@x.test", "h", 1, "k", uid), 0) << vault_storage_last_error();
  EXPECT_EQ(vault_cipher_save(uid, "{\"id\":\"r1\"}", nullptr), 0);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(vts_exists(scratch + "/rel/users/" + uid + "/ciphers/r1.json"));
}
