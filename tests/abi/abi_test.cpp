// Loads the built shared library the way a host does and checks what it
// exports: exactly the vault_ functions the public header declares, which
// are the sixteen of the first interface and the seven added for results
// the caller owns; and that it reports the header's version.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
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
    // version 1.1: the life of an account
    "vault_user_set_credentials", "vault_user_change_email", "vault_user_delete",
    "vault_user_revision_alloc"};

// The exports each version node of the symbol map holds.
static const std::set<std::string> k_exports_1_1 = {
    "vault_user_set_credentials", "vault_user_change_email", "vault_user_delete",
    "vault_user_revision_alloc"};

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

static std::set<std::string> exported_symbols() {
  std::set<std::string> names;
  std::string cmd = std::string("nm -D --defined-only '") + VS_SO_PATH + "'";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return names;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    char addr[64], type[8], name[400];
    // Version node names are absolute symbols; names carry "@@NODE".
    if (sscanf(line, "%63s %7s %399s", addr, type, name) != 3 || strcmp(type, "A") == 0) continue;
    if (char *at = strchr(name, '@')) *at = '\0';
    names.insert(name);
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
  std::set<std::string> exported = exported_symbols();
  ASSERT_FALSE(exported.empty());
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
