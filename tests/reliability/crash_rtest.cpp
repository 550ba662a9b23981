// Crash consistency: a forked worker runs a random mix of cipher saves (new
// and replacing, with and without an id), deletes, restores, folder saves
// and deletes and account creations against one data root, logging each
// intended change before the call and its result after. The parent kills it
// with SIGKILL at a random moment and then checks the tree: it must equal
// the state after the last call that returned, or that state plus the call
// in flight, every file whole, and nothing else left but temporary names
// containing ".tmp.". VS_CRASH_KILLS sets the number of kills, VS_CRASH_SEED
// the seed, VS_CRASH_WAIT_US the longest wait before a kill (4 ms; slower
// file systems need more for kills to land past the first calls).
// VS_CRASH_FALLBACK=1 makes every move take the fallback for file systems
// that refuse a no-replace rename, 0 none, unset: a random half of the
// rounds. On a file system that refuses it itself (GlusterFS) every round
// is a fallback round whatever the setting.
//
// The fallback's restore links the trashed file under its live name, then
// drops the trashed name: a kill between the two leaves one file under both
// names. That state, and only in that form (the call in flight was that
// restore, one inode, two links besides parked leftovers), is taken as the
// restore done; the test
// then checks that statistics count the item once and that the next
// restore, trash move or removal for good leaves it under exactly one name
// (or none).
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "foundation/email_index.h"
#include "foundation/layout.h"
#include "noreplace_switch.h"
#include "store_model.h"

namespace {

long env_long(const char *name, long def) {
  const char *v = getenv(name);
  return v && *v ? atol(v) : def;
}

struct Rec {
  std::string op, uid, id, arg, content;
  bool done = false;
  int rc = 0;
  std::string out;
};

void log_line(int fd, const std::string &s) {
  // One write per record: a kill leaves whole records or none.
  if (write(fd, s.data(), s.size()) != (ssize_t)s.size()) _exit(4);
}

std::string random_cipher(std::mt19937_64 &rng, const std::string &id) {
  static const char *words[] = {"alpha", "login", "card", "note", "\\u00e9t\\u00e9", "x\\\"y", "p/q"};
  std::ostringstream o;
  o << "{";
  if (!id.empty()) o << "\"id\":\"" << id << "\", ";
  o << "\"type\":" << rng() % 4 << ",\"name\":\"" << words[rng() % 7] << rng() % 1000 << "\"";
  // Now and then a large document, so that kills also land inside a long write.
  size_t pad = rng() % 10 == 0 ? 20000 + rng() % 200000 : rng() % 300;
  o << ",\"notes\":\"" << std::string(pad, (char)('a' + rng() % 26)) << "\"}";
  return o.str();
}

// The worker: never returns.
[[noreturn]] void worker(VmStore m, uint64_t seed, int logfd, bool fallback) {
  vr_refuse_noreplace(fallback);
  std::mt19937_64 rng(seed);
  for (;;) {
    std::vector<std::string> uids;
    for (auto &kv : m.acc) uids.push_back(kv.first);
    const std::string uid = uids[rng() % uids.size()];
    VmAccount &a = m.acc[uid];
    unsigned pick = (unsigned)(rng() % 100);
    std::string line;
    if (pick < 40) {  // save
      std::string id = rng() % 8 == 0 ? "" : "c" + std::to_string(rng() % 8);
      std::string text = random_cipher(rng, id);
      log_line(logfd, "I\tsave\t" + uid + "\t" + id + "\t\t" + text + "\n");
      char out[VAULT_ID_SIZE] = "";
      int rc = vault_cipher_save(uid.c_str(), text.c_str(), out);
      log_line(logfd, "D\t" + std::to_string(rc) + "\t" + out + "\n");
      if (rc != 0 || (!id.empty() && id != out) || (id.empty() && !vr_is_uuid(out))) {
        log_line(logfd, "E\tsave " + uid + " " + id + " rc " + std::to_string(rc) + " " + vault_storage_last_error() + "\n");
        _exit(3);
      }
      a.live[out] = text;
    } else if (pick < 60) {  // delete
      std::string id = "c" + std::to_string(rng() % 8);
      bool perm = rng() % 4 == 0;
      log_line(logfd, "I\tdel\t" + uid + "\t" + id + "\t" + (perm ? "1" : "0") + "\t\n");
      int want = m.predict_delete(uid, id, perm);
      int rc = vault_cipher_delete(uid.c_str(), id.c_str(), perm ? 1 : 0);
      log_line(logfd, "D\t" + std::to_string(rc) + "\t\n");
      if (rc != want) {
        log_line(logfd, "E\tdelete " + uid + " " + id + " rc " + std::to_string(rc) + " want " + std::to_string(want) + " " + vault_storage_last_error() + "\n");
        _exit(3);
      }
      m.apply_delete(uid, id, perm);
    } else if (pick < 75) {  // restore
      std::string id = "c" + std::to_string(rng() % 8);
      log_line(logfd, "I\trestore\t" + uid + "\t" + id + "\t\t\n");
      int want = m.predict_restore(uid, id);
      int rc = vault_cipher_restore_from_trash(uid.c_str(), id.c_str());
      log_line(logfd, "D\t" + std::to_string(rc) + "\t\n");
      if (rc != want) {
        log_line(logfd, "E\trestore " + uid + " " + id + " rc " + std::to_string(rc) + " want " + std::to_string(want) + " " + vault_storage_last_error() + "\n");
        _exit(3);
      }
      m.apply_restore(uid, id);
    } else if (pick < 87) {  // folder save
      std::string id = "f" + std::to_string(rng() % 5);
      std::string name = "Folder " + std::to_string(rng() % 100);
      std::string next = vm_folder_save_text(a, id, name, "");
      log_line(logfd, "I\tfsave\t" + uid + "\t" + id + "\t" + name + "\t" + next + "\n");
      char out[VAULT_ID_SIZE] = "";
      std::string doc = "{\"id\":\"" + id + "\",\"name\":\"" + name + "\"}";
      int rc = vault_folder_save(uid.c_str(), doc.c_str(), out);
      log_line(logfd, "D\t" + std::to_string(rc) + "\t" + out + "\n");
      if (rc != 0) {
        log_line(logfd, "E\tfolder_save " + uid + " rc " + std::to_string(rc) + " " + vault_storage_last_error() + "\n");
        _exit(3);
      }
      a.has_folders = true;
      a.folders = next;
    } else if (pick < 95) {  // folder delete
      std::string id = "f" + std::to_string(rng() % 5);
      int want = 0;
      std::string next = vm_folder_delete_text(a, id, want);
      log_line(logfd, "I\tfdel\t" + uid + "\t" + id + "\t\t" + next + "\n");
      int rc = vault_folder_delete(uid.c_str(), id.c_str());
      log_line(logfd, "D\t" + std::to_string(rc) + "\t\n");
      if (rc != want) {
        log_line(logfd, "E\tfolder_delete " + uid + " " + id + " rc " + std::to_string(rc) + " want " + std::to_string(want) + " " + vault_storage_last_error() + "\n");
        _exit(3);
      }
      if (rc == 0) a.folders = next;
    } else {  // account creation, now and then of a taken address
      std::string email;
      if (rng() % 4 == 0) {
        email = a.email;
        for (char &ch : email) ch = (char)toupper((unsigned char)ch);
      } else {
        email = "u" + std::to_string(rng() % 1000000000) + "@crash.test";
      }
      int want = m.by_email(email) ? 1 : 0;
      log_line(logfd, "I\tcreate\t\t\t" + email + "\t\n");
      char out[VAULT_ID_SIZE] = "";
      int rc = vault_user_create(email.c_str(), "hash", 600000, "key", out);
      log_line(logfd, "D\t" + std::to_string(rc) + "\t" + out + "\n");
      if (rc != want) {
        log_line(logfd, "E\tcreate " + email + " rc " + std::to_string(rc) + " want " + std::to_string(want) + " " + vault_storage_last_error() + "\n");
        _exit(3);
      }
      if (rc == 0) {
        VmAccount n;
        n.uid = out;
        n.email = email;
        m.acc[out] = n;
      }
    }
  }
}

std::vector<Rec> read_log(const std::string &path, std::string &error) {
  std::vector<Rec> recs;
  std::string text = vts_slurp(path);
  size_t pos = 0;
  while (true) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) break;  // a record cut by the kill is ignored
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    std::vector<std::string> f;
    size_t s = 0;
    for (size_t t; (t = line.find('\t', s)) != std::string::npos; s = t + 1) f.push_back(line.substr(s, t - s));
    f.push_back(line.substr(s));
    if (f[0] == "I" && f.size() >= 6) {
      Rec r;
      r.op = f[1], r.uid = f[2], r.id = f[3], r.arg = f[4], r.content = f[5];
      recs.push_back(r);
    } else if (f[0] == "D" && f.size() >= 3 && !recs.empty()) {
      recs.back().done = true;
      recs.back().rc = atoi(f[1].c_str());
      recs.back().out = f[2];
    } else if (f[0] == "E") {
      error = line;
    }
  }
  return recs;
}

void apply(VmStore &m, const Rec &r, int rc, const std::string &out) {
  if (r.op == "save" && rc == 0) m.acc[r.uid].live[out] = r.content;
  if (r.op == "del") m.apply_delete(r.uid, r.id, r.arg == "1");
  if (r.op == "restore") m.apply_restore(r.uid, r.id);
  if (r.op == "fsave" && rc == 0) {
    m.acc[r.uid].has_folders = true;
    m.acc[r.uid].folders = r.content;
  }
  if (r.op == "fdel" && rc == 0) m.acc[r.uid].folders = r.content;
  if (r.op == "create" && rc == 0) {
    VmAccount n;
    n.uid = out;
    n.email = r.arg;
    m.acc[out] = n;
  }
}

// Entries that may lie in the tree besides the model's documents.
std::string check_leftovers(const std::string &root, const VmStore &got, std::set<std::string> &junk,
                            const Rec *inflight) {
  std::string bad;
  for (auto &n : vts_list(root))
    if (n != "users" && n != "config.json" && n.find(".tmp.") == std::string::npos) bad += "root entry " + n + "\n";
  for (auto &uid : vts_list(root + "/users")) {
    std::string d = root + "/users/" + uid;
    if (uid == VS_INDEX_NAME) {
      // Entries and the temporary files of claims; an entry whose account
      // never came to be (a creation cut short) is allowed, its address is
      // free again.
      for (auto &n : vts_list(d))
        if (!vs_index_entry_name(n.c_str()) && n.find(".tmp.") == std::string::npos)
          bad += "unexpected entry in the e-mail index: " + n + "\n";
      continue;
    }
    if (!got.acc.count(uid)) {
      // An account directory without a profile: only a creation cut short
      // leaves one. Its parts must be empty or whole.
      if (junk.count(uid)) continue;
      if (!inflight || inflight->op != "create") { bad += "unexpected entry users/" + uid + "\n"; continue; }
      for (auto &n : vts_list(d)) {
        std::string p = d + "/" + n;
        if (n.find(".tmp.") != std::string::npos) continue;
        if ((n == "ciphers" || n == "trash")) {
          for (auto &e : vts_list(p))
            if (e.find(".tmp.") == std::string::npos) bad += "entry in half-made account: " + p + "/" + e + "\n";
        } else if (n == "folders.json") {
          if (vts_slurp(p) != "[]") bad += "half-made account's folder list: " + vts_slurp(p) + "\n";
        } else if (n == VS_LOCK_NAME) {
        } else {
          bad += "unexpected entry in half-made account: " + p + "\n";
        }
      }
      junk.insert(uid);
      continue;
    }
    for (auto &n : vts_list(d))
      if (n != "profile.json" && n != "folders.json" && n != "ciphers" && n != "trash" &&
          n != VS_LOCK_NAME && n.find(".tmp.") == std::string::npos)
        bad += "unexpected entry " + d + "/" + n + "\n";
  }
  // Every registered account is found through the e-mail index: its claim
  // was made before its profile.
  for (auto &kv : got.acc) {
    char id[VS_ID_BUF] = "";
    if (vs_index_read(root.c_str(), kv.second.email.c_str(), id) != 0 || kv.first != id)
      bad += "account without its e-mail index entry: " + kv.first + "\n";
  }
  return bad;
}

struct CutRestore {
  std::string uid, id;
};

// Parked names (".tmp.") in dir that are links to inode ino. A kill inside
// the fallback's step that puts a parked name back (link, then unlink of the
// parked name) leaves one more link under such a name: a leftover like any
// temporary name, holding nothing of its own.
nlink_t parked_links(const std::string &dir, ino_t ino) {
  nlink_t n = 0;
  for (auto &e : vts_list(dir)) {
    struct stat sp;
    if (e.find(".tmp.") != std::string::npos && lstat((dir + "/" + e).c_str(), &sp) == 0 &&
        sp.st_ino == ino)
      n++;
  }
  return n;
}

// Items whose live and trash names are one file. Accepted only as the
// restore in flight cut short in the fallback (see the top): then dropped
// from got's trash (the item is live) and returned in cut; anything else is
// reported.
std::string find_cut_restores(const std::string &root, VmStore &got, const Rec *inflight, bool fallback,
                              std::vector<CutRestore> &cut) {
  std::string bad;
  for (auto &kv : got.acc) {
    std::vector<std::string> twins;
    for (auto &t : kv.second.trash) {
      if (!kv.second.live.count(t.first)) continue;
      std::string d = root + "/users/" + kv.first;
      struct stat sl, st;
      if (lstat((d + "/ciphers/" + t.first + ".json").c_str(), &sl) != 0 ||
          lstat((d + "/trash/" + t.first + ".json").c_str(), &st) != 0 || sl.st_ino != st.st_ino)
        continue;  // two files: a save after a trash move, a state of the model
      std::string what = kv.first + " " + t.first;
      if (!fallback || !inflight || inflight->op != "restore" || inflight->uid != kv.first || inflight->id != t.first)
        bad += "one file live and trashed, not by a restore in flight with the fallback: " + what +
               (inflight ? " (in flight: " + inflight->op + " " + inflight->uid + " " + inflight->id + ")" : "") +
               (fallback ? "" : " (no fallback this round)") + "\n";
      else if (st.st_nlink != 2 + parked_links(d + "/trash", st.st_ino) + parked_links(d + "/ciphers", st.st_ino))
        bad += "one file live and trashed with " + std::to_string(st.st_nlink) + " links: " + what + "\n";
      else
        twins.push_back(t.first);
    }
    for (auto &id : twins) {
      kv.second.trash.erase(id);
      cut.push_back({kv.first, id});
    }
  }
  return bad;
}

// A count of the statistics over every account.
uint64_t stats_count(const char *key) {
  char *text = vault_storage_get_stats_json_alloc(nullptr);
  yyjson_doc *d = vr_parse(text ? text : "");
  vault_free(text);
  uint64_t n = d ? yyjson_get_uint(yyjson_obj_get(yyjson_doc_get_root(d), key)) : UINT64_MAX;
  yyjson_doc_free(d);
  return n;
}

// Finishes a cut-short restore through the library, one of three ways, and
// applies it to the model. "" when the call answered 0 and left the item
// under one name with one link, or under none.
std::string heal_cut_restore(const std::string &root, VmStore &m, const CutRestore &c, unsigned how,
                             bool fallback) {
  vr_refuse_noreplace(fallback);
  int rc = how == 0 ? vault_cipher_restore_from_trash(c.uid.c_str(), c.id.c_str())
                    : vault_cipher_delete(c.uid.c_str(), c.id.c_str(), how == 2 ? 1 : 0);
  vr_refuse_noreplace(false);
  static const char *names[] = {"restore", "trash move", "removal for good"};
  std::string what = std::string(names[how]) + (fallback ? " (fallback)" : "") + " of cut-short " + c.uid + " " + c.id;
  if (rc != 0) return what + " answered " + std::to_string(rc) + ": " + vault_storage_last_error();
  if (how > 0) m.apply_delete(c.uid, c.id, how == 2);
  std::string d = root + "/users/" + c.uid, live = d + "/ciphers/" + c.id + ".json",
              trash = d + "/trash/" + c.id + ".json";
  struct stat sl, st;
  bool in_live = lstat(live.c_str(), &sl) == 0, in_trash = lstat(trash.c_str(), &st) == 0;
  if (in_live + in_trash != (how == 2 ? 0 : 1)) return what + ": left it live " + std::to_string(in_live) + ", trashed " + std::to_string(in_trash);
  if ((in_live && sl.st_nlink != 1 + parked_links(d + "/trash", sl.st_ino) + parked_links(d + "/ciphers", sl.st_ino)) ||
      (in_trash && st.st_nlink != 1 + parked_links(d + "/trash", st.st_ino) + parked_links(d + "/ciphers", st.st_ino)))
    return what + ": left extra links";
  return "";
}

}  // namespace

TEST(Crash, KilledWorkersLeaveWholeDocuments) {
  long kills = env_long("VS_CRASH_KILLS", 60);
  uint64_t seed = (uint64_t)env_long("VS_CRASH_SEED", (long)time(nullptr));
  std::string scratch = vts_scratch("crash", true);
  ASSERT_FALSE(scratch.empty());
  std::string root = scratch + "/root", logp = scratch + "/log";
  ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
  VmStore m;
  for (const char *email : {"one@crash.test", "two@crash.test"}) {
    char uid[VAULT_ID_SIZE];
    ASSERT_EQ(vault_user_create(email, "h", 1, "k", uid), 0) << vault_storage_last_error();
    VmAccount a;
    a.uid = uid;
    a.email = email;
    m.acc[uid] = a;
  }
  std::mt19937_64 rng(seed);
  std::set<std::string> junk;
  long ops = 0, inflight_applied = 0, inflight_not = 0, no_folders = 0, cut_restores = 0, fallback_rounds = 0;
  const char *fb_env = getenv("VS_CRASH_FALLBACK");
  int fb_mode = fb_env && *fb_env ? atoi(fb_env) : -1;
  if (vr_fs_refuses_noreplace(scratch.c_str())) fb_mode = 1;
  long max_wait_us = std::max(1L, env_long("VS_CRASH_WAIT_US", 4000));
  for (long k = 0; k < kills; k++) {
    int logfd = open(logp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    ASSERT_GE(logfd, 0);
    uint64_t wseed = rng();
    // From the worker's seed, so that a seed replays without a draw more.
    bool fallback = fb_mode < 0 ? (wseed >> 63) != 0 : fb_mode != 0;
    fallback_rounds += fallback;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) worker(m, wseed, logfd, fallback);
    close(logfd);
    // Wait until the worker is at work, then let it run a random while: the
    // kill should land inside a call as often as between two.
    struct stat lst;
    for (int spin = 0; spin < 20000 && (stat(logp.c_str(), &lst) != 0 || lst.st_size == 0); spin++) {
      struct timespec poll = {0, 50 * 1000};
      nanosleep(&poll, nullptr);
    }
    long wait_us = (long)(rng() % (uint64_t)max_wait_us);
    struct timespec ts = {wait_us / 1000000, (wait_us % 1000000) * 1000};
    nanosleep(&ts, nullptr);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string werr;
    std::vector<Rec> recs = read_log(logp, werr);
    ASSERT_TRUE(werr.empty()) << "seed " << seed << " round " << k << ": worker saw a wrong result: " << werr;
    ASSERT_TRUE(WIFSIGNALED(status)) << "seed " << seed << " round " << k << ": worker ended by itself";

    const Rec *inflight = nullptr;
    for (auto &r : recs) {
      if (r.done) { apply(m, r, r.rc, r.out); ops++; }
      else inflight = &r;
    }
    std::vector<std::string> odd;
    VmStore got = vm_read_tree(root, odd);
    ASSERT_TRUE(odd.empty()) << "seed " << seed << " round " << k << ": " << odd[0];
    std::vector<CutRestore> cut;
    std::string twins = find_cut_restores(root, got, inflight, fallback, cut);
    ASSERT_TRUE(twins.empty()) << "seed " << seed << " round " << k << ": " << twins;
    std::string left = check_leftovers(root, got, junk, inflight);
    ASSERT_TRUE(left.empty()) << "seed " << seed << " round " << k << ":\n" << left;

    std::string d0 = vm_diff(m, got);
    if (d0.empty()) {
      if (inflight) inflight_not++;
    } else {
      ASSERT_NE(inflight, nullptr) << "seed " << seed << " round " << k << ": tree differs with no call in flight:\n" << d0;
      VmStore m2 = m;
      std::string out;
      if (inflight->op == "save") {
        out = inflight->id;
        if (out.empty())  // a generated id: the one new live file
          for (auto &c : got.acc[inflight->uid].live)
            if (!m.acc[inflight->uid].live.count(c.first)) out = c.first;
      } else if (inflight->op == "create") {
        for (auto &kv : got.acc)
          if (!m.acc.count(kv.first)) out = kv.first;
      }
      apply(m2, *inflight, 0, out);
      if (inflight->op == "create" && got.acc.count(out) && !got.acc[out].has_folders) {
        // Cut after the profile, before the folder list: a registered
        // account whose list reads "[]" and is written by the next save.
        m2.acc[out].has_folders = false;
        no_folders++;
      }
      std::string d1 = vm_diff(m2, got);
      ASSERT_TRUE(d1.empty()) << "seed " << seed << " round " << k << ": call in flight " << inflight->op << " "
                              << inflight->uid << " " << inflight->id << "\nagainst the state before it:\n"
                              << d0 << "against the state after it:\n" << d1;
      m = m2;
      inflight_applied++;
    }
    if (!cut.empty()) {
      uint64_t trashed = 0;
      for (auto &kv : got.acc) trashed += kv.second.trash.size();
      ASSERT_EQ(stats_count("trash"), trashed) << "seed " << seed << " round " << k
                                               << ": statistics count a cut-short restore as trashed";
    }
    for (auto &c : cut) {
      std::string err = heal_cut_restore(root, m, c, (unsigned)(rng() % 3), rng() % 2 == 0);
      ASSERT_TRUE(err.empty()) << "seed " << seed << " round " << k << ": " << err;
      std::vector<std::string> odd2;
      std::string d = vm_diff(m, vm_read_tree(root, odd2));
      ASSERT_TRUE(d.empty()) << "seed " << seed << " round " << k << ": after finishing the cut-short restore:\n" << d;
      cut_restores++;
    }
  }
  printf("[figures] crash: kills=%ld seed=%llu calls-returned=%ld in-flight-applied=%ld in-flight-not-applied=%ld "
         "half-made-accounts=%zu registered-without-folder-list=%ld fallback-rounds=%ld cut-short-restores=%ld\n",
         kills, (unsigned long long)seed, ops, inflight_applied, inflight_not, junk.size(), no_folders,
         fallback_rounds, cut_restores);
  vault_storage_cleanup();
  vts_remove_tree(scratch);
}
