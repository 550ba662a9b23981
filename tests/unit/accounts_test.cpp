// Accounts: the e-mail scan and its exports, creation with its profile
// document and undo on failure, and the profile read.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <sys/syscall.h>

#include "test_util.h"

// Fault injection: while vt_fail_suffix is set, mkdir and renameat of a path
// ending in it fail with EIO. Otherwise both behave exactly as the system's
// calls (these definitions take their place for the whole test binary).
static const char *vt_fail_suffix;
static bool vt_should_fail(const char *path) {
  if (!vt_fail_suffix) return false;
  size_t n = strlen(path), k = strlen(vt_fail_suffix);
  return n >= k && strcmp(path + n - k, vt_fail_suffix) == 0;
}
extern "C" int mkdir(const char *path, mode_t mode) noexcept {
  if (vt_should_fail(path)) return errno = EIO, -1;
  return mkdirat(AT_FDCWD, path, mode);
}
extern "C" int renameat(int from_dir, const char *from, int to_dir, const char *to) noexcept {
  if (vt_should_fail(to)) return errno = EIO, -1;
  return (int)syscall(SYS_renameat, from_dir, from, to_dir, to);
}

class Accounts : public VaultTest {
 protected:
  std::string uid_of(const char *email) {
    char uid[VS_ID_BUF] = {0};
    EXPECT_EQ(vault_user_find_by_email(email, uid, nullptr, nullptr, nullptr), 0) << email;
    return uid;
  }
};

TEST(AccountsNoRoot, GuardsComeFirst) {
  vault_storage_cleanup();
  EXPECT_EQ(vault_user_exists(""), -1);
  EXPECT_STREQ(vault_storage_last_error(), "not initialized");
  vs_error("x");
  EXPECT_EQ(vault_user_find_by_email(nullptr, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_STREQ(vault_storage_last_error(), "not initialized");
  vs_error("x");
  EXPECT_EQ(vault_user_create("a@b", nullptr, 0, nullptr, nullptr), -1);
  EXPECT_STREQ(vault_storage_last_error(), "not initialized");
  EXPECT_EQ(vault_user_get_profile_json("abc"), nullptr);
  EXPECT_STREQ(vault_storage_last_error(), "profile: bad user id");
}

TEST_F(Accounts, EmptyEmailAndEmptyOrMissingUsers) {
  EXPECT_EQ(vault_user_exists(""), -1);
  EXPECT_STREQ(vault_storage_last_error(), "exists: empty email");
  EXPECT_EQ(vault_user_find_by_email("", nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_STREQ(vault_storage_last_error(), "find_by_email: empty email");
  EXPECT_EQ(vault_user_create(nullptr, nullptr, 0, nullptr, nullptr), -1);
  EXPECT_STREQ(vault_storage_last_error(), "create: empty email");
  vs_error("marker");
  EXPECT_EQ(vault_user_exists("a@b"), 0);
  rmdir((root + "/users").c_str());
  EXPECT_EQ(vault_user_exists("a@b"), 0);
  EXPECT_EQ(vault_user_find_by_email("a@b", nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_STREQ(vault_storage_last_error(), "marker");
}

TEST_F(Accounts, ScanPassesOverNonCandidatesAndBrokenProfiles) {
  const std::string p = "{\"email\":\"a@b.c\"}";
  make_account(".hidden", p);
  make_account("x.tmp.1", p);
  make_account(std::string(65, 'l'), p);
  make_account("noprofile");
  unlink((user_dir("noprofile") + "/profile.json").c_str());
  make_account("badjson", "{\"email\":\"a@b.c\",}");
  make_account("array", "[{\"email\":\"a@b.c\"}]");
  make_account("numfirst", "{\"email\":1,\"email\":\"a@b.c\"}");
  vt_write(root + "/users/plainfile", p);
  EXPECT_EQ(vault_user_exists("a@b.c"), 0);

  make_account("twostrings", "{\"email\":\"x@y\",\"email\":\"a@b.c\"}");
  EXPECT_EQ(vault_user_exists("a@b.c"), 0);
  EXPECT_EQ(vault_user_exists("X@Y"), 1);
  make_account("good", p);
  EXPECT_EQ(uid_of("A@B.C"), "good");
  EXPECT_EQ(vault_user_exists("a@b.c "), 0);
  // The unreadable profile's read failure stays recorded after a success.
  EXPECT_NE(std::string(vault_storage_last_error()).find("noprofile/profile.json"),
            std::string::npos);
}

// The scan reads the profiles a batch at a time through the thread's ring
// and leaves whatever that does not read whole to the plain read: the
// answers must be the plain reads', over several batches. Among the
// accounts: a FIFO under the profile's name that another process holds
// open with a matching profile written into it (never a profile), a
// directory, a link to a profile outside the tree, and a profile larger
// than a ring slot.
TEST_F(Accounts, ScanThroughTheRingAnswersAsThePlainReads) {
  for (int i = 0; i < 150; i++)
    make_account("a" + std::to_string(i), "{\"email\":\"u" + std::to_string(i) +
                                              "@x\",\"kdfIterations\":" + std::to_string(i) + "}");
  const std::string fifo = make_account("fifo") + "/profile.json";
  ASSERT_EQ(unlink(fifo.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int held = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(held, 0);
  const std::string planted = "{\"email\":\"f@x\"}";
  const std::string dir = make_account("dir") + "/profile.json";
  ASSERT_EQ(unlink(dir.c_str()), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  vt_write(root + "/outside.json", "{\"email\":\"l@x\"}");
  const std::string link = make_account("link") + "/profile.json";
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink((root + "/outside.json").c_str(), link.c_str()), 0);
  make_account("big", "{\"email\":\"big@x\",\"pad\":\"" + std::string(VS_RING_SLOT, 'p') + "\"}");

  auto answers = [&] {
    std::vector<std::string> out;
    for (const char *email : {"u0@x", "u75@x", "u149@x", "f@x", "l@x", "big@x", "none@x"}) {
      // (The FIFO holds the planted profile for each read.)
      EXPECT_EQ(write(held, planted.data(), planted.size()), (ssize_t)planted.size());
      char uid[VS_ID_BUF] = "";
      uint32_t it = 0;
      int rc = vault_user_find_by_email(email, uid, &it, nullptr, nullptr);
      out.push_back(std::to_string(rc) + " " + uid + " " + std::to_string(it));
      char drain[256];
      while (read(held, drain, sizeof drain) > 0) {
      }
    }
    return out;
  };
  vs_ring_set_enabled(0);
  const std::vector<std::string> plain = answers();
  vs_ring_set_enabled(1);
  const std::vector<std::string> ring = answers();
  close(held);
  EXPECT_EQ(ring, plain);
  EXPECT_EQ(plain, (std::vector<std::string>{"0 a0 0", "0 a75 75", "0 a149 149", "1  0", "1  0",
                                            "0 big 0", "1  0"}));
}

TEST_F(Accounts, LongDirectoryNamesAreNeverCut) {
  std::string n36(36, 'm'), n40(40, 'n'), n64(64, 'o');
  make_account(n36, "{\"email\":\"m@x\"}");
  make_account(n40, "{\"email\":\"n@x\",\"kdfIterations\":7}");
  make_account(n64, "{\"email\":\"o@x\"}");
  EXPECT_EQ(uid_of("m@x"), n36);
  EXPECT_EQ(vault_user_exists("o@x"), 1);
  EXPECT_EQ(vault_user_exists("n@x"), 1);
  char uid[VS_ID_BUF] = "keep";
  uint32_t it = 99;
  EXPECT_EQ(vault_user_find_by_email("n@x", uid, &it, nullptr, nullptr), -1);
  EXPECT_STREQ(vault_storage_last_error(), "find_by_email: user id too long");
  EXPECT_STREQ(uid, "keep");
  EXPECT_EQ(it, 99u);
  EXPECT_EQ(vault_user_find_by_email("n@x", nullptr, &it, nullptr, nullptr), 0);
  EXPECT_EQ(it, 7u);
}

TEST_F(Accounts, CredentialConversion) {
  struct { const char *member; uint32_t want; } cases[] = {
      {",\"kdfIterations\":5", 5},           {",\"kdfIterations\":-1", 4294967295u},
      {",\"kdfIterations\":4294967297", 1},  {",\"kdfIterations\":5.0", 0},
      {",\"kdfIterations\":\"5\"", 0},       {",\"kdfIterations\":null", 0},
      {",\"kdfIterations\":true", 0},        {"", 0},
  };
  for (auto &c : cases) {
    make_account("u", std::string("{\"email\":\"k@x\"") + c.member + "}");
    uint32_t it = 12345;
    EXPECT_EQ(vault_user_find_by_email("k@x", nullptr, &it, nullptr, nullptr), 0);
    EXPECT_EQ(it, c.want) << c.member;
  }
  std::string h(200, 'h'), k(600, 'k');
  make_account("u", "{\"email\":\"k@x\",\"masterPasswordHash\":\"" + h +
                        "\",\"protectedKey\":\"" + k + "\"}");
  char hash[VAULT_HASH_SIZE], key[VAULT_KEY_SIZE];
  EXPECT_EQ(vault_user_find_by_email("k@x", nullptr, nullptr, hash, key), 0);
  EXPECT_EQ(std::string(hash), h.substr(0, 127));
  EXPECT_EQ(std::string(key), k.substr(0, 511));
  make_account("u", "{\"email\":\"k@x\",\"masterPasswordHash\":1}");
  strcpy(hash, "caller");
  strcpy(key, "caller");
  EXPECT_EQ(vault_user_find_by_email("k@x", nullptr, nullptr, hash, key), 0);
  EXPECT_STREQ(hash, "caller");
  EXPECT_STREQ(key, "caller");
}

TEST_F(Accounts, CreateWritesTheProfileAndFindsItBack) {
  setenv("TZ", "Pacific/Kiritimati", 1);  // +14h: a local time would show
  tzset();
  time_t before = time(nullptr);
  char uid[VS_ID_BUF];
  std::string hash(127, 'h'), key(511, 'k');
  ASSERT_EQ(vault_user_create("Alice@Example.com", hash.c_str(), 4294967295u, key.c_str(), uid), 0);
  time_t after = time(nullptr);
  unsetenv("TZ");
  tzset();
  std::string d = user_dir(uid);
  std::string prof = vt_read(d + "/profile.json");
  size_t at = prof.find("\"createdAt\":\"");
  ASSERT_NE(at, std::string::npos);
  std::string created = prof.substr(at + 13, 20);
  bool in_range = false;
  for (time_t t = before; t <= after; t++) {
    char buf[32];
    struct tm tm;
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&t, &tm));
    in_range |= created == buf;
  }
  EXPECT_TRUE(in_range) << created;
  EXPECT_EQ(prof, "{\"email\":\"Alice@Example.com\",\"masterPasswordHash\":\"" + hash +
                      "\",\"kdfAlgorithm\":\"PBKDF2_SHA256\",\"kdfIterations\":4294967295,"
                      "\"protectedKey\":\"" + key + "\",\"securityStamp\":\"" + uid +
                      "\",\"name\":\"Vault User\",\"twoFactorEnabled\":false,\"keys\":{},"
                      "\"folders\":[],\"createdAt\":\"" + created + "\",\"object\":\"profile\"}");
  EXPECT_EQ(vt_read(d + "/folders.json"), "[]");
  EXPECT_TRUE(vt_list(d + "/ciphers").empty() && vt_exists(d + "/trash"));
  EXPECT_STREQ(vault_user_get_profile_json(uid), prof.c_str());

  char fuid[VS_ID_BUF], fhash[VAULT_HASH_SIZE], fkey[VAULT_KEY_SIZE];
  uint32_t it = 0;
  ASSERT_EQ(vault_user_find_by_email("alice@example.COM", fuid, &it, fhash, fkey), 0);
  EXPECT_STREQ(fuid, uid);
  EXPECT_EQ(it, 4294967295u);
  EXPECT_EQ(fhash, hash);
  EXPECT_EQ(fkey, key);

  EXPECT_EQ(vault_user_create("ALICE@example.com", nullptr, 0, nullptr, nullptr), 1);
  EXPECT_STREQ(vault_storage_last_error(), "create: email already registered");
  EXPECT_EQ(vt_accounts(root).size(), 1u);

  ASSERT_EQ(vault_user_create("b@x", nullptr, 0, nullptr, nullptr), 0);
  std::string p2 = vault_user_get_profile_json(uid_of("b@x").c_str());
  EXPECT_NE(p2.find("\"masterPasswordHash\":\"\",\"kdfAlgorithm\":\"PBKDF2_SHA256\","
                    "\"kdfIterations\":0,\"protectedKey\":\"\","), std::string::npos);
}

TEST_F(Accounts, EscapedValuesCannotForgeMembers) {
  const char *email = "q\"\\@x\x01\n\x1f\xc3\xa9\xf4\x8f\xbf\xbf";
  const char *hash = "h\",\"kdfIterations\":1,\"x\":\"";
  char uid[VS_ID_BUF];
  const char *key = "\t\xef\xbf\xbe\xf0\x90\x80\x80\x7f";  // U+FFFE, U+10000, DEL
  ASSERT_EQ(vault_user_create(email, hash, 9, key, uid), 0);
  std::string prof = vault_user_get_profile_json(uid);
  EXPECT_EQ(prof.find("\"email\":\"q\\\"\\\\@x\\u0001\\n\\u001f\xc3\xa9\xf4\x8f\xbf\xbf\","), 1u);
  char fhash[VAULT_HASH_SIZE], fkey[VAULT_KEY_SIZE];
  uint32_t it = 0;
  ASSERT_EQ(vault_user_find_by_email(email, nullptr, &it, fhash, fkey), 0);
  EXPECT_EQ(it, 9u);
  EXPECT_STREQ(fhash, hash);
  EXPECT_STREQ(fkey, key);

  const char *bad[] = {"\x80", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xff"};
  for (const char *b : bad) {
    EXPECT_EQ(vault_user_create("ok@x", nullptr, 0, b, nullptr), -1) << b;
    EXPECT_STREQ(vault_storage_last_error(), "create: invalid utf-8");
  }
  EXPECT_EQ(vault_user_create("\xe9@x", nullptr, 0, nullptr, nullptr), -1);
  EXPECT_EQ(vt_accounts(root).size(), 1u);
}

TEST_F(Accounts, ProfileSizeLimitCountsEscapedBytes) {
  // Fixed text 223 bytes + id 36 + time 20 + one digit + "a@b" = 283.
  for (bool escaped : {false, true}) {
    vt_rm_rf(root + "/users");
    mkdir((root + "/users").c_str(), 0700);
    std::string fits = escaped ? std::string(3954, '"') : std::string(7908, 'h');
    char uid[VS_ID_BUF];
    ASSERT_EQ(vault_user_create("a@b", fits.c_str(), 0, nullptr, uid), 0);
    EXPECT_EQ(vt_read(user_dir(uid) + "/profile.json").size(), 8191u);
    std::string over = fits + (escaped ? "\n" : "h");
    EXPECT_EQ(vault_user_create("c@d", over.c_str(), 0, nullptr, nullptr), -1);
    EXPECT_STREQ(vault_storage_last_error(), "create: profile too large");
    EXPECT_EQ(vt_accounts(root).size(), 1u);
  }
}

TEST_F(Accounts, FailedCreationLeavesNothingBehind) {
  struct { const char *step, *message; } cases[] = {
      {"/ciphers", "mkdir failed: "},
      {"/trash", "mkdir failed: "},
      {"profile.json", "rename failed: "},  // renamed within its directory
      {"folders.json", "rename failed: "},
  };
  for (auto &c : cases) {
    vt_fail_suffix = c.step;
    EXPECT_EQ(vault_user_create("f@x", nullptr, 0, nullptr, nullptr), -1) << c.step;
    vt_fail_suffix = nullptr;
    std::string msg = vault_storage_last_error();
    EXPECT_EQ(msg.rfind(c.message, 0), 0u) << msg;
    EXPECT_TRUE(vt_accounts(root).empty()) << c.step;
    EXPECT_TRUE(vt_list(root + "/users/.email-index").empty()) << c.step;  // claim removed
    EXPECT_EQ(vault_user_exists("f@x"), 0);
  }
  EXPECT_EQ(vault_user_create("f@x", nullptr, 0, nullptr, nullptr), 0);
}

TEST_F(Accounts, UnreadableAccountBlocksRegistrationAndLookup) {
  make_account("reg", "{\"email\":\"r@x\"}");
  make_account("half");
  unlink((user_dir("half") + "/profile.json").c_str());  // surely no account
  // Leave exactly one free descriptor: the listing takes it, and reading
  // the registered profile then fails with EMFILE. (The plain reads: the
  // scan's ring reads take no descriptor of the process.)
  vs_ring_set_enabled(0);
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  struct rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fds;
  for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fds.push_back(fd);
  close(fds.back());
  fds.pop_back();
  int created = vault_user_create("R@x", nullptr, 0, nullptr, nullptr);
  std::string msg = vault_storage_last_error();
  int exists = vault_user_exists("r@x");
  for (int fd : fds) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  vs_ring_set_enabled(1);
  EXPECT_EQ(created, -1);
  // Either the claim or the scan behind it could not look.
  EXPECT_NE(msg.find(std::string("(") + strerror(EMFILE) + ")"), std::string::npos) << msg;
  // Lookups cannot tell either: "not registered" would be offered to a
  // second registration by the host.
  EXPECT_EQ(exists, -1);
  EXPECT_EQ(vt_accounts(root).size(), 2u);
  EXPECT_EQ(vault_user_create("R@x", nullptr, 0, nullptr, nullptr), 1);
  EXPECT_EQ(vault_user_create("new@x", nullptr, 0, nullptr, nullptr), 0);
}

TEST_F(Accounts, PathsThatDoNotFitAreRefused) {
  std::string deep(4380, 'r');  // "%s/users" fits 4420, an account path not 4300
  EXPECT_EQ(vault_storage_init(deep.c_str()), -1);
  EXPECT_EQ(vault_user_create("a@b", nullptr, 0, nullptr, nullptr), -1);
  EXPECT_STREQ(vault_storage_last_error(), "create: path too long");
  EXPECT_EQ(vault_user_get_profile_json("abc"), nullptr);
  EXPECT_STREQ(vault_storage_last_error(), "profile: path too long");
  std::string deeper(4415, 'r');
  EXPECT_EQ(vault_storage_init(deeper.c_str()), -1);
  EXPECT_EQ(vault_user_exists("a@b"), -1);
  EXPECT_STREQ(vault_storage_last_error(), "exists: path too long");
  EXPECT_EQ(vault_user_find_by_email("a@b", nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_STREQ(vault_storage_last_error(), "find_by_email: path too long");
}

TEST_F(Accounts, ProfileReadIsWholeOrRefused) {
  make_account("u1", std::string(16383, 'x'));
  const char *p = vault_user_get_profile_json("u1");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(strlen(p), 16383u);
  const char *bad[] = {"a/b", "a.b", nullptr};
  for (const char *b : bad) {
    EXPECT_EQ(vault_user_get_profile_json(b), nullptr);
    EXPECT_STREQ(vault_storage_last_error(), "profile: bad user id");
  }
  EXPECT_EQ(vault_user_get_profile_json(std::string(65, 'a').c_str()), nullptr);
  EXPECT_STREQ(p, "");
  EXPECT_EQ(vault_user_get_profile_json("nobody"), nullptr);
  EXPECT_STREQ(vault_storage_last_error(), "profile: not found");
  make_account("u2", std::string(16384, 'x'));
  EXPECT_EQ(vault_user_get_profile_json("u2"), nullptr);
  EXPECT_STREQ(vault_storage_last_error(), "profile: too large");
  make_account("u3", std::string("not json\0tail", 13));
  EXPECT_STREQ(vault_user_get_profile_json("u3"), "not json");
}
