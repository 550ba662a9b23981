// Shared test fixture: a fresh data root in a temporary directory per test,
// plus short names for the common file helpers.
#pragma once
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
inline void vt_rm_rf(const std::string &path) { vts_remove_tree(path); }

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
