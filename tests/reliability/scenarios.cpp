// The standard tree and one scenario per export and interesting path, used
// by the I/O fault and allocation failure tests alike.
#include "scenarios.h"

#include <algorithm>
#include <regex>

#include "foundation/vs_internal.h"

static const char k_profile_a[] =
    "{\"email\":\"a@example.com\",\"masterPasswordHash\":\"hash-a\",\"kdfAlgorithm\":"
    "\"PBKDF2_SHA256\",\"kdfIterations\":600000,\"protectedKey\":\"key-a\",\"securityStamp\":"
    "\"ua\",\"name\":\"Vault User\",\"twoFactorEnabled\":false,\"keys\":{},\"folders\":[],"
    "\"createdAt\":\"2024-01-01T00:00:00Z\",\"object\":\"profile\"}";
static const char k_profile_b[] =
    "{\"email\":\"b@example.com\",\"masterPasswordHash\":\"hash-b\",\"kdfAlgorithm\":"
    "\"PBKDF2_SHA256\",\"kdfIterations\":5000,\"protectedKey\":\"key-b\",\"securityStamp\":"
    "\"ub\",\"name\":\"Vault User\",\"twoFactorEnabled\":false,\"keys\":{},\"folders\":[],"
    "\"createdAt\":\"2024-01-02T00:00:00Z\",\"object\":\"profile\"}";
static const char k_folders_a[] =
    "[{\"id\":\"f1\",\"name\":\"Work\",\"object\":\"folder\"},"
    "{\"id\":\"f2\",\"name\":\"Home\",\"revisionDate\":\"2024-05-01T00:00:00Z\",\"object\":\"folder\"}]";

void vr_build_standard_tree(const std::string &root) {
  mkdir(root.c_str(), 0700);
  mkdir((root + "/users").c_str(), 0700);
  vts_write(root + "/config.json",
           "{\"title\":\"Personal Vault Server\",\"allow_registrations\":true}");
  struct Acct { const char *uid, *profile, *folders; };
  for (Acct a : {Acct{"ua", k_profile_a, k_folders_a}, Acct{"ub", k_profile_b, "[]"}}) {
    vts_make_account(root, a.uid, a.profile, a.folders);
  }
  std::string a = root + "/users/ua";
  vts_write(a + "/ciphers/c1.json", "{\"id\":\"c1\",\"name\":\"one\",\"login\":{\"u\":\"x\"}}");
  vts_write(a + "/ciphers/c2.json", "{ \"id\" : \"c2\", \"v\" : [1, 2.5, \"\\u00e9\"] }");
  vts_write(a + "/trash/c3.json", "{\"id\":\"c3\",\"name\":\"three\"}");
}

// ---- calls ---------------------------------------------------------------------
// The fault window covers the export call alone, never the test's own work.
static void (*s_arm)(void *);
static void (*s_disarm)(void *);
static void *s_ctx;
#define VR_X(expr) ([&]() { s_arm(s_ctx); auto r_ = (expr); s_disarm(s_ctx); return r_; }())

static VrOutcome vr_int(int rc, const std::string &outputs = "") {
  VrOutcome o;
  o.rc = rc;
  o.text = outputs;
  o.err = vault_storage_last_error();
  return o;
}

static VrOutcome vr_text(const char *t) {
  VrOutcome o;
  o.text_result = true;
  o.null = t == nullptr;
  o.text = t ? t : "";
  o.err = vault_storage_last_error();
  return o;
}

// An _alloc result: taken as text, then released (after the fault window).
static VrOutcome vr_alloc_text(char *t, size_t len) {
  VrOutcome o = vr_text(t);
  if (t && len != o.text.size()) o.err = "length " + std::to_string(len) + " for a text of " + std::to_string(o.text.size());
  vault_free(t);
  return o;
}

static void vr_nothing(const std::string &) {}

static VrOutcome call_init(const std::string &root) { return vr_int(VR_X(vault_storage_init(root.c_str()))); }
static void prep_no_root(const std::string &root) { vts_remove_tree(root); }
static void prep_custom_config(const std::string &root) {
  vts_write(root + "/config.json", "{\"title\":\"Mine\",\"allow_registrations\":false}\n");
}

static VrOutcome call_exists(const std::string &) { return vr_int(VR_X(vault_user_exists("A@Example.com"))); }
static VrOutcome call_exists_missing(const std::string &) { return vr_int(VR_X(vault_user_exists("zz@example.com"))); }

static VrOutcome call_find(const std::string &) {
  char uid[VAULT_ID_SIZE] = "", hash[VAULT_HASH_SIZE] = "", key[VAULT_KEY_SIZE] = "";
  uint32_t it = 0;
  int rc = VR_X(vault_user_find_by_email("b@EXAMPLE.com", uid, &it, hash, key));
  return vr_int(rc, rc == 0 ? std::string(uid) + "|" + std::to_string(it) + "|" + hash + "|" + key : "");
}

static VrOutcome call_create(const std::string &) {
  char uid[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_user_create("new@example.com", "h\"ash", 100000, "key", uid));
  return vr_int(rc, rc == 0 ? uid : "");
}

static VrOutcome call_create_dup(const std::string &) {
  char uid[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_user_create("B@example.COM", "h", 1, "k", uid));
  return vr_int(rc, rc == 0 ? uid : "");
}

static VrOutcome call_profile(const std::string &) { return vr_text(VR_X(vault_user_get_profile_json("ua"))); }

static VrOutcome call_save_new(const std::string &) {
  char id[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_cipher_save("ua", "{\"id\":\"c9\", \"name\":\"nine\"}", id));
  return vr_int(rc, rc == 0 ? id : "");
}
static VrOutcome call_save_replace(const std::string &) {
  char id[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_cipher_save("ua", "{\"id\":\"c1\",\"name\":\"one, again\"}", id));
  return vr_int(rc, rc == 0 ? id : "");
}
static VrOutcome call_save_gen(const std::string &) {
  char id[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_cipher_save("ua", "[1,2,{\"id\":\"not-top-level\"}]", id));
  return vr_int(rc, rc == 0 ? id : "");
}
static VrOutcome call_save_trashed(const std::string &) {
  char id[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_cipher_save("ua", "{\"id\":\"c3\",\"name\":\"three v2\"}", id));
  return vr_int(rc, rc == 0 ? id : "");
}
static VrOutcome call_get(const std::string &) { return vr_text(VR_X(vault_cipher_get("ua", "c2"))); }
static VrOutcome call_delete(const std::string &) { return vr_int(VR_X(vault_cipher_delete("ua", "c1", 0))); }
static VrOutcome call_delete_perm(const std::string &) { return vr_int(VR_X(vault_cipher_delete("ua", "c1", 1))); }
static VrOutcome call_restore(const std::string &) { return vr_int(VR_X(vault_cipher_restore_from_trash("ua", "c3"))); }
static VrOutcome call_folders(const std::string &) { return vr_text(VR_X(vault_folders_get_json("ua"))); }
static VrOutcome call_folder_new(const std::string &) {
  char id[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_folder_save("ua", "{\"id\":\"f9\",\"name\":\"New \\\"one\\\"\",\"extra\":1}", id));
  return vr_int(rc, rc == 0 ? id : "");
}
static VrOutcome call_folder_replace(const std::string &) {
  char id[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_folder_save("ua", "{\"name\":\"Renamed\",\"id\":\"f1\",\"revisionDate\":\"2025-01-01T00:00:00Z\"}", id));
  return vr_int(rc, rc == 0 ? id : "");
}
static VrOutcome call_folder_gen(const std::string &) {
  char id[VAULT_ID_SIZE] = "";
  int rc = VR_X(vault_folder_save("ub", "{\"name\":\"Generated\"}", id));
  return vr_int(rc, rc == 0 ? id : "");
}
static void prep_no_list(const std::string &root) { unlink((root + "/users/ub/folders.json").c_str()); }
static VrOutcome call_folder_delete(const std::string &) { return vr_int(VR_X(vault_folder_delete("ua", "f1"))); }
static VrOutcome call_sync(const std::string &) { return vr_text(VR_X(vault_sync_generate_json("ua"))); }
static VrOutcome call_stats(const std::string &) { return vr_text(VR_X(vault_storage_get_stats_json())); }
static size_t s_len;
static VrOutcome call_profile_alloc(const std::string &) {
  return vr_alloc_text(VR_X(vault_user_get_profile_json_alloc("ua", &s_len)), s_len);
}
static VrOutcome call_get_alloc(const std::string &) {
  return vr_alloc_text(VR_X(vault_cipher_get_alloc("ua", "c2", &s_len)), s_len);
}
static VrOutcome call_folders_alloc(const std::string &) {
  return vr_alloc_text(VR_X(vault_folders_get_json_alloc("ua", &s_len)), s_len);
}
static VrOutcome call_sync_alloc(const std::string &) {
  return vr_alloc_text(VR_X(vault_sync_generate_json_alloc("ua", &s_len)), s_len);
}
static VrOutcome call_stats_alloc(const std::string &) {
  return vr_alloc_text(VR_X(vault_storage_get_stats_json_alloc(&s_len)), s_len);
}
static VrOutcome call_cleanup(const std::string &) {
  s_arm(s_ctx);
  vault_storage_cleanup();
  s_disarm(s_ctx);
  return vr_int(0);
}
static VrOutcome call_last_error(const std::string &) { return vr_text(VR_X(vault_storage_last_error())); }

// ---- the table -------------------------------------------------------------------------
#define PRIM "(open failed|write failed|rename failed|mkdir failed|read failed|sync failed|link failed|lock failed|remove failed|stat failed): .*", "close failed: .*", "out of memory"

const std::vector<VrScenario> &vr_scenarios() {
  static const std::vector<VrScenario> t = {
      {"init a fresh root", "vault_storage_init", prep_no_root, call_init,
       {PRIM, "init: .*"}, {}, false, true},
      {"init an existing root", "vault_storage_init", prep_custom_config, call_init,
       {PRIM, "init: .*"}, {}, false, false},
      {"cleanup", "vault_storage_cleanup", vr_nothing, call_cleanup, {}, {}, true, false},
      {"last error", "vault_storage_last_error", vr_nothing, call_last_error, {}, {}, true, false},
      {"exists, registered", "vault_user_exists", vr_nothing, call_exists,
       {"exists: .*", "not initialized"}, {}, true, false},
      {"exists, not registered", "vault_user_exists", vr_nothing, call_exists_missing,
       {"exists: .*"}, {}, true, false},
      {"find by e-mail", "vault_user_find_by_email", vr_nothing, call_find,
       {"find_by_email: .*"}, {}, true, false},
      {"create an account", "vault_user_create", vr_nothing, call_create,
       {PRIM, "create: .*"}, {}, true, false},
      {"create a registered address", "vault_user_create", vr_nothing, call_create_dup,
       {PRIM, "create: .*"}, {"create: email already registered"}, true, false},
      {"profile", "vault_user_get_profile_json", vr_nothing, call_profile,
       {"profile: (not found|too large|out of memory|cannot read .*)"}, {}, true, false},
      {"profile, any size", "vault_user_get_profile_json_alloc", vr_nothing, call_profile_alloc,
       {"profile: (not found|out of memory|cannot read .*)"}, {}, true, false},
      {"save a new cipher", "vault_cipher_save", vr_nothing, call_save_new,
       {PRIM, "cipher_save: .*"}, {}, true, false},
      {"save over a cipher", "vault_cipher_save", vr_nothing, call_save_replace,
       {PRIM, "cipher_save: .*"}, {}, true, false},
      {"save a cipher without id", "vault_cipher_save", vr_nothing, call_save_gen,
       {PRIM, "cipher_save: .*"}, {}, true, false},
      {"save a trashed cipher's id", "vault_cipher_save", vr_nothing, call_save_trashed,
       {PRIM, "cipher_save: .*"}, {}, true, false},
      {"get a cipher", "vault_cipher_get", vr_nothing, call_get,
       {"cipher_get: (not found|too large|out of memory|cannot read .*)"}, {}, true, false},
      {"get a cipher, any size", "vault_cipher_get_alloc", vr_nothing, call_get_alloc,
       {"cipher_get: (not found|out of memory|cannot read .*)"}, {}, true, false},
      {"delete to trash", "vault_cipher_delete", vr_nothing, call_delete,
       {"cipher_delete: (rename|lock failed:) .*", "sync failed: .*"}, {"cipher_delete: not found"}, true, false},
      {"delete for good", "vault_cipher_delete", vr_nothing, call_delete_perm,
       {"cipher_delete: (remove|lock failed:) .*", "sync failed: .*"}, {"cipher_delete: not found"}, true, false},
      {"restore", "vault_cipher_restore_from_trash", vr_nothing, call_restore,
       {"restore: (rename|lock failed:) .*", "sync failed: .*"}, {"restore: not in trash"}, true, false},
      {"folder list", "vault_folders_get_json", vr_nothing, call_folders,
       {"folders: (too large|out of memory|cannot read .*)"}, {}, true, false},
      {"folder list, any size", "vault_folders_get_json_alloc", vr_nothing, call_folders_alloc,
       {"folders: (out of memory|cannot read .*)"}, {}, true, false},
      {"save a new folder", "vault_folder_save", vr_nothing, call_folder_new,
       {PRIM, "folder_save: .*"}, {}, true, false},
      {"save over a folder", "vault_folder_save", vr_nothing, call_folder_replace,
       {PRIM, "folder_save: .*"}, {}, true, false},
      {"save a folder, no list yet", "vault_folder_save", prep_no_list, call_folder_gen,
       {PRIM, "folder_save: .*"}, {}, true, false},
      {"delete a folder", "vault_folder_delete", vr_nothing, call_folder_delete,
       {PRIM, "folder_delete: (corrupt|alloc fail|write fail|lock failed: .*)"},
       {"folder_delete: no folders"}, true, false},
      {"sync", "vault_sync_generate_json", vr_nothing, call_sync,
       {"sync: (user not found|corrupt profile|serialize fail|payload too large|out of memory|"
        "cannot read .*)"},
       {}, true, false},
      {"sync, any size", "vault_sync_generate_json_alloc", vr_nothing, call_sync_alloc,
       {"sync: (user not found|corrupt profile|serialize fail|cannot read .*)"}, {}, true, false},
      {"stats", "vault_storage_get_stats_json", vr_nothing, call_stats,
       {"stats: .*"}, {}, true, false},
      {"stats, every account", "vault_storage_get_stats_json_alloc", vr_nothing, call_stats_alloc,
       {"stats: .*"}, {}, true, false},
  };
  return t;
}

// ---- running and judging ---------------------------------------------------------------
VrRun vr_run(const VrScenario &sc, const std::string &tmpl, const std::string &root,
             void (*arm)(void *), void (*disarm)(void *), void *ctx) {
  VrRun r;
  vault_storage_cleanup();
  vts_remove_tree(root);
  vts_copy_tree(tmpl, root);
  if (sc.init_root) vault_storage_init(root.c_str());
  sc.prepare(root);
  r.before = vr_normalized(vts_snapshot(root));
  r.fds_before = vts_open_fds();
  s_arm = arm;
  s_disarm = disarm;
  s_ctx = ctx;
  r.out = sc.call(root);
  r.fds_after = vts_open_fds();
  r.after = vr_normalized(vts_snapshot(root));
  return r;
}

static bool vr_matches_any(const std::string &s, const std::vector<std::string> &res) {
  for (auto &p : res)
    if (std::regex_match(s, std::regex(p))) return true;
  return false;
}

// The system text quoted by a message, if any: "... (text)" at its end, or
// the text after "rename "/"remove " in the move messages.
static std::string vr_quoted_system_text(const std::string &msg) {
  static const std::regex paren(".* \\(([^()]*)\\)$");
  static const std::regex move("(cipher_delete: rename|cipher_delete: remove|restore: rename) (.*)");
  std::smatch m;
  if (std::regex_match(msg, m, move)) return m[2];
  if (std::regex_match(msg, m, paren)) return m[1];
  return "";
}

static bool vr_tree_part_of(const VtsTree &part, const VtsTree &whole) {
  for (auto &kv : part) {
    auto it = whole.find(kv.first);
    if (it == whole.end() || it->second != kv.second) return false;
  }
  return true;
}

VrJudgement vr_judge(const VrScenario &sc, const VrOutcome &ok, const VtsTree &before_n,
                     const VtsTree &after_ok_n, const VrOutcome &got, const VtsTree &after_n,
                     const std::string &errtext) {
  bool same_result = got.rc == ok.rc && got.null == ok.null &&
                     vr_normalize(got.text) == vr_normalize(ok.text);
  if (same_result) {
    if (after_n == after_ok_n) return {VR_UNAFFECTED, ""};
    return {VR_WRONG, "reported success but the tree differs from the successful call's:\n" +
                          vr_tree_diff(after_ok_n, after_n)};
  }
  bool unchanged = after_n == before_n || (sc.partial_ok && vr_tree_part_of(after_n, after_ok_n));
  bool failed = got.text_result ? got.null : got.rc == -1;
  if (failed) {
    if (!vr_matches_any(got.err, sc.fail))
      return {VR_WRONG, "failed with an undocumented message: \"" + got.err + "\""};
    std::string sys = vr_quoted_system_text(got.err);
    if (!errtext.empty() && !sys.empty() && sys != errtext)
      return {VR_WRONG, "message quotes \"" + sys + "\" but the injected error was \"" + errtext + "\": " + got.err};
    // A directory sync that failed after the new name was in place: the
    // change may be visible (documented), or the call undid it.
    if (!unchanged && got.err.rfind("sync failed: ", 0) == 0 && after_n == after_ok_n)
      return {VR_FAILED_CLEANLY, ""};
    if (!unchanged)
      return {VR_WRONG, "failed (" + got.err + ") but changed the tree:\n" + vr_tree_diff(before_n, after_n)};
    return {VR_FAILED_CLEANLY, ""};
  }
  if (!got.text_result && got.rc == 1 && vr_matches_any(got.err, sc.soft)) {
    if (after_n != before_n)
      return {VR_WRONG, "soft negative but the tree changed:\n" + vr_tree_diff(before_n, after_n)};
    return {VR_SOFT, ""};
  }
  // A reader that answers success with less than the clean run did (an
  // account, a cipher or a folder list left out) is the worst kind of
  // failure: the caller takes the missing thing for absent.
  return {VR_WRONG, "undocumented or silently partial answer rc=" + std::to_string(got.rc) + (got.null ? " NULL" : "") +
                        " text=\"" + got.text.substr(0, 200) + "\" err=\"" + got.err + "\" (expected rc=" +
                        std::to_string(ok.rc) + " text=\"" + ok.text.substr(0, 200) + "\")"};
}
