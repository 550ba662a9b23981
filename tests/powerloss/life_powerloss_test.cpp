// Power cuts in the life of an account, on the file system of plfs.cpp
// (only what was synced survives). A seeded random sequence of
// registrations, credential changes, e-mail changes, deletions and item
// saves runs on a data root inside the mount, its results predicted by a
// model (0, or 1 for a stale hash, a taken address, a missing account).
// Cuts come after each call and, in a second run, from another thread in
// the middle of calls; each image is opened with the library and must hold:
//   - every account as the acknowledged calls left it (credentials, address,
//     items), or for the call in flight as it leaves it, nothing between;
//   - a deleted account gone for every reader (profile, sync, token);
//   - each address ever used found under the one visible account whose
//     profile holds it, or under none; hence each account under exactly
//     its own address;
//   - no visible account the calls did not make;
//   - after the operator's reindex, a clean `check`, and the same answers.
// The e-mail index is declared complete first, so lookups read only the
// index: an entry a change did not make durable shows as a lost account.
// VS_POWERLOSS_SEED and VS_POWERLOSS_CALLS as in powerloss_test.cpp.
#include <gtest/gtest.h>
#include <keldrune-vault-storage.h>
#include <yyjson.h>

#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "pl_mount.h"
#include "vs_tool_check.h"

namespace fs = std::filesystem;

namespace {

struct Acc {
  std::string uid, email, hash, key;
  uint32_t iters = 1;
  bool deleted = false;
  std::map<std::string, std::string> items;  // live cipher id -> bytes
  bool operator==(const Acc &o) const {
    return uid == o.uid && email == o.email && hash == o.hash && key == o.key && iters == o.iters &&
           deleted == o.deleted && items == o.items;
  }
};

struct Model {
  std::vector<Acc> acc;
  std::set<std::string> addresses;  // every address used, lower-cased
};

std::string lower(std::string s) {
  for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

std::string run(const std::string &cmd, int *status = nullptr) {
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  std::string out;
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = st;
  return out;
}

std::string tool(const std::string &root, const std::string &args, int *status = nullptr) {
  return run(std::string(VS_TOOL) + " --root '" + root + "' " + args, status);
}

// Whether path lies in an account directory without a profile: what a
// registration cut short leaves (check reports it; it is no account).
bool unregistered(const std::string &root, const std::string &path) {
  std::string users = root + "/users/";
  if (path.compare(0, users.size(), users) != 0) return false;
  std::string dir = path.substr(0, path.find('/', users.size()));
  return access((dir + "/profile.json").c_str(), F_OK) != 0;
}

// `check` over root: its findings but temporary files and sizes (and, for
// a registration cut short, its directory without a profile).
std::string check_findings(const std::string &root, bool registering) {
  return vts_check_findings(VS_TOOL, root, [&](const char *kind, const char *path) {
    if (!strcmp(kind, "temp-file") || !strcmp(kind, "too-large")) return true;
    return registering && (!strcmp(kind, "no-profile") || !strcmp(kind, "missing")) && unregistered(root, path);
  });
}

// The account as the library shows it in the current root: "" when it
// matches s, else what differs.
std::string account_differs(const Acc &s) {
  char *p = vault_user_get_profile_json_alloc(s.uid.c_str(), nullptr);
  int code = vault_storage_last_error_code();
  char *sync = vault_sync_generate_json_alloc(s.uid.c_str(), nullptr);
  char *token = vault_user_revision_alloc(s.uid.c_str(), nullptr);
  std::string profile = p ? p : "";
  bool has_sync = sync != nullptr, has_token = token != nullptr;
  vault_free(p);
  vault_free(sync);
  vault_free(token);
  if (s.deleted) {
    if (!profile.empty() || code != VAULT_NOT_FOUND || has_sync || has_token)
      return "deleted, yet shows a profile, sync or token";
    return "";
  }
  if (profile.empty() || !has_sync || !has_token) return "no profile, sync or token";
  yyjson_doc *d = yyjson_read(profile.data(), profile.size(), 0);
  yyjson_val *r = yyjson_doc_get_root(d);
  const char *e = yyjson_get_str(yyjson_obj_get(r, "email"));
  const char *h = yyjson_get_str(yyjson_obj_get(r, "masterPasswordHash"));
  const char *k = yyjson_get_str(yyjson_obj_get(r, "protectedKey"));
  uint64_t it = yyjson_get_uint(yyjson_obj_get(r, "kdfIterations"));
  std::string why;
  if (!e || s.email != e) why += std::string("address ") + (e ? e : "-") + "; ";
  if (!h || !k || s.hash != h || s.key != k || it != s.iters)
    why += std::string("credentials ") + (h ? h : "-") + "/" + std::to_string(it) + "; ";
  yyjson_doc_free(d);
  for (auto &[id, bytes] : s.items) {
    size_t len = 0;
    char *c = vault_cipher_get_alloc(s.uid.c_str(), id.c_str(), &len);
    if (!c || std::string(c, len) != bytes) why += "item " + id + "; ";
    vault_free(c);
  }
  return why;
}

// The e-mail of each visible account as its profile holds it.
std::map<std::string, std::string> visible_addresses(const std::string &root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto &e : fs::directory_iterator(root + "/users", ec)) {
    std::string n = e.path().filename().string();
    if (n[0] == '.') continue;
    char *p = vault_user_get_profile_json_alloc(n.c_str(), nullptr);
    if (!p) continue;  // a registration cut short
    yyjson_doc *d = yyjson_read(p, strlen(p), 0);
    const char *em = yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(d), "email"));
    out[n] = em ? em : "";
    yyjson_doc_free(d);
    vault_free(p);
  }
  return out;
}

// Every address under the one visible account whose profile holds it, or
// under none.
void check_addresses(const std::string &root, const std::set<std::string> &addresses,
                     std::vector<std::string> &faults) {
  auto held = visible_addresses(root);
  for (const std::string &a : addresses) {
    std::vector<std::string> holders;
    for (auto &[uid, e] : held)
      if (lower(e) == a) holders.push_back(uid);
    char uid[VAULT_ID_SIZE] = "";
    int rc = vault_user_find_by_email(a.c_str(), uid, nullptr, nullptr, nullptr);
    if (holders.size() > 1) faults.push_back(a + " held by " + std::to_string(holders.size()) + " accounts");
    else if (holders.empty() && rc != 1) faults.push_back(a + " held by no profile, found under " + uid);
    else if (holders.size() == 1 && (rc != 0 || holders[0] != uid))
      faults.push_back(a + " held by " + holders[0] + ", lookup answers " + std::to_string(rc) + " " + uid);
  }
}

// One image against the acknowledged model; the account `fly` (if >= 0)
// may instead be as `after` has it.
std::vector<std::string> check_image(const std::string &root, const Model &acked, const Model &after, int fly) {
  std::vector<std::string> faults;
  if (vault_storage_init(root.c_str()) != 0) {
    faults.push_back(std::string("init: ") + vault_storage_last_error());
    return faults;
  }
  std::set<std::string> known;
  for (size_t i = 0; i < after.acc.size(); i++) {
    const Acc &a = after.acc[i];
    known.insert(a.uid);
    std::string now = i < acked.acc.size() ? account_differs(acked.acc[i]) : "not registered yet";
    if (now.empty()) continue;
    if ((int)i == fly) {
      Acc gone = a;
      gone.deleted = true;  // a registration cut short: not there at all
      if (account_differs(a).empty() || (i >= acked.acc.size() && account_differs(gone).empty())) continue;
    }
    faults.push_back("account " + a.uid + " (" + a.email + (a.deleted ? ", deleted" : "") + "): " + now);
  }
  for (auto &[uid, e] : visible_addresses(root))
    if (!known.count(uid)) faults.push_back("an account no call made: " + uid + " " + e);
  std::set<std::string> addresses = after.addresses;
  check_addresses(root, addresses, faults);
  vault_storage_cleanup();

  // The operator's reindex finishes what a cut left, and check is clean.
  int st = 0;
  std::string out = tool(root, "reindex", &st);
  if (st != 0) faults.push_back("reindex: " + out);
  std::string found = check_findings(root, fly >= (int)acked.acc.size());
  if (!found.empty()) faults.push_back("check after reindex: " + found);
  if (vault_storage_init(root.c_str()) == 0) check_addresses(root, addresses, faults);
  vault_storage_cleanup();
  return faults;
}

struct Life : ::testing::Test {
  std::string work, root;
  PlMount m;
  Model model;
  std::mt19937_64 rng;
  uint64_t seed = 0;
  int calls = 200, cuts = 0, counted[2] = {0, 0};

  void SetUp() override {
    const char *base = getenv("VS_POWERLOSS_DIR");
    if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/vs-lifeloss.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    work = buf.data();
    ASSERT_EQ(m.start(VS_POWERLOSS_FS, work), "");
    root = m.mnt + "/vault";
    const char *s = getenv("VS_POWERLOSS_SEED"), *c = getenv("VS_POWERLOSS_CALLS");
    static uint64_t runs = 0;
    seed = s && *s ? strtoull(s, nullptr, 10) : ((uint64_t)time(nullptr) ^ ((uint64_t)getpid() << 20)) + runs++;
    if (c && *c) calls = atoi(c);
    rng.seed(seed);
    printf("[powerloss] life %s: seed %llu, %d calls\n",
           ::testing::UnitTest::GetInstance()->current_test_info()->name(), (unsigned long long)seed, calls);
    ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
  }
  void TearDown() override {
    vault_storage_cleanup();
    m.stop();
    if (HasFailure()) {
      fprintf(stderr, "[powerloss] kept for inspection: %s\n", work.c_str());
      return;
    }
    std::error_code ec;
    fs::remove_all(work, ec);
  }

  std::vector<int> live() const {
    std::vector<int> v;
    for (size_t i = 0; i < model.acc.size(); i++)
      if (!model.acc[i].deleted) v.push_back((int)i);
    return v;
  }
  const Acc *holder(const Model &md, const std::string &email) const {
    for (auto &a : md.acc)
      if (!a.deleted && lower(a.email) == lower(email)) return &a;
    return nullptr;
  }
  std::string fresh_address() {
    return "u" + std::to_string(rng() % 1000000) + (rng() % 2 ? "@Example.org" : "@x.test");
  }
  // An address used before that no account holds now, or a fresh one.
  std::string freed_address() {
    std::vector<std::string> v;
    for (auto &a : model.addresses)
      if (!holder(model, a)) v.push_back(a);
    return v.empty() ? fresh_address() : v[rng() % v.size()];
  }

  // One random call on `after` (a copy of the model): its effect applied,
  // the account it touches in fly; the result must be the predicted one.
  int step(Model &after, int &fly, std::string &what) {
    std::vector<int> alive = live();
    int kind = (int)(rng() % 100);
    if (alive.size() < 3 || kind < 10) {
      std::string email = rng() % 3 == 0 ? freed_address() : fresh_address();
      if (rng() % 8 == 0 && !alive.empty()) email = model.acc[(size_t)alive[rng() % alive.size()]].email;
      if (rng() % 2) email = lower(email);
      int want = holder(model, email) ? 1 : 0;
      char uid[VAULT_ID_SIZE] = "";
      what = "create " + email;
      fly = (int)after.acc.size();
      after.addresses.insert(lower(email));
      int rc = vault_user_create(email.c_str(), "h0", 1, "k0", uid);
      if (rc == 0) {
        Acc a;
        a.uid = uid;
        a.email = email;
        a.hash = "h0";
        a.key = "k0";
        after.acc.push_back(a);
      }
      return rc == want ? rc : -2;
    }
    // Now and then a call on an account already deleted: 1, nothing changes.
    std::vector<int> gone;
    for (size_t i = 0; i < model.acc.size(); i++)
      if (model.acc[i].deleted) gone.push_back((int)i);
    bool on_gone = !gone.empty() && rng() % 12 == 0;
    int i = on_gone ? gone[rng() % gone.size()] : alive[rng() % alive.size()];
    Acc &a = after.acc[(size_t)i];
    fly = i;
    if (kind < 35) {
      bool right = rng() % 5 != 0;
      std::string cur = right ? a.hash : "stale", h = "h" + std::to_string(rng() % 100000),
                  k = "k" + std::to_string(rng() % 100000);
      uint32_t it = 1 + (uint32_t)(rng() % 1000000);
      what = "set_credentials " + a.uid + " " + h;
      int rc = vault_user_set_credentials(a.uid.c_str(), cur.c_str(), h.c_str(), it, k.c_str());
      int want = a.deleted || !right ? 1 : 0;
      int code = a.deleted ? VAULT_NOT_FOUND : right ? VAULT_OK : VAULT_MISMATCH;
      if (rc == 0) a.hash = h, a.key = k, a.iters = it;
      return rc == want && vault_storage_last_error_code() == code ? rc : -2;
    }
    if (kind < 65) {
      unsigned shape = (unsigned)(rng() % 10);
      std::string email = shape < 5 ? fresh_address() : shape < 7 ? freed_address() : shape < 8 ? a.email
                          : model.acc[(size_t)alive[rng() % alive.size()]].email;
      if (shape == 7)
        for (char &c : email) c = (char)(rng() % 2 ? toupper((unsigned char)c) : tolower((unsigned char)c));
      const Acc *h = holder(model, email);
      int want = a.deleted || (h && h->uid != a.uid) ? 1 : 0;
      what = "change_email " + a.uid + " " + a.email + " -> " + email;
      after.addresses.insert(lower(email));
      int rc = vault_user_change_email(a.uid.c_str(), email.c_str());
      if (rc == 0) a.email = email;
      return rc == want ? rc : -2;
    }
    if (kind < 77) {
      what = "delete " + a.uid + " " + a.email;
      int want = a.deleted ? 1 : 0;
      int rc = vault_user_delete(a.uid.c_str());
      if (rc == 0) a.deleted = true, a.items.clear();
      return rc == want ? rc : -2;
    }
    if (a.deleted) {
      what = "cipher_save on deleted " + a.uid;
      fly = -1;
      int rc = vault_cipher_save(a.uid.c_str(), "{\"id\":\"late\"}", nullptr);
      return rc == -1 && vault_storage_last_error_code() == VAULT_NOT_FOUND ? 1 : -2;
    }
    std::string id = "c" + std::to_string(rng() % 4);
    std::string bytes = "{\"id\":\"" + id + "\",\"n\":\"" + std::string(rng() % 3000, 'x') + "\"}";
    what = "cipher_save " + a.uid + " " + id;
    int rc = vault_cipher_save(a.uid.c_str(), bytes.c_str(), nullptr);
    if (rc == 0) a.items[id] = bytes;
    return rc == 0 ? 0 : -2;
  }

  std::string cut() {
    std::string dest = work + "/image-" + std::to_string(++cuts);
    std::string err = m.cut(dest);
    EXPECT_EQ(err, "") << "cut into " << dest;
    return dest;
  }

  bool verify(const std::string &img, const Model &acked, const Model &after, int fly, int call,
              const std::string &what, const char *when) {
    std::vector<std::string> faults = check_image(img + "/vault", acked, after, fly);
    EXPECT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
    if (faults.empty()) return true;
    std::string all;
    for (auto &f : faults) all += "\n  " + f;
    ADD_FAILURE() << "seed " << seed << ", call " << call << " " << what << ", cut " << when << ", image "
                  << img << ":" << all;
    return false;
  }

  void start() {
    int st = 0;
    std::string out = tool(root, "reindex --authoritative", &st);
    ASSERT_EQ(st, 0) << out;
    ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
  }

  void cut_after_each() {
    start();
    for (int call = 1; call <= calls && !HasFailure(); ++call) {
      Model after = model;
      int fly = -1;
      std::string what;
      int rc = step(after, fly, what);
      ASSERT_NE(rc, -2) << "seed " << seed << ", call " << call << " " << what << " answered unlike the model: "
                        << vault_storage_last_error();
      model = after;
      counted[rc == 0 ? 0 : 1]++;
      std::string img = cut();
      if (!verify(img, model, model, -1, call, what, "after it")) return;
      fs::remove_all(img);
    }
  }

  void cut_during() {
    start();
    PlMidCallCutter cutter(m, work, seed + 1);
    for (int call = 1; call <= calls && !HasFailure(); ++call) {
      Model after = model;
      int fly = -1, rc = 0;
      std::string what;
      std::string got = cutter.call([&] { return step(after, fly, what); }, &rc);
      if (rc == -2) ADD_FAILURE() << "seed " << seed << ", call " << call << " " << what
                                  << " answered unlike the model: " << vault_storage_last_error();
      if (got.empty()) {
        ADD_FAILURE() << "cut failed";
        break;
      }
      if (verify(got, model, after, fly, call, what, "during it")) fs::remove_all(got);
      model = after;
      counted[rc == 0 ? 0 : 1]++;
    }
    printf("[powerloss] life: mean call %.0f us\n", cutter.mean_call_us());
  }
};

TEST_F(Life, CutAfterEachCall) {
  cut_after_each();
  printf("[powerloss] life: %d calls changed something, %d answered 1; cut after each\n", counted[0], counted[1]);
}

TEST_F(Life, CutDuringCalls) {
  cut_during();
  printf("[powerloss] life: %d calls changed something, %d answered 1; cut inside each\n", counted[0], counted[1]);
}

// The deletion's rename, the index and the item moves without
// RENAME_NOREPLACE (as on GlusterFS).
struct LifeFallback : Life {
  void SetUp() override {
    setenv("VS_POWERLOSS_NO_RENAME_FLAGS", "1", 1);
    Life::SetUp();
    unsetenv("VS_POWERLOSS_NO_RENAME_FLAGS");
  }
};
TEST_F(LifeFallback, CutDuringCalls) { cut_during(); }

}  // namespace
