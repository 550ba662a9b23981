// Whole-vault replacements on one host read from another: host A (the first
// root) replaces an account's vault a few hundred times, each time with a
// new "generation" (every item document, folder name, the hash and the
// protected key carry its number, and which items are live or trashed
// changes between them), while readers on host B (the second root) and one on
// host A build sync documents, read items, look the account up by e-mail
// and take the statistics. Every sync document must be one generation
// whole: profile, folders and items of one number, exactly the items live
// in that generation, never "no such account". A second account is
// replaced the same way while host B saves new items into it and moves its
// items between live and trash: a replacement then either answers 1
// (VAULT_CHANGED, and the replacer reads the vault again) or commits, and
// afterwards no saved item is lost and none is left under an old
// generation unless its save came after the last commit.
//
// Reported, never failed on: syncs older than the generation committed
// when they started, and a reader seeing generations go backwards (both
// what the attribute cache of a shared file system explains).
//
//   vs_sharedfs_replace_readers [options] ROOT_A ROOT_B
//     --replacements N  generations of the read-only account     (300)
//     --contended N     generations of the contended account    (60)
//     --readers N       reader processes on host B              (2)
//     --seconds S       hard time limit                         (150)
//     --naive 1         the read-only account changed item by item
//                       instead (the readers must then report a mix)
//   vs_sharedfs_replace_readers --revision-lag N [--accounts P] ROOT_A ROOT_B
//     how long host B's revision token takes to change after host A
//     changes the account: N changes on each of P accounts at once (4),
//     printed as a distribution; nothing is failed.
// Counts go to standard output as "[replace] name=value"; the exit status
// is 1 when any count of a broken promise is not zero. Only the public
// library is used, and plain reads of the tree on host A after the run.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

#include "hosts.h"
#include "keldrune-vault-storage.h"
#include "vs_test_support.h"

namespace {

enum Counter {
  kReplaced, kRefusedChanged, kRefusedUntouched, kReplaceFailed, kCommittedButFailed,
  kSyncs, kSyncFailed, kSyncMixed, kSyncItemsWrong, kSyncStale, kSyncBackwards,
  kGets, kGetFailed, kGetWrong, kLookups, kLookupFailed, kStats, kStatsFailed,
  kSaves, kSaveFailed, kSaveStale, kMoves, kMoveNotFound, kMoveFailed, kMoveStale,
  kCounters
};
const char *const k_names[kCounters] = {
  "replaced", "refused-changed", "refused-untouched", "replace-failed", "failed-after-commit",
  "syncs", "sync-failed", "sync-mixed", "sync-items-wrong", "sync-older-than-commit",
  "sync-went-back",
  "gets", "get-failed", "get-wrong", "lookups", "lookup-failed", "stats", "stats-failed",
  "saves", "save-failed", "save-stale", "moves", "move-not-found", "move-failed", "move-stale",
};
// Counts that are only reported: activity, and what the attribute cache
// explains.
bool informative(int c) {
  return c == kReplaced || c == kRefusedChanged || c == kSyncs || c == kSyncStale ||
         c == kSyncBackwards || c == kGets || c == kLookups || c == kStats || c == kSaves ||
         c == kSaveStale || c == kMoves || c == kMoveNotFound || c == kMoveStale;
}

constexpr int k_items = 30;       // items of the read-only account
constexpr int k_always_live = 5;  // of them, never trashed
constexpr int k_folders = 3;
constexpr int k_max_saved = 4096;
constexpr int k_max_lag = 4096;

struct Shared {
  std::atomic<long> c[kCounters];
  std::atomic<int> writers_left;
  std::atomic<int> stop;
  // Per account (0 read-only, 1 contended): the generation whose call has
  // begun and the last committed one.
  std::atomic<long> begun[2], committed[2];
  // The contended account's saved items: saved with 0, and included in a
  // replacement that committed.
  std::atomic<char> saved[k_max_saved], included[k_max_saved];
  std::atomic<int> saved_n;
  // Generations seen per reader, and errno histograms of failures.
  std::atomic<long> fail_codes[16];
  // Revision lag: samples in microseconds, with the kind of change.
  std::atomic<int> lag_n;
  long lag_us[k_max_lag];
  int lag_kind[k_max_lag];
  char lag_unsettled[k_max_lag];
  // One round of each account's lag pair.
  std::atomic<int> ready[16], changed[16];
  double t_change[16];
};
Shared *g;

struct Options {
  long replacements = 300, contended = 60, readers = 2, seconds = 150;
  long revision_lag = 0, accounts = 4, naive = 0;
  std::vector<std::string> roots;
};
Options opt;
std::string g_uid[2], g_email[2], g_logdir;
double g_deadline;

double now() { return vsh_now(); }

bool out_of_time() { return g->stop.load() || now() > g_deadline; }
void count(Counter c) { g->c[c].fetch_add(1); }

// One line per failure into this process's own log: "what<TAB>message".
void note(const std::string &what, const std::string &msg) { vsh_note(g_logdir, what, msg); }

// The contended account's changes, one line each with the wall time, so
// that a saved item found lost afterwards can be followed: printed for
// each lost item (its own lines and every commit after its save).
void trail(const std::string &line) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%lld.%03ld", (long long)ts.tv_sec, ts.tv_nsec / 1000000);
  std::string path = g_logdir + ".trail";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) return;
  std::string text = std::string(stamp) + " " + std::to_string(getpid()) + " " + line + "\n";
  if (write(fd, text.data(), text.size()) < 0) {}
  close(fd);
}

// A failed call: counted, its code kept for the histogram, its text noted.
void failed(Counter c, const char *what) {
  count(c);
  int code = vault_storage_last_error_code();
  g->fail_codes[code >= 0 && code < 16 ? code : 15].fetch_add(1);
  note(what, std::string(vault_storage_last_error()) + " (code " + std::to_string(code) +
                 ", errno " + std::to_string(vault_storage_last_errno()) + ")");
}

std::string hash_of(long gen) { return "h" + std::to_string(gen); }
std::string key_of(long gen) { return "k" + std::to_string(gen); }
std::string item_id(int i) { return "it" + std::to_string(100 + i); }
// Which items of the read-only account are live: a replacement must give
// each list as stored, so membership changes by a move between two
// replacements, one item each time. Generation gen holds membership gen
// from its commit until the move before the next one, membership gen + 1
// after it.
int toggled_before(long gen) { return k_always_live + (int)(gen % (k_items - k_always_live)); }
bool live_in(int i, long membership) {
  bool live = i < k_always_live || i % 4 != 0;
  for (long m = 0; m < membership && i >= k_always_live; m++)
    if (toggled_before(m) == i) live = !live;
  return live;
}

std::string item_doc(const std::string &id, long gen, const char *by) {
  return "{\"id\":\"" + id + "\",\"gen\":" + std::to_string(gen) + ",\"by\":\"" + by +
         "\",\"pad\":\"" + std::string((size_t)(300 + gen % 200), 'x') + "\"}";
}

std::string folders_of(long gen) {
  std::string f = "[";
  for (int k = 0; k < k_folders; k++)
    f += std::string(k ? "," : "") + "{\"id\":\"f" + std::to_string(k) + "\",\"name\":\"g" +
         std::to_string(gen) + "-" + std::to_string(k) + "\"}";
  return f + "]";
}

long gen_of_text(const char *s, char lead) {
  if (!s || s[0] != lead || !s[1]) return -1;
  char *end;
  long v = strtol(s + 1, &end, 10);
  return *end == '\0' || *end == '-' ? v : -1;
}

// The names of item files in a directory of the tree (plain reads).
std::vector<std::string> item_ids(const std::string &dir) {
  std::vector<std::string> out;
  for (auto &n : vts_list(dir))
    if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0 && n.find(".tmp.") == std::string::npos)
      out.push_back(n.substr(0, n.size() - 5));
  return out;
}

std::string account_dir(int a) { return opt.roots[0] + "/users/" + g_uid[a]; }

// ---- host A: the replacements ---------------------------------------------------
// The call for generation gen; 0 committed, 1 refused, -1 failed. A -1
// after the commit (the last rename or the directory sync failed) reads as
// the new account: the stored hash tells.
int replace_to(int a, long gen, const std::string &live, const std::string &trash) {
  g->begun[a].store(gen);
  int rc = vault_user_replace_vault(g_uid[a].c_str(), hash_of(gen - 1).c_str(), hash_of(gen).c_str(),
                                    1, key_of(gen).c_str(), live.c_str(), trash.c_str(),
                                    folders_of(gen).c_str());
  if (rc == 0) {
    count(kReplaced);
  } else if (rc == 1 && vault_storage_last_error_code() == VAULT_CHANGED) {
    count(kRefusedChanged);
  } else {
    failed(kReplaceFailed, "replace");
    std::string profile;
    if (rc == -1 && vts_read(account_dir(a) + "/profile.json", profile) &&
        profile.find("\"" + hash_of(gen) + "\"") != std::string::npos) {
      count(kCommittedButFailed);
      rc = 0;
    }
  }
  if (rc == 0) g->committed[a].store(gen);
  return rc;
}

// What a replacement without its protocol would do (--naive, to see the
// readers catch a mix): the live items saved one by one, then the
// credentials, then the folders.
void naive_replace(long gen) {
  g->begun[0].store(gen);
  for (int i = 0; i < k_items; i++)
    if (live_in(i, gen)) vault_cipher_save(g_uid[0].c_str(), item_doc(item_id(i), gen, "r").c_str(), nullptr);
  vault_user_set_credentials(g_uid[0].c_str(), hash_of(gen - 1).c_str(), hash_of(gen).c_str(), 1,
                             key_of(gen).c_str());
  for (int k = 0; k < k_folders; k++)
    vault_folder_save(g_uid[0].c_str(), ("{\"id\":\"f" + std::to_string(k) + "\",\"name\":\"g" +
                                         std::to_string(gen) + "-" + std::to_string(k) + "\"}").c_str(),
                      nullptr);
  g->committed[0].store(gen);
}

void replacer_readonly() {
  for (long gen = 1; gen <= opt.replacements && !out_of_time(); gen++) {
    std::string moved = item_id(toggled_before(gen - 1));
    int rc = live_in(toggled_before(gen - 1), gen - 1)
                 ? vault_cipher_delete(g_uid[0].c_str(), moved.c_str(), 0)
                 : vault_cipher_restore_from_trash(g_uid[0].c_str(), moved.c_str());
    count(kMoves);
    if (rc != 0) {
      failed(kMoveFailed, "move before a replacement");
      return;
    }
    std::string live = "[", trash = "[";
    for (int i = 0; i < k_items; i++) {
      std::string &to = live_in(i, gen) ? live : trash;
      to += (to.size() > 1 ? "," : "") + item_doc(item_id(i), gen, "r");
    }
    if (opt.naive) {
      naive_replace(gen);
      continue;
    }
    // Nothing else changes this account: a refusal is wrong too.
    rc = replace_to(0, gen, live + "]", trash + "]");
    if (rc == 1) count(kRefusedUntouched);
    if (rc != 0) return;
  }
}

// The contended account: the vault is read afresh before every try (what a
// client does after VAULT_CHANGED); each replacement keeps every item live
// or trashed as found.
void replacer_contended() {
  long gen = 1;
  for (int tries = 0; gen <= opt.contended && !out_of_time() && tries < 500; tries++) {
    std::vector<std::string> ids[2] = {item_ids(account_dir(1) + "/ciphers"),
                                       item_ids(account_dir(1) + "/trash")};
    // Read in the middle of a move: live and trashed at once. Read again.
    std::set<std::string> live(ids[0].begin(), ids[0].end());
    if (std::any_of(ids[1].begin(), ids[1].end(), [&](const std::string &id) { return live.count(id) > 0; })) {
      usleep(20000);
      continue;
    }
    std::string lists[2];
    for (int k = 0; k < 2; k++) {
      lists[k] = "[";
      for (auto &id : ids[k]) lists[k] += (lists[k].size() > 1 ? "," : "") + item_doc(id, gen, "r");
      lists[k] += "]";
    }
    int rc = replace_to(1, gen, lists[0], lists[1]);
    std::string seen;
    for (int k = 0; k < 2; k++)
      for (auto &id : ids[k]) seen += (k ? " t:" : " l:") + id;
    trail("replace gen " + std::to_string(gen) + " rc " + std::to_string(rc) + seen);
    if (rc < 0) return;
    if (rc == 1) continue;
    for (int k = 0; k < 2; k++)
      for (auto &id : ids[k])
        if (id[0] == 's') g->included[atoi(id.c_str() + 1) % k_max_saved].store(1);
    gen++;
    tries = -1;
    usleep(20000);  // room for the saves and moves to land between commits
  }
}

// ---- the readers ------------------------------------------------------------------
// One sync document of account a checked: one generation throughout; for
// the read-only account, exactly the items live in it. The generation, or
// -1 when the call failed or the document is broken.
long check_sync(int a) {
  long committed = g->committed[a].load();
  count(kSyncs);
  size_t len = 0;
  char *s = vault_sync_generate_json_alloc(g_uid[a].c_str(), &len);
  long begun = g->begun[a].load();
  if (!s) {
    failed(kSyncFailed, "sync");
    return -1;
  }
  yyjson_doc *d = yyjson_read(s, len, 0);
  vault_free(s);
  yyjson_val *root = yyjson_doc_get_root(d);
  long gen = gen_of_text(yyjson_get_str(yyjson_obj_get(yyjson_obj_get(root, "profile"), "protectedKey")), 'k');
  std::string why;
  if (gen < 0) why = "profile without a generation";
  size_t i, n;
  yyjson_val *e;
  int folders = 0;
  yyjson_arr_foreach(yyjson_obj_get(root, "folders"), i, n, e) {
    folders++;
    if (why.empty() && gen_of_text(yyjson_get_str(yyjson_obj_get(e, "name")), 'g') != gen)
      why = "a folder of another generation";
  }
  if (why.empty() && folders != k_folders) why = "folders missing";
  std::set<std::string> ids;
  yyjson_arr_foreach(yyjson_obj_get(root, "ciphers"), i, n, e) {
    const char *id = yyjson_get_str(yyjson_obj_get(e, "id"));
    const char *by = yyjson_get_str(yyjson_obj_get(e, "by"));
    if (id) ids.insert(id);
    if (why.empty() && by && strcmp(by, "r") == 0 && yyjson_get_sint(yyjson_obj_get(e, "gen")) != gen)
      why = std::string("item ") + (id ? id : "?") + " of another generation";
  }
  yyjson_doc_free(d);
  if (!d) why = "not JSON";
  if (!why.empty()) {
    count(kSyncMixed);
    note("sync", why + " (generation " + std::to_string(gen) + ")");
    return -1;
  }
  if (a == 0 && gen >= 0) {
    std::set<std::string> want[2];
    for (int m = 0; m < 2; m++)
      for (int k = 0; k < k_items; k++)
        if (live_in(k, gen + m)) want[m].insert(item_id(k));
    if (ids != want[0] && ids != want[1]) {
      count(kSyncItemsWrong);
      std::string odd;
      for (auto &id : want[0])
        if (want[1].count(id) && !ids.count(id)) odd += " -" + id;
      for (auto &id : ids)
        if (!want[0].count(id) && !want[1].count(id)) odd += " +" + id;
      note("sync", "items not those live in generation " + std::to_string(gen) + ":" + odd);
    }
  }
  if (gen > begun) {
    count(kSyncMixed);
    note("sync", "a generation not begun yet: " + std::to_string(gen));
  }
  if (gen < committed) count(kSyncStale);
  return gen;
}

void read_others(int a, unsigned long long r) {
  // An item live in every generation: always there, whole, of a generation begun.
  std::string id = item_id((int)(r % k_always_live));
  count(kGets);
  size_t len = 0;
  char *t = vault_cipher_get_alloc(g_uid[a].c_str(), id.c_str(), &len);
  long begun = g->begun[a].load();
  if (!t) {
    failed(kGetFailed, "get");
  } else {
    yyjson_doc *d = yyjson_read(t, len, 0);
    long gen = d ? (long)yyjson_get_sint(yyjson_obj_get(yyjson_doc_get_root(d), "gen")) : -1;
    yyjson_doc_free(d);
    if (gen < 0 || gen > begun) {
      count(kGetWrong);
      note("get", std::string("not a whole item of a begun generation: ") + t);
    }
    vault_free(t);
  }
  count(kLookups);
  char uid[VAULT_ID_SIZE] = "", hash[VAULT_HASH_SIZE] = "";
  uint32_t iterations = 0;
  int found = vault_user_find_by_email(g_email[a].c_str(), uid, &iterations, hash, nullptr);
  begun = g->begun[a].load();
  if (found != 0) {
    failed(kLookupFailed, "find_by_email");
  } else if (g_uid[a] != uid || gen_of_text(hash, 'h') < 0 || gen_of_text(hash, 'h') > begun) {
    count(kLookupFailed);
    note("find_by_email", std::string("another account or hash: ") + uid + " " + hash);
  }
  if (r % 8 == 0) {
    count(kStats);
    char *st = vault_storage_get_stats_json_alloc(&len);
    yyjson_doc *d = st ? yyjson_read(st, len, 0) : nullptr;
    if (!st) failed(kStatsFailed, "stats");
    else if (!d) count(kStatsFailed), note("stats", "not JSON");
    yyjson_doc_free(d);
    vault_free(st);
  }
}

void reader(long who) {
  long last[2] = {-1, -1};
  unsigned long long r = (unsigned long long)who * 7919 + 1;
  while (!out_of_time() && g->writers_left.load() > 0) {
    for (int a = 0; a < 2; a++) {
      long gen = check_sync(a);
      if (gen >= 0 && gen < last[a]) {
        count(kSyncBackwards);
        note("sync", "went back from " + std::to_string(last[a]) + " to " + std::to_string(gen));
      }
      if (gen >= 0) last[a] = gen;
      if (a == 0) read_others(a, r++);
    }
  }
}

// ---- host B: saves and moves against the contended account's replacements --------
void saver() {
  for (int n = 0; n < k_max_saved && !out_of_time() && g->writers_left.load() > 0; n++) {
    std::string id = "s" + std::to_string(n);
    count(kSaves);
    // Written under the generation this client last knew.
    int rc = vault_cipher_save(g_uid[1].c_str(), item_doc(id, g->committed[1].load(), "s").c_str(), nullptr);
    trail("save " + id + " rc " + std::to_string(rc) + " " + vault_storage_last_error());
    if (rc == 0) {
      g->saved[n].store(1);
      g->saved_n.store(n + 1);
    } else if (vault_storage_last_error_code() == VAULT_STALE) {
      failed(kSaveStale, "save");
    } else {
      failed(kSaveFailed, "save");
    }
    // In bursts: a replacement takes longer than the gap between two
    // saves on a shared file system, and would never commit between them.
    usleep(150000 + (useconds_t)(n % 7) * 40000 + (n % 4 == 3 ? 1500000 : 0));
  }
}

void mover() {
  unsigned long long r = 12345;
  while (!out_of_time() && g->writers_left.load() > 0) {
    r = r * 6364136223846793005ULL + 1442695040888963407ULL;
    bool to_trash = (r >> 33) % 2 == 0;
    std::vector<std::string> ids = item_ids(opt.roots[1] + "/users/" + g_uid[1] + (to_trash ? "/ciphers" : "/trash"));
    if (ids.empty()) {
      usleep(50000);
      continue;
    }
    const std::string &id = ids[(r >> 40) % ids.size()];
    int rc = to_trash ? vault_cipher_delete(g_uid[1].c_str(), id.c_str(), 0)
                      : vault_cipher_restore_from_trash(g_uid[1].c_str(), id.c_str());
    count(kMoves);
    trail(std::string(to_trash ? "delete " : "restore ") + id + " rc " + std::to_string(rc) + " " +
          vault_storage_last_error());
    if (rc == 1) count(kMoveNotFound);
    else if (rc != 0 && vault_storage_last_error_code() == VAULT_STALE) failed(kMoveStale, "move");
    else if (rc != 0) failed(kMoveFailed, to_trash ? "delete" : "restore");
    usleep(250000 + ((r >> 20) % 3 == 0 ? 1500000 : 0));  // in bursts, as the saves
  }
}

template <class F>
pid_t spawn(size_t host, F fn) {
  return vsh_spawn(opt.roots[host], g_logdir, fn);
}

// ---- afterwards: the contended account read directly -------------------------------
using Verdict = VshVerdict;

void check_tree(Verdict &v) {
  long final_gen[2] = {g->committed[0].load(), g->committed[1].load()};
  long hash_wrong = 0;
  for (int a = 0; a < 2; a++) {
    std::string profile;
    if (!vts_read(account_dir(a) + "/profile.json", profile) ||
        profile.find("\"" + hash_of(final_gen[a]) + "\"") == std::string::npos)
      hash_wrong++;
  }
  v.add("hash-not-last-committed", hash_wrong, true);

  long lost = 0, twice = 0, old = 0, reverted = 0, after = 0;
  std::map<std::string, int> where;
  for (int k = 0; k < 2; k++) {
    std::string dir = account_dir(1) + (k ? "/trash" : "/ciphers");
    for (auto &id : item_ids(dir)) {
      if (where.count(id)) twice++;
      where[id] = k;
      std::string text;
      vts_read(dir + "/" + id + ".json", text);
      yyjson_doc *d = yyjson_read(text.data(), text.size(), 0);
      yyjson_val *root = yyjson_doc_get_root(d);
      const char *by = yyjson_get_str(yyjson_obj_get(root, "by"));
      long gen = (long)yyjson_get_sint(yyjson_obj_get(root, "gen"));
      bool replaced = by && strcmp(by, "r") == 0;
      if (replaced && gen != final_gen[1]) {
        old++;
        note("final", id + " of generation " + std::to_string(gen) + ", last committed " +
                          std::to_string(final_gen[1]));
      } else if (!replaced && id[0] == 's') {
        // A save's own text: no replacement that committed may have held it.
        if (g->included[atoi(id.c_str() + 1) % k_max_saved].load()) {
          reverted++;
          note("final", id + " holds its save's text though a replacement rewrote it");
        } else if (gen < final_gen[1]) {
          after++;
        }
      } else if (!replaced) {
        old++;
        note("final", id + " is neither a save's nor a replacement's");
      }
      yyjson_doc_free(d);
    }
  }
  int n = g->saved_n.load();
  for (int i = 0; i < n; i++)
    if (g->saved[i].load() && !where.count("s" + std::to_string(i))) {
      lost++;
      note("final", "s" + std::to_string(i) + " saved with 0 and gone");
      std::string trail_text, id = "s" + std::to_string(i), line;
      vts_read(g_logdir + ".trail", trail_text);
      printf("[replace] trail of lost %s:\n", id.c_str());
      for (size_t at = 0; at < trail_text.size();) {
        size_t end = trail_text.find('\n', at);
        if (end == std::string::npos) end = trail_text.size();
        line = trail_text.substr(at, end - at);
        at = end + 1;
        bool mine = line.find(" " + id + " ") != std::string::npos ||
                    line.find(":" + id + " ") != std::string::npos ||
                    (line.size() > id.size() + 1 && line.compare(line.size() - id.size() - 1, id.size() + 1, ":" + id) == 0);
        bool replace = line.find(" replace ") != std::string::npos;
        if (replace)
          printf("[replace]   %s ... %s %s\n", line.substr(0, 60).c_str(),
                 mine ? "holds" : "lacks", id.c_str());
        else if (mine)
          printf("[replace]   %s\n", line.substr(0, 160).c_str());
      }
    }
  v.add("saved-items-lost", lost, true);
  v.add("items-live-and-trashed", twice, true);
  v.add("items-of-an-old-generation", old, true);
  v.add("saved-items-not-replaced", reverted, true);
  v.add("saves-after-last-commit", after, false);
  // A swapped-out directory whose removal the file system refused stays
  // marked under a staging name: no call takes it for the account, and
  // reindex removes it where the file system lets it. Seen on GlusterFS
  // about once in twenty runs (the server answered ESTALE for it from its
  // rename on); reported, not failed.
  long left = 0, retired = 0;
  const std::string users = opt.roots[0] + "/users";
  for (auto &name : vts_list(users))
    if (name[0] == '.' && (name.find(g_uid[0]) != std::string::npos ||
                           name.find(g_uid[1]) != std::string::npos)) {
      bool marked = name.compare(0, 9, ".staging.") == 0 &&
                    access((users + "/" + name + "/.retired").c_str(), F_OK) == 0;
      (marked ? retired : left)++;
    }
  v.add("leftovers-in-users", left, true);
  v.add("retired-leftovers", retired, false);
}

void print_messages() { vsh_print_messages(g_logdir, "replace", true); }

// ---- the revision token's lag across hosts ------------------------------------------
const char *const k_change_kinds[4] = {"save", "move", "folder", "credentials"};

std::string token(const std::string &uid) {
  size_t len = 0;
  char *t = vault_user_revision_alloc(uid.c_str(), &len);
  std::string s = t ? std::string(t, len) : std::string();
  vault_free(t);
  return s;
}

// Host B: waits for a settled token that holds still, says so, and polls
// until it changes.
void lag_poller(int a, const std::string &uid) {
  for (long round = 0; round < opt.revision_lag && !out_of_time(); round++) {
    std::string base;
    for (int same = 0; same < 3 && !out_of_time();) {
      std::string t = token(uid);
      same = !t.empty() && t[0] != 'u' && t == base ? same + 1 : 0;
      base = t;
      usleep(20000);
    }
    g->changed[a].store(0);
    g->ready[a].store(1);
    std::string t;
    // changed: 1 done, 2 the change failed (nothing to wait for).
    while (!out_of_time() && g->changed[a].load() != 2 && (t = token(uid)) == base) usleep(1000);
    double seen = now();
    while (!out_of_time() && !g->changed[a].load()) usleep(1000);
    if (g->changed[a].load() != 1) continue;
    int k = g->lag_n.fetch_add(1);
    if (k < k_max_lag && !out_of_time()) {
      g->lag_us[k] = (long)((seen - g->t_change[a]) * 1e6);
      g->lag_kind[k] = (int)(round % 4);
      g->lag_unsettled[k] = !t.empty() && t[0] == 'u';
    }
  }
}

// Host A: one change of a kind per round, once host B holds a token.
void lag_changer(int a, const std::string &uid) {
  std::string hash = "h0";
  for (long round = 0; round < opt.revision_lag && !out_of_time(); round++) {
    while (!out_of_time() && !g->ready[a].load()) usleep(1000);
    g->ready[a].store(0);
    usleep(50000 + (useconds_t)(round * 7919 % 100) * 1000);
    std::string id = "lag" + std::to_string(round);
    g->t_change[a] = now();
    int rc = 0;
    switch (round % 4) {
      case 0: rc = vault_cipher_save(uid.c_str(), item_doc(id, round, "s").c_str(), nullptr); break;
      case 1: rc = vault_cipher_delete(uid.c_str(), ("lag" + std::to_string(round - 1)).c_str(), 0); break;
      case 2: rc = vault_folder_save(uid.c_str(), "{\"id\":\"f\",\"name\":\"n\"}", nullptr); break;
      default: {
        std::string h = "h" + std::to_string(round);
        rc = vault_user_set_credentials(uid.c_str(), hash.c_str(), h.c_str(), 1, "k");
      }
    }
    if (rc != 0) failed(kSaveFailed, k_change_kinds[round % 4]);
    else if (round % 4 == 3) hash = "h" + std::to_string(round);
    g->changed[a].store(rc == 0 ? 1 : 2);
  }
}

double percentile(std::vector<long> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = (size_t)(p * (double)(v.size() - 1) + 0.5);
  return (double)v[std::min(i, v.size() - 1)] / 1000.0;
}

int revision_lag() {
  if (opt.accounts < 1 || opt.accounts > 16) return 2;
  std::vector<std::string> uids;
  if (vault_storage_init(opt.roots[0].c_str()) != 0) return 2;
  for (long a = 0; a < opt.accounts; a++) {
    char uid[VAULT_ID_SIZE];
    std::string email = "lag" + std::to_string(a) + "-" + std::to_string(getpid()) + "@replace.test";
    if (vault_user_create(email.c_str(), "h0", 1, "k", uid) != 0) {
      fprintf(stderr, "setup: %s\n", vault_storage_last_error());
      return 2;
    }
    uids.push_back(uid);
  }
  vault_storage_cleanup();
  double t0 = now();
  std::vector<pid_t> pids;
  for (long a = 0; a < opt.accounts; a++) {
    std::string uid = uids[(size_t)a];
    pids.push_back(spawn(1, [a, uid]() { lag_poller((int)a, uid); }));
    pids.push_back(spawn(0, [a, uid]() { lag_changer((int)a, uid); }));
  }
  for (pid_t p : pids) waitpid(p, nullptr, 0);
  int n = std::min(g->lag_n.load(), k_max_lag);
  printf("[revision-lag] accounts=%ld changes=%d seconds=%.1f failed-changes=%ld\n", opt.accounts, n,
         now() - t0, g->c[kSaveFailed].load());
  std::vector<long> all, by[4];
  long unsettled = 0;
  for (int i = 0; i < n; i++) {
    all.push_back(g->lag_us[i]);
    by[g->lag_kind[i]].push_back(g->lag_us[i]);
    unsettled += g->lag_unsettled[i];
  }
  auto row = [](const char *name, const std::vector<long> &v) {
    printf("[revision-lag] %-12s n=%-4zu median=%.1f ms p99=%.1f ms max=%.1f ms\n", name, v.size(),
           percentile(v, 0.5), percentile(v, 0.99), percentile(v, 1.0));
  };
  row("all", all);
  for (int k = 0; k < 4; k++) row(k_change_kinds[k], by[k]);
  printf("[revision-lag] first-changed-token-unsettled=%ld of %d\n", unsettled, n);
  print_messages();
  return 0;
}

int usage() {
  fprintf(stderr, "usage: vs_sharedfs_replace_readers [--replacements N] [--contended N] [--readers N] "
                  "[--seconds S] ROOT_A ROOT_B\n"
                  "       vs_sharedfs_replace_readers --revision-lag N [--accounts P] ROOT_A ROOT_B\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (!vsh_parse(argc, argv,
                 {{"--replacements", &opt.replacements}, {"--contended", &opt.contended},
                  {"--readers", &opt.readers}, {"--seconds", &opt.seconds}, {"--naive", &opt.naive},
                  {"--revision-lag", &opt.revision_lag}, {"--accounts", &opt.accounts}},
                 opt.roots) ||
      opt.roots.size() != 2)
    return usage();

  if (!(g = vsh_shared<Shared>())) return 2;
  if ((g_logdir = vsh_logdir("vs-replace-log")).empty()) return 2;
  g_deadline = now() + (double)opt.seconds;
  if (opt.revision_lag > 0) return revision_lag();

  // Both accounts, registered on host A, at generation 0.
  if (vault_storage_init(opt.roots[0].c_str()) != 0) return 2;
  for (int a = 0; a < 2; a++) {
    char uid[VAULT_ID_SIZE];
    g_email[a] = "gen" + std::to_string(a) + "-" + std::to_string(getpid()) + "@replace.test";
    if (vault_user_create(g_email[a].c_str(), hash_of(0).c_str(), 1, key_of(0).c_str(), uid) != 0) {
      fprintf(stderr, "setup: %s\n", vault_storage_last_error());
      return 2;
    }
    g_uid[a] = uid;
    for (int i = 0; i < (a == 0 ? k_items : 10); i++)
      if (vault_cipher_save(uid, item_doc(item_id(i), 0, "r").c_str(), nullptr) != 0 ||
          (a == 0 && !live_in(i, 0) && vault_cipher_delete(uid, item_id(i).c_str(), 0) != 0)) {
        fprintf(stderr, "setup: %s\n", vault_storage_last_error());
        return 2;
      }
    std::string folders = folders_of(0);
    yyjson_doc *d = yyjson_read(folders.data(), folders.size(), 0);
    size_t i, n;
    yyjson_val *e;
    yyjson_arr_foreach(yyjson_doc_get_root(d), i, n, e) {
      char *f = yyjson_val_write(e, 0, nullptr);
      if (vault_folder_save(uid, f, nullptr) != 0) {
        fprintf(stderr, "setup: %s\n", vault_storage_last_error());
        return 2;
      }
      free(f);
    }
    yyjson_doc_free(d);
  }
  vault_storage_cleanup();

  double t0 = now();
  g->writers_left.store(2);
  std::vector<pid_t> pids;
  pids.push_back(spawn(0, []() { replacer_readonly(); g->writers_left.fetch_sub(1); }));
  pids.push_back(spawn(0, []() { replacer_contended(); g->writers_left.fetch_sub(1); }));
  pids.push_back(spawn(1, []() { saver(); }));
  pids.push_back(spawn(1, []() { mover(); }));
  pids.push_back(spawn(0, []() { reader(0); }));
  for (long r = 1; r <= opt.readers; r++) pids.push_back(spawn(1, [r]() { reader(r); }));
  int crashed = 0;
  for (pid_t p : pids) {
    int st = 0;
    if (waitpid(p, &st, 0) < 0 || !WIFEXITED(st) || WEXITSTATUS(st) != 0) crashed++;
  }
  double took = now() - t0;

  Verdict v;
  for (int c = 0; c < kCounters; c++) v.add(k_names[c], g->c[c].load(), !informative(c));
  v.add("processes-failed", crashed, true);
  v.add("generations", g->committed[0].load(), false);
  v.add("contended-generations", g->committed[1].load(), false);
  v.add("out-of-time", now() > g_deadline ? 1 : 0, false);
  check_tree(v);
  printf("[replace] roots=%s,%s seconds=%.1f\n", opt.roots[0].c_str(), opt.roots[1].c_str(), took);
  for (auto &l : v.lines) printf("[replace] %s=%ld\n", l.first.c_str(), l.second);
  for (int c = 0; c < 16; c++)
    if (g->fail_codes[c].load()) printf("[replace] failures-with-code-%d=%ld\n", c, g->fail_codes[c].load());
  print_messages();
  unlink((g_logdir + ".trail").c_str());
  printf("[replace] %s\n", v.bad ? "FAILED: a promise was broken (counts above)" : "passed");
  return v.bad ? 1 : 0;
}
