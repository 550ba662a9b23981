// Replacement of a whole vault (key rotation): the two compare-and-swaps,
// byte-exact documents, refused input, the states a replacement cut short
// leaves and how every reader and the next call finish them, and readers
// and writers in other processes during hundreds of replacements.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <set>
#include <thread>

#include "admin/check.h"
#include "admin/reindex.h"
#include "foundation/files.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/swap.h"
#include "test_util.h"

namespace {

// A generation of an account's vault: every item, folder and the hash
// carry its number, so a document that mixes two shows at once.
struct Gen {
  int g;
  int live, trash;
  std::string hash() const { return "hash" + std::to_string(g); }
  std::string item(int i) const {
    return "{ \"id\" : \"i" + std::to_string(i) + "\", \"gen\":" + std::to_string(g) +
           ",\"data\":\"\\u00e9 /" + std::string(40, 'x') + "\"}";
  }
  std::string list(int from, int n) const {
    std::string s = "[";
    for (int i = from; i < from + n; i++) s += (i > from ? " ,\n" : "") + item(i);
    return s + "]";
  }
  std::string ciphers() const { return list(0, live); }
  std::string trashed() const { return list(live, trash); }
  std::string folders() const {
    return "[{\"id\":\"f1\",\"name\":\"n" + std::to_string(g) + "\",\"extra\":1}]";
  }
};

class Replace : public VaultTest {
 protected:
  std::string uid;
  void SetUp() override {
    VaultTest::SetUp();
    char id[VS_ID_BUF] = {0};
    ASSERT_EQ(vault_user_create("rot@example.com", "hash0", 5000, "key0", id), 0);
    uid = id;
  }
  int replace(const Gen &from, const Gen &to) {
    return vault_user_replace_vault(uid.c_str(), from.hash().c_str(), to.hash().c_str(), 600000,
                                    ("key" + std::to_string(to.g)).c_str(), to.ciphers().c_str(),
                                    to.trashed().c_str(), to.folders().c_str());
  }
  // Generation 0 stored with ordinary saves and moves.
  void store(const Gen &g) {
    for (int i = 0; i < g.live + g.trash; i++)
      ASSERT_EQ(vault_cipher_save(uid.c_str(), g.item(i).c_str(), nullptr), 0);
    for (int i = g.live; i < g.live + g.trash; i++)
      ASSERT_EQ(vault_cipher_delete(uid.c_str(), ("i" + std::to_string(i)).c_str(), 0), 0);
    ASSERT_EQ(vault_folder_save(uid.c_str(), "{\"id\":\"f1\",\"name\":\"n0\"}", nullptr), 0);
  }
  std::string token() {
    size_t len = 0;
    char *t = vault_user_revision_alloc(uid.c_str(), &len);
    std::string out = t ? std::string(t, len) : "";
    vault_free(t);
    return out;
  }
  std::string users() const { return root + "/users"; }
  std::vector<std::string> swap_names() {
    std::vector<std::string> out;
    for (const std::string &n : vt_list(users()))
      if (vs_swap_name(n.c_str(), nullptr) != VS_SWAP_NONE) out.push_back(n);
    return out;
  }
};

// A shared file system's answers forced on for a test's scope.
struct SharedAnswers {
  SharedAnswers() { vs_fs_set_shared(1); }
  ~SharedAnswers() { vs_fs_set_shared(0); }
};

// The generation a sync document holds: -1 when it mixes generations or
// misses an item, -2 when there is none.
int sync_generation(const char *doc, int live) {
  if (!doc) return -2;
  VsDoc d(vs_parse(doc, strlen(doc)));
  yyjson_val *r = d ? yyjson_doc_get_root(d.get()) : nullptr;
  const char *hash = yyjson_get_str(yyjson_obj_get(yyjson_obj_get(r, "profile"), "masterPasswordHash"));
  if (!hash || strncmp(hash, "hash", 4) != 0) return -1;
  int g = atoi(hash + 4);
  yyjson_val *ciphers = yyjson_obj_get(r, "ciphers");
  if ((int)yyjson_arr_size(ciphers) != live) return -1;
  size_t i, max;
  yyjson_val *c;
  yyjson_arr_foreach(ciphers, i, max, c) {
    if (yyjson_get_int(yyjson_obj_get(c, "gen")) != g) return -1;
  }
  yyjson_val *f = yyjson_arr_get_first(yyjson_obj_get(r, "folders"));
  const char *name = yyjson_get_str(yyjson_obj_get(f, "name"));
  if (!name || atoi(name + 1) != g) return -1;
  return g;
}

TEST_F(Replace, ReplacesEverythingByteForByteAndChangesTheTokenAtTheCommitOnly) {
  Gen g0{0, 3, 2}, g1{1, 3, 2};
  store(g0);
  std::string before_token = token();
  std::string profile_before = vt_read(user_dir(uid) + "/profile.json");
  ASSERT_EQ(replace(g0, g1), 0) << vault_storage_last_error();
  for (int i = 0; i < 5; i++) {
    std::string dir = i < 3 ? "/ciphers/" : "/trash/";
    EXPECT_EQ(vt_read(user_dir(uid) + dir + "i" + std::to_string(i) + ".json"), g1.item(i));
  }
  EXPECT_EQ(vt_list(user_dir(uid) + "/ciphers").size(), 3u);
  EXPECT_EQ(vt_list(user_dir(uid) + "/trash").size(), 2u);
  // Folders reduced as a folder save reduces one.
  std::string solo = base + "/solo";
  ASSERT_EQ(vault_storage_init(solo.c_str()), 0);
  char other[VS_ID_BUF];
  ASSERT_EQ(vault_user_create("solo@example.com", "h", 1, "k", other), 0);
  ASSERT_EQ(vault_folder_save(other, "{\"id\":\"f1\",\"name\":\"n1\",\"extra\":1}", nullptr), 0);
  std::string want_folders = vt_read(solo + "/users/" + other + "/folders.json");
  ASSERT_EQ(vault_storage_init(root.c_str()), 0);
  EXPECT_EQ(vt_read(user_dir(uid) + "/folders.json"), want_folders);
  // The profile: only the three credential members differ.
  std::string want = profile_before;
  want.replace(want.find("\"hash0\""), 7, "\"hash1\"");
  want.replace(want.find(":5000"), 5, ":600000");
  want.replace(want.find("\"key0\""), 6, "\"key1\"");
  EXPECT_EQ(vt_read(user_dir(uid) + "/profile.json"), want);
  EXPECT_NE(token(), before_token);
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 3), 1);
  EXPECT_TRUE(swap_names().empty());
  // The account is still found by its address, with the new hash.
  char found[VS_ID_BUF], hash[VAULT_HASH_SIZE];
  ASSERT_EQ(vault_user_find_by_email("rot@example.com", found, nullptr, hash, nullptr), 0);
  EXPECT_EQ(found, uid);
  EXPECT_STREQ(hash, "hash1");
  // Writers work on the new directory.
  ASSERT_EQ(vault_cipher_save(uid.c_str(), "{\"id\":\"n\"}", nullptr), 0);
  ASSERT_EQ(vault_cipher_delete(uid.c_str(), "i0", 0), 0);
  ASSERT_EQ(vault_folder_save(uid.c_str(), "{\"id\":\"f2\"}", nullptr), 0);
  EXPECT_TRUE(vt_exists(user_dir(uid) + "/trash/i0.json"));
}

TEST_F(Replace, RefusedWhenTheHashOrTheStoredItemsDifferAndNothingChanges) {
  Gen g0{0, 2, 1}, g1{1, 2, 1};
  store(g0);
  auto snapshot = [&] { return vts_snapshot(users()); };
  struct timespec ts = {0, 30 * 1000 * 1000};
  nanosleep(&ts, nullptr);
  VtsTree before = snapshot();
  std::string tok = token();
  Gen wrong{7, 2, 1};
  EXPECT_EQ(replace(wrong, g1), 1);
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_MISMATCH);
  EXPECT_EQ(snapshot(), before);

  // An item added, one missing, and one moved between live and trash.
  Gen more{1, 3, 1}, fewer{1, 1, 1};
  for (const Gen *g : {&more, &fewer}) {
    EXPECT_EQ(replace(g0, *g), 1);
    EXPECT_EQ(vault_storage_last_error_code(), VAULT_CHANGED);
    EXPECT_STREQ(vault_storage_last_error(), "replace_vault: items changed meanwhile");
    EXPECT_EQ(snapshot(), before);
  }
  // i1 given as trashed, but stored live; i2 the other way round.
  std::string moved_live = "[" + g1.item(0) + "," + g1.item(2) + "]", moved_trash = "[" + g1.item(1) + "]";
  EXPECT_EQ(vault_user_replace_vault(uid.c_str(), "hash0", "hash1", 1, "k", moved_live.c_str(),
                                     moved_trash.c_str(), "[]"),
            1);
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_CHANGED);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(token(), tok);
  // Unknown account.
  EXPECT_EQ(vault_user_replace_vault("nobody", "h", "h", 1, "k", "[]", "[]", "[]"), 1);
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_NOT_FOUND);
  EXPECT_EQ(snapshot(), before);
}

TEST_F(Replace, InvalidInputIsRefusedBeforeAnythingIsWritten) {
  Gen g0{0, 1, 0};
  store(g0);
  VtsTree before = vts_snapshot(users());
  const char *item = "{\"id\":\"i0\"}";
  struct Case {
    const char *ciphers, *trash, *folders;
  } cases[] = {
      {"{}", "[]", "[]"},                                  // not an array
      {"[]", "nope", "[]"},                                // not JSON
      {"[]", "[]", "{\"id\":\"f\"}"},                      // folders not an array
      {"[1]", "[]", "[]"},                                 // not an object
      {"[{\"name\":\"x\"}]", "[]", "[]"},                  // no id
      {"[{\"id\":\"a/b\"}]", "[]", "[]"},                  // unusable id
      {"[{\"id\":7}]", "[]", "[]"},                        // id not a string
      {"[{\"id\":\"a\"},{\"id\":\"a\"}]", "[]", "[]"},     // twice in one list
      {item, item, "[]"},                                  // live and trashed
      {"[]", "[]", "[3]"},                                 // folder not an object
      {nullptr, "[]", "[]"},
  };
  std::string one = std::string("[") + item + "]";
  for (const Case &c : cases) {
    const char *ciphers = c.ciphers == item ? one.c_str() : c.ciphers;
    const char *trash = c.trash == item ? one.c_str() : c.trash;
    EXPECT_EQ(vault_user_replace_vault(uid.c_str(), "hash0", "h1", 1, "k", ciphers, trash, c.folders), -1)
        << (c.ciphers ? c.ciphers : "NULL") << " " << c.trash << " " << c.folders;
    EXPECT_EQ(vault_storage_last_error_code(), VAULT_INVALID) << vault_storage_last_error();
    EXPECT_EQ(vts_snapshot(users()), before);
  }
  EXPECT_EQ(vault_user_replace_vault(uid.c_str(), nullptr, "h1", 1, "k", "[]", "[]", "[]"), -1);
  EXPECT_EQ(vault_user_replace_vault("../x", "hash0", "h1", 1, "k", "[]", "[]", "[]"), -1);
  EXPECT_EQ(vts_snapshot(users()), before);
  // An empty vault is a vault.
  ASSERT_EQ(vault_user_replace_vault(uid.c_str(), "hash0", "h1", 1, "k", "[" "{\"id\":\"i0\"}" "]",
                                     "[]", "[]"),
            0);
  ASSERT_EQ(vault_user_replace_vault(uid.c_str(), "h1", "h2", 1, "k", "[{\"id\":\"i0\"}]", "[]", " [ ] "), 0);
  EXPECT_EQ(vt_read(user_dir(uid) + "/folders.json"), "[]");
}

// The states a replacement leaves when cut short at each step, made by
// hand from a finished one, and what readers and the next calls make of
// them.
TEST_F(Replace, EveryStateACrashLeavesReadsWholeAndIsFinished) {
  Gen g0{0, 2, 1}, g1{1, 2, 1}, g2{2, 2, 1};
  store(g0);
  std::string live = user_dir(uid), old_copy = base + "/old";
  ASSERT_TRUE(vts_copy_tree(live, old_copy));
  ASSERT_EQ(replace(g0, g1), 0);
  std::string replace_dir = users() + "/.replace." + uid, replaced = users() + "/.replaced." + uid;
  auto put_old_aside = [&] { ASSERT_TRUE(vts_copy_tree(old_copy, replaced)); };

  // Committed, not finished: users/<id> missing, .replace.<id> complete.
  ASSERT_EQ(rename(live.c_str(), replace_dir.c_str()), 0);
  put_old_aside();
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 2), 1) << vault_storage_last_error();
  EXPECT_TRUE(vt_exists(live + "/profile.json"));
  EXPECT_FALSE(vt_exists(replace_dir));
  // Every other reader and writer finishes it the same way.
  struct Probe {
    const char *what;
    std::function<bool()> ok;
  } probes[] = {
      {"profile", [&] { return vault_user_get_profile_json(uid.c_str()) != nullptr; }},
      {"cipher", [&] { return vault_cipher_get(uid.c_str(), "i0") != nullptr; }},
      {"folders", [&] {
         const char *f = vault_folders_get_json(uid.c_str());
         return f && strstr(f, "n1") != nullptr;
       }},
      {"revision", [&] { return !token().empty(); }},
      {"save", [&] { return vault_cipher_save(uid.c_str(), g1.item(0).c_str(), nullptr) == 0; }},
      {"folder save", [&] { return vault_folder_save(uid.c_str(), "{\"id\":\"f1\",\"name\":\"n1\"}", nullptr) == 0; }},
      {"credentials", [&] { return vault_user_set_credentials(uid.c_str(), "hash1", "hash1", 1, "k") == 0; }},
      {"lookup", [&] { return vault_user_exists("rot@example.com") == 1; }},
      {"stats", [&] {
         char *t = vault_storage_get_stats_json_alloc(nullptr);
         bool ok = t && strstr(t, "\"users\":1,\"ciphers\":2,") != nullptr;
         vault_free(t);
         return ok;
       }},
  };
  for (const Probe &p : probes) {
    ASSERT_EQ(rename(live.c_str(), replace_dir.c_str()), 0) << p.what;
    EXPECT_TRUE(p.ok()) << p.what << ": " << vault_storage_last_error();
    EXPECT_TRUE(vt_exists(live + "/profile.json")) << p.what;
    EXPECT_FALSE(vt_exists(replace_dir)) << p.what;
  }
  // The next replacement clears the leftover aside.
  ASSERT_TRUE(vt_exists(replaced));
  ASSERT_EQ(replace(g1, g2), 0) << vault_storage_last_error();
  EXPECT_TRUE(swap_names().empty());
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 2), 2);

  // Staged under the fixed name but never committed: the live account
  // stays, nothing rolls the stage forward, and the next replacement or a
  // deletion clears it.
  ASSERT_TRUE(vts_copy_tree(old_copy, replace_dir));
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 2), 2);
  ASSERT_EQ(replace(g2, g1), 0);
  EXPECT_TRUE(swap_names().empty());
  ASSERT_TRUE(vts_copy_tree(old_copy, replace_dir));
  put_old_aside();
  ASSERT_EQ(vault_user_delete(uid.c_str()), 0) << vault_storage_last_error();
  EXPECT_FALSE(vt_exists(replace_dir));
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_NOT_FOUND);
  EXPECT_FALSE(vt_exists(live));  // a deleted account never comes back
}

TEST_F(Replace, ReindexFinishesOrRemovesWhatReplacementsLeft) {
  Gen g0{0, 1, 0}, g1{1, 1, 0};
  store(g0);
  std::string live = user_dir(uid), copy = base + "/copy";
  ASSERT_TRUE(vts_copy_tree(live, copy));
  std::string stage = users() + "/.staging." + uid + ".n1", held = users() + "/.staging." + uid + ".n2";
  ASSERT_TRUE(vts_copy_tree(copy, stage));   // abandoned: nobody holds its lock
  ASSERT_TRUE(vts_copy_tree(copy, held));    // still being written
  VsFd hold(open((held + "/.lock").c_str(), O_RDWR));
  ASSERT_EQ(vs_lock_take(hold.fd, 0), 0);
  ASSERT_TRUE(vts_copy_tree(copy, users() + "/.replace." + uid));   // never committed
  ASSERT_TRUE(vts_copy_tree(copy, users() + "/.replaced." + uid));  // swapped out
  VsReindexReport r;
  ASSERT_EQ(vs_admin_reindex(root.c_str(), VS_REINDEX_KEEP, r), 0) << vault_storage_last_error();
  EXPECT_GE(r.replacements, 3);
  EXPECT_EQ(swap_names(), std::vector<std::string>{".staging." + uid + ".n2"});
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 1), 0);
  // Committed but not finished: rolled forward.
  ASSERT_EQ(replace(g0, g1), 0);
  ASSERT_EQ(rename(live.c_str(), (users() + "/.replace." + uid).c_str()), 0);
  ASSERT_EQ(vs_admin_reindex(root.c_str(), VS_REINDEX_KEEP, r), 0) << vault_storage_last_error();
  EXPECT_TRUE(vt_exists(live + "/profile.json"));
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 1), 1);
}

TEST_F(Replace, ItemWritersWaitForAReplacementAndLandAfterIt) {
  Gen g0{0, 2, 0}, g1{1, 2, 0};
  store(g0);
  // Hold the item byte as a save in flight does: the replacement waits.
  VsFd held;
  ASSERT_EQ(vs_lock_account(root.c_str(), user_dir(uid).c_str(), VS_LOCK_ITEMS, held, true), 0);
  vs_lock_set_wait_ms(100);
  EXPECT_EQ(replace(g0, g1), -1);
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_BUSY);
  EXPECT_TRUE(swap_names().empty());
  vs_lock_drop(held);
  vs_lock_set_wait_ms(VS_LOCK_WAIT_MS);
  // A lock taken on the directory a replacement swapped out is not kept:
  // the writer locks the live one.
  VsFd stale(open((user_dir(uid) + "/.lock").c_str(), O_RDWR));
  ASSERT_EQ(replace(g0, g1), 0);
  ASSERT_EQ(vs_lock_account(root.c_str(), user_dir(uid).c_str(), VS_LOCK_ITEMS, held, true), 0);
  struct stat a, b;
  ASSERT_EQ(fstat(held.fd, &a), 0);
  ASSERT_EQ(fstat(stale.fd, &b), 0);
  EXPECT_NE(a.st_ino, b.st_ino);
}

// A writer that waited for the old directory's lock (another host's client
// can lead it there after the commit, from its caches) gets it only once
// that directory is gone: it cannot save into a directory about to be
// removed and answer 0.
TEST_F(Replace, AWriterWaitingOnTheSwappedOutDirectoryFindsItGone) {
  Gen g0{0, 300, 0}, g1{1, 300, 0};
  store(g0);
  VsFd dir(open(user_dir(uid).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  VsFd lock(open((user_dir(uid) + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(dir.ok() && lock.ok());
  std::atomic<int> waited{0}, ciphers_left{-1};
  std::thread writer([&] {
    struct flock fl = {};
    fl.l_type = F_RDLCK;
    fl.l_len = 1;
    // Until the replacement holds the lock (a try that gets it lets go at
    // once), then wait for it as a save does.
    for (;;) {
      fl.l_type = F_RDLCK;
      if (fcntl(lock.fd, F_OFD_SETLK, &fl) != 0) break;
      fl.l_type = F_UNLCK;
      fcntl(lock.fd, F_OFD_SETLK, &fl);
      usleep(50);
    }
    fl.l_type = F_RDLCK;
    if (fcntl(lock.fd, F_OFD_SETLKW, &fl) != 0) return;
    waited = 1;
    VsFd ciphers(openat(dir.fd, "ciphers", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ciphers_left = ciphers.ok() ? 1 : 0;
  });
  EXPECT_EQ(replace(g0, g1), 0) << vault_storage_last_error();
  writer.join();
  EXPECT_EQ(waited.load(), 1);
  EXPECT_EQ(ciphers_left.load(), 0) << "the old directory was still there when its lock was free";
}

// Another host's client can lead users/<id> to the swapped-out directory
// for a moment after the commit; its readers and writers then ask whether
// the directory they hold is retired (here with the shared file system's
// answers forced on). A mark left in the live directory by a replacement
// cut short before its commit is harmless, reported, and cleared.
TEST_F(Replace, ASwappedOutDirectoryIsRetiredAndALeftOverMarkIsHarmless) {
  Gen g0{0, 2, 1}, g1{1, 2, 1};
  store(g0);
  SharedAnswers shared;
  std::string live = user_dir(uid), mark = live + "/" VS_RETIRED_NAME;
  VsFd old_dir(open(live.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(vs_swap_retired(root.c_str(), old_dir.fd, live.c_str()), 0);
  ASSERT_EQ(replace(g0, g1), 0) << vault_storage_last_error();
  EXPECT_EQ(vs_swap_retired(root.c_str(), old_dir.fd, live.c_str()), 1);
  EXPECT_FALSE(vt_exists(mark));
  EXPECT_TRUE(swap_names().empty());

  ASSERT_TRUE(vts_write(mark, ""));
  VsFd dir(open(live.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(vs_swap_retired(root.c_str(), dir.fd, live.c_str()), 0);
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 2), 1) << vault_storage_last_error();
  EXPECT_EQ(vault_cipher_save(uid.c_str(), g1.item(7).c_str(), nullptr), 0) << vault_storage_last_error();
  EXPECT_EQ(vault_cipher_delete(uid.c_str(), "i7", 0), 0) << vault_storage_last_error();
  // The same directory renamed aside, as a commit does: retired.
  std::string aside = users() + "/.replaced." + uid;
  ASSERT_EQ(rename(live.c_str(), aside.c_str()), 0);
  EXPECT_EQ(vs_swap_retired(root.c_str(), dir.fd, live.c_str()), 1);
  ASSERT_EQ(rename(aside.c_str(), live.c_str()), 0);

  std::vector<std::string> kinds;
  VsCheckSink sink;
  sink.finding = [](void *ctx, const VsFinding &f) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(f.kind);
  };
  sink.ctx = &kinds;
  VsCheckReport report;
  ASSERT_EQ(vs_admin_check(root.c_str(), -1, sink, report), 0);
  EXPECT_EQ(kinds, std::vector<std::string>{"retired-mark"});
  VsReindexReport r;
  ASSERT_EQ(vs_admin_reindex(root.c_str(), VS_REINDEX_KEEP, r), 0) << vault_storage_last_error();
  EXPECT_FALSE(vt_exists(mark));
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 2), 1);
}

// The removal of a swapped-out directory takes its mark off just before
// its last rmdir, so for a moment an emptied directory is unmarked: it must
// not pass for the account with another host still led to it. A directory
// without a profile is the account only if users/ lists it (one being made).
// And a writer on a shared file system that misses the account writes
// nothing: this client's paths may still lead to a directory being removed.
TEST_F(Replace, AnUnmarkedEmptiedDirectoryIsRetiredAndAMissedAccountGetsNoWrite) {
  Gen g0{0, 2, 1};
  store(g0);
  SharedAnswers shared;
  std::string live = user_dir(uid), aside = users() + "/.staging." + uid + ".x";
  ASSERT_EQ(mkdir(aside.c_str(), 0700), 0);
  VsFd emptied(open(aside.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(vs_swap_retired(root.c_str(), emptied.fd, live.c_str()), 1);
  ASSERT_TRUE(vts_write(aside + "/profile.json", "{}"));
  EXPECT_EQ(vs_swap_retired(root.c_str(), emptied.fd, live.c_str()), 0)
      << "an unmarked directory with its profile answers without a listing";
  ASSERT_EQ(unlink((aside + "/profile.json").c_str()), 0);
  ASSERT_EQ(rmdir(aside.c_str()), 0);

  // The live account without its profile for a moment (as when being made).
  std::string profile = live + "/profile.json", kept = base + "/profile.kept";
  ASSERT_EQ(rename(profile.c_str(), kept.c_str()), 0);
  VsFd dir(open(live.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(vs_swap_retired(root.c_str(), dir.fd, live.c_str()), 0);
  ASSERT_EQ(rename(kept.c_str(), profile.c_str()), 0);

  // Gone on the server: the save fails as not found and leaves nothing.
  std::string gone = users() + "/.deleted." + uid;
  ASSERT_EQ(rename(live.c_str(), gone.c_str()), 0);
  EXPECT_EQ(vault_cipher_save(uid.c_str(), g0.item(9).c_str(), nullptr), -1);
  EXPECT_EQ(vault_storage_last_error_code(), VAULT_NOT_FOUND) << vault_storage_last_error();
  EXPECT_FALSE(vt_exists(live));
  EXPECT_FALSE(vt_exists(gone + "/ciphers/i9.json"));
  ASSERT_EQ(rename(gone.c_str(), live.c_str()), 0);
  EXPECT_EQ(vault_cipher_save(uid.c_str(), g0.item(9).c_str(), nullptr), 0) << vault_storage_last_error();
}

// The sync's last check on a shared file system: while a replacement
// holds the held directory's whole lock (or the directory is gone), the
// server's listing says whether users/<id> is still that directory, by its
// inode; with the lock free nothing more is asked. On a local disk the
// question is never asked.
TEST_F(Replace, TheSyncsListingCheckAsksWhileAReplacementHoldsTheDirectory) {
  Gen g0{0, 2, 1}, g1{1, 2, 1};
  store(g0);
  std::string live = user_dir(uid), aside = users() + "/.replaced." + uid;
  struct stat held;
  ASSERT_EQ(stat(live.c_str(), &held), 0);
  VsFd dir(open(live.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  VsFd lock(open((live + "/" VS_LOCK_NAME).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(vs_lock_take(lock.fd, 0), 0);  // a replacement at work
  ASSERT_EQ(rename(live.c_str(), aside.c_str()), 0);
  EXPECT_FALSE(vs_swap_unlisted(root.c_str(), dir.fd, live.c_str(), held)) << "local: never asked";
  SharedAnswers shared;
  EXPECT_TRUE(vs_swap_unlisted(root.c_str(), dir.fd, live.c_str(), held));
  ASSERT_EQ(rename(aside.c_str(), live.c_str()), 0);
  EXPECT_FALSE(vs_swap_unlisted(root.c_str(), dir.fd, live.c_str(), held)) << "held, but still the account";
  vs_lock_drop(lock);
  ASSERT_EQ(rename(live.c_str(), aside.c_str()), 0);
  EXPECT_FALSE(vs_swap_unlisted(root.c_str(), dir.fd, live.c_str(), held)) << "no replacement at work: not asked";
  ASSERT_EQ(rename(aside.c_str(), live.c_str()), 0);
  ASSERT_EQ(replace(g0, g1), 0) << vault_storage_last_error();
  EXPECT_TRUE(vs_swap_unlisted(root.c_str(), dir.fd, live.c_str(), held)) << "gone: no lock file to ask";
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), 2), 1) << vault_storage_last_error();
}

// On a shared file system a commit met between its two renames is rolled
// forward by a reader only once its replacement (which holds the staged
// directory's lock to the end) is gone: while it lives, the reader waits
// for it to finish the swap itself.
TEST_F(Replace, OnASharedFileSystemOnlyAGoneReplacementIsRolledForward) {
  Gen g0{0, 2, 1};
  store(g0);
  SharedAnswers shared;
  std::string live = user_dir(uid), staged = users() + "/.replace." + uid;
  ASSERT_EQ(rename(live.c_str(), staged.c_str()), 0);
  VsFd replacement(open((staged + "/" VS_LOCK_NAME).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(vs_lock_take(replacement.fd, 0), 0);
  std::atomic<int> generation{-2};
  std::thread reader([&] {
    char *doc = vault_sync_generate_json_alloc(uid.c_str(), nullptr);
    generation = doc ? sync_generation(doc, 2) : -1;
    vault_free(doc);
  });
  struct timespec pause = {0, 300 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  EXPECT_TRUE(vt_exists(staged)) << "rolled forward under a live replacement";
  EXPECT_EQ(generation.load(), -2);
  vs_lock_drop(replacement);
  reader.join();
  EXPECT_EQ(generation.load(), 0);
  EXPECT_TRUE(vt_exists(live + "/profile.json"));
  EXPECT_FALSE(vt_exists(staged));
}

// Readers in other processes during hundreds of replacements: every sync
// document is one whole generation, and never "no such account".
TEST_F(Replace, ReadersInOtherProcessesNeverSeeAMixOrAMissingAccount) {
  const int live = 8, rounds = 150;
  Gen g0{0, live, 2};
  store(g0);
  std::string stop = base + "/stop";
  pid_t writer = fork();
  if (writer == 0) {
    for (int g = 1; g <= rounds; g++) {
      Gen from{g - 1, live, 2}, to{g, live, 2};
      if (replace(from, to) != 0) {
        fprintf(stderr, "replace %d: %s\n", g, vault_storage_last_error());
        vts_write(stop, "x");
        _exit(1);
      }
    }
    vts_write(stop, "x");
    _exit(0);
  }
  std::vector<int> rc = vt_run_processes(3, [&](int) {
    int last = 0, syncs = 0;
    while (!vt_exists(stop) || syncs == 0) {
      char *doc = vault_sync_generate_json_alloc(uid.c_str(), nullptr);
      int g = sync_generation(doc, live);
      if (g < last) {
        fprintf(stderr, "sync: generation %d after %d: %s\n", g, last,
                doc ? "" : vault_storage_last_error());
        vault_free(doc);
        return 1;
      }
      vault_free(doc);
      last = g;
      syncs++;
      char *item = vault_cipher_get_alloc(uid.c_str(), "i1", nullptr);
      if (!item) {
        fprintf(stderr, "cipher_get: %s\n", vault_storage_last_error());
        return 2;
      }
      vault_free(item);
      // The statistics count one directory whole: never a failure on the
      // one swapped out and being removed, never a part of it.
      const char *stats = vault_storage_get_stats_json();
      std::string want = "\"ciphers\":" + std::to_string(live) + ",\"folders\":1,\"trash\":2,";
      if (!stats || !strstr(stats, want.c_str())) {
        fprintf(stderr, "stats: %s\n", stats ? stats : vault_storage_last_error());
        return 3;
      }
    }
    return 0;
  });
  int st = 0;
  ASSERT_EQ(waitpid(writer, &st, 0), writer);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  for (int r : rc) EXPECT_EQ(r, 0);
  EXPECT_EQ(sync_generation(vault_sync_generate_json(uid.c_str()), live), rounds);
}

// Saves and moves in other processes against replacements: a replacement
// that answers 0 was given exactly the items stored at its commit, so no
// item is left under an old generation unnoticed.
TEST_F(Replace, ConcurrentSavesAndMovesAreNeverLostUnderTheOldKey) {
  Gen g0{0, 4, 0};
  store(g0);
  std::string stop = base + "/stop";
  std::vector<int> rc = vt_run_processes(3, [&](int who) {
    if (who == 0) {  // the rotating client: reads the vault, replaces it
      int done = 0, refused = 0;
      for (int round = 1; round <= 40; round++) {
        char *doc = vault_sync_generate_json_alloc(uid.c_str(), nullptr);
        VsDoc d(doc ? vs_parse(doc, strlen(doc)) : nullptr);
        vault_free(doc);
        if (!d) return 1;
        yyjson_val *r = yyjson_doc_get_root(d.get());
        const char *hash = yyjson_get_str(yyjson_obj_get(yyjson_obj_get(r, "profile"), "masterPasswordHash"));
        std::string ciphers = "[";
        std::set<std::string> seen;
        size_t i, max;
        yyjson_val *c;
        yyjson_arr_foreach(yyjson_obj_get(r, "ciphers"), i, max, c) {
          seen.insert(yyjson_get_str(yyjson_obj_get(c, "id")));
          ciphers += (i ? "," : "") + std::string("{\"id\":\"") +
                     yyjson_get_str(yyjson_obj_get(c, "id")) + "\",\"gen\":" + std::to_string(round) + "}";
        }
        ciphers += "]";
        // The trash as it stands now (not part of the sync document).
        std::string trash = "[";
        for (const std::string &n : vt_list(user_dir(uid) + "/trash"))
          if (vs_item_file_name(n.c_str()) && !seen.count(n.substr(0, n.size() - 5)))
            trash += (trash.size() > 1 ? "," : "") + std::string("{\"id\":\"") +
                     n.substr(0, n.size() - 5) + "\",\"gen\":" + std::to_string(round) + "}";
        trash += "]";
        std::string next = "hash" + std::to_string(round);
        int got = vault_user_replace_vault(uid.c_str(), hash, next.c_str(), 1, "k", ciphers.c_str(),
                                           trash.c_str(), "[]");
        if (got == 0) done++;
        else if (got == 1) refused++;
        else if (vault_storage_last_error_code() != VAULT_BUSY) {
          fprintf(stderr, "replace: %s\n", vault_storage_last_error());
          return 2;
        }
      }
      vts_write(stop, "x");
      fprintf(stderr, "replacements: %d done, %d refused\n", done, refused);
      return done > 0 ? 0 : 3;
    }
    // Other clients: new items, and moves to the trash and back.
    for (int n = 0; n < 150 && !vt_exists(stop); n++) {
      std::string id = "w" + std::to_string(who) + "_" + std::to_string(n);
      if (vault_cipher_save(uid.c_str(), ("{\"id\":\"" + id + "\",\"gen\":-1}").c_str(), nullptr) != 0) {
        fprintf(stderr, "save: %s\n", vault_storage_last_error());
        return 4;
      }
      if (n % 3 == 0) vault_cipher_delete(uid.c_str(), id.c_str(), 0);
      if (n % 6 == 0) vault_cipher_restore_from_trash(uid.c_str(), id.c_str());
    }
    return 0;
  });
  for (int r : rc) EXPECT_EQ(r, 0);
  // Every item stored is of the last committed generation or was written
  // after it (gen -1), never of an earlier generation.
  char *doc = vault_sync_generate_json_alloc(uid.c_str(), nullptr);
  ASSERT_NE(doc, nullptr);
  VsDoc d(vs_parse(doc, strlen(doc)));
  vault_free(doc);
  yyjson_val *r = yyjson_doc_get_root(d.get());
  int g = atoi(yyjson_get_str(yyjson_obj_get(yyjson_obj_get(r, "profile"), "masterPasswordHash")) + 4);
  std::set<int> gens;
  size_t i, max;
  yyjson_val *c;
  yyjson_arr_foreach(yyjson_obj_get(r, "ciphers"), i, max, c) gens.insert((int)yyjson_get_int(yyjson_obj_get(c, "gen")));
  for (const std::string &n : vt_list(user_dir(uid) + "/trash")) {
    VsDoc t(vs_parse(vt_read(user_dir(uid) + "/trash/" + n).c_str(), vt_read(user_dir(uid) + "/trash/" + n).size()));
    gens.insert((int)yyjson_get_int(yyjson_obj_get(yyjson_doc_get_root(t.get()), "gen")));
  }
  for (int x : gens) EXPECT_TRUE(x == g || x == -1) << "generation " << x << " of " << g;
}

}  // namespace
