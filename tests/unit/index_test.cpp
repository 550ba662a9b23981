// The e-mail index: registration's claim (exactly one account per address,
// stale claims taken over, running ones waited for), lookups that trust an
// entry only when the profile confirms it, and the authoritative mode.
#include <fcntl.h>
#include <unistd.h>

#include "foundation/email_index.h"
#include "foundation/locks.h"
#include "test_util.h"

class EmailIndex : public VaultTest {
 protected:
  std::string index_dir() const { return root + "/users/" VS_INDEX_NAME; }
  std::string entry_path(const char *email) const {
    char key[VS_INDEX_KEY_BUF];
    vs_index_key(email, key);
    return index_dir() + "/" + key;
  }
  void put_entry(const char *email, const char *uid) {
    char text[VS_INDEX_ENTRY_MAX];
    int n = vs_index_format(text, uid, email);
    ASSERT_GT(n, 0);
    vts_mkdir(index_dir());
    vt_write(entry_path(email), std::string(text, (size_t)n));
  }
  std::string found(const char *email) {
    char uid[VS_ID_BUF] = "";
    int rc = vault_user_find_by_email(email, uid, nullptr, nullptr, nullptr);
    return rc == 0 ? uid : "rc=" + std::to_string(rc);
  }
};

TEST_F(EmailIndex, KeysAndEntriesFollowOneRule) {
  char a[VS_INDEX_KEY_BUF], b[VS_INDEX_KEY_BUF];
  vs_index_key("Alice@Example.COM", a);
  vs_index_key("alice@example.com", b);
  EXPECT_STREQ(a, "ff8d9819fc0e12bf0d24892e45987e249a28dce836a85cad60e28eaaa8c6d976");
  EXPECT_STREQ(a, b);
  vs_index_key("alice@example.com ", b);
  EXPECT_STRNE(a, b);
  EXPECT_TRUE(vs_index_entry_name(a));
  EXPECT_FALSE(vs_index_entry_name("FF8D9819fc0e12bf0d24892e45987e249a28dce836a85cad60e28eaaa8c6d976"));
  EXPECT_FALSE(vs_index_entry_name(VS_INDEX_MARKER_NAME));
  EXPECT_FALSE(vs_index_entry_name((std::string(a) + ".tmp.5").c_str()));

  char text[VS_INDEX_ENTRY_MAX];
  int n = vs_index_format(text, "u-1", "q\"@x\n");
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(text, (size_t)n), "{\"id\":\"u-1\",\"email\":\"q\\\"@x\\n\"}");
  VsDoc doc;
  const char *id = nullptr, *email = nullptr;
  ASSERT_EQ(vs_index_parse(text, (size_t)n, doc, &id, &email), 0);
  EXPECT_STREQ(id, "u-1");
  EXPECT_STREQ(email, "q\"@x\n");
  for (const char *bad : {"", "[]", "{\"id\":\"a/b\",\"email\":\"x\"}", "{\"id\":\"a\"}",
                          "{\"id\":\"a\",\"email\":\"\"}"})
    EXPECT_EQ(vs_index_parse(bad, strlen(bad), doc, &id, &email), -1) << bad;
}

TEST_F(EmailIndex, RegistrationWritesTheEntryAndLookupsTrustOnlyConfirmedOnes) {
  char uid[VS_ID_BUF];
  ASSERT_EQ(vault_user_create("Bob@x", "h", 7, "k", uid), 0);
  EXPECT_EQ(vt_read(entry_path("bob@X")),
            std::string("{\"id\":\"") + uid + "\",\"email\":\"Bob@x\"}");
  EXPECT_EQ(found("BOB@x"), uid);
  EXPECT_EQ(vault_user_exists("bob@x"), 1);
  // No temporary file of the claim is left.
  EXPECT_EQ(vt_list(index_dir()).size(), 1u);

  // An entry naming an account whose profile holds another address is not
  // trusted: the scan finds the real account.
  make_account("real", "{\"email\":\"carol@x\",\"kdfIterations\":3}");
  make_account("other", "{\"email\":\"dave@x\"}");
  put_entry("carol@x", "other");
  EXPECT_EQ(found("carol@x"), "real");
  // One naming a missing account, or garbage, likewise.
  put_entry("carol@x", "gone");
  EXPECT_EQ(found("carol@x"), "real");
  vt_write(entry_path("carol@x"), "not json");
  EXPECT_EQ(found("Carol@X"), "real");
  // A trusted entry wins over the listing order.
  make_account("copy", "{\"email\":\"dave@x\"}");
  put_entry("dave@x", "copy");
  EXPECT_EQ(found("dave@x"), "copy");
}

TEST_F(EmailIndex, AuthoritativeIndexAnswersMissesAlone) {
  make_account("byhand", "{\"email\":\"hand@x\"}");
  EXPECT_EQ(found("hand@x"), "byhand");  // the default: a miss still scans
  vts_mkdir(index_dir());
  vt_write(index_dir() + "/" VS_INDEX_MARKER_NAME, "");
  EXPECT_EQ(vs_index_authoritative(root.c_str()), 1);
  EXPECT_EQ(found("hand@x"), "rc=1");
  EXPECT_EQ(vault_user_exists("hand@x"), 0);
  // A bad entry still leads to the scan: only a missing entry is a miss.
  put_entry("hand@x", "gone");
  EXPECT_EQ(found("hand@x"), "byhand");
  // Registration trusts the index too: the hand-made account is not seen.
  unlink(entry_path("hand@x").c_str());
  char uid[VS_ID_BUF];
  ASSERT_EQ(vault_user_create("hand@x", nullptr, 0, nullptr, uid), 0);
  EXPECT_EQ(found("hand@x"), uid);
}

TEST_F(EmailIndex, RegistrationSeesHandMadeAccountsAndRemovesItsClaim) {
  make_account("byhand", "{\"email\":\"eve@x\"}");
  EXPECT_EQ(vault_user_create("EVE@x", nullptr, 0, nullptr, nullptr), 1);
  EXPECT_STREQ(vault_storage_last_error(), "create: email already registered");
  EXPECT_FALSE(vt_exists(entry_path("eve@x")));
  EXPECT_EQ(vt_accounts(root).size(), 1u);
}

TEST_F(EmailIndex, StaleClaimIsTakenOverRunningOneWaitedFor) {
  // A registration that died after its claim: entry, no profile.
  put_entry("f@x", "died-midway");
  char uid[VS_ID_BUF];
  ASSERT_EQ(vault_user_create("f@x", nullptr, 0, nullptr, uid), 0);
  EXPECT_EQ(found("f@x"), uid);
  EXPECT_EQ(vt_list(index_dir()).size(), 1u);

  // A registration still running holds its entry's lock: the second one
  // waits, and fails when the lock is not had in time.
  put_entry("g@x", "running");
  int fd = open(entry_path("g@x").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(vs_lock_take(fd, 0), 0);
  vs_lock_set_wait_ms(200);
  EXPECT_EQ(vault_user_create("g@x", nullptr, 0, nullptr, nullptr), -1);
  std::string msg = vault_storage_last_error();
  EXPECT_EQ(msg, "create: cannot check email (another registration of it holds its index "
                 "entry too long)");
  EXPECT_EQ(vt_accounts(root).size(), 1u);
  close(fd);  // the holder ends: its entry is stale now
  EXPECT_EQ(vault_user_create("g@x", nullptr, 0, nullptr, uid), 0);
  vs_lock_set_wait_ms(VS_LOCK_WAIT_MS);
  EXPECT_EQ(found("g@x"), uid);
}

// Processes registering the same addresses at the same moment: exactly one
// account per address, and every loser is told so.
TEST_F(EmailIndex, ConcurrentRegistrationsMakeOneAccountPerAddress) {
  const int procs = 4, addrs = 6;
  std::vector<int> won = vt_run_processes(procs, [&](int) {
    int wins = 0, bad = 0;
    for (int a = 0; a < addrs; a++) {
      std::string email = "racer" + std::to_string(a) + "@x";
      int rc = vault_user_create(email.c_str(), nullptr, 0, nullptr, nullptr);
      wins += rc == 0;
      bad += rc != 0 && rc != 1;
    }
    return bad ? 100 : wins;  // 100: a registration failed instead of winning or losing
  });
  int total = 0;
  for (int w : won) {
    EXPECT_TRUE(w >= 0 && w <= addrs) << w;
    total += w;
  }
  EXPECT_EQ(total, addrs);
  EXPECT_EQ(vt_accounts(root).size(), (size_t)addrs);
  for (int a = 0; a < addrs; a++) {
    std::string email = "racer" + std::to_string(a) + "@x";
    EXPECT_EQ(vault_user_exists(email.c_str()), 1);
  }
  EXPECT_EQ(vt_list(index_dir()).size(), (size_t)addrs);  // no temporary left
}

// An address is compared by its whole length everywhere: a stored address
// with a NUL byte in it (a dump can carry one) matches no address, so it
// can take over neither a log-in nor an index entry.
TEST_F(EmailIndex, StoredAddressWithNulMatchesNothing) {
  char alice[VS_ID_BUF];
  ASSERT_EQ(vault_user_create("alice@example.org", "real-hash", 1, nullptr, alice), 0);
  make_account("evil", "{\"email\":\"alice@example.org\\u0000x\",\"masterPasswordHash\":\"evil\"}");
  make_account("nul2", "{\"email\":\"bob@example.org\\u0000\"}");
  // An entry naming the hostile account is not confirmed by it.
  put_entry("alice@example.org", "evil");
  EXPECT_EQ(found("alice@example.org"), alice);
  EXPECT_EQ(found("bob@example.org"), "rc=1");
  // Registration sees the real account, not the NUL one...
  EXPECT_EQ(vault_user_create("ALICE@example.org", nullptr, 0, nullptr, nullptr), 1);
  // ...and an address held only by a NUL profile is free.
  char bob[VS_ID_BUF];
  ASSERT_EQ(vault_user_create("bob@example.org", nullptr, 0, nullptr, bob), 0);
  EXPECT_EQ(found("bob@example.org"), bob);
  // A profile whose address is not a string matches nothing either.
  make_account("num", "{\"email\":5}");
  EXPECT_EQ(found("5"), "rc=1");

  // Entries with a NUL in the address or the id are no entries.
  VsDoc doc;
  const char *id = nullptr, *email = nullptr;
  for (const char *bad : {"{\"id\":\"u1\",\"email\":\"a@x\\u0000y\"}",
                          "{\"id\":\"u1\\u0000/../x\",\"email\":\"a@x\"}",
                          "{\"id\":\"u1\",\"email\":7}"})
    EXPECT_EQ(vs_index_parse(bad, strlen(bad), doc, &id, &email), -1) << bad;
}

// A registration takes over an entry its profile does not confirm only
// after looking for the address, also with an authoritative index: a
// lookup and a registration never disagree about whether it is taken.
TEST_F(EmailIndex, UnconfirmedEntryIsNeverTakenOverBlindly) {
  char carol[VS_ID_BUF];
  ASSERT_EQ(vault_user_create("carol@x", "h", 1, nullptr, carol), 0);
  make_account("other", "{\"email\":\"dave@x\"}");
  vts_mkdir(index_dir());
  vt_write(index_dir() + "/" VS_INDEX_MARKER_NAME, "");
  for (const char *what : {"garbage", "empty", "other", "gone"}) {
    std::string w = what;
    if (w == "garbage") vt_write(entry_path("carol@x"), "not json");
    else if (w == "empty") vt_write(entry_path("carol@x"), "");
    else put_entry("carol@x", what);
    EXPECT_EQ(vault_user_exists("carol@x"), 1) << what;
    EXPECT_EQ(vault_user_create("Carol@x", nullptr, 0, nullptr, nullptr), 1) << what;
    EXPECT_STREQ(vault_storage_last_error(), "create: email already registered");
    EXPECT_EQ(found("carol@x"), carol) << what;
  }
  EXPECT_EQ(vt_accounts(root).size(), 2u);
}
