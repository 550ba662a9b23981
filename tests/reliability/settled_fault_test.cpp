// A damaged document on a shared file system: the first read waits for it
// to settle (it might be a view of a file another host is replacing); a
// later read of the same file, unchanged and old enough not to be a view of
// a version just written, does not wait again; a new file under the name
// (another version, even damaged too) settles anew.
// The waiting shows as repeated opens, counted through the wrappers.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "foundation/files.h"
#include "rel_util.h"
#include "shim.h"

namespace {

long opens_of(const char *uid, const char *cid, std::string &text) {
  vr_io_arm(0, 0);
  const char *got = vault_cipher_get(uid, cid);
  text = got ? got : "<NULL>";
  long n = 0;
  for (const std::string &c : vr_io_trace())
    if (c == "openat2") n++;
  vr_io_disarm();
  return n;
}

void replace_file(const std::string &path, const std::string &text) {
  std::string tmp = path + ".new";
  ASSERT_TRUE(vts_write(tmp, text));
  ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
}

TEST(SettledDamage, SameFileIsNotSettledTwice) {
  std::string scratch = vts_scratch("settled");
  ASSERT_FALSE(scratch.empty());
  std::string root = scratch + "/root";
  ASSERT_EQ(vault_storage_init(root.c_str()), 0) << vr_last_error();
  vs_fs_set_shared(1);
  char uid[VAULT_ID_SIZE];
  ASSERT_EQ(vault_user_create("s@example.org", "h", 1, "k", uid), 0) << vr_last_error();
  char cid[VAULT_ID_SIZE];
  ASSERT_EQ(vault_cipher_save(uid, "{\"id\":\"c1\"}", cid), 0) << vr_last_error();
  ASSERT_STREQ(cid, "c1");
  std::string path = root + "/users/" + uid + "/ciphers/c1.json";
  replace_file(path, "{\"id\":\"c1\",");

  std::string text;
  // Changed moments ago: it might be a cut view of a version another host
  // has just written, so each read settles it anew.
  EXPECT_GT(opens_of(uid, "c1", text), 2);
  EXPECT_GT(opens_of(uid, "c1", text), 2);
  vs_fs_set_settled_age(0);  // as if it had stood unchanged for long
  long first = opens_of(uid, "c1", text);
  EXPECT_EQ(text, "{\"id\":\"c1\",") << "handed back as stored";
  EXPECT_GT(first, 2) << "the first read of a damaged file waits for it to settle";
  EXPECT_EQ(opens_of(uid, "c1", text), 1) << "the same file again: no second settle";
  EXPECT_EQ(text, "{\"id\":\"c1\",");

  // Another file under the name, damaged the same way: settled anew.
  replace_file(path, "{\"id\":\"c1\",");
  EXPECT_GT(opens_of(uid, "c1", text), 2);
  // Repaired: read at once, whole.
  replace_file(path, "{\"id\":\"c1\",\"n\":2}");
  EXPECT_EQ(opens_of(uid, "c1", text), 1);
  EXPECT_EQ(text, "{\"id\":\"c1\",\"n\":2}");

  vs_fs_set_settled_age(-1);
  vs_fs_set_shared(0);
  vault_storage_cleanup();
  vts_remove_tree(scratch);
}

}  // namespace
