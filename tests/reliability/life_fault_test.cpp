// Faults at every step of the three writers of an account's life (a change
// of credentials, of the e-mail address, a deletion): each write, rename,
// link, removal and sync one of them makes fails in turn with ENOSPC and
// with EIO (the counted injection of io_shim.cpp). The call must answer -1
// with the code of the error, or 0 when the failing step changes no answer
// (the release of an old address); either way the account is whole in its
// old or its new state, never between: each address found under the one
// account whose profile holds it or none, a deleted account gone for every
// reader or there for every reader. Then the same call again, or the
// operator's reindex, finishes the work, and `check` finds nothing.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "admin/reindex.h"
#include "foundation/files.h"
#include "foundation/layout.h"
#include "rel_util.h"
#include "shim.h"
#include "vs_tool_check.h"

namespace {

enum Writer { CREDENTIALS, EMAIL, EMAIL_CASE, DELETE };
const char *const k_writer_names[] = {"set_credentials", "change_email", "change_email (case)",
                                      "delete"};

// The calls a writer's step is made of.
const std::set<std::string> k_steps = {"write",  "pwrite", "rename", "renameat", "renameat2", "fsync",
                                       "fdatasync", "link", "linkat", "unlink", "unlinkat", "rmdir"};

struct Life {
  std::string scratch, root, ua, ub;
  bool ok = false;

  Life() {
    scratch = vts_scratch("lifefault", true);
    root = scratch + "/root";
    char a[VAULT_ID_SIZE] = "", b[VAULT_ID_SIZE] = "";
    ok = !scratch.empty() && vault_storage_init(root.c_str()) == 0 &&
         vault_user_create("a@x.test", "h0", 1, "k0", a) == 0 &&
         vault_user_create("b@x.test", "h0", 1, "k0", b) == 0 &&
         vault_cipher_save(a, "{\"id\":\"c1\",\"name\":\"n\"}", nullptr) == 0 &&
         vault_cipher_save(a, "{\"id\":\"c2\",\"name\":\"m\"}", nullptr) == 0 &&
         vault_cipher_delete(a, "c2", 0) == 0 &&
         vault_folder_save(a, "{\"id\":\"f1\",\"name\":\"F\"}", nullptr) == 0;
    ua = a;
    ub = b;
  }
  ~Life() {
    vault_storage_cleanup();
    if (!scratch.empty()) vts_remove_tree(scratch);
  }

  int call(Writer w) const {
    switch (w) {
      case CREDENTIALS: return vault_user_set_credentials(ua.c_str(), "h0", "h1", 7, "k1");
      case EMAIL: return vault_user_change_email(ua.c_str(), "new@x.test");
      case EMAIL_CASE: return vault_user_change_email(ua.c_str(), "A@X.Test");
      case DELETE: return vault_user_delete(ua.c_str());
    }
    return -2;
  }

  // The state of account a as every reader sees it: "old", "new", or why
  // it is neither.
  std::string state(Writer w) const {
    const char *now_addr = w == EMAIL ? "new@x.test" : "A@X.Test";
    char id[VAULT_ID_SIZE] = "", hash[VAULT_HASH_SIZE] = "";
    uint32_t iters = 0;
    char *profile = vault_user_get_profile_json_alloc(ua.c_str(), nullptr);
    std::string p = profile ? profile : "";
    vault_free(profile);
    int found = vault_user_find_by_email("a@x.test", id, &iters, hash, nullptr);
    if (found == 0 && ua != id) return std::string("a@x.test found under ") + id;
    char *sync = vault_sync_generate_json_alloc(ua.c_str(), nullptr);
    bool has_sync = sync != nullptr;
    vault_free(sync);
    switch (w) {
      case CREDENTIALS:
        if (found != 0 || !has_sync) return "account not found";
        if (std::string(hash) == "h0" && iters == 1 && p.find("\"k0\"") != std::string::npos) return "old";
        if (std::string(hash) == "h1" && iters == 7 && p.find("\"k1\"") != std::string::npos) return "new";
        return "credentials mixed: " + p;
      case EMAIL:
      case EMAIL_CASE: {
        if (!has_sync) return "account without a sync document";
        yyjson_doc *d = vr_parse(p);
        const char *e = d ? yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(d), "email")) : nullptr;
        std::string held = e ? e : "";
        yyjson_doc_free(d);
        char nid[VAULT_ID_SIZE] = "";
        int nfound = vault_user_find_by_email(now_addr, nid, nullptr, nullptr, nullptr);
        if (held == "a@x.test" && found == 0 && (w == EMAIL_CASE || nfound == 1)) return "old";
        if (held == now_addr && nfound == 0 && ua == nid && (w == EMAIL_CASE || found == 1)) return "new";
        return "profile holds \"" + held + "\", old address answers " + std::to_string(found) +
               ", new one " + std::to_string(nfound) + " " + nid;
      }
      case DELETE: {
        const char *c1 = vault_cipher_get(ua.c_str(), "c1");
        if (found == 0 && has_sync && !p.empty() && c1) return "old";
        const char *stats = vault_storage_get_stats_json();
        bool one_user = stats && strstr(stats, "\"users\":1,") != nullptr;
        if (found == 1 && vault_user_exists("a@x.test") == 0 && !has_sync && p.empty() && !c1 && one_user)
          return "new";
        return "half deleted: find " + std::to_string(found) + ", sync " + std::to_string(has_sync) +
               ", profile " + std::to_string(!p.empty()) + ", stats " + (stats ? stats : "NULL");
      }
    }
    return "?";
  }

  // Account b is never touched.
  bool other_intact() const {
    char id[VAULT_ID_SIZE] = "";
    return vault_user_find_by_email("b@x.test", id, nullptr, nullptr, nullptr) == 0 && ub == id;
  }

  // The operator's check over the tree: its findings, "" when clean.
  std::string check() const { return vts_check_findings(VS_TOOL, root); }

  bool remainders_left() const {
    for (const std::string &n : vts_list(root + "/users"))
      if (vs_deleted_remainder(n.c_str(), nullptr)) return true;
    return false;
  }
};

int code_of(int err) { return err == ENOSPC ? VAULT_NO_SPACE : VAULT_IO; }

// Runs every fault of one writer; returns the faults injected.
long run_writer(Writer w, bool fallback) {
  const char *name = k_writer_names[w];
  std::vector<std::string> trace;
  {
    Life clean;
    EXPECT_TRUE(clean.ok) << vault_storage_last_error();
    if (!clean.ok) return 0;
    if (fallback) vr_io_force("renameat2", EINVAL);
    vr_io_arm(0, 0);
    int rc = clean.call(w);
    vr_io_disarm();
    trace = vr_io_trace();
    EXPECT_EQ(rc, 0) << name << ": " << vault_storage_last_error();
    EXPECT_EQ(clean.state(w), "new") << name;
  }
  long injected = 0;
  int wrong = 0;
  for (size_t k = 1; k <= trace.size() && wrong < 5; k++) {
    if (!k_steps.count(trace[k - 1])) continue;
    for (int e : {ENOSPC, EIO}) {
      Life t;
      if (!t.ok) {
        ADD_FAILURE() << "set-up failed: " << vault_storage_last_error();
        return injected;
      }
      vr_io_arm((long)k, e);
      int rc = t.call(w);
      int code = vault_storage_last_error_code(), sys = vault_storage_last_errno();
      std::string msg = vault_storage_last_error();
      vr_io_disarm();
      if (!vr_io_fired()) continue;
      injected++;
      std::string where = std::string(name) + (fallback ? " (plain rename)" : "") + ": call " +
                          std::to_string(k) + " (" + trace[k - 1] + ") failing with " + strerror(e) +
                          " answered " + std::to_string(rc) + " \"" + msg + "\"";
      std::string st = t.state(w);
      if (rc == -1) {
        if (code != code_of(e) || sys != e)
          wrong++, ADD_FAILURE() << where << ": code " << code << ", errno " << sys;
      } else if (rc != 0 || st != "new") {
        wrong++, ADD_FAILURE() << where << ": a success with the account " << st;
      }
      if (st != "old" && st != "new") wrong++, ADD_FAILURE() << where << ": " << st;
      if (!t.other_intact()) wrong++, ADD_FAILURE() << where << ": the other account was touched";

      // Finishing: the call again then reindex, or reindex first and the
      // call after it (alternately); each way check finds nothing.
      bool rerun_first = (k + (size_t)e) % 2 == 0;
      int again = rerun_first ? t.call(w) : 0;
      VsReindexReport report;
      int ri = vs_admin_reindex(t.root.c_str(), VS_REINDEX_KEEP, report);
      std::string after_reindex = t.check();
      if (!rerun_first) again = t.call(w);
      // A repeat finds the work done: the old hash no longer matches, the
      // account no longer exists.
      int want_again = st == "new" && w == CREDENTIALS ? 1 : 0;
      if (w == DELETE) want_again = st == "new" ? 1 : 0;
      if (ri != 0) wrong++, ADD_FAILURE() << where << ": reindex failed: " << vault_storage_last_error();
      if (again != want_again)
        wrong++, ADD_FAILURE() << where << ": the call again answered " << again << " (" << vault_storage_last_error() << ")";
      if (!after_reindex.empty()) wrong++, ADD_FAILURE() << where << ": check after reindex: " << after_reindex;
      std::string end = t.state(w), final_check = t.check();
      if (end != "new") wrong++, ADD_FAILURE() << where << ": finished as " << end;
      if (!final_check.empty()) wrong++, ADD_FAILURE() << where << ": check at the end: " << final_check;
      if (t.remainders_left()) wrong++, ADD_FAILURE() << where << ": a deletion remainder stayed";
    }
  }
  vr_io_force(nullptr, 0);
  return injected;
}

}  // namespace

TEST(LifeFaults, EveryStepOfEachWriterFailsCleanlyAndIsFinished) {
  ASSERT_TRUE(vr_io_available());
  for (Writer w : {CREDENTIALS, EMAIL, EMAIL_CASE, DELETE}) {
    long n = run_writer(w, false);
    EXPECT_GT(n, 0) << k_writer_names[w];
    printf("[figures] life-faults %s: injected=%ld\n", k_writer_names[w], n);
  }
  // The deletion's rename where the file system has no no-replace flag.
  long n = run_writer(DELETE, true);
  printf("[figures] life-faults delete (plain rename): injected=%ld\n", n);
}

namespace {

// The deletion of another host, at one exact call of a sync: the account's
// directory renamed away (and its files going, which makes a shared file
// system answer the reads of the old directory with ESTALE).
struct Away {
  std::string root, uid;
  const char *call;
  int left;  // occurrences of call until the one it happens before
};
void rename_away(void *p) {
  auto *a = static_cast<Away *>(p);
  if (--a->left > 0) {
    vr_io_hook(a->call, rename_away, p);
    return;
  }
  std::string users = a->root + "/users/";
  rename((users + a->uid).c_str(), (users + ".deleted." + a->uid + ".x").c_str());
}

}  // namespace

TEST(LifeFaults, SyncAcrossADeletionOnAnotherHostFindsNoAccount) {
  Life t;
  ASSERT_TRUE(t.ok) << vault_storage_last_error();
  vault_free(vault_sync_generate_json_alloc(t.ua.c_str(), nullptr));  // the thread's ring is set up
  vr_io_arm(0, 0);
  vault_free(vault_sync_generate_json_alloc(t.ua.c_str(), nullptr));
  vr_io_disarm();
  std::vector<std::string> trace = vr_io_trace();
  // The listing of the items: opened by the call before the first getdents64.
  size_t k = 0;
  while (k < trace.size() && trace[k] != "getdents64") k++;
  ASSERT_TRUE(k > 0 && k < trace.size()) << "no listing in the sync's calls";
  static std::string open_call;
  open_call = trace[k - 1];
  Away away{t.root, t.ua, open_call.c_str(), 0};
  for (size_t i = 0; i < k; i++) away.left += trace[i] == open_call;
  vr_io_hook(open_call.c_str(), rename_away, &away);
  vr_io_arm((long)k, ESTALE);
  size_t len = 0;
  char *sync = vault_sync_generate_json_alloc(t.ua.c_str(), &len);
  int code = vault_storage_last_error_code();
  std::string msg = vault_storage_last_error();
  vr_io_disarm();
  vr_io_hook(nullptr, nullptr, nullptr);
  EXPECT_TRUE(vr_io_fired());
  EXPECT_EQ(sync, nullptr);
  vault_free(sync);
  EXPECT_EQ(code, VAULT_NOT_FOUND) << msg;
  EXPECT_EQ(msg, "sync: user not found");
}

// While a server of a replicated GlusterFS volume comes back, the client
// answers EBADFD on descriptors it opened before: on a shared file system
// the sync builds its document again; on a local disk the error stands.
TEST(LifeFaults, SyncOnASharedFileSystemBuildsAgainAfterABadDescriptor) {
  Life t;
  ASSERT_TRUE(t.ok) << vault_storage_last_error();
  for (int shared : {1, 0}) {
    vs_fs_set_shared(shared);
    vault_free(vault_sync_generate_json_alloc(t.ua.c_str(), nullptr));
    vr_io_arm(0, 0);
    char *clean = vault_sync_generate_json_alloc(t.ua.c_str(), nullptr);
    vr_io_disarm();
    std::vector<std::string> trace = vr_io_trace();
    size_t k = 0;
    while (k < trace.size() && trace[k] != "getdents64") k++;
    ASSERT_LT(k, trace.size()) << "no listing in the sync's calls";
    vr_io_arm((long)k + 1, EBADFD);
    char *again = vault_sync_generate_json_alloc(t.ua.c_str(), nullptr);
    int code = vault_storage_last_error_code();
    vr_io_disarm();
    vs_fs_set_shared(0);
    EXPECT_TRUE(vr_io_fired());
    if (shared) {
      EXPECT_TRUE(clean && again && std::string(clean) == again) << vault_storage_last_error();
    } else {
      EXPECT_EQ(again, nullptr);
      EXPECT_EQ(code, VAULT_IO);
    }
    vault_free(clean);
    vault_free(again);
  }
}

// On a shared file system a call whose account another host has just
// deleted can meet ESTALE on the account's lock file, while its client
// still shows the directory: it looks again, and answers as on a local
// disk ("not found"), not -1. A view that was only stale gets its answer
// on the second look. Staged: the first open of a file below the root
// answers ESTALE once, after the account went (when deleted).
namespace {
struct StaleOnce {
  std::string call;
  Away *away;  // renames the account away first, when set
  bool fired;
};
StaleOnce s_stale_once;
void stale_clear(void *) { vr_io_force(nullptr, 0); }
void stale_now(void *) {
  if (s_stale_once.away) rename_away(s_stale_once.away);
  vr_io_force(s_stale_once.call.c_str(), ESTALE);
  vr_io_hook(s_stale_once.call.c_str(), stale_clear, nullptr);
  s_stale_once.fired = true;
}
}  // namespace

TEST(LifeFaults, CallsMeetingAStaleAccountDirectoryLookAgain) {
  struct Case {
    const char *name;
    std::function<int(const Life &)> call;
  };
  const Case cases[] = {
      {"set_credentials", [](const Life &t) { return vault_user_set_credentials(t.ua.c_str(), "h0", "h1", 2, "k1"); }},
      {"change_email", [](const Life &t) { return vault_user_change_email(t.ua.c_str(), "c@x.test"); }},
      {"delete", [](const Life &t) { return vault_user_delete(t.ua.c_str()); }},
      {"cipher_save", [](const Life &t) { return vault_cipher_save(t.ua.c_str(), "{\"id\":\"c3\"}", nullptr); }},
      {"folder_save", [](const Life &t) { return vault_folder_save(t.ua.c_str(), "{\"id\":\"f2\",\"name\":\"G\"}", nullptr); }},
  };
  for (const Case &c : cases) {
    for (bool deleted : {false, true}) {
      Life t;
      ASSERT_TRUE(t.ok) << vault_storage_last_error();
      vr_io_arm(0, 0);
      vault_user_set_credentials(t.ua.c_str(), "wrong", "h1", 2, "k1");  // opens the lock, changes nothing
      vr_io_disarm();
      ASSERT_FALSE(vr_io_trace().empty());
      Away away{t.root, t.ua, "", 1};
      s_stale_once = {vr_io_trace()[0], deleted ? &away : nullptr, false};
      vs_fs_set_shared(1);
      vr_io_hook(s_stale_once.call.c_str(), stale_now, nullptr);
      int rc = c.call(t);
      int code = vault_storage_last_error_code();
      std::string msg = vault_storage_last_error();
      vr_io_hook(nullptr, nullptr, nullptr);
      vr_io_force(nullptr, 0);
      vs_fs_set_shared(0);
      EXPECT_TRUE(s_stale_once.fired) << c.name;
      if (deleted) {
        EXPECT_NE(rc, 0) << c.name;
        EXPECT_EQ(code, VAULT_NOT_FOUND) << c.name << ": " << msg;
      } else {
        EXPECT_EQ(rc, 0) << c.name << ": " << msg;
      }
    }
  }
}
