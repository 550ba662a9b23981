// Shared test fixture: a fresh data root in a temporary directory per test,
// plus short names for the common file helpers.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/vs_internal.h"
#include "vs_test_support.h"

inline std::string vt_read(const std::string &path) { return vts_slurp(path); }

inline void vt_write(const std::string &path, const std::string &data) {
  ASSERT_TRUE(vts_write(path, data)) << path;
}

inline bool vt_exists(const std::string &path) { return vts_exists(path); }
inline std::vector<std::string> vt_list(const std::string &dir) { return vts_list(dir); }
// The account directories under the root's users directory (hidden names,
// such as the e-mail index, are no accounts).
inline std::vector<std::string> vt_accounts(const std::string &root) {
  std::vector<std::string> out;
  for (const std::string &n : vts_list(root + "/users"))
    if (n[0] != '.') out.push_back(n);
  return out;
}
inline void vt_rm_rf(const std::string &path) { vts_remove_tree(path); }

// Runs body(i) in n forked processes released at the same moment; returns
// their exit statuses (body's result, -1 for a process that did not exit).
inline std::vector<int> vt_run_processes(int n, const std::function<int(int)> &body) {
  std::vector<int> out;
  int go[2];
  if (pipe(go) != 0) return out;
  std::vector<pid_t> kids;
  for (int i = 0; i < n; i++) {
    pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(99);  // every child wakes at the EOF
      _exit(body(i));
    }
    kids.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  for (pid_t k : kids) {
    int st = 0;
    out.push_back(k > 0 && waitpid(k, &st, 0) == k && WIFEXITED(st) ? WEXITSTATUS(st) : -1);
  }
  return out;
}

// A test with its own initialised data root; cleaned up afterwards.
class VaultTest : public ::testing::Test {
 protected:
  std::string base, root;
  void SetUp() override {
    base = vts_scratch("test");
    ASSERT_FALSE(base.empty());
    root = base + "/root";
    ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vault_storage_last_error();
  }
  void TearDown() override {
    vault_storage_cleanup();
    vt_rm_rf(base);
  }
  std::string user_dir(const std::string &uid) const { return root + "/users/" + uid; }
  // An account directory made by hand, as creation lays it out.
  std::string make_account(const std::string &uid, const std::string &profile = "{}") {
    std::string d = vts_make_account(root, uid, profile.c_str(), "[]");
    EXPECT_FALSE(d.empty()) << uid;
    return user_dir(uid);
  }
};
