// Many threads of one process calling the library at once, as a server's
// worker threads do: saves, gets, syncs, trash moves and folder reads on
// accounts of their own and on one shared account. Every returned text must
// be the right one (a whole version of the asked-for document, never
// another thread's result), each thread's last-error text must be its own,
// and a text returned to one thread must stay as it was while other threads
// call the same function. Run under ThreadSanitizer by `make tsan-test`.
// VS_THREADS_ITERS scales it.
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/vs_internal.h"
#include "rel_util.h"

namespace {

constexpr int k_threads = 8;
constexpr int k_shared_items = 16;

long iterations() {
  const char *v = getenv("VS_THREADS_ITERS");
  return v && *v ? atol(v) : 120;
}

// A self-checking item: "pad" holds exactly "len" copies of one letter, so
// a text cut short or spliced from two versions is told from a whole one.
std::string item(const std::string &id, int thread, long seq) {
  size_t len = (size_t)((thread * 7919 + seq * 104729) % 3000);
  return "{\"id\":\"" + id + "\",\"t\":" + std::to_string(thread) + ",\"seq\":" +
         std::to_string(seq) + ",\"len\":" + std::to_string(len) + ",\"pad\":\"" +
         std::string(len, (char)('a' + thread)) + "\"}";
}

// True when text is a whole item whose "id" is id.
bool whole_item(const char *text, size_t len, const std::string &id) {
  yyjson_doc *d = yyjson_read(text, len, 0);
  if (!d) return false;
  yyjson_val *r = yyjson_doc_get_root(d);
  yyjson_val *pad = yyjson_obj_get(r, "pad");
  bool ok = yyjson_equals_str(yyjson_obj_get(r, "id"), id.c_str()) && yyjson_is_str(pad) &&
            (long)yyjson_get_len(pad) == yyjson_get_sint(yyjson_obj_get(r, "len"));
  yyjson_doc_free(d);
  return ok;
}

std::string shared_id(long k) { return "s-" + std::to_string(k % k_shared_items); }

struct Shared {
  std::string root, shared_user;
  std::string shared_folders;  // the shared account's folder list, never changed
  std::string users[k_threads];
  std::atomic<long> faults{0};
  std::mutex lock;
  std::vector<std::string> first;  // the first few faults, for the report
};

void fault(Shared &s, const std::string &what) {
  if (s.faults++ < 10) {
    std::lock_guard<std::mutex> g(s.lock);
    s.first.push_back(what);
  }
}

#define CHECK_THAT(cond, what) \
  do {                         \
    if (!(cond)) fault(s, std::string("thread ") + std::to_string(t) + ": " + (what)); \
  } while (0)

// The ids, in any order, and whole texts of the "ciphers" of a sync text.
std::set<std::string> sync_ids(const char *text, size_t len, bool *all_whole) {
  std::set<std::string> ids;
  *all_whole = false;
  yyjson_doc *d = yyjson_read(text, len, 0);
  if (!d) return ids;
  *all_whole = true;
  yyjson_val *arr = yyjson_obj_get(yyjson_doc_get_root(d), "ciphers");
  size_t i, max;
  yyjson_val *v;
  yyjson_arr_foreach(arr, i, max, v) {
    const char *id = yyjson_get_str(yyjson_obj_get(v, "id"));
    std::string one = vr_val_text(v);
    if (!id || !whole_item(one.c_str(), one.size(), id)) *all_whole = false;
    if (id) ids.insert(id);
  }
  yyjson_doc_free(d);
  return ids;
}

void worker(Shared &s, int t) {
  const std::string &me = s.users[t];
  const char *uid = me.c_str(), *shared = s.shared_user.c_str();
  std::map<std::string, std::string> mine;  // this thread's items, id -> text
  std::string folders = "[";
  const long n = iterations();
  // This thread's own failure, one of three messages, must survive every
  // other thread's failures.
  const char *own_fail[] = {"cipher_get: not found", "folder_delete: not found",
                            "restore: not in trash"};
  for (long i = 0; i < n; i++) {
    // Save an item of its own and read it back through both getters.
    std::string id = "t" + std::to_string(t) + "-" + std::to_string(i % 24);
    std::string doc = item(id, t, i);
    char out[VS_ID_BUF] = "";
    CHECK_THAT(vault_cipher_save(uid, doc.c_str(), out) == 0, "save: " + vr_last_error());
    CHECK_THAT(id == out, "save gave id " + std::string(out));
    mine[id] = doc;
    const char *got = vault_cipher_get(uid, id.c_str());
    CHECK_THAT(got && doc == got, "get of " + id + " gave another text");
    size_t len = 0;
    char *a = vault_cipher_get_alloc(uid, id.c_str(), &len);
    CHECK_THAT(a && len == doc.size() && doc == a, "get_alloc of " + id + " gave another text");
    vault_free(a);

    // A shared item: another version by anyone, but always whole and itself.
    std::string sid = shared_id(i + t);
    if (i % 3 == 0) {
      std::string sdoc = item(sid, t, i);
      CHECK_THAT(vault_cipher_save(shared, sdoc.c_str(), nullptr) == 0, "shared save: " + vr_last_error());
    }
    a = vault_cipher_get_alloc(shared, sid.c_str(), &len);
    CHECK_THAT(a && whole_item(a, len, sid), "shared get_alloc of " + sid);
    vault_free(a);
    // The text of the first get is still this thread's, whatever the other
    // threads' gets did meanwhile.
    CHECK_THAT(got && doc == got, "the text of an earlier get changed under another thread's calls");
    const char *sg = vault_cipher_get(shared, sid.c_str());
    CHECK_THAT(sg && whole_item(sg, strlen(sg), sid), "shared get of " + sid);

    // Trash and restore one of its own.
    if (i % 4 == 1) {
      CHECK_THAT(vault_cipher_delete(uid, id.c_str(), 0) == 0, "delete: " + vr_last_error());
      CHECK_THAT(vault_cipher_get(uid, id.c_str()) == nullptr, "a trashed item was found");
      CHECK_THAT(vault_cipher_restore_from_trash(uid, id.c_str()) == 0, "restore: " + vr_last_error());
      a = vault_cipher_get_alloc(uid, id.c_str(), &len);
      CHECK_THAT(a && doc == a, "restored item differs");
      vault_free(a);
    }

    // Folders: its own list grows; the shared list is only read.
    if (i % 5 == 2) {
      std::string fid = "f" + std::to_string(t) + "-" + std::to_string(i);
      std::string fdoc = "{\"id\":\"" + fid + "\",\"name\":\"n" + std::to_string(i) + "\"}";
      CHECK_THAT(vault_folder_save(uid, fdoc.c_str(), nullptr) == 0, "folder save: " + vr_last_error());
      folders += std::string(folders.size() > 1 ? "," : "") + "{\"id\":\"" + fid + "\",\"name\":\"n" +
                 std::to_string(i) + "\",\"object\":\"folder\"}";
    }
    const char *fl = vault_folders_get_json(uid);
    CHECK_THAT(fl && (folders.size() > 1 ? folders + "]" : std::string("[]")) == fl, "own folder list");
    a = vault_folders_get_json_alloc(shared, &len);
    CHECK_THAT(a && s.shared_folders == a, "shared folder list");
    vault_free(a);
    fl = vault_folders_get_json(shared);
    CHECK_THAT(fl && s.shared_folders == fl, "shared folder list (fixed buffer)");

    // Syncs: its own account exactly; the shared one whole, every item there.
    if (i % 10 == 5) {
      bool whole = false;
      char *sy = vault_sync_generate_json_alloc(uid, &len);
      std::set<std::string> ids = sy ? sync_ids(sy, len, &whole) : std::set<std::string>();
      std::set<std::string> want;
      for (auto &kv : mine) want.insert(kv.first);
      CHECK_THAT(sy && whole && ids == want, "own sync");
      const char *fixed = vault_sync_generate_json(uid);
      CHECK_THAT(!sy || (fixed && strcmp(fixed, sy) == 0), "own sync differs from its _alloc twin");
      vault_free(sy);
      sy = vault_sync_generate_json_alloc(shared, &len);
      ids = sy ? sync_ids(sy, len, &whole) : std::set<std::string>();
      CHECK_THAT(sy && whole && ids.size() == k_shared_items, "shared sync");
      vault_free(sy);
      char *st = vault_storage_get_stats_json_alloc(&len);
      CHECK_THAT(st && vr_is_json(std::string(st, len)), "stats");
      vault_free(st);
    }

    // The last-error text is this thread's own.
    switch ((i + t) % 3) {
      case 0: vault_cipher_get(uid, "none"); break;
      case 1: vault_folder_delete(uid, "none"); break;
      default: vault_cipher_restore_from_trash(uid, "none"); break;
    }
    const char *expect = own_fail[(i + t) % 3];
    CHECK_THAT(vault_user_get_profile_json(uid) != nullptr, "profile: " + vr_last_error());
    CHECK_THAT(vr_last_error() == expect, "last error \"" + vr_last_error() + "\", want \"" + expect + "\"");
  }
}

class Threads : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    dir = vts_scratch("threads", true);
    ASSERT_FALSE(dir.empty());
  }
  void TearDown() override {
    vault_storage_cleanup();
    vts_remove_tree(dir);
  }
};

TEST_F(Threads, EveryTextIsTheRightOne) {
  Shared s;
  s.root = dir + "/root";
  ASSERT_EQ(vault_storage_init(s.root.c_str()), 0) << vr_last_error();
  char uid[VS_ID_BUF];
  ASSERT_EQ(vault_user_create("shared@example.com", "h", 1, "k", uid), 0) << vr_last_error();
  s.shared_user = uid;
  for (int k = 0; k < k_shared_items; k++)
    ASSERT_EQ(vault_cipher_save(uid, item(shared_id(k), 0, k).c_str(), nullptr), 0);
  ASSERT_EQ(vault_folder_save(uid, "{\"id\":\"sf\",\"name\":\"Shared\"}", nullptr), 0);
  s.shared_folders = vault_folders_get_json(uid);
  for (int t = 0; t < k_threads; t++) {
    std::string email = "t" + std::to_string(t) + "@example.com";
    ASSERT_EQ(vault_user_create(email.c_str(), "h", 1, "k", uid), 0) << vr_last_error();
    s.users[t] = uid;
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < k_threads; t++) threads.emplace_back(worker, std::ref(s), t);
  for (auto &th : threads) th.join();
  EXPECT_EQ(s.faults.load(), 0);
  for (auto &f : s.first) ADD_FAILURE() << f;
  EXPECT_TRUE(vr_tmp_names(vts_snapshot(s.root)).empty()) << "temporary file left";
}

// Threads that end release their result buffers; the main thread's stay.
TEST_F(Threads, BuffersGoWithTheirThread) {
  std::string root = dir + "/root";
  ASSERT_EQ(vault_storage_init(root.c_str()), 0);
  size_t before = vs_result_blocks();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([] {
      EXPECT_EQ(vault_cipher_get("nobody", "x"), nullptr);
      EXPECT_STREQ(vault_storage_last_error(), "cipher_get: not found");
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(vs_result_blocks(), before);
  // A fresh thread starts with "OK", whatever other threads recorded.
  std::thread([] { EXPECT_STREQ(vault_storage_last_error(), "OK"); }).join();
}

}  // namespace
