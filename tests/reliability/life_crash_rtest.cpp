// Crash consistency of the life of an account: a forked worker changes
// credentials and addresses and deletes accounts (registering a fresh one
// for each deleted), logging each call before and after; the parent kills
// it with SIGKILL at a random moment and checks the tree: every profile
// whole and holding either its last completed values or the call in
// flight's, every address found under the one account holding it or none,
// a deleted account gone (one in flight gone or whole), and every remainder
// of a deletion cut short finished by the cleanup. VS_CRASH_KILLS sets the
// number of kills, VS_CRASH_SEED the seed.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <map>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <strings.h>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "accounts/delete.h"
#include "foundation/layout.h"
#include "vs_test_support.h"
#include "keldrune-vault-storage.h"

namespace {

long env_long(const char *name, long def) {
  const char *v = getenv(name);
  return v && *v ? atol(v) : def;
}

struct Account {
  std::string email, hash;
};

// The visible accounts with a profile, read through the library.
std::map<std::string, Account> read_accounts(const std::string &root) {
  std::map<std::string, Account> out;
  for (const std::string &n : vts_list(root + "/users")) {
    if (n[0] == '.') continue;
    char *text = vault_user_get_profile_json_alloc(n.c_str(), nullptr);
    if (!text) continue;  // a registration cut short
    yyjson_doc *d = yyjson_read(text, strlen(text), 0);
    vault_free(text);
    EXPECT_NE(d, nullptr) << "torn profile of " << n;
    if (!d) continue;
    yyjson_val *r = yyjson_doc_get_root(d);
    const char *e = yyjson_get_str(yyjson_obj_get(r, "email"));
    const char *h = yyjson_get_str(yyjson_obj_get(r, "masterPasswordHash"));
    out[n] = {e ? e : "", h ? h : ""};
    yyjson_doc_free(d);
  }
  return out;
}

void log_line(int fd, const std::string &s) {
  if (write(fd, s.data(), s.size()) != (ssize_t)s.size()) _exit(4);
}

// The worker: random changes until killed. Log lines: "B op uid arg" before
// a call, "E rc" after it.
[[noreturn]] void worker(const std::string &root, int log_fd, unsigned seed) {
  if (vault_storage_init(root.c_str()) != 0) _exit(3);
  std::mt19937 rng(seed);
  std::map<std::string, Account> acc = read_accounts(root);
  for (unsigned n = 0;; n++) {
    std::string tag = std::to_string(seed) + "-" + std::to_string(n);
    // A fresh account for each one deleted (or lost in a registration a
    // kill cut short).
    while (acc.size() < 4) {
      std::string e = "n" + tag + "-" + std::to_string(acc.size()) + "@x";
      char fresh[VAULT_ID_SIZE];
      log_line(log_fd, "B create - " + e + "\n");
      int rc = vault_user_create(e.c_str(), "h0", 1, "k", fresh);
      log_line(log_fd, "E " + std::to_string(rc) + " " + (rc == 0 ? fresh : "-") + "\n");
      if (rc != 0) _exit(6);
      acc[fresh] = {e, "h0"};
    }
    auto it = acc.begin();
    std::advance(it, rng() % acc.size());
    std::string uid = it->first;
    unsigned pick = rng() % 10;
    if (pick < 4) {
      std::string h = "h" + tag;
      log_line(log_fd, "B cred " + uid + " " + h + "\n");
      int rc = vault_user_set_credentials(uid.c_str(), it->second.hash.c_str(), h.c_str(), 1, "k");
      log_line(log_fd, "E " + std::to_string(rc) + "\n");
      if (rc == 0) it->second.hash = h;
    } else if (pick < 8) {
      // Now and then an address used before, or the same in capitals.
      std::string e = pick == 7 ? it->second.email : "e" + tag + "@x";
      if (pick == 7)
        for (char &c : e) c = (char)toupper((unsigned char)c);
      log_line(log_fd, "B email " + uid + " " + e + "\n");
      int rc = vault_user_change_email(uid.c_str(), e.c_str());
      log_line(log_fd, "E " + std::to_string(rc) + "\n");
      if (rc == 0) it->second.email = e;
    } else {
      log_line(log_fd, "B delete " + uid + " -\n");
      int rc = vault_user_delete(uid.c_str());
      log_line(log_fd, "E " + std::to_string(rc) + "\n");
      if (rc == 0) acc.erase(uid);
    }
  }
}

TEST(LifeCrash, KillsAtEveryStepLeaveEveryAddressWithOneAccountOrNone) {
  std::string base = vts_scratch("lifecrash");
  ASSERT_FALSE(base.empty());
  std::string root = base + "/root", logp = base + "/log";
  ASSERT_EQ(vault_storage_init(root.c_str()), 0);
  for (int i = 0; i < 4; i++)
    ASSERT_EQ(vault_user_create(("a" + std::to_string(i) + "@x").c_str(), "h0", 1, "k", nullptr), 0);
  long kills = env_long("VS_CRASH_KILLS", 40);
  unsigned seed = (unsigned)env_long("VS_CRASH_SEED", (long)time(nullptr));
  std::mt19937 rng(seed);
  std::map<std::string, std::string> every_address;  // lower-cased -> as used
  std::map<std::string, int> cut;  // the calls a kill landed in
  for (long round = 0; round < kills; round++) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    std::map<std::string, Account> before = read_accounts(root);
    int fd = open(logp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    ASSERT_GE(fd, 0);
    pid_t pid = fork();
    if (pid == 0) worker(root, fd, seed * 1000 + (unsigned)round);
    close(fd);
    struct timespec ts = {0, (long)(1000 + rng() % 20000) * 1000};
    nanosleep(&ts, nullptr);
    kill(pid, SIGKILL);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(st)) << "worker exited " << WEXITSTATUS(st) << "\n" << vts_slurp(logp, "");

    // What the log says: the state after the last call that returned, and
    // the call in flight.
    std::map<std::string, Account> want = before;
    std::string in_op, in_uid, in_arg;
    std::istringstream log(vts_slurp(logp, ""));
    for (std::string kind; log >> kind;) {
      if (kind == "B") {
        log >> in_op >> in_uid >> in_arg;
        if (in_op == "email") every_address[in_arg] = in_arg;
        continue;
      }
      int rc = 0;
      log >> rc;
      std::string fresh;
      if (in_op == "create") log >> fresh;
      if (rc == 0 && in_op == "cred") want[in_uid].hash = in_arg;
      if (rc == 0 && in_op == "email") want[in_uid].email = in_arg;
      if (rc == 0 && in_op == "delete") want.erase(in_uid);
      if (rc == 0 && in_op == "create") want[fresh] = {in_arg, "h0"};
      in_op.clear();
    }
    cut[in_op.empty() ? "between calls" : in_op]++;
    std::map<std::string, Account> got = read_accounts(root);
    for (auto &w : want) {
      auto g = got.find(w.first);
      if (g == got.end()) {
        EXPECT_EQ(in_op + in_uid, "delete" + w.first) << "account vanished " << w.first;
        continue;
      }
      bool flight = in_uid == w.first;
      EXPECT_TRUE(g->second.hash == w.second.hash || (flight && in_op == "cred" && g->second.hash == in_arg))
          << w.first << " hash " << g->second.hash;
      EXPECT_TRUE(g->second.email == w.second.email ||
                  (flight && in_op == "email" && g->second.email == in_arg))
          << w.first << " email " << g->second.email;
    }
    for (auto &g : got)
      EXPECT_TRUE(want.count(g.first) || in_op == "create") << "account came back " << g.first;

    // Every address: found under the one visible account whose profile
    // holds it, or under none.
    for (auto &g : got) every_address[g.second.email] = g.second.email;
    for (auto &a : every_address) {
      std::string holder;
      int holders = 0;
      for (auto &g : got)
        if (strcasecmp(g.second.email.c_str(), a.first.c_str()) == 0) holders++, holder = g.first;
      EXPECT_LE(holders, 1) << a.first;
      char uid[VAULT_ID_SIZE] = {0};
      int rc = vault_user_find_by_email(a.first.c_str(), uid, nullptr, nullptr, nullptr);
      if (holders == 0)
        EXPECT_EQ(rc, 1) << a.first << " found under " << uid;
      else
        EXPECT_TRUE(rc == 0 && holder == uid) << a.first;
    }
    // A deletion cut short: its remainder goes with the cleanup.
    ASSERT_EQ(vs_user_delete_remainders(root.c_str(), nullptr, nullptr, "test"), 0)
        << vault_storage_last_error();
    for (const std::string &n : vts_list(root + "/users"))
      EXPECT_FALSE(vs_deleted_remainder(n.c_str(), nullptr)) << n;
    if (HasFailure()) break;
  }
  for (auto &c : cut) printf("kills in %s: %d\n", c.first.c_str(), c.second);
  vault_storage_cleanup();
  vts_remove_tree(base);
}

}  // namespace
