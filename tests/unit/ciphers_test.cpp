// Cipher store and trash: identifier choice, byte-exact storage, strict
// parsing, the read limit, and every cell of the live/trash state table.
#include <errno.h>
#include <string.h>

#include "test_util.h"

namespace {

bool vt_is_uuid(const std::string &s) {
  if (s.size() != 36 || s[14] != '4' || !strchr("89ab", s[19])) return false;
  for (size_t i = 0; i < s.size(); i++) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !strchr("0123456789abcdef", s[i])) return false;
  }
  return true;
}

class Ciphers : public VaultTest {
 protected:
  std::string dir;
  void SetUp() override {
    VaultTest::SetUp();
    dir = make_account("u1");
  }
  std::string live(const std::string &id) const { return dir + "/ciphers/" + id + ".json"; }
  std::string trash(const std::string &id) const { return dir + "/trash/" + id + ".json"; }
  std::string err() const { return vault_storage_last_error(); }
};

TEST_F(Ciphers, SaveStoresTheCallersBytesUnderTheFirstId) {
  const char doc[] = "{ \"id\" : \"abc\",\n  \"z\":[1, 2.50],\"a\":\"\\u00e9\" }  \n";
  char id[VAULT_ID_SIZE] = "untouched";
  ASSERT_EQ(vault_cipher_save("u1", doc, id), 0) << err();
  EXPECT_STREQ(id, "abc");
  EXPECT_EQ(vt_read(live("abc")), doc);

  // The first "id" alone decides, usable or not.
  ASSERT_EQ(vault_cipher_save("u1", "{\"id\":\"first\",\"id\":\"second\"}", id), 0);
  EXPECT_STREQ(id, "first");
  ASSERT_EQ(vault_cipher_save("u1", "{\"id\":7,\"id\":\"second\"}", id), 0);
  EXPECT_TRUE(vt_is_uuid(id)) << id;
  EXPECT_FALSE(vt_exists(live("second")));

  std::string id36(36, 'k'), id1 = "Q";
  ASSERT_EQ(vault_cipher_save("u1", ("{\"id\":\"" + id36 + "\"}").c_str(), id), 0);
  EXPECT_EQ(id, id36);
  ASSERT_EQ(vault_cipher_save("u1", "{\"id\":\"Q\"}", nullptr), 0);  // no out-id wanted
  EXPECT_EQ(vt_read(live(id1)), "{\"id\":\"Q\"}");
}

TEST_F(Ciphers, UnusableIdsAndNonObjectRootsGetAFreshUuid) {
  const std::vector<std::string> docs = {
      "{}", "{\"name\":\"x\"}", "{\"id\":12}", "{\"id\":null}", "{\"id\":\"\"}",
      "{\"id\":\"a.b\"}", "{\"id\":\"a/b\"}", "{\"id\":\"a b\"}",
      "{\"id\":\"" + std::string(65, 'a') + "\"}",
      // 37 to 64 bytes pass the identifier test but do not fit an id buffer:
      // never shortened, a fresh UUID instead.
      "{\"id\":\"" + std::string(37, 'b') + "\"}", "{\"id\":\"" + std::string(64, 'c') + "\"}",
      "[{\"id\":\"arr\"}]", "\"str\"", "42", "true", "false", "null"};
  for (const std::string &doc : docs) {
    char id[VAULT_ID_SIZE] = "";
    ASSERT_EQ(vault_cipher_save("u1", doc.c_str(), id), 0) << doc;
    EXPECT_TRUE(vt_is_uuid(id)) << doc << " -> " << id;
    EXPECT_EQ(vt_read(live(id)), doc);  // the unusable id stays in the text
  }
  EXPECT_EQ(vt_list(dir + "/ciphers").size(), docs.size());
}

TEST_F(Ciphers, SaveRefusesWhatIsNotStrictJson) {
  for (const char *doc : {"{\"id\":\"a\",}", "{\"id\":\"a\"} // c", "{} {}", "\xEF\xBB\xBF{}", "{",
                          "[NaN]", "{'id':'a'}", "[01]", "\"\xff\""}) {
    EXPECT_EQ(vault_cipher_save("u1", doc, nullptr), -1) << doc;
    EXPECT_EQ(err(), "cipher_save: invalid json") << doc;
  }
  EXPECT_EQ(vault_cipher_save("u1", "", nullptr), -1);
  EXPECT_EQ(err(), "cipher_save: empty json");
  EXPECT_EQ(vault_cipher_save("u1", nullptr, nullptr), -1);
  EXPECT_EQ(err(), "cipher_save: empty json");
  EXPECT_TRUE(vt_list(dir + "/ciphers").empty());
}

TEST_F(Ciphers, GuardsAndMissingAccount) {
  char id[VAULT_ID_SIZE] = "untouched";
  for (const char *uid : {(const char *)nullptr, "", "../u1", "u 1"}) {
    EXPECT_EQ(vault_cipher_save(uid, "{}", id), -1);
    EXPECT_EQ(err(), "cipher_save: bad user id");
    EXPECT_EQ(vault_cipher_get(uid, "a"), nullptr);
    EXPECT_EQ(err(), "cipher_get: bad id");
    EXPECT_EQ(vault_cipher_delete(uid, "a", 0), -1);
    EXPECT_EQ(err(), "cipher_delete: bad id");
    EXPECT_EQ(vault_cipher_restore_from_trash(uid, "a"), -1);
    EXPECT_EQ(err(), "restore: bad id");
  }
  EXPECT_EQ(vault_cipher_get("u1", "a.b"), nullptr);
  EXPECT_EQ(vault_cipher_delete("u1", nullptr, 1), -1);
  EXPECT_EQ(vault_cipher_restore_from_trash("u1", "a/b"), -1);
  EXPECT_EQ(err(), "restore: bad id");

  // A well-formed user id without a directory: the write's own message,
  // nothing created, the out-id buffer untouched.
  EXPECT_EQ(vault_cipher_save("ghost", "{\"id\":\"a\"}", id), -1);
  EXPECT_EQ(err().rfind("open failed: " + user_dir("ghost") + "/ciphers/a.json.tmp.", 0), 0u) << err();
  EXPECT_STREQ(id, "untouched");
  EXPECT_FALSE(vt_exists(user_dir("ghost")));

  vault_storage_cleanup();
  EXPECT_EQ(vault_cipher_save("u1", "", nullptr), -1);
  EXPECT_EQ(err(), "cipher_save: bad user id");
  EXPECT_EQ(vault_cipher_delete("u1", "a", 0), -1);
  EXPECT_EQ(err(), "cipher_delete: bad id");
}

TEST_F(Ciphers, PathsThatDoNotFitAreRefused) {
  // The root stays set although its directories cannot be made.
  std::string long_root = base + "/" + std::string(4250 - base.size(), 'r');
  vault_storage_init(long_root.c_str());
  std::string uid(64, 'u');
  EXPECT_EQ(vault_cipher_save(uid.c_str(), "{}", nullptr), -1);
  EXPECT_EQ(err(), "cipher_save: path too long");
  EXPECT_EQ(vault_cipher_get(uid.c_str(), "a"), nullptr);
  EXPECT_EQ(err(), "cipher_get: path too long");
  EXPECT_EQ(vault_cipher_delete(uid.c_str(), "a", 1), -1);
  EXPECT_EQ(err(), "cipher_delete: path too long");
  EXPECT_EQ(vault_cipher_restore_from_trash(uid.c_str(), "a"), -1);
  EXPECT_EQ(err(), "restore: path too long");
}

TEST_F(Ciphers, GetReturnsTheStoredTextWithinTheLimit) {
  std::string fits = "\"" + std::string(65532, 'a') + "\"";  // 65534 bytes
  std::string over = "\"" + std::string(65533, 'b') + "\"";  // 65535 bytes
  ASSERT_EQ(vault_cipher_save("u1", fits.c_str(), nullptr), 0);
  std::string fits_id = vt_list(dir + "/ciphers")[0];
  fits_id.resize(fits_id.size() - 5);
  const char *text = vault_cipher_get("u1", fits_id.c_str());
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text, fits);

  vt_write(live("big"), over);
  EXPECT_EQ(vault_cipher_get("u1", "big"), nullptr);
  EXPECT_EQ(err(), "cipher_get: too large");
  EXPECT_STREQ(text, "");  // the earlier result is gone, also after a failure

  vt_write(live("nul"), std::string("{}\0junk", 7));
  ASSERT_STREQ(vault_cipher_get("u1", "nul"), "{}");
  EXPECT_EQ(vault_cipher_get("u1", "missing"), nullptr);
  EXPECT_EQ(err(), "cipher_get: not found");
  EXPECT_STREQ(text, "");
}

// Every cell of the live/trash table: the result, the message and the
// files each operation leaves, starting from each of the four states.
enum VtState { ABSENT, LIVE, TRASHED, BOTH };
enum VtOp { SAVE, DELETE, DELETE_PERMANENT, RESTORE };

struct VtCell {
  VtState from;
  VtOp op;
  int rc;
  const char *msg;  // nullptr: no message expected
  std::string live, trash;  // contents afterwards; "<missing>" when absent
};

TEST_F(Ciphers, StateTableEveryCell) {
  const std::string M = "<missing>", L = "{\"id\":\"c\",\"v\":\"live\"}",
                    T = "{\"id\":\"c\",\"v\":\"trash\"}", N = "{\"id\":\"c\",\"v\":\"new\"}";
  const std::string exists = strerror(EEXIST);
  const std::vector<VtCell> cells = {
      {ABSENT, SAVE, 0, nullptr, N, M},
      {LIVE, SAVE, 0, nullptr, N, M},
      {TRASHED, SAVE, 0, nullptr, N, T},
      {BOTH, SAVE, 0, nullptr, N, T},
      {ABSENT, DELETE, 1, "cipher_delete: not found", M, M},
      {LIVE, DELETE, 0, nullptr, M, L},
      {TRASHED, DELETE, 1, "cipher_delete: not found", M, T},
      {BOTH, DELETE, -1, "cipher_delete: rename ", L, T},
      {ABSENT, DELETE_PERMANENT, 1, "cipher_delete: not found", M, M},
      {LIVE, DELETE_PERMANENT, 0, nullptr, M, M},
      {TRASHED, DELETE_PERMANENT, 1, "cipher_delete: not found", M, T},
      {BOTH, DELETE_PERMANENT, 0, nullptr, M, T},
      {ABSENT, RESTORE, 1, "restore: not in trash", M, M},
      {LIVE, RESTORE, 1, "restore: not in trash", L, M},
      {TRASHED, RESTORE, 0, nullptr, T, M},
      {BOTH, RESTORE, -1, "restore: rename ", L, T},
  };
  for (const VtCell &c : cells) {
    SCOPED_TRACE("state " + std::to_string(c.from) + " op " + std::to_string(c.op));
    unlink(live("c").c_str());
    unlink(trash("c").c_str());
    if (c.from == LIVE || c.from == BOTH) vt_write(live("c"), L);
    if (c.from == TRASHED || c.from == BOTH) vt_write(trash("c"), T);
    vs_error("marker");
    int rc = c.op == SAVE               ? vault_cipher_save("u1", N.c_str(), nullptr)
             : c.op == DELETE           ? vault_cipher_delete("u1", "c", 0)
             : c.op == DELETE_PERMANENT ? vault_cipher_delete("u1", "c", 7)
                                        : vault_cipher_restore_from_trash("u1", "c");
    EXPECT_EQ(rc, c.rc);
    std::string msg = c.msg ? c.msg : "marker";
    if (c.rc == -1) msg += exists;  // the system's text right after the verb
    EXPECT_EQ(err(), msg);
    EXPECT_EQ(vt_read(live("c")), c.live);
    EXPECT_EQ(vt_read(trash("c")), c.trash);
  }
  for (auto &n : vt_list(dir + "/ciphers")) EXPECT_EQ(n.find(".tmp."), std::string::npos) << n;
}

// Nothing is looked up before a move: its own answer tells "not there"
// from a failure, exactly as the lookup did.
TEST_F(Ciphers, MovesAnswerNotThereWithoutALookupFirst) {
  const std::string enoent = strerror(ENOENT);
  // Unknown account or identifier: 1.
  EXPECT_EQ(vault_cipher_delete("ghost", "c", 0), 1);
  EXPECT_EQ(err(), "cipher_delete: not found");
  EXPECT_EQ(vault_cipher_restore_from_trash("ghost", "c"), 1);
  EXPECT_EQ(err(), "restore: not in trash");
  EXPECT_EQ(vault_cipher_delete("u1", "none", 0), 1);
  EXPECT_EQ(err(), "cipher_delete: not found");
  EXPECT_EQ(vault_cipher_restore_from_trash("u1", "none"), 1);
  EXPECT_EQ(err(), "restore: not in trash");
  EXPECT_FALSE(vt_exists(user_dir("ghost")));
  // No trash directory: nothing can be in it, but a trash move fails.
  vt_write(live("c"), "{\"id\":\"c\"}");
  ASSERT_EQ(rmdir((dir + "/trash").c_str()), 0);
  EXPECT_EQ(vault_cipher_restore_from_trash("u1", "c"), 1);
  EXPECT_EQ(err(), "restore: not in trash");
  EXPECT_EQ(vault_cipher_delete("u1", "c", 0), -1);
  EXPECT_EQ(err(), "cipher_delete: rename " + enoent);
  EXPECT_EQ(vt_read(live("c")), "{\"id\":\"c\"}");
  // No live directory: a restore has nowhere to go.
  ASSERT_EQ(mkdir((dir + "/trash").c_str(), 0700), 0);
  ASSERT_EQ(rename(live("c").c_str(), trash("c").c_str()), 0);
  ASSERT_EQ(rmdir((dir + "/ciphers").c_str()), 0);
  EXPECT_EQ(vault_cipher_restore_from_trash("u1", "c"), -1);
  EXPECT_EQ(err(), "restore: rename " + enoent);
  // A file where the live directory belongs holds no item.
  vt_write(dir + "/ciphers", "x");
  EXPECT_EQ(vault_cipher_delete("u1", "c", 0), 1);
  EXPECT_EQ(err(), "cipher_delete: not found");
  EXPECT_EQ(vault_cipher_delete("u1", "c", 1), 1);
  EXPECT_EQ(err(), "cipher_delete: not found");
  EXPECT_EQ(vt_read(trash("c")), "{\"id\":\"c\"}");
}

TEST_F(Ciphers, PermanentDeleteNeverRemovesADirectory) {
  ASSERT_EQ(mkdir(live("d").c_str(), 0700), 0);
  EXPECT_EQ(vault_cipher_delete("u1", "d", 1), -1);
  EXPECT_EQ(err(), std::string("cipher_delete: remove ") + strerror(EISDIR));
  EXPECT_TRUE(vt_exists(live("d")));
}

}  // namespace
