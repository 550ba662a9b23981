// Loads the built shared library the way a host does and checks what it
// exports: exactly the vault_ functions the public header declares, which
// are the sixteen of the first interface, the seven added for results the
// caller owns and the two of the result codes, each under its symbol
// version; and that it reports the header's version.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "keldrune-vault-storage.h"

static const std::set<std::string> k_exports = {
    "vault_storage_init", "vault_storage_cleanup", "vault_storage_last_error",
    "vault_user_exists", "vault_user_find_by_email", "vault_user_create",
    "vault_user_get_profile_json", "vault_cipher_save", "vault_cipher_get",
    "vault_cipher_delete", "vault_cipher_restore_from_trash", "vault_folders_get_json",
    "vault_folder_save", "vault_folder_delete", "vault_sync_generate_json",
    "vault_storage_get_stats_json",
    // results the caller owns
    "vault_sync_generate_json_alloc", "vault_cipher_get_alloc", "vault_folders_get_json_alloc",
    "vault_user_get_profile_json_alloc", "vault_storage_get_stats_json_alloc", "vault_free",
    "vault_storage_version",
    // result codes
    "vault_storage_last_error_code", "vault_storage_last_errno",
    // the life of an account
    "vault_user_set_credentials", "vault_user_change_email", "vault_user_delete",
    "vault_user_revision_alloc", "vault_user_replace_vault"};

// The exports added after the first release, in the version node of theirs;
// every other is in KELDRUNE_VAULT_1.0.
static const std::set<std::string> k_exports_1_1 = {
    "vault_storage_last_error_code", "vault_storage_last_errno", "vault_user_set_credentials",
    "vault_user_change_email", "vault_user_delete", "vault_user_revision_alloc",
    "vault_user_replace_vault"};

static std::set<std::string> header_functions() {
  std::ifstream in(VS_HEADER_PATH);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  std::set<std::string> names;
  std::regex re("VAULT_API[^;(]*?\\b(vault_[a-z_]+)\\s*\\(");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
    names.insert((*it)[1]);
  return names;
}

// Defined symbols as name -> version ("" when unversioned); the version
// nodes themselves (absolute symbols) are left out.
static std::map<std::string, std::string> exported_versions() {
  std::map<std::string, std::string> names;
  std::string cmd = std::string("nm -D --defined-only '") + VS_SO_PATH + "'";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return names;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    char addr[64], type[8], name[400];
    if (sscanf(line, "%63s %7s %399s", addr, type, name) != 3 || std::string(type) == "A")
      continue;
    std::string n = name;
    size_t at = n.find('@');
    names[n.substr(0, at)] = at == std::string::npos ? "" : n.substr(n.find_first_not_of('@', at));
  }
  pclose(p);
  return names;
}

TEST(Abi, FreshLoadReportsOK) {
  void *h = dlopen(VS_SO_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  auto last_error = reinterpret_cast<const char *(*)()>(dlsym(h, "vault_storage_last_error"));
  ASSERT_NE(last_error, nullptr);
  EXPECT_STREQ(last_error(), "OK");
  dlclose(h);
}

TEST(Abi, ExportsExactlyTheHeaderFunctions) {
  std::set<std::string> declared = header_functions();
  EXPECT_EQ(declared, k_exports);
  std::map<std::string, std::string> versions = exported_versions();
  ASSERT_FALSE(versions.empty());
  std::set<std::string> exported;
  for (const auto &v : versions) {
    exported.insert(v.first);
    EXPECT_EQ(v.second, k_exports_1_1.count(v.first) ? "KELDRUNE_VAULT_1.1" : "KELDRUNE_VAULT_1.0")
        << v.first;
  }
  EXPECT_EQ(exported, declared);
  void *h = dlopen(VS_SO_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  for (const auto &n : declared) EXPECT_NE(dlsym(h, n.c_str()), nullptr) << n;
  EXPECT_EQ(dlsym(h, "vs_error"), nullptr);
  dlclose(h);
}

TEST(Abi, NewExportsCarryTheirVersionNode) {
  void *h = dlopen(VS_SO_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  for (const auto &n : k_exports) {
    const char *node = k_exports_1_1.count(n) ? "KELDRUNE_VAULT_1.1" : "KELDRUNE_VAULT_1.0";
    EXPECT_NE(dlvsym(h, n.c_str(), node), nullptr) << n << " in " << node;
  }
  dlclose(h);
}

TEST(Abi, ReportsTheVersionOfItsHeader) {
  void *h = dlopen(VS_SO_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  auto version = reinterpret_cast<const char *(*)()>(dlsym(h, "vault_storage_version"));
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version(), KELDRUNE_VAULT_VERSION);
  EXPECT_STREQ(KELDRUNE_VAULT_VERSION, VS_PROJECT_VERSION);
  dlclose(h);
}
