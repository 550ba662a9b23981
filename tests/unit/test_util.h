// Shared test fixture: a fresh data root in a temporary directory per test,
// plus small file helpers.
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/vs_internal.h"

inline std::string vt_read(const std::string &path) {
  std::string s;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, (size_t)n);
  close(fd);
  return s;
}

inline void vt_write(const std::string &path, const std::string &data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, data.data(), data.size()), (ssize_t)data.size());
  close(fd);
}

inline bool vt_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

inline std::vector<std::string> vt_list(const std::string &dir) {
  std::vector<std::string> out;
  DIR *d = opendir(dir.c_str());
  if (!d) return out;
  while (struct dirent *e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
  closedir(d);
  return out;
}

inline void vt_rm_rf(const std::string &path) {
  std::string cmd = "rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) {}
}

// A test with its own initialised data root; cleaned up afterwards.
class VaultTest : public ::testing::Test {
 protected:
  std::string base, root;
  void SetUp() override {
    char tmpl[] = "/tmp/vs-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base = tmpl;
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
    std::string d = user_dir(uid);
    mkdir(d.c_str(), 0700);
    mkdir((d + "/ciphers").c_str(), 0700);
    mkdir((d + "/trash").c_str(), 0700);
    vt_write(d + "/profile.json", profile);
    vt_write(d + "/folders.json", "[]");
    return d;
  }
};
