// Import under failing system calls: every call the import of one account
// makes fails once (EIO, then ENOSPC). Whatever fails, the address either
// belongs to exactly one visible account or is free, the failure names the
// command, and a re-run of the same import finishes the account.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "admin/import.h"
#include "foundation/email_index.h"
#include "foundation/results.h"
#include "keldrune-vault-storage.h"
#include "shim.h"
#include "vs_test_support.h"

namespace {

const char k_uid[] = "0000000a-0000-4000-8000-00000000000a";
const char k_email[] = "moved@x.test";

// Imports one account (profile, folder list, one live and one trashed
// item): 0 in place, 1 refused (reason), -1 failed (message).
int import_one(const std::string &root, bool replace, std::string &reason) {
  VsAddressBook book;
  if (vs_address_book_read(root.c_str(), book, "import") != 0) return -1;
  VsStaged s;
  char why[256] = "";
  int rc = vs_import_begin(root.c_str(), k_uid, replace, s, why, sizeof why);
  if (rc == 0) {
    std::string profile = std::string("{\"email\":\"") + k_email + "\",\"masterPasswordHash\":\"h\"}";
    if (vs_import_write(s, VS_STAGE_ACCOUNT, VS_PROFILE_NAME, profile.data(), profile.size()) != 0 ||
        vs_import_write(s, VS_STAGE_ACCOUNT, VS_FOLDERS_NAME, "[]", 2) != 0 ||
        vs_import_write(s, VS_STAGE_CIPHERS, "c1.json", "{\"id\":\"c1\"}", 11) != 0 ||
        vs_import_write(s, VS_STAGE_TRASH, "c2.json", "{\"id\":\"c2\"}", 11) != 0)
      rc = -1;
    else
      rc = vs_import_commit(root.c_str(), s, &book, why, sizeof why);
  }
  if (rc != 0) vs_import_drop(s);
  reason = why;
  return rc;
}

// The address's owner as a lookup sees it: the user id, "" when free.
std::string owner() {
  char id[VS_ID_BUF] = "";
  int rc = vault_user_find_by_email(k_email, id, nullptr, nullptr, nullptr);
  return rc == 0 ? id : rc == 1 ? "" : "error";
}

void run_faults(bool authoritative, bool replace) {
  std::string dir = vts_scratch("ifault", true), root = dir + "/root";
  auto fresh = [&] {
    vts_remove_tree(root);
    ASSERT_EQ(vault_storage_init(root.c_str()), 0);
    ASSERT_EQ(vault_user_create("other@x.test", nullptr, 0, nullptr, nullptr), 0);
    if (authoritative) {
      ASSERT_TRUE(vts_write(root + "/users/.email-index/authoritative", ""));
    }
    if (replace) {
      std::string reason;
      ASSERT_EQ(import_one(root, false, reason), 0) << vault_storage_last_error();
    }
  };
  fresh();
  std::string reason;
  vr_io_arm(0, 0);
  ASSERT_EQ(import_one(root, replace, reason), 0) << vault_storage_last_error();
  long calls = vr_io_disarm();
  ASSERT_GT(calls, 10);
  for (int err : {EIO, ENOSPC}) {
    for (long k = 1; k <= calls; k++) {
      fresh();
      vr_io_arm(k, err);
      int rc = import_one(root, replace, reason);
      vr_io_disarm();
      std::string where = "call " + std::to_string(k) + " (" + vr_io_fired_call() + ", " +
                          strerror(err) + ")" + (authoritative ? " authoritative" : "") +
                          (replace ? " replace" : "");
      std::string msg = vault_storage_last_error();
      if (rc == -1) {
        EXPECT_EQ(msg.rfind("import: ", 0), 0u) << where << ": " << msg;
      }
      // A sync that fails never lets the import report success.
      if (vr_io_fired() && std::string(vr_io_fired_call()) == "fsync") {
        EXPECT_NE(rc, 0) << where;
      }
      // The address is free or the imported account's, which is whole.
      std::string o = owner();
      EXPECT_TRUE(o == "" || o == k_uid) << where << ": " << o;
      if (o == k_uid) {
        EXPECT_TRUE(vts_exists(root + "/users/" + k_uid + "/ciphers/c1.json")) << where;
      }
      // A re-run finishes the account.
      rc = import_one(root, replace, reason);
      EXPECT_TRUE(rc == 0 || (rc == 1 && reason.find("exists") != std::string::npos))
          << where << ": " << rc << " " << reason << " " << vault_storage_last_error();
      EXPECT_EQ(owner(), k_uid) << where;
      EXPECT_TRUE(vts_exists(root + "/users/" + k_uid + "/trash/c2.json")) << where;
      EXPECT_EQ(vault_user_create(k_email, nullptr, 0, nullptr, nullptr), 1) << where;
    }
  }
  vault_storage_cleanup();
  vts_remove_tree(dir);
}

}  // namespace

TEST(ImportFaults, EveryCallFailsOnceThenARerunFinishes) { run_faults(false, false); }
TEST(ImportFaults, AuthoritativeIndex) { run_faults(true, false); }
TEST(ImportFaults, Replace) { run_faults(false, true); }

// Every directory sync an import makes is checked: with directory syncs
// failing, the import fails and says so.
TEST(ImportFaults, FailingDirectorySyncFailsTheImport) {
  std::string dir = vts_scratch("ifault", true), root = dir + "/root";
  ASSERT_EQ(vault_storage_init(root.c_str()), 0);
  vr_io_force_dir_fsync(EIO);
  std::string reason;
  EXPECT_EQ(import_one(root, false, reason), -1);
  vr_io_force_dir_fsync(0);
  std::string msg = vault_storage_last_error();
  EXPECT_EQ(msg.rfind("import: ", 0), 0u) << msg;
  EXPECT_NE(msg.find("Input/output error"), std::string::npos) << msg;
  EXPECT_EQ(import_one(root, false, reason) == 0 || reason.find("exists") != std::string::npos,
            true);
  EXPECT_EQ(owner(), k_uid);
  vault_storage_cleanup();
  vts_remove_tree(dir);
}
