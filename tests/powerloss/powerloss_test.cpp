// Power-loss tests of the library's writers on the file system of plfs.cpp,
// which keeps only what was synced. A seeded random sequence of
// registrations, item saves, moves to and from the trash, removals, folder
// saves and removals and re-inits runs on a data root inside the mount;
// after each call that returned 0 the durable image is taken and opened
// with the library: every acknowledged effect must be there (items byte for
// byte in the place the last acknowledged move put them, folders, accounts
// found by e-mail) and no document may be torn or empty. A second run cuts
// from another thread while calls are in progress: the image must hold
// every effect acknowledged before the call, and the call's own effect
// either whole or not at all.
//
// VS_POWERLOSS_SEED replays a sequence (the seed is printed; the moments
// of the cuts inside calls follow the scheduler),
// VS_POWERLOSS_CALLS sets its length, VS_POWERLOSS_DIR the work directory
// (default: a fresh one under /dev/shm or /tmp; kept when a check
// fails).
#include <gtest/gtest.h>
#include <keldrune-vault-storage.h>
#include <yyjson.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "pl_mount.h"
#include "vs_tool_check.h"

namespace fs = std::filesystem;

namespace {

bool read_file(const std::string &path, std::string &out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  out = s.str();
  return true;
}

bool write_file(const std::string &path, const std::string &bytes, bool sync) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
  if (sync && fsync(fd) != 0) ok = false;
  return close(fd) == 0 && ok;
}

bool sync_dir(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_json(const std::string &bytes) {
  yyjson_doc *d = yyjson_read(bytes.data(), bytes.size(), 0);
  yyjson_doc_free(d);
  return d != nullptr;
}

// A work directory for one test: removed afterwards unless a check failed.
struct WorkDir {
  std::string path;
  bool keep = false;
  WorkDir() {
    const char *base = getenv("VS_POWERLOSS_DIR");
    // tmpfs by default: the backing directory's own syncs cost nothing
    // there, and the model does not depend on them.
    if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/vs-powerloss.XXXXXX";
    fs::create_directories(fs::path(tmpl).parent_path());
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path = buf.data();
  }
  ~WorkDir() {
    if (path.empty()) return;
    if (keep || ::testing::Test::HasFailure()) {
      fprintf(stderr, "[powerloss] kept for inspection: %s\n", path.c_str());
      return;
    }
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// ---- the file system itself ---------------------------------------------------

struct Mounted : ::testing::Test {
  WorkDir work;
  PlMount m;
  void SetUp() override {
    ASSERT_FALSE(work.path.empty()) << "mkdtemp failed";
    std::string err = m.start(VS_POWERLOSS_FS, work.path);
    ASSERT_EQ(err, "") << "mounting the power-loss file system";
  }
  int cuts = 0;
  std::string cut() {
    std::string dest = work.path + "/image-" + std::to_string(++cuts);
    std::string err = m.cut(dest);
    EXPECT_EQ(err, "") << "cut into " << dest;
    return dest;
  }
};

using PowerLossFs = Mounted;

// What the model promises, one step at a time: data as of the file's sync,
// entries as of the directory's sync, a rename in each directory as of its
// own sync, a replacement by rename only once the directory is synced.
TEST_F(PowerLossFs, KeepsExactlyWhatWasSynced) {
  const std::string d = m.mnt + "/d", e = m.mnt + "/e";
  ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  std::string img = cut();
  EXPECT_FALSE(exists(img + "/d")) << "a new directory before its parent's sync";
  ASSERT_TRUE(sync_dir(m.mnt));
  img = cut();
  EXPECT_TRUE(exists(img + "/d"));

  ASSERT_TRUE(write_file(d + "/a", "hello", false));
  ASSERT_TRUE(sync_dir(d));
  img = cut();
  std::string got;
  ASSERT_TRUE(read_file(img + "/d/a", got)) << "an entry synced in its directory";
  EXPECT_EQ(got, "") << "a file never synced is empty";

  ASSERT_TRUE(write_file(d + "/b", "bee", true));
  img = cut();
  EXPECT_FALSE(exists(img + "/d/b")) << "a synced file whose directory is not";

  {
    int fd = open((d + "/a").c_str(), O_RDONLY);  // any descriptor of the inode
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fdatasync(fd), 0);
    close(fd);
  }
  ASSERT_TRUE(sync_dir(d));
  img = cut();
  ASSERT_TRUE(read_file(img + "/d/a", got));
  EXPECT_EQ(got, "hello");
  ASSERT_TRUE(read_file(img + "/d/b", got));
  EXPECT_EQ(got, "bee");

  // Written after the sync: not durable.
  ASSERT_TRUE(write_file(d + "/a", "hello again", false));
  img = cut();
  ASSERT_TRUE(read_file(img + "/d/a", got));
  EXPECT_EQ(got, "hello");

  // Rename across directories, synced in the target first.
  ASSERT_EQ(mkdir(e.c_str(), 0755), 0);
  ASSERT_TRUE(sync_dir(m.mnt));
  ASSERT_EQ(rename((d + "/b").c_str(), (e + "/b").c_str()), 0);
  img = cut();
  EXPECT_TRUE(exists(img + "/d/b"));
  EXPECT_FALSE(exists(img + "/e/b"));
  ASSERT_TRUE(sync_dir(e));
  img = cut();
  EXPECT_TRUE(exists(img + "/d/b")) << "the source not synced yet";
  EXPECT_TRUE(exists(img + "/e/b"));
  struct stat st;
  ASSERT_EQ(stat((img + "/e/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u) << "one file under two names";
  ASSERT_TRUE(sync_dir(d));
  img = cut();
  EXPECT_FALSE(exists(img + "/d/b"));
  ASSERT_TRUE(read_file(img + "/e/b", got));
  EXPECT_EQ(got, "bee");

  // Replacement through a synced temporary file and a rename.
  ASSERT_TRUE(write_file(d + "/c.tmp", "v2", true));
  ASSERT_EQ(rename((d + "/c.tmp").c_str(), (d + "/a").c_str()), 0);
  img = cut();
  ASSERT_TRUE(read_file(img + "/d/a", got));
  EXPECT_EQ(got, "hello") << "the rename is not durable before the directory's sync";
  EXPECT_FALSE(exists(img + "/d/c.tmp"));
  ASSERT_TRUE(sync_dir(d));
  img = cut();
  ASSERT_TRUE(read_file(img + "/d/a", got));
  EXPECT_EQ(got, "v2");

  // Removal, of a file and of a directory.
  ASSERT_EQ(unlink((e + "/b").c_str()), 0);
  ASSERT_EQ(rmdir(e.c_str()), 0);
  img = cut();
  EXPECT_TRUE(exists(img + "/e/b")) << "removals before any sync";
  ASSERT_TRUE(sync_dir(m.mnt));
  img = cut();
  EXPECT_FALSE(exists(img + "/e"));
  ASSERT_TRUE(read_file(img + "/d/a", got));
  EXPECT_EQ(got, "v2");
}


// ---- the library's writers ------------------------------------------------------

// Where an item is: nowhere, live or in the trash, and its bytes.
struct Item {
  int where = 0;  // 0 gone, 1 live, 2 trash
  std::string bytes;
  bool operator==(const Item &o) const { return where == o.where && (where == 0 || bytes == o.bytes); }
};

struct Account {
  std::string email, uid;
  std::map<std::string, Item> items;
  std::map<std::string, std::string> folders;  // id -> name
};

// What the acknowledged calls have made.
struct Model {
  std::vector<Account> accounts;
};

// A call that may or may not have reached the image (a cut during it):
// the model as it is when the call has taken effect.
struct InFlight {
  int account = -1;  // the account it touches, or -1
  std::string item, folder;
  bool creates_account = false;
};

std::string uuid(std::mt19937_64 &rng) {
  static const char *hex = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 36; ++i) s += (i == 8 || i == 13 || i == 18 || i == 23) ? '-' : hex[rng() % 16];
  return s;
}

std::string item_json(std::mt19937_64 &rng, const std::string &id) {
  // Mostly small, sometimes beyond one FUSE write (128 KiB).
  size_t n = rng() % 10 == 0 ? 100000 + rng() % 150000 : rng() % 3000;
  std::string notes(n, 'a');
  for (auto &c : notes) c = (char)('a' + rng() % 26);
  return "{\"id\":\"" + id + "\",\"type\":1,\"name\":\"n" + std::to_string(rng() % 1000) +
         "\",\"notes\":\"" + notes + "\"}";
}

// Folders as the library lists them: id -> name; false when the list is
// not a JSON array of objects.
bool folder_list(const char *uid, std::map<std::string, std::string> &out) {
  size_t len = 0;
  char *text = vault_folders_get_json_alloc(uid, &len);
  if (!text) return false;
  yyjson_doc *d = yyjson_read(text, len, 0);
  vault_free(text);
  if (!d) return false;
  bool ok = yyjson_is_arr(yyjson_doc_get_root(d));
  size_t i, max;
  yyjson_val *v;
  out.clear();
  if (ok) {
    yyjson_arr_foreach(yyjson_doc_get_root(d), i, max, v) {
      const char *id = yyjson_get_str(yyjson_obj_get(v, "id"));
      const char *name = yyjson_get_str(yyjson_obj_get(v, "name"));
      if (!id) ok = false;
      else out[id] = name ? name : "";
    }
  }
  yyjson_doc_free(d);
  return ok;
}

// Every document in the image whole: each *.json (temporary names aside)
// non-empty strict JSON.
void check_documents(const std::string &img, std::vector<std::string> &faults) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(img, ec); !ec && it != fs::end(it); it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    std::string name = it->path().filename().string();
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
    if (name.find(".tmp.") != std::string::npos) continue;
    std::string bytes;
    if (!read_file(it->path().string(), bytes) || bytes.empty() || !is_json(bytes))
      faults.push_back("torn or empty document: " + it->path().string().substr(img.size()) +
                       " (" + std::to_string(bytes.size()) + " bytes)");
  }
}

// The image of a cut against the acknowledged model. With a call in
// flight, the entity it touches may match `after` instead.
std::vector<std::string> check_image(const std::string &img, const std::string &root_name,
                                     const Model &acked, const Model *after, const InFlight *fly) {
  std::vector<std::string> faults;
  const std::string root = img + "/" + root_name;
  check_documents(img, faults);
  if (vault_storage_init(root.c_str()) != 0) {
    faults.push_back(std::string("init on the image failed: ") + vault_storage_last_error());
    return faults;
  }
  const Model &full = after ? *after : acked;
  for (size_t a = 0; a < full.accounts.size(); ++a) {
    const Account &acc = full.accounts[a];
    bool optional = a >= acked.accounts.size();  // being registered by the call in flight
    char uid[VAULT_ID_SIZE] = "";
    int rc = vault_user_find_by_email(acc.email.c_str(), uid, nullptr, nullptr, nullptr);
    if (rc == 1 && optional) continue;
    if (rc != 0 || acc.uid != uid) {
      faults.push_back("account " + acc.email + " (" + acc.uid + "): find answers " +
                       std::to_string(rc) + " " + uid);
      continue;
    }
    char *profile = vault_user_get_profile_json_alloc(acc.uid.c_str(), nullptr);
    if (!profile) faults.push_back("account " + acc.uid + ": no profile: " + vault_storage_last_error());
    vault_free(profile);
    size_t slen = 0;
    char *sync = vault_sync_generate_json_alloc(acc.uid.c_str(), &slen);
    if (!sync || !is_json(std::string(sync, slen)))
      faults.push_back("account " + acc.uid + ": no sync document: " + vault_storage_last_error());
    vault_free(sync);

    const std::string dir = root + "/users/" + acc.uid;
    const Account *old = a < acked.accounts.size() ? &acked.accounts[a] : nullptr;
    std::map<std::string, int> seen;  // every item on disk, and those in the models
    for (const char *sub : {"ciphers", "trash"}) {
      std::error_code ec;
      for (auto &e : fs::directory_iterator(dir + "/" + sub, ec)) {
        std::string n = e.path().filename().string();
        if (n.size() > 5 && n.find(".tmp.") == std::string::npos && n.compare(n.size() - 5, 5, ".json") == 0)
          seen[n.substr(0, n.size() - 5)] = 1;
      }
    }
    for (auto &[id, it] : acc.items) seen[id] = 1;
    if (old)
      for (auto &[id, it] : old->items) seen[id] = 1;
    for (auto &[id, unused] : seen) {
      (void)unused;
      std::string live, trash;
      bool in_live = read_file(dir + "/ciphers/" + id + ".json", live);
      bool in_trash = read_file(dir + "/trash/" + id + ".json", trash);
      Item got;
      if (in_live && !in_trash) got = Item{1, live};
      if (in_trash && !in_live) got = Item{2, trash};
      auto want_of = [&](const Account *x) {
        if (!x) return Item{};
        auto f = x->items.find(id);
        return f == x->items.end() ? Item{} : f->second;
      };
      Item want = want_of(old), want_after = want_of(&acc);
      bool in_flight = fly && fly->account == (int)a && fly->item == id;
      if (in_live && in_trash) {
        // A move cut short may show both names of one file; never a loss.
        if (in_flight && live == trash && (live == want.bytes || live == want_after.bytes)) continue;
        faults.push_back("item " + acc.uid + "/" + id + " both live and in the trash");
        continue;
      }
      if (got == want || (in_flight && got == want_after)) {
        if (got.where == 1) {
          size_t glen = 0;
          char *g = vault_cipher_get_alloc(acc.uid.c_str(), id.c_str(), &glen);
          if (!g || std::string(g, glen) != got.bytes)
            faults.push_back("item " + acc.uid + "/" + id + ": vault_cipher_get differs from the file");
          vault_free(g);
        }
        continue;
      }
      static const char *where[] = {"absent", "live", "in the trash"};
      faults.push_back("item " + acc.uid + "/" + id + ": " + where[got.where] + " (" +
                       std::to_string(got.bytes.size()) + " bytes), acknowledged " +
                       where[want.where] + " (" + std::to_string(want.bytes.size()) + " bytes)" +
                       (got.where == want.where ? ", bytes differ" : ""));
    }

    std::map<std::string, std::string> folders;
    if (!folder_list(acc.uid.c_str(), folders)) {
      faults.push_back("account " + acc.uid + ": folder list unreadable: " + vault_storage_last_error());
    } else if (!old || folders != old->folders) {
      bool ok = false;
      if (fly && fly->account == (int)a && !fly->folder.empty()) {
        // Only the folder in flight may differ, and only as the call leaves it.
        auto strip = [&](std::map<std::string, std::string> f) { f.erase(fly->folder); return f; };
        auto in = [&](const std::map<std::string, std::string> &f) {
          auto x = f.find(fly->folder);
          return x == f.end() ? std::string("\x01") : x->second;
        };
        ok = old && strip(folders) == strip(old->folders) &&
             (in(folders) == in(old->folders) || in(folders) == in(acc.folders));
      } else if (!old) {
        ok = folders.empty() || folders == acc.folders;
      }
      if (!ok) faults.push_back("account " + acc.uid + ": folders differ from the acknowledged list (" +
                                std::to_string(folders.size()) + " entries, acknowledged " +
                                std::to_string(old ? old->folders.size() : 0) + ")");
    }
  }
  return faults;
}

// The operator's check over an image of an acknowledged state: nothing to
// report but temporary files (a cut may leave those; they are swept) and
// sizes.
void tool_check(const std::string &root, std::vector<std::string> &faults) {
  // Sizes beyond what the fixed-size reads return are the test's own
  // documents, not damage.
  std::string found = vts_check_findings(VS_TOOL, root, [](const char *kind, const char *) {
    return strcmp(kind, "temp-file") == 0 || strcmp(kind, "too-large") == 0 ||
           strcmp(kind, "sync-too-large") == 0;
  });
  if (!found.empty()) faults.push_back("check: " + found);
}

struct Writers : Mounted {
  std::string root;  // the data root inside the mount
  Model model;
  std::mt19937_64 rng;
  uint64_t seed = 0;
  int calls = 0;
  int acknowledged = 0, refused = 0;

  void SetUp() override {
    Mounted::SetUp();
    if (HasFatalFailure()) return;
    const char *s = getenv("VS_POWERLOSS_SEED");
    static uint64_t runs = 0;
    seed = s && *s ? strtoull(s, nullptr, 10)
                   : ((uint64_t)time(nullptr) ^ ((uint64_t)getpid() << 20)) + runs++;
    const char *c = getenv("VS_POWERLOSS_CALLS");
    calls = c && *c ? atoi(c) : 200;
    rng.seed(seed);
    const char *name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    printf("[powerloss] %s: seed %llu, %d calls (VS_POWERLOSS_SEED=%llu "
           "--gtest_filter=%s.%s replays)\n",
           name, (unsigned long long)seed, calls, (unsigned long long)seed,
           ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name(), name);
    root = m.mnt + "/vault";
  }
  void TearDown() override { vault_storage_cleanup(); }
  void cut_after_each();
  void cut_during();

  // One random call: fills `what`, applies the effect to `after` and
  // returns the call's result.
  int step(Model &after, InFlight &fly, std::string &what) {
    int kind = (int)(rng() % 100);
    if (after.accounts.empty() || kind < 6) {
      std::string email = "u" + std::to_string(after.accounts.size()) + "." +
                          std::to_string(rng() % 100000) + "@example.org";
      char uid[VAULT_ID_SIZE] = "";
      what = "vault_user_create(" + email + ")";
      fly.creates_account = true;
      fly.account = (int)after.accounts.size();
      int rc = vault_user_create(email.c_str(), "hash", 600000, "key", uid);
      if (rc == 0) after.accounts.push_back(Account{email, uid, {}, {}});
      return rc;
    }
    if (kind < 8) {
      what = "vault_storage_init(" + root + ")";
      return vault_storage_init(root.c_str());
    }
    int a = (int)(rng() % after.accounts.size());
    Account &acc = after.accounts[a];
    fly.account = a;
    std::vector<std::string> live, trash;
    for (auto &[id, it] : acc.items) {
      if (it.where == 1) live.push_back(id);
      if (it.where == 2) trash.push_back(id);
    }
    if (kind < 50 || live.empty()) {
      std::string id = !live.empty() && rng() % 3 == 0 ? live[rng() % live.size()] : uuid(rng);
      std::string json = item_json(rng, id);
      fly.item = id;
      what = "vault_cipher_save(" + acc.uid + ", " + id + ", " + std::to_string(json.size()) + " bytes)";
      int rc = vault_cipher_save(acc.uid.c_str(), json.c_str(), nullptr);
      if (rc == 0) acc.items[id] = Item{1, json};
      return rc;
    }
    if (kind < 64) {
      std::string id = live[rng() % live.size()];
      int permanent = rng() % 3 == 0;
      fly.item = id;
      what = "vault_cipher_delete(" + acc.uid + ", " + id + ", " + std::to_string(permanent) + ")";
      int rc = vault_cipher_delete(acc.uid.c_str(), id.c_str(), permanent);
      if (rc == 0) acc.items[id].where = permanent ? 0 : 2;
      return rc;
    }
    if (kind < 76 && !trash.empty()) {
      std::string id = trash[rng() % trash.size()];
      fly.item = id;
      what = "vault_cipher_restore_from_trash(" + acc.uid + ", " + id + ")";
      int rc = vault_cipher_restore_from_trash(acc.uid.c_str(), id.c_str());
      if (rc == 0) acc.items[id].where = 1;
      return rc;
    }
    if (kind < 90 || acc.folders.empty()) {
      std::string id = !acc.folders.empty() && rng() % 3 == 0
                           ? std::next(acc.folders.begin(), (long)(rng() % acc.folders.size()))->first
                           : uuid(rng);
      std::string name = "f" + std::to_string(rng() % 100000);
      fly.folder = id;
      what = "vault_folder_save(" + acc.uid + ", " + id + ")";
      std::string json = "{\"id\":\"" + id + "\",\"name\":\"" + name + "\"}";
      int rc = vault_folder_save(acc.uid.c_str(), json.c_str(), nullptr);
      if (rc == 0) acc.folders[id] = name;
      return rc;
    }
    std::string id = std::next(acc.folders.begin(), (long)(rng() % acc.folders.size()))->first;
    fly.folder = id;
    what = "vault_folder_delete(" + acc.uid + ", " + id + ")";
    int rc = vault_folder_delete(acc.uid.c_str(), id.c_str());
    if (rc == 0) acc.folders.erase(id);
    return rc;
  }

  // Opens the image with the library, checks it, and comes back to the
  // mount's root. False (and the faults reported) when it fails.
  bool check(const std::string &img, const Model &acked, const Model *after, const InFlight *fly,
             int call, const std::string &what, const char *when) {
    std::vector<std::string> faults = check_image(img, "vault", acked, after, fly);
    if (!after) tool_check(img + "/vault", faults);
    EXPECT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
    if (faults.empty()) return true;
    std::string all;
    for (auto &f : faults) all += "\n  " + f;
    ADD_FAILURE() << "seed " << seed << ", call " << call << " " << what << ", cut " << when
                  << ", image " << img << ":" << all;
    return false;
  }
};

// After every acknowledged call, a cut: the image holds all of it. The
// e-mail index is declared complete first (by the operator's tool), so a
// lookup in the image reads only the index: an entry that a registration
// did not make durable shows as an account not found.
void Writers::cut_after_each() {
  ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
  std::string reindex = std::string(VS_TOOL) + " --root '" + root + "' reindex --authoritative >/dev/null";
  ASSERT_EQ(system(reindex.c_str()), 0) << reindex;
  std::string img = cut();
  ASSERT_TRUE(exists(img + "/vault/users/.email-index/authoritative"))
      << "the tool's reindex did not make its marker durable";
  ASSERT_TRUE(check(img, model, nullptr, nullptr, 0, "vault_storage_init", "after it"));
  fs::remove_all(img);
  for (int call = 1; call <= calls; ++call) {
    Model after = model;
    InFlight fly;
    std::string what;
    int rc = step(after, fly, what);
    ASSERT_NE(rc, -1) << "seed " << seed << ", call " << call << " " << what << ": "
                      << vault_storage_last_error();
    if (rc != 0) {
      ++refused;
      continue;
    }
    ++acknowledged;
    model = after;
    img = cut();
    ASSERT_TRUE(check(img, model, nullptr, nullptr, call, what, "after it"));
    fs::remove_all(img);
  }
  printf("[powerloss] %d calls acknowledged and cut after, %d answered 1\n", acknowledged, refused);
}

void Writers::cut_during() {
  ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
  std::mutex mu;
  std::condition_variable cv;
  int started = 0, done = 0;  // calls begun, cuts made
  bool stop = false;
  unsigned window_us = 2000;  // follows the mean duration of a call
  std::string img;
  std::thread cutter([&] {
    std::mt19937_64 r(seed + 1);
    std::unique_lock<std::mutex> l(mu);
    for (;;) {
      cv.wait(l, [&] { return stop || started > done; });
      if (stop) return;
      unsigned delay = (unsigned)(r() % (window_us + 1));
      l.unlock();
      usleep(delay);
      std::string dest = work.path + "/midcall-" + std::to_string(started);
      std::string err = m.cut(dest);
      l.lock();
      img = err.empty() ? dest : "";
      if (!err.empty()) ADD_FAILURE() << "cut: " << err;
      done = started;
      cv.notify_all();
    }
  });
  double total_us = 0;
  for (int call = 1; call <= calls && !HasFailure(); ++call) {
    Model after = model;
    InFlight fly;
    std::string what;
    {
      std::lock_guard<std::mutex> g(mu);
      ++started;
    }
    cv.notify_all();
    auto t0 = std::chrono::steady_clock::now();
    int rc = step(after, fly, what);
    total_us += (double)std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - t0).count();
    window_us = (unsigned)(total_us / call) + 1;
    std::string got;
    {
      std::unique_lock<std::mutex> l(mu);
      cv.wait(l, [&] { return done == started; });
      got = img;
    }
    if (rc == -1) ADD_FAILURE() << "seed " << seed << ", call " << call << " " << what << ": "
                                << vault_storage_last_error();
    if (got.empty()) break;
    // The cut may have come before, inside or after the call: the
    // acknowledged model, with the call's effect whole or absent.
    check(got, model, rc == 0 ? &after : nullptr, rc == 0 ? &fly : nullptr, call, what, "during it");
    fs::remove_all(got);
    if (rc == 0) {
      ++acknowledged;
      model = after;
    } else {
      ++refused;
    }
  }
  {
    std::lock_guard<std::mutex> g(mu);
    stop = true;
  }
  cv.notify_all();
  cutter.join();
  printf("[powerloss] %d calls cut inside (mean call %.0f us), %d acknowledged, %d answered 1\n",
         acknowledged + refused, total_us / (acknowledged + refused + 1e-9), acknowledged, refused);
}

TEST_F(Writers, CutAfterEachAcknowledgedCall) { cut_after_each(); }

// Cuts from another thread at random moments inside calls.
TEST_F(Writers, CutDuringCalls) { cut_during(); }

// The same where renames with RENAME_NOREPLACE are refused (as on
// GlusterFS): every move takes the fallback through a second link, whose
// two-name moment a cut must never turn into a loss.
struct FallbackWriters : Writers {
  void SetUp() override {
    setenv("VS_POWERLOSS_NO_RENAME_FLAGS", "1", 1);
    Writers::SetUp();
    unsetenv("VS_POWERLOSS_NO_RENAME_FLAGS");
  }
  void TearDown() override {
    std::string stats = pl_request(m.sock, "stats");
    printf("[powerloss] file system: %s\n", stats.c_str());
    if (!HasFailure()) {
      EXPECT_EQ(stats.find("refused_renames=0"), std::string::npos)
          << "no move went through the fallback";
    }
    Writers::TearDown();
  }
};

TEST_F(FallbackWriters, CutAfterEachAcknowledgedCall) { cut_after_each(); }
TEST_F(FallbackWriters, CutDuringCalls) { cut_during(); }

}  // namespace

// A replacement of a whole vault (key rotation), cut after every
// acknowledged one: the image holds the new generation whole, every item
// byte for byte, and opened with the library it reads as that generation.
TEST_F(PowerLossFs, AnAcknowledgedReplacementOfAVaultIsWholeAfterACut) {
  const std::string root = m.mnt + "/root";
  ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
  char uid[VAULT_ID_SIZE];
  ASSERT_EQ(vault_user_create("rot@example.com", "h0", 1, "k0", uid), 0);
  auto item = [](int g, int i) {
    return "{\"id\":\"i" + std::to_string(i) + "\",\"gen\":" + std::to_string(g) + "}";
  };
  for (int i = 0; i < 4; i++) ASSERT_EQ(vault_cipher_save(uid, item(0, i).c_str(), nullptr), 0);
  for (int g = 1; g <= 6; g++) {
    std::string list = "[";
    for (int i = 0; i < 4; i++) list += (i ? "," : "") + item(g, i);
    list += "]";
    std::string from = "h" + std::to_string(g - 1), to = "h" + std::to_string(g);
    ASSERT_EQ(vault_user_replace_vault(uid, from.c_str(), to.c_str(), 1, "k", list.c_str(), "[]",
                                       "[]"),
              0)
        << vault_storage_last_error();
    std::string img = cut();
    std::string dir = img + "/root/users/" + uid, got;
    for (int i = 0; i < 4; i++) {
      ASSERT_TRUE(read_file(dir + "/ciphers/i" + std::to_string(i) + ".json", got)) << g;
      EXPECT_EQ(got, item(g, i)) << "generation " << g;
    }
    ASSERT_TRUE(read_file(dir + "/profile.json", got));
    EXPECT_NE(got.find("\"masterPasswordHash\":\"" + to + "\""), std::string::npos) << got;
    // The image as a data root: the library reads the new generation.
    ASSERT_EQ(vault_storage_init((img + "/root").c_str()), 0);
    const char *doc = vault_sync_generate_json(uid);
    ASSERT_NE(doc, nullptr) << vault_storage_last_error();
    EXPECT_NE(std::string(doc).find(item(g, 3)), std::string::npos);
    ASSERT_EQ(vault_storage_init(root.c_str()), 0);
  }
  vault_storage_cleanup();
}

// Cuts while replacements run: each image, opened with the library, holds
// one generation whole, the one before the call in flight or the one it
// makes (a commit cut between its renames is rolled forward on opening).
TEST_F(PowerLossFs, ACutDuringAReplacementLeavesOneGenerationWhole) {
  const std::string root = m.mnt + "/root";
  ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
  char uid[VAULT_ID_SIZE];
  ASSERT_EQ(vault_user_create("cut@example.com", "h0", 1, "k0", uid), 0);
  auto item = [](int g, int i) {
    return "{\"id\":\"i" + std::to_string(i) + "\",\"gen\":" + std::to_string(g) + "}";
  };
  for (int i = 0; i < 8; i++) ASSERT_EQ(vault_cipher_save(uid, item(0, i).c_str(), nullptr), 0);
  std::mt19937 rng(12345);
  for (int g = 1; g <= 12; g++) {
    std::string list = "[";
    for (int i = 0; i < 8; i++) list += (i ? "," : "") + item(g, i);
    list += "]";
    std::string from = "h" + std::to_string(g - 1), to = "h" + std::to_string(g);
    int wait_us = (int)(rng() % 4000);
    std::string img;
    std::thread cutter([&] {
      usleep(wait_us);
      img = cut();
    });
    int rc = vault_user_replace_vault(uid, from.c_str(), to.c_str(), 1, "k", list.c_str(), "[]", "[]");
    cutter.join();
    ASSERT_EQ(rc, 0) << vault_storage_last_error();
    ASSERT_EQ(vault_storage_init((img + "/root").c_str()), 0);
    const char *doc = vault_sync_generate_json(uid);
    ASSERT_NE(doc, nullptr) << "cut after " << wait_us << " us: " << vault_storage_last_error();
    std::string text = doc;
    int seen = text.find("\"masterPasswordHash\":\"" + to + "\"") != std::string::npos ? g : g - 1;
    for (int i = 0; i < 8; i++)
      EXPECT_NE(text.find(item(seen, i)), std::string::npos)
          << "generation " << seen << ", cut after " << wait_us << " us: " << text;
    ASSERT_EQ(vault_storage_init(root.c_str()), 0);
  }
  vault_storage_cleanup();
}
