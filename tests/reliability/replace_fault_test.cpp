// A replacement of a whole vault failing (ENOSPC, EIO) or killed (SIGKILL)
// at every system call it makes: the account reads whole-old or whole-new,
// byte for byte, a failure never answers 0, a new account is never answered
// -1 unless the failing call came after the commit, and the next
// replacement always succeeds.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "foundation/vs_internal.h"
#include "shim.h"
#include "vs_test_support.h"

namespace {

const int k_live = 2, k_trash = 1;

std::string item(int gen, int i) {
  return "{\"id\":\"i" + std::to_string(i) + "\",\"gen\":" + std::to_string(gen) + "}";
}
std::string items(int gen, int from, int n) {
  std::string s = "[";
  for (int i = from; i < from + n; i++) s += (i > from ? "," : "") + item(gen, i);
  return s + "]";
}

class ReplaceFaults : public ::testing::Test {
 protected:
  std::string base, root, uid;
  void SetUp() override {
    base = vts_scratch("replace-fault");
    root = base + "/root";
    ASSERT_EQ(vault_storage_init(root.c_str()), 0);
    char id[VS_ID_BUF];
    ASSERT_EQ(vault_user_create("f@example.com", "h0", 1, "k0", id), 0);
    uid = id;
    for (int i = 0; i < k_live + k_trash; i++)
      ASSERT_EQ(vault_cipher_save(uid.c_str(), item(0, i).c_str(), nullptr), 0);
    for (int i = k_live; i < k_live + k_trash; i++)
      ASSERT_EQ(vault_cipher_delete(uid.c_str(), ("i" + std::to_string(i)).c_str(), 0), 0);
    ASSERT_EQ(replace(0, 0), 0) << vault_storage_last_error();
  }
  void TearDown() override {
    vr_io_disarm();
    vault_storage_cleanup();
    vts_remove_tree(base);
  }
  // From generation `from` (its hash) to generation `to`.
  int replace(int from, int to) {
    std::string h = "h" + std::to_string(from), n = "h" + std::to_string(to);
    std::string folders = "[{\"id\":\"f\",\"name\":\"g" + std::to_string(to) + "\"}]";
    return vault_user_replace_vault(uid.c_str(), h.c_str(), n.c_str(), 1, "k",
                                    items(to, 0, k_live).c_str(), items(to, k_live, k_trash).c_str(),
                                    folders.c_str());
  }
  // The generation the account holds, each document checked byte for byte
  // (-1: a mix, a missing or an extra document).
  int generation() {
    const char *p = vault_user_get_profile_json(uid.c_str());
    const char *h = p ? strstr(p, "\"masterPasswordHash\":\"h") : nullptr;
    if (!h) return -1;
    int g = atoi(h + strlen("\"masterPasswordHash\":\"h"));
    std::string dir = root + "/users/" + uid;
    for (int i = 0; i < k_live + k_trash; i++) {
      std::string path = dir + (i < k_live ? "/ciphers/i" : "/trash/i") + std::to_string(i) + ".json";
      if (vts_slurp(path) != item(g, i)) return -1;
    }
    if (vts_list(dir + "/ciphers").size() != k_live || vts_list(dir + "/trash").size() != k_trash)
      return -1;
    std::string want = "[{\"id\":\"f\",\"name\":\"g" + std::to_string(g) + "\",\"object\":\"folder\"}]";
    if (vts_slurp(dir + "/folders.json") != want) return -1;
    return g;
  }
  long count_calls(int from, int to) {
    vr_io_arm(0, 0);
    int rc = replace(from, to);
    long n = vr_io_disarm();
    EXPECT_EQ(rc, 0) << vault_storage_last_error();
    return n;
  }
};

TEST_F(ReplaceFaults, EveryFailingCallLeavesTheOldOrTheNewAccountWhole) {
  ASSERT_TRUE(vr_io_available());
  int gen = 0;
  long n = count_calls(gen, gen + 1);
  gen++;
  ASSERT_GT(n, 20);
  for (int err : {ENOSPC, EIO}) {
    for (long k = 1; k <= n + 2; k++) {
      vr_io_arm(k, err);
      int rc = replace(gen, gen + 1);
      vr_io_disarm();
      std::string call = vr_io_fired() ? vr_io_fired_call() : "none";
      std::string why = std::string(vault_storage_last_error()) + " at call " + std::to_string(k) +
                        " (" + call + ", " + strerror(err) + ")";
      int now = generation();
      ASSERT_TRUE(now == gen || now == gen + 1) << why;
      if (rc == 0) {
        EXPECT_EQ(now, gen + 1) << why;
      }
      if (now == gen) {
        EXPECT_NE(rc, 0) << why;
      }
      // Answered -1 with the new account: only a call after the commit.
      if (rc != 0 && now == gen + 1) {
        EXPECT_TRUE(call == "renameat" || call == "fsync") << why;
      }
      gen = now;
      ASSERT_EQ(replace(gen, gen + 1), 0) << vault_storage_last_error() << " after " << why;
      gen++;
      ASSERT_EQ(generation(), gen);
    }
  }
}

TEST_F(ReplaceFaults, AKillAtEveryCallLeavesTheOldOrTheNewAccountWhole) {
  ASSERT_TRUE(vr_io_available());
  int gen = 0;
  long n = count_calls(gen, gen + 1);
  gen++;
  for (long k = 1; k <= n + 2; k++) {
    pid_t pid = fork();
    if (pid == 0) {
      vr_io_arm(k, 0, VR_IO_KILL);
      int rc = replace(gen, gen + 1);
      _exit(rc == 0 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    bool killed = WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
    ASSERT_TRUE(killed || (WIFEXITED(st) && WEXITSTATUS(st) == 0)) << "call " << k;
    int now = generation();  // any reader finishes a commit the kill cut short
    ASSERT_TRUE(now == gen || now == gen + 1) << "kill before call " << k;
    if (!killed) {
      EXPECT_EQ(now, gen + 1);
    }
    gen = now;
    ASSERT_EQ(replace(gen, gen + 1), 0) << vault_storage_last_error() << " after kill " << k;
    gen++;
    ASSERT_EQ(generation(), gen);
    // Nothing a kill left stays visible as an account.
    for (const std::string &name : vts_list(root + "/users"))
      EXPECT_TRUE(name == uid || name[0] == '.') << name;
  }
}

}  // namespace
