// The life of an account after registration: credentials changed by
// compare-and-swap, e-mail changes, deletion and its remainders, and the
// revision token; races between real processes.
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "accounts/delete.h"
#include "accounts/profile.h"
#include "foundation/email_index.h"
#include "foundation/locks.h"
#include "test_util.h"

namespace {

class Life : public VaultTest {
 protected:
  std::string make(const char *email, const char *hash = "h0") {
    char uid[VS_ID_BUF] = {0};
    EXPECT_EQ(vault_user_create(email, hash, 5000, "k0", uid), 0) << vault_storage_last_error();
    return uid;
  }
  std::string find(const char *email) {
    char uid[VS_ID_BUF] = {0};
    int rc = vault_user_find_by_email(email, uid, nullptr, nullptr, nullptr);
    return rc == 0 ? uid : rc == 1 ? "" : "error";
  }
  std::string profile(const std::string &uid) { return vt_read(user_dir(uid) + "/profile.json"); }
  std::string token(const std::string &uid) {
    size_t len = 0;
    char *t = vault_user_revision_alloc(uid.c_str(), &len);
    std::string out = t ? std::string(t, len) : "";
    vault_free(t);
    return out;
  }
  // A token taken once the account's last change has settled.
  std::string settled_token(const std::string &uid) {
    struct timespec ts = {0, 30 * 1000 * 1000};
    nanosleep(&ts, nullptr);
    return token(uid);
  }
  std::vector<std::string> remainders() {
    std::vector<std::string> out;
    for (const std::string &n : vt_list(root + "/users"))
      if (vs_deleted_remainder(n.c_str(), nullptr)) out.push_back(n);
    return out;
  }
};

TEST(Splice, ReplacesValuesInPlaceAndAppendsMissingMembers) {
  const char text[] = "{ \"a\" : [1, {\"hash\": \"x\"}], \"h\\u0061sh\":\"old\" ,\"n\":12 }";
  const VsMemberEdit edits[] = {{"hash", "\"new\"", 5}, {"n", "7", 1}, {"key", "\"k\"", 3}};
  VsText out;
  size_t len = 0;
  ASSERT_EQ(vs_json_splice(text, strlen(text), edits, 3, out, &len), 0);
  // The nested "hash" is not the top-level member; escapes name keys too.
  EXPECT_STREQ(out.get(),
               "{ \"a\" : [1, {\"hash\": \"x\"}], \"h\\u0061sh\":\"new\" ,\"n\":7 ,\"key\":\"k\"}");
  EXPECT_EQ(len, strlen(out.get()));
  ASSERT_EQ(vs_json_splice("{}", 2, edits + 2, 1, out, &len), 0);
  EXPECT_STREQ(out.get(), "{\"key\":\"k\"}");
}

TEST_F(Life, SetCredentialsIsACompareAndSwapKeepingEveryOtherByte) {
  std::string uid = make("cas@example.com");
  std::string before = profile(uid);
  EXPECT_EQ(vault_user_set_credentials(uid.c_str(), "wrong", "h1", 9, "k1"), 1);
  EXPECT_STREQ(vault_storage_last_error(), "set_credentials: hash mismatch");
  EXPECT_EQ(profile(uid), before);
  ASSERT_EQ(vault_user_set_credentials(uid.c_str(), "h0", "h1\"x", 600000, "k1"), 0)
      << vault_storage_last_error();
  std::string want = before;
  auto swap = [&](const std::string &from, const std::string &to) {
    size_t at = want.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    want.replace(at, from.size(), to);
  };
  swap("\"masterPasswordHash\":\"h0\"", "\"masterPasswordHash\":\"h1\\\"x\"");
  swap("\"kdfIterations\":5000", "\"kdfIterations\":600000");
  swap("\"protectedKey\":\"k0\"", "\"protectedKey\":\"k1\"");
  EXPECT_EQ(profile(uid), want);
  uint32_t it = 0;
  char hash[VAULT_HASH_SIZE], key[VAULT_KEY_SIZE];
  ASSERT_EQ(vault_user_find_by_email("cas@example.com", nullptr, &it, hash, key), 0);
  EXPECT_EQ(it, 600000u);
  EXPECT_STREQ(hash, "h1\"x");
  EXPECT_STREQ(key, "k1");
  EXPECT_EQ(vault_user_set_credentials(uid.c_str(), "h0", "h2", 1, "k2"), 1);

  EXPECT_EQ(vault_user_set_credentials("no-such-user", "h0", "h2", 1, "k2"), 1);
  EXPECT_STREQ(vault_storage_last_error(), "set_credentials: not found");
  EXPECT_EQ(vault_user_set_credentials("../x", "h0", "h2", 1, "k2"), -1);
  EXPECT_EQ(vault_user_set_credentials(uid.c_str(), "h1\"x", nullptr, 1, "k2"), -1);
  std::string big(9000, 'k');
  EXPECT_EQ(vault_user_set_credentials(uid.c_str(), "h1\"x", "h2", 1, big.c_str()), -1);
  EXPECT_EQ(profile(uid), want);
}

TEST_F(Life, SetCredentialsOnAHandMadeProfileAppendsWhatIsMissing) {
  make_account("hand", "{\"email\":\"hand@x\",\"masterPasswordHash\":\"p\",\"extra\":[1,2]}");
  ASSERT_EQ(vault_user_set_credentials("hand", "p", "q", 3, "key"), 0);
  EXPECT_EQ(profile("hand"),
            "{\"email\":\"hand@x\",\"masterPasswordHash\":\"q\",\"extra\":[1,2],"
            "\"kdfIterations\":3,\"protectedKey\":\"key\"}");
  // No stored hash: nothing equals it.
  make_account("nohash", "{\"email\":\"n@x\"}");
  EXPECT_EQ(vault_user_set_credentials("nohash", "", "q", 3, "key"), 1);
}

TEST_F(Life, TwoProcessesChangingFromTheSameHashOneWins) {
  std::string uid = make("race@example.com");
  for (int round = 0; round < 5; round++) {
    std::string old = "h" + std::to_string(round);
    std::vector<int> rcs = vt_run_processes(6, [&](int i) {
      std::string mine = old + "-" + std::to_string(i);
      int rc = vault_user_set_credentials(uid.c_str(), old.c_str(), mine.c_str(), 1, "k");
      return rc < 0 ? 50 : rc;
    });
    ASSERT_EQ(std::count(rcs.begin(), rcs.end(), 0), 1) << round;
    ASSERT_EQ(std::count(rcs.begin(), rcs.end(), 1), 5) << round;
    int winner = (int)(std::find(rcs.begin(), rcs.end(), 0) - rcs.begin());
    std::string now = old + "-" + std::to_string(winner);
    ASSERT_NE(profile(uid).find("\"" + now + "\""), std::string::npos);
    ASSERT_EQ(vault_user_set_credentials(uid.c_str(), now.c_str(),
                                         ("h" + std::to_string(round + 1)).c_str(), 1, "k"), 0);
  }
}

TEST_F(Life, ChangeEmailMovesTheAccountToTheNewAddressOnly) {
  std::string a = make("old@example.com"), b = make("other@example.com");
  std::string before = profile(a);
  EXPECT_EQ(vault_user_change_email(a.c_str(), "OTHER@example.com"), 1);
  EXPECT_STREQ(vault_storage_last_error(), "change_email: email already registered");
  EXPECT_EQ(profile(a), before);
  ASSERT_EQ(vault_user_change_email(a.c_str(), "new@example.com"), 0) << vault_storage_last_error();
  EXPECT_EQ(find("new@example.com"), a);
  EXPECT_EQ(find("old@example.com"), "");
  EXPECT_EQ(vault_user_exists("old@example.com"), 0);
  // The old entry is gone, the new one names the account.
  char id[VS_ID_BUF];
  EXPECT_EQ(vs_index_read(root.c_str(), "old@example.com", id), 1);
  ASSERT_EQ(vs_index_read(root.c_str(), "new@example.com", id), 0);
  EXPECT_EQ(a, id);
  // Only "email" changed.
  std::string want = before;
  want.replace(want.find("old@example.com"), 15, "new@example.com");
  EXPECT_EQ(profile(a), want);
  // The freed address can be registered again; another letter case is allowed.
  EXPECT_NE(make("old@example.com"), "");
  ASSERT_EQ(vault_user_change_email(a.c_str(), "NEW@Example.com"), 0) << vault_storage_last_error();
  EXPECT_EQ(find("new@example.com"), a);
  ASSERT_EQ(vs_index_read(root.c_str(), "NEW@Example.com", id), 0);
  EXPECT_NE(profile(a).find("\"NEW@Example.com\""), std::string::npos);
  EXPECT_EQ(vault_user_change_email("nobody", "z@example.com"), 1);
  EXPECT_STREQ(vault_storage_last_error(), "change_email: not found");
  EXPECT_EQ(find("z@example.com"), "");
  EXPECT_EQ(vault_user_change_email(a.c_str(), ""), -1);
  EXPECT_EQ(find("other@example.com"), b);
}

TEST_F(Life, ChangeEmailAgainstRegistrationsOfTheAddressOneWins) {
  for (int round = 0; round < 4; round++) {
    std::string target = "contested" + std::to_string(round) + "@example.com";
    std::vector<std::string> uids;
    for (int i = 0; i < 3; i++)
      uids.push_back(make(("c" + std::to_string(round) + "-" + std::to_string(i) + "@x").c_str()));
    std::vector<int> rcs = vt_run_processes(6, [&](int i) {
      int rc = i < 3 ? vault_user_change_email(uids[i].c_str(), target.c_str())
                     : vault_user_create(target.c_str(), "h", 1, "k", nullptr);
      return rc < 0 ? 50 : rc;
    });
    ASSERT_EQ(std::count(rcs.begin(), rcs.end(), 0), 1) << round;
    ASSERT_EQ(std::count(rcs.begin(), rcs.end(), 1), 5) << round;
    // Exactly one profile holds the address, and the lookup finds it.
    int holders = 0;
    std::string holder;
    for (const std::string &u : vt_accounts(root))
      if (profile(u).find("\"" + target + "\"") != std::string::npos) holders++, holder = u;
    ASSERT_EQ(holders, 1);
    EXPECT_EQ(find(target.c_str()), holder);
  }
}

TEST_F(Life, DeleteRemovesEverythingAndFreesTheAddress) {
  std::string uid = make("gone@example.com"), keep = make("keep@example.com");
  char cid[VS_ID_BUF];
  ASSERT_EQ(vault_cipher_save(uid.c_str(), "{\"id\":\"c1\"}", cid), 0);
  ASSERT_EQ(vault_cipher_save(uid.c_str(), "{\"id\":\"c2\"}", cid), 0);
  ASSERT_EQ(vault_cipher_delete(uid.c_str(), "c2", 0), 0);
  ASSERT_EQ(vault_folder_save(uid.c_str(), "{\"name\":\"f\"}", cid), 0);
  ASSERT_EQ(vault_user_delete(uid.c_str()), 0) << vault_storage_last_error();
  EXPECT_FALSE(vt_exists(user_dir(uid)));
  EXPECT_TRUE(remainders().empty());
  EXPECT_EQ(find("gone@example.com"), "");
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  EXPECT_EQ(vault_cipher_get(uid.c_str(), "c1"), nullptr);
  EXPECT_EQ(token(uid), "");
  EXPECT_STREQ(vault_storage_last_error(), "revision: not found");
  char id[VS_ID_BUF];
  EXPECT_EQ(vs_index_read(root.c_str(), "gone@example.com", id), 1);
  const char *stats = vault_storage_get_stats_json();
  ASSERT_NE(stats, nullptr);
  EXPECT_NE(std::string(stats).find("\"users\":1"), std::string::npos) << stats;
  // A save after the deletion does not bring the account back.
  EXPECT_EQ(vault_cipher_save(uid.c_str(), "{\"id\":\"c3\"}", cid), -1);
  EXPECT_EQ(vault_folder_save(uid.c_str(), "{\"name\":\"g\"}", cid), -1);
  EXPECT_FALSE(vt_exists(user_dir(uid)));
  EXPECT_EQ(vault_user_delete(uid.c_str()), 1);
  EXPECT_STREQ(vault_storage_last_error(), "delete: not found");
  EXPECT_NE(make("gone@example.com"), "");
  EXPECT_EQ(find("keep@example.com"), keep);
}

TEST_F(Life, RemaindersOfADeletionCutShortAreInvisibleAndFinished) {
  // The state after the rename (step 2), its address still in the index.
  std::string uid = make("cut@example.com");
  ASSERT_EQ(vault_cipher_save(uid.c_str(), "{\"id\":\"c1\"}", nullptr), 0);
  std::string hidden = root + "/users/" VS_DELETED_PREFIX + uid + ".n1";
  ASSERT_EQ(rename(user_dir(uid).c_str(), hidden.c_str()), 0);
  EXPECT_EQ(find("cut@example.com"), "");
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  // Another delete of the same account finishes it (and says it is gone).
  EXPECT_EQ(vault_user_delete(uid.c_str()), 1);
  EXPECT_TRUE(remainders().empty());
  char id[VS_ID_BUF];
  EXPECT_EQ(vs_index_read(root.c_str(), "cut@example.com", id), 1);

  // The cleanup for every account leaves another account's address alone
  // when that account took the address over meanwhile.
  std::string a = make("taken@example.com");
  std::string hidden2 = root + "/users/" VS_DELETED_PREFIX + a + ".n2";
  ASSERT_EQ(rename(user_dir(a).c_str(), hidden2.c_str()), 0);
  std::string b = make("taken@example.com");
  long removed = 0;
  ASSERT_EQ(vs_user_delete_remainders(root.c_str(), nullptr, &removed, "reindex"), 0)
      << vault_storage_last_error();
  EXPECT_EQ(removed, 1);
  EXPECT_TRUE(remainders().empty());
  EXPECT_EQ(find("taken@example.com"), b);
  ASSERT_EQ(vs_index_read(root.c_str(), "taken@example.com", id), 0);
  EXPECT_EQ(b, id);
}

// The removal of a deleted account's remainder holds the remainder's whole
// lock, as a replacement holds the directory it swapped out (a sync that
// another host's caches led there asks the listing while it is held), and
// so waits for a writer that reached the account before the rename.
TEST_F(Life, DeletionRemovesTheRemainderOnlyOnceItsWritersLetGo) {
  std::string uid = make("held@example.com");
  ASSERT_EQ(vault_cipher_save(uid.c_str(), "{\"id\":\"c1\"}", nullptr), 0);
  VsFd writer;
  ASSERT_EQ(vs_lock_account(root.c_str(), user_dir(uid).c_str(), VS_LOCK_ITEMS, writer, true), 0);
  std::atomic<int> rc{-2};
  std::thread deletion([&] { rc = vault_user_delete(uid.c_str()); });
  for (int i = 0; i < 2000 && vt_exists(user_dir(uid)); i++) usleep(1000);
  ASSERT_FALSE(vt_exists(user_dir(uid)));
  usleep(100 * 1000);
  std::vector<std::string> left = remainders();
  ASSERT_EQ(left.size(), 1u);
  std::string remainder = root + "/users/" + left[0];
  EXPECT_TRUE(vt_exists(remainder + "/ciphers/c1.json")) << "removed under a writer";
  EXPECT_EQ(rc.load(), -2);
  vs_lock_drop(writer);
  deletion.join();
  EXPECT_EQ(rc.load(), 0) << vault_storage_last_error();
  EXPECT_TRUE(remainders().empty());
}

TEST_F(Life, DeleteAgainstSavesInOtherProcessesNeverComesBack) {
  for (int round = 0; round < 3; round++) {
    std::string uid = make(("racing" + std::to_string(round) + "@x").c_str());
    std::vector<int> rcs = vt_run_processes(4, [&](int i) {
      if (i == 0) {
        struct timespec ts = {0, 2 * 1000 * 1000};
        nanosleep(&ts, nullptr);
        return vault_user_delete(uid.c_str()) == 0 ? 0 : 50;
      }
      // Saves, moves, folder saves and syncs until the account is gone.
      for (int n = 0; n < 400; n++) {
        std::string doc = "{\"id\":\"p" + std::to_string(i) + "-" + std::to_string(n) + "\"}";
        int rc = i == 1   ? vault_cipher_save(uid.c_str(), doc.c_str(), nullptr)
                 : i == 2 ? vault_folder_save(uid.c_str(), "{\"name\":\"f\"}", nullptr)
                          : (vault_cipher_save(uid.c_str(), doc.c_str(), nullptr) == 0
                                 ? vault_cipher_delete(uid.c_str(),
                                                       ("p3-" + std::to_string(n)).c_str(), 0)
                                 : -1);
        if (rc != 0) break;
        vault_sync_generate_json(uid.c_str());
      }
      return 0;
    });
    ASSERT_EQ(rcs, std::vector<int>(4, 0));
    EXPECT_FALSE(vt_exists(user_dir(uid))) << round;
    // Late files may keep a remainder from going: the next deletion or the
    // cleanup finishes it.
    ASSERT_EQ(vs_user_delete_remainders(root.c_str(), nullptr, nullptr, "t"), 0);
    EXPECT_TRUE(remainders().empty());
  }
}

TEST_F(Life, RevisionChangesWithEveryChangeOfTheSyncDocument) {
  std::string uid = make("rev@example.com");
  std::string t = settled_token(uid);
  ASSERT_EQ(t.size(), 32u);
  EXPECT_EQ(settled_token(uid), t);  // nothing changed
  std::set<std::string> seen = {t};
  // Right after a change the token is new (unsettled, unless the machine
  // was slow enough for it to settle already); once settled it stays.
  auto changed = [&](const char *what) {
    std::string now = token(uid);
    EXPECT_EQ(seen.count(now), 0u) << what;
    std::string later = settled_token(uid);
    EXPECT_EQ(seen.count(later), 0u) << what;
    EXPECT_EQ(settled_token(uid), later) << what;
    seen.insert(now);
    seen.insert(later);
  };
  ASSERT_EQ(vault_cipher_save(uid.c_str(), "{\"id\":\"c1\"}", nullptr), 0);
  changed("save");
  ASSERT_EQ(vault_cipher_save(uid.c_str(), "{\"id\":\"c1\",\"v\":2}", nullptr), 0);
  changed("replace");
  ASSERT_EQ(vault_cipher_delete(uid.c_str(), "c1", 0), 0);
  changed("trash");
  ASSERT_EQ(vault_cipher_restore_from_trash(uid.c_str(), "c1"), 0);
  changed("restore");
  ASSERT_EQ(vault_cipher_delete(uid.c_str(), "c1", 1), 0);
  changed("remove");
  ASSERT_EQ(vault_folder_save(uid.c_str(), "{\"name\":\"f\"}", nullptr), 0);
  changed("folder");
  ASSERT_EQ(vault_user_set_credentials(uid.c_str(), "h0", "h1", 1, "k"), 0);
  changed("credentials");
  ASSERT_EQ(vault_user_change_email(uid.c_str(), "rev2@example.com"), 0);
  changed("email");
  // Two changes in quick succession: a token between them differs from
  // the one after.
  for (int i = 0; i < 50; i++) {
    std::string id = "{\"id\":\"q" + std::to_string(i) + "\"}";
    ASSERT_EQ(vault_cipher_save(uid.c_str(), id.c_str(), nullptr), 0);
    std::string between = token(uid);
    ASSERT_EQ(vault_cipher_save(uid.c_str(), ("{\"id\":\"r" + std::to_string(i) + "\"}").c_str(),
                                nullptr), 0);
    ASSERT_NE(token(uid), between);
  }
  EXPECT_EQ(token("nobody"), "");
  EXPECT_EQ(token("../x"), "");
}

}  // namespace
