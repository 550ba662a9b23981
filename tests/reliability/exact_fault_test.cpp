// Faults with one exact expected answer per export, where the fault matrix
// of fault_test.cpp only checks that an answer is among the documented
// ones: running out of descriptors in every reading export (a real
// RLIMIT_NOFILE with nothing or one descriptor left, not an injected
// errno), and failing directory syncs in every writing export.
#include <errno.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "foundation/vs_internal.h"
#include "scenarios.h"
#include "shim.h"

namespace {

// Leaves exactly `spare` descriptors free until destroyed.
class FdSqueeze {
 public:
  explicit FdSqueeze(int spare) {
    getrlimit(RLIMIT_NOFILE, &old_);
    struct rlimit low = old_;
    low.rlim_cur = (rlim_t)vts_open_fds() + 64;  // keeps the filling quick
    setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = dup(2)) >= 0;) held_.push_back(fd);
    for (int i = 0; i < spare && !held_.empty(); i++) {
      close(held_.back());
      held_.pop_back();
    }
  }
  ~FdSqueeze() {
    for (int fd : held_) close(fd);
    setrlimit(RLIMIT_NOFILE, &old_);
  }

 private:
  struct rlimit old_;
  std::vector<int> held_;
};

struct Answer {
  std::string result;  // "rc N", "text ..." or "NULL"
  std::string err;
  bool operator==(const Answer &o) const { return result == o.result && err == o.err; }
};
std::ostream &operator<<(std::ostream &os, const Answer &a) { return os << a.result << " / " << a.err; }

Answer rc_answer(int rc) { return {"rc " + std::to_string(rc), vault_storage_last_error()}; }
Answer text_answer(const char *t) { return {t ? std::string("text ") + t : "NULL", vault_storage_last_error()}; }

class Tree : public ::testing::Test {
 public:
  std::string scratch, root;
  void SetUp() override {
    scratch = vts_scratch("exact", true);
    ASSERT_FALSE(scratch.empty());
    root = scratch + "/root";
    vr_build_standard_tree(root);
    ASSERT_EQ(vault_storage_init(root.c_str()), 0);
    // The plain reads, call by call; the ring's own cases turn it back on.
    vs_ring_set_enabled(0);
  }
  void TearDown() override {
    vs_ring_set_enabled(1);
    vr_io_force_dir_fsync(0);
    vr_io_force(nullptr, 0);
    vault_storage_cleanup();
    vts_remove_tree(scratch);
  }
  std::string ua() const { return root + "/users/ua"; }
  // The cipher file sync reads first: the first one the listing yields.
  std::string first_cipher() const {
    for (auto &n : vts_list(ua() + "/ciphers"))
      if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) return ua() + "/ciphers/" + n;
    return "";
  }
};

struct ReadCase {
  const char *name;
  std::function<Answer()> call;
  int needs;  // descriptors the export holds at once
  // The answer when a descriptor is missing; "" for the clean answer.
  std::function<std::string(const Tree &, int spare)> fail_message;
  const char *fail_result;
};

}  // namespace

// With no descriptor to spare, a reader must fail and say why, never answer
// as if an account, a cipher or a folder list did not exist: a host would
// offer a registered address again, a client would drop the items it did
// not get. With one to spare, the exports that need only one answer as usual.
TEST_F(Tree, DescriptorExhaustionFailsEveryReaderWithTheReason) {
  const std::string emfile = strerror(EMFILE);
  auto cannot_read = [&](const char *prefix, std::string path) {
    return std::string(prefix) + ": cannot read " + path + " (" + emfile + ")";
  };
  const std::vector<ReadCase> cases = {
      {"exists", [] { return rc_answer(vault_user_exists("A@example.com")); }, 2,
       [&](const Tree &, int) { return "exists: cannot check email (" + emfile + ")"; }, "rc -1"},
      {"find_by_email",
       [] {
         char uid[37] = "", hash[128] = "", key[512] = "";
         uint32_t it = 0;
         return rc_answer(vault_user_find_by_email("b@example.com", uid, &it, hash, key));
       },
       2, [&](const Tree &, int) { return "find_by_email: cannot check email (" + emfile + ")"; }, "rc -1"},
      {"create (its duplicate test)",
       [] { return rc_answer(vault_user_create("b@example.com", "h", 1, "k", nullptr)); }, 2,
       [&](const Tree &, int) { return "create: cannot check email (" + emfile + ")"; }, "rc -1"},
      {"profile", [] { return text_answer(vault_user_get_profile_json("ua")); }, 1,
       [&](const Tree &t, int) { return cannot_read("profile", t.ua() + "/profile.json"); }, "NULL"},
      {"cipher_get", [] { return text_answer(vault_cipher_get("ua", "c2")); }, 1,
       [&](const Tree &t, int) { return cannot_read("cipher_get", t.ua() + "/ciphers/c2.json"); }, "NULL"},
      {"folders", [] { return text_answer(vault_folders_get_json("ua")); }, 1,
       [&](const Tree &t, int) { return cannot_read("folders", t.ua() + "/folders.json"); }, "NULL"},
      // Sync holds the account directory open while it reads (a swap of
      // the directory must not go unnoticed).
      {"sync", [] { return text_answer(vault_sync_generate_json("ua")); }, 3,
       [&](const Tree &t, int) { return cannot_read("sync", t.ua() + "/profile.json"); },
       "NULL"},
      {"stats", [] { return text_answer(vault_storage_get_stats_json()); }, 1,
       [&](const Tree &t, int) { return cannot_read("stats", t.root + "/users"); }, "NULL"},
  };
  const VtsTree before = vts_snapshot(root);
  for (const ReadCase &c : cases) {
    const Answer clean = c.call();
    ASSERT_EQ(clean.result.rfind("NULL", 0), std::string::npos) << c.name << ": " << clean;
    ASSERT_NE(clean.result, "rc -1") << c.name << ": " << clean;
    for (int spare = 0; spare <= 1; spare++) {
      Answer got;
      {
        FdSqueeze squeeze(spare);
        got = c.call();
      }
      Answer want = clean;
      if (spare < c.needs) want = {c.fail_result, c.fail_message(*this, spare)};
      if (spare >= c.needs) want.err = got.err;  // a success leaves the text as it was
      EXPECT_EQ(got, want) << c.name << " with " << spare << " descriptor(s) to spare";
    }
  }
  EXPECT_TRUE(vr_tree_diff(before, vts_snapshot(root)).empty()) << vr_tree_diff(before, vts_snapshot(root));
}

// A directory sync that fails means the change may not survive a power
// loss although it may already be visible: every writer reports it, names
// the directory, and leaves a state a retry completes.
TEST_F(Tree, FailingDirectorySyncFailsEveryWriter) {
  const std::string eio = strerror(EIO);
  struct WriteCase {
    const char *name;
    std::function<int()> call;
    std::string dir;            // the directory whose sync fails first
    std::string visible, gone;  // the change that may already be visible
  };
  const std::string a = ua();
  const std::vector<WriteCase> cases = {
      {"cipher_save", [] { return vault_cipher_save("ua", "{\"id\":\"c9\"}", nullptr); }, a + "/ciphers",
       a + "/ciphers/c9.json", ""},
      {"delete to trash", [] { return vault_cipher_delete("ua", "c1", 0); }, a + "/trash",
       a + "/trash/c1.json", a + "/ciphers/c1.json"},
      {"delete for good", [] { return vault_cipher_delete("ua", "c2", 1); }, a + "/ciphers", "",
       a + "/ciphers/c2.json"},
      {"restore", [] { return vault_cipher_restore_from_trash("ua", "c3"); }, a + "/ciphers",
       a + "/ciphers/c3.json", a + "/trash/c3.json"},
      {"folder_save", [] { return vault_folder_save("ua", "{\"id\":\"f9\",\"name\":\"N\"}", nullptr); }, a,
       "", ""},
      {"folder_delete", [] { return vault_folder_delete("ua", "f1"); }, a, "", ""},
      // A failed creation removes what it made, so nothing is visible. Its
      // first write is its claim in the e-mail index.
      {"create", [] { return vault_user_create("new@example.com", "h", 1, "k", nullptr); },
       root + "/users/.email-index", "", ""},
  };
  for (bool fallback : {false, true}) {
    for (const WriteCase &c : cases) {
      vault_storage_cleanup();
      vts_remove_tree(root);
      vr_build_standard_tree(root);
      ASSERT_EQ(vault_storage_init(root.c_str()), 0);
      const VtsTree before = vts_snapshot(root);
      if (fallback) vr_io_force("renameat2", EINVAL);
      vr_io_force_dir_fsync(EIO);
      int rc = c.call();
      vr_io_force_dir_fsync(0);
      vr_io_force(nullptr, 0);
      std::string where = std::string(c.name) + (fallback ? " (link fallback)" : "");
      EXPECT_EQ(rc, -1) << where;
      EXPECT_EQ(vr_last_error(), "sync failed: " + c.dir + " (" + eio + ")") << where;
      if (!c.visible.empty()) {
        EXPECT_TRUE(vts_exists(c.visible)) << where;
      }
      if (!c.gone.empty()) {
        EXPECT_FALSE(vts_exists(c.gone)) << where;
      }
      EXPECT_TRUE(vr_tmp_names(vts_snapshot(root)).empty()) << where;
      if (std::string(c.name) == "create") {
        EXPECT_EQ(vts_snapshot(root), before) << where;
      }
    }
  }
  // Initialisation: of the root's parent when it makes the root, of the
  // root when it writes the default configuration.
  vault_storage_cleanup();
  vts_remove_tree(root);
  vr_io_force_dir_fsync(EIO);
  EXPECT_EQ(vault_storage_init(root.c_str()), -1);
  EXPECT_EQ(vr_last_error(), "sync failed: " + scratch + " (" + eio + ")");
  vr_io_force_dir_fsync(0);
  ASSERT_EQ(vault_storage_init(root.c_str()), 0);
  unlink((root + "/config.json").c_str());
  vr_io_force_dir_fsync(EIO);
  EXPECT_EQ(vault_storage_init(root.c_str()), -1);
  vr_io_force_dir_fsync(0);
  EXPECT_EQ(vr_last_error(), "sync failed: " + root + " (" + eio + ")");
  EXPECT_TRUE(vts_exists(root + "/config.json"));
}

namespace {

// The positions, in the calls of one folder save, of the listing's first
// getdents64, the open of the list after it and the read lock on that open.
struct RmwCalls {
  long list = 0, open = 0, lock = 0;
};
RmwCalls rmw_calls(const std::vector<std::string> &trace) {
  RmwCalls c;
  for (size_t i = 0; i < trace.size(); i++) {
    long k = (long)i + 1;
    if (!c.list && trace[i] == "getdents64") c.list = k;
    else if (c.list && !c.open && trace[i] == "openat2") c.open = k;
    else if (c.open && !c.lock && trace[i] == "fcntl") c.lock = k;
  }
  return c;
}

bool has_folder(const std::string &list, const std::string &id) {
  return list.find("\"id\":\"" + id + "\"") != std::string::npos;
}

void force_fcntl_stale(void *err) { vr_io_force("fcntl", *static_cast<int *>(err)); }

}  // namespace

// A folder change on a shared file system reads the list under the
// account's lock and must get the version the last holder renamed into
// place, which the client's caches can hide: the server's refusal of the
// read lock (ESTALE, or ENOENT for a file another host's rename removed),
// or an open finding nothing under a name the directory lists, is the
// stale file speaking, and the read is tried again. Taking any of them for
// an absent list would write a list holding only the new folder.
TEST_F(Tree, FolderListReadOnSharedFileSystemTriesAgain) {
  const std::string list = ua() + "/folders.json";
  vs_fs_set_shared(1);
  vr_io_arm(0, 0);
  ASSERT_EQ(vault_folder_save("ua", "{\"id\":\"g0\"}", nullptr), 0) << vr_last_error();
  vr_io_disarm();
  const RmwCalls at = rmw_calls(vr_io_trace());
  ASSERT_TRUE(at.list && at.open && at.lock) << "no listing, open and read lock in the save's calls";
  struct Fault { long k; int err; const char *what; };
  const Fault faults[] = {{at.lock, ESTALE, "read lock ESTALE"},
                          {at.lock, ENOENT, "read lock ENOENT"},
                          {at.open, ENOENT, "open of a listed name ENOENT"}};
  std::vector<std::string> saved = {"f1", "f2", "g0"};
  int n = 0;
  for (const Fault &f : faults) {
    std::string id = "g" + std::to_string(++n);
    vr_io_arm(f.k, f.err);
    int rc = vault_folder_save("ua", ("{\"id\":\"" + id + "\"}").c_str(), nullptr);
    vr_io_disarm();
    EXPECT_TRUE(vr_io_fired()) << f.what;
    EXPECT_EQ(rc, 0) << f.what << ": " << vr_last_error();
    saved.push_back(id);
    const std::string text = vts_slurp(list);
    for (const std::string &s : saved) EXPECT_TRUE(has_folder(text, s)) << f.what << ": " << s << " lost";
  }
  // A delete reads the same way: a stale read must not answer "not found".
  vr_io_arm(at.lock, ESTALE);
  EXPECT_EQ(vault_folder_delete("ua", "g1"), 0) << vr_last_error();
  vr_io_disarm();
  EXPECT_FALSE(has_folder(vts_slurp(list), "g1"));
  EXPECT_TRUE(has_folder(vts_slurp(list), "g2"));
  vs_fs_set_shared(0);
}

// When the server keeps refusing the list for the whole retry budget, the
// change fails with the reason and writes nothing; an ENOENT from a file
// that was opened never turns into "no list yet" (which would write a list
// of one folder over all the others).
TEST_F(Tree, FolderListThatStaysStaleFailsTheChangeAndKeepsTheList) {
  const std::string list = ua() + "/folders.json";
  const std::string before = vts_slurp(list);
  const std::string want = "read failed: " + list + " (" + strerror(ESTALE) + ")";
  for (int err : {ENOENT, ESTALE}) {
    vault_storage_cleanup();
    ASSERT_EQ(vault_storage_init(root.c_str()), 0);
    vs_fs_set_shared(1);
    // From the listing on, so the account lock itself is had.
    vr_io_hook("getdents64", force_fcntl_stale, &err);
    int rc = err == ENOENT ? vault_folder_save("ua", "{\"id\":\"g9\"}", nullptr)
                           : vault_folder_delete("ua", "f1");
    vr_io_force(nullptr, 0);
    vr_io_hook(nullptr, nullptr, nullptr);
    vs_fs_set_shared(0);
    EXPECT_EQ(rc, -1) << strerror(err);
    EXPECT_EQ(vr_last_error(), want) << strerror(err);
    EXPECT_EQ(vts_slurp(list), before) << strerror(err);
    EXPECT_TRUE(vr_tmp_names(vts_snapshot(root)).empty()) << strerror(err);
  }
}

// On a local disk the folder change costs what it did: no listing, and no
// lock besides the account's (take and give back).
TEST_F(Tree, FolderListReadOnLocalDiskMakesNoExtraCall) {
  vs_fs_set_shared(0);
  vr_io_arm(0, 0);
  ASSERT_EQ(vault_folder_save("ua", "{\"id\":\"g0\"}", nullptr), 0) << vr_last_error();
  vr_io_disarm();
  const std::vector<std::string> trace = vr_io_trace();
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "getdents64"), 0);
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "fcntl"), 2);
}

// The open of a name sync just listed can fail with EXDEV when the file is
// moved out of the directory while the kernel resolves it (its check that
// the result lies beneath the directory). The file is looked for again:
// still there (here: the move did not happen), it is read; the document
// comes out as without the fault.
TEST_F(Tree, SyncLooksAgainAtAListedNameThatMovedDuringItsOpen) {
  vr_io_arm(0, 0);
  const char *first = vault_sync_generate_json("ua");
  const std::string clean = first ? first : "";
  vr_io_disarm();
  ASSERT_FALSE(clean.empty()) << vr_last_error();
  const std::vector<std::string> trace = vr_io_trace();
  long k = 0;
  for (size_t i = 1; i < trace.size() && !k; i++)
    if (trace[i] == "openat2" && trace[i - 1] == "getdents64") k = (long)i + 1;
  ASSERT_NE(k, 0) << "no open right after a listing in sync's calls";
  vr_io_arm(k, EXDEV);
  const char *got = vault_sync_generate_json("ua");
  vr_io_disarm();
  EXPECT_TRUE(vr_io_fired());
  ASSERT_NE(got, nullptr) << vr_last_error();
  EXPECT_EQ(std::string(got), clean);
}

// Where moves take the fallback on a shared file system, a refusal or a
// missing name in the middle of a move may be the client's stale view of
// another host's move: the move is tried again and ends with the item under
// exactly one name. On a local disk the same answer is final.
TEST_F(Tree, FallbackMoveOnSharedFileSystemTriesAgainAfterAStaleAnswer) {
  const std::string live = ua() + "/ciphers/mv.json", trash = ua() + "/trash/mv.json";
  ASSERT_EQ(vault_cipher_save("ua", "{\"id\":\"mv\",\"type\":1}", nullptr), 0);
  vr_io_force("renameat2", EINVAL);
  // The trash move's rename and the restore's link, as counted in one call
  // (a shared file system's checks add calls before them).
  auto index_of = [](const char *call) {
    const std::vector<std::string> &t = vr_io_trace();
    for (size_t i = 0; i < t.size(); i++)
      if (t[i] == call) return (long)i + 1;
    return 0L;
  };
  long rename_at = 0, link_at = 0;
  auto count = [&]() {
    vr_io_arm(0, 0);
    ASSERT_EQ(vault_cipher_delete("ua", "mv", 0), 0) << vr_last_error();
    vr_io_disarm();
    rename_at = index_of("renameat");
    vr_io_arm(0, 0);
    ASSERT_EQ(vault_cipher_restore_from_trash("ua", "mv"), 0) << vr_last_error();
    vr_io_disarm();
    link_at = index_of("linkat");
  };
  count();
  const long local_link_at = link_at;
  vs_fs_set_shared(1);
  count();
  ASSERT_GT(rename_at, 0);
  ASSERT_GT(link_at, 0);
  auto one_name = [&](bool in_trash) {
    struct stat st;
    const std::string &here = in_trash ? trash : live, &there = in_trash ? live : trash;
    return lstat(here.c_str(), &st) == 0 && st.st_nlink == 1 && access(there.c_str(), F_OK) != 0 &&
           vr_tmp_names(vts_snapshot(root)).empty();
  };
  // The move's own step failing: a stale refusal or a stale file. (ENOENT
  // there is the source gone: "not found", as everywhere.)
  for (int err : {EEXIST, ESTALE, EBADFD}) {
    vr_io_arm(rename_at, err);
    EXPECT_EQ(vault_cipher_delete("ua", "mv", 0), 0) << strerror(err) << ": " << vr_last_error();
    vr_io_disarm();
    EXPECT_TRUE(one_name(true)) << "trash move, " << strerror(err);
    vr_io_arm(link_at, err);
    EXPECT_EQ(vault_cipher_restore_from_trash("ua", "mv"), 0) << strerror(err) << ": " << vr_last_error();
    EXPECT_TRUE(vr_io_fired()) << strerror(err);
    vr_io_disarm();
    EXPECT_TRUE(one_name(false)) << "restore, " << strerror(err);
  }
  // A name missing in the middle: the restore's look at what it linked.
  ASSERT_EQ(vault_cipher_delete("ua", "mv", 0), 0);
  vr_io_arm(link_at + 1, ENOENT);
  EXPECT_EQ(vault_cipher_restore_from_trash("ua", "mv"), 0) << vr_last_error();
  EXPECT_TRUE(vr_io_fired()) << vr_io_fired_call();
  vr_io_disarm();
  EXPECT_TRUE(one_name(false)) << "restore, ENOENT after the link";
  vs_fs_set_shared(0);
  ASSERT_EQ(vault_cipher_delete("ua", "mv", 0), 0);
  vr_io_arm(local_link_at, ESTALE);
  EXPECT_EQ(vault_cipher_restore_from_trash("ua", "mv"), -1);
  vr_io_disarm();
  EXPECT_TRUE(one_name(true)) << "a failed restore changes nothing";
  vr_io_force(nullptr, 0);
}

// A shared file system's client can go on showing a name another host has
// moved away, as long as the file is looked at under its new name (seen on
// GlusterFS): the trash move then finds "the item" in the trash already,
// one file with the live name, but the file has only its live link. That is
// no move cut short and nothing is dropped; the refusal says the view is
// stale rather than that the name exists, and on a shared file system the
// move is tried again. Staged here with real links: the trashed name is
// there when first looked at, gone when the parked file's links are
// counted, and back when the two are compared.
namespace {
struct Phantom {
  std::string live, trash, ciphers;
  int step = 0;
};
void phantom_step(void *p) {
  Phantom &ph = *static_cast<Phantom *>(p);
  std::string parked;
  for (auto &n : vts_list(ph.ciphers))
    if (n.find(".tmp.") != std::string::npos) parked = ph.ciphers + "/" + n;
  if (ph.step == 0 && link(ph.live.c_str(), ph.trash.c_str()) == 0) ph.step = 1;
  else if (ph.step == 1 && !parked.empty() && unlink(ph.trash.c_str()) == 0) ph.step = 2;
  else if (ph.step == 2 && link(parked.c_str(), ph.trash.c_str()) == 0) ph.step = 3;
  if (ph.step < 3) vr_io_hook("fstatat", phantom_step, p);
}
}  // namespace

TEST_F(Tree, TrashMoveRefusedByAStaleNameSaysSo) {
  Phantom ph{ua() + "/ciphers/ph.json", ua() + "/trash/ph.json", ua() + "/ciphers"};
  ASSERT_EQ(vault_cipher_save("ua", "{\"id\":\"ph\",\"type\":1}", nullptr), 0);
  vr_io_force("renameat2", EINVAL);
  vr_io_hook("fstatat", phantom_step, &ph);
  EXPECT_EQ(vault_cipher_delete("ua", "ph", 0), -1);
  EXPECT_EQ(ph.step, 3);
  EXPECT_EQ(vr_last_error(), std::string("cipher_delete: rename ") + strerror(ESTALE));
  struct stat st;
  ASSERT_EQ(lstat(ph.live.c_str(), &st), 0) << "the live item was taken away";
  EXPECT_TRUE(vr_tmp_names(vts_snapshot(root)).empty());
  // On a shared file system the same refusal is tried again; the staged
  // name has become a real second link by then, which the retry finishes.
  ASSERT_EQ(unlink(ph.trash.c_str()), 0);
  ph.step = 0;
  vs_fs_set_shared(1);
  vr_io_hook("fstatat", phantom_step, &ph);
  EXPECT_EQ(vault_cipher_delete("ua", "ph", 0), 0) << vr_last_error();
  vs_fs_set_shared(0);
  vr_io_hook(nullptr, nullptr, nullptr);
  vr_io_force(nullptr, 0);
  EXPECT_NE(access(ph.live.c_str(), F_OK), 0);
  ASSERT_EQ(lstat(ph.trash.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);
  EXPECT_TRUE(vr_tmp_names(vts_snapshot(root)).empty());
}

// A client can also show, from its caches, a name another host's move has
// removed, with the link count the file had while that move held it under
// two names. That looks like a move cut short, which the mover would finish
// by dropping its own name: the item's last one. On a shared file system a
// name the client shows at the destination is believed only when a fresh
// listing of its directory (the server's answer) has it. Staged with a real
// second name that is gone by the time the directory is listed: a trash
// move then goes over the shown name, a restore puts its parked name back
// and tries again.
namespace {
struct Ghost {
  std::string from, to;  // the item's name, and the name the client shows
  bool listed = false;
};
void ghost_unlink(void *p) {
  Ghost &g = *static_cast<Ghost *>(p);
  g.listed = true;
  unlink(g.to.c_str());
}
void ghost_link(void *p) {
  Ghost &g = *static_cast<Ghost *>(p);
  link(g.from.c_str(), g.to.c_str());
  vr_io_hook("getdents64", ghost_unlink, p);
}
}  // namespace

TEST_F(Tree, NamesAMoveFindsOnASharedFileSystemAreTrustedOnlyWhenListed) {
  const std::string live = ua() + "/ciphers/gh.json", trash = ua() + "/trash/gh.json";
  const std::string text = "{\"id\":\"gh\",\"type\":1}";
  ASSERT_EQ(vault_cipher_save("ua", text.c_str(), nullptr), 0);
  vr_io_force("renameat2", EINVAL);
  for (bool restore : {false, true}) {
    Ghost g{restore ? trash : live, restore ? live : trash};
    vs_fs_set_shared(1);
    // The trash move looks at its destination first; the restore links.
    vr_io_hook(restore ? "linkat" : "fstatat", ghost_link, &g);
    int rc = restore ? vault_cipher_restore_from_trash("ua", "gh") : vault_cipher_delete("ua", "gh", 0);
    vs_fs_set_shared(0);
    vr_io_hook(nullptr, nullptr, nullptr);
    const char *way = restore ? "restore" : "trash move";
    EXPECT_EQ(rc, 0) << way << ": " << vr_last_error();
    EXPECT_TRUE(g.listed) << way << ": the shown name was believed without a listing";
    struct stat st;
    EXPECT_NE(access(g.from.c_str(), F_OK), 0) << way;
    ASSERT_EQ(lstat(g.to.c_str(), &st), 0) << way << ": the item lost its last name";
    EXPECT_EQ(st.st_nlink, 1u) << way;
    EXPECT_EQ(vts_slurp(g.to), text) << way;
    EXPECT_TRUE(vr_tmp_names(vts_snapshot(root)).empty()) << way;
  }
  vr_io_force(nullptr, 0);
}

// The same refusal, where putting the parked item back is refused too: the
// client still shows the live name it has just parked (another process's
// lookup answered after the park), so the link answers "File exists" while
// nothing is there. The parked file is the item's only name then: it must
// go back, not be dropped as if a save had taken its place.
TEST_F(Tree, ParkedItemGoesBackWhenTheClientRefusesItsOwnName) {
  Phantom ph{ua() + "/ciphers/pb.json", ua() + "/trash/pb.json", ua() + "/ciphers"};
  const std::string text = "{\"id\":\"pb\",\"type\":1}";
  ASSERT_EQ(vault_cipher_save("ua", text.c_str(), nullptr), 0);
  vr_io_force("renameat2", EINVAL);
  vr_io_hook("fstatat", phantom_step, &ph);
  vr_io_arm(0, 0);
  ASSERT_EQ(vault_cipher_delete("ua", "pb", 0), -1);
  vr_io_disarm();
  const std::vector<std::string> &t = vr_io_trace();
  long link_at = 0;
  for (size_t i = 0; i < t.size() && !link_at; i++)
    if (t[i] == "linkat") link_at = (long)i + 1;
  ASSERT_GT(link_at, 0) << "no link puts the parked item back";
  ASSERT_EQ(unlink(ph.trash.c_str()), 0);
  ph.step = 0;
  vr_io_hook("fstatat", phantom_step, &ph);
  vr_io_arm(link_at, EEXIST);
  EXPECT_EQ(vault_cipher_delete("ua", "pb", 0), -1);
  EXPECT_TRUE(vr_io_fired());
  vr_io_disarm();
  vr_io_hook(nullptr, nullptr, nullptr);
  vr_io_force(nullptr, 0);
  ASSERT_EQ(unlink(ph.trash.c_str()), 0) << "the staged trashed name";
  EXPECT_EQ(vts_slurp(ph.live), text) << "the item lost its last name";
  EXPECT_TRUE(vr_tmp_names(vts_snapshot(root)).empty());
}

// A document that is not JSON on a shared file system may be a view of a
// file another host is replacing, and is read again while the file changes;
// a damaged one that stays as it is costs one more read and one look at its
// name, not the whole retry bound. Counted in calls: the sync passes the
// item over, the getters hand back the text as stored.
namespace {
long count_of(const char *call) {
  const std::vector<std::string> &t = vr_io_trace();
  return (long)std::count(t.begin(), t.end(), call);
}
struct Swap {
  std::string path, text;
};
void swap_in(void *p) {
  Swap &s = *static_cast<Swap *>(p);
  vts_write(s.path + ".new", s.text);
  rename((s.path + ".new").c_str(), s.path.c_str());
}
}  // namespace

// Read again until it has stayed the same for the settle time (a quarter of
// a second: a dozen paced reads, never the whole bound), then taken as
// stored, with one look at its name.
TEST_F(Tree, DamagedDocumentOnSharedFileSystemSettlesThenIsTakenAsStored) {
  vs_fs_set_shared(1);
  vr_io_arm(0, 0);
  const char *clean_text = vault_sync_generate_json("ua");
  vr_io_disarm();
  ASSERT_NE(clean_text, nullptr) << vr_last_error();
  const std::string clean = clean_text;
  const long clean_opens = count_of("openat2"), clean_looks = count_of("fstatat");

  const std::string bad = ua() + "/ciphers/bad.json", damaged = "{\"id\":\"bad\",\"type\":";
  ASSERT_TRUE(vts_write(bad, damaged));
  vr_io_arm(0, 0);
  const char *got = vault_sync_generate_json("ua");
  vr_io_disarm();
  ASSERT_NE(got, nullptr) << vr_last_error();
  EXPECT_EQ(std::string(got), clean) << "the damaged item is passed over";
  EXPECT_GE(count_of("openat2"), clean_opens + 2);
  EXPECT_LE(count_of("openat2"), clean_opens + 20);
  EXPECT_EQ(count_of("fstatat"), clean_looks + 1);

  vr_io_arm(0, 0);
  const char *text = vault_cipher_get("ua", "bad");
  vr_io_disarm();
  ASSERT_NE(text, nullptr) << vr_last_error();
  EXPECT_EQ(std::string(text), damaged);
  EXPECT_GE(count_of("openat2"), 2);
  EXPECT_LE(count_of("openat2"), 20);

  // A folder list read by its path, the same way.
  const std::string folders = ua() + "/folders.json";
  ASSERT_TRUE(vts_write(folders, "[{\"id\":"));
  vr_io_arm(0, 0);
  const char *list = vault_folders_get_json("ua");
  vr_io_disarm();
  ASSERT_NE(list, nullptr) << vr_last_error();
  EXPECT_EQ(std::string(list), "[{\"id\":");
  EXPECT_GE(count_of("openat2"), 2);
  EXPECT_LE(count_of("openat2"), 20);

  // Replaced between the second read and the look at its name: the file is
  // changing, so it is read again, and the new version is the one taken.
  Swap sw{bad, "{\"id\":\"bad\",\"type\":1}"};
  vr_io_hook("fstatat", swap_in, &sw);
  got = vault_sync_generate_json("ua");
  vr_io_hook(nullptr, nullptr, nullptr);
  ASSERT_NE(got, nullptr) << vr_last_error();
  EXPECT_NE(std::string(got).find("{\"id\":\"bad\",\"type\":1}"), std::string::npos) << got;
  vs_fs_set_shared(0);
}

// On a local disk an invalid text is never read twice.
TEST_F(Tree, DamagedDocumentOnLocalDiskIsReadOnce) {
  vs_fs_set_shared(0);
  ASSERT_TRUE(vts_write(ua() + "/ciphers/bad.json", "{\"id\":"));
  vr_io_arm(0, 0);
  ASSERT_NE(vault_cipher_get("ua", "bad"), nullptr) << vr_last_error();
  vr_io_disarm();
  EXPECT_EQ(count_of("openat2"), 1);
  EXPECT_EQ(count_of("fstatat"), 0);
}

// The ring's own failures: a ring that cannot be set up, or whose batch
// cannot be submitted or collected, leaves the batch to the plain reads;
// the document comes out as without the fault, and the next sync has a
// ring again.
TEST_F(Tree, SyncThroughAFailingRingFallsBackToPlainReads) {
  vs_ring_set_enabled(1);
  const char *first = vault_sync_generate_json("ua");
  ASSERT_NE(first, nullptr) << vr_last_error();
  const std::string clean = first;
  for (const char *call : {"io_uring_queue_init_params", "io_uring_register_files_sparse",
                           "io_uring_submit_and_wait", "io_uring_peek_batch_cqe"}) {
    for (int err : {ENOMEM, EINTR, EIO}) {
      vr_io_force(call, err);
      const char *got = vault_sync_generate_json("ua");
      vr_io_force(nullptr, 0);
      ASSERT_NE(got, nullptr) << call << ", " << strerror(err) << ": " << vr_last_error();
      EXPECT_EQ(std::string(got), clean) << call << ", " << strerror(err);
    }
  }
  vr_io_arm(0, 0);
  const char *again = vault_sync_generate_json("ua");
  vr_io_disarm();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(std::string(again), clean);
  // The profile, the folder list and the listing: the ciphers are read in
  // the ring again.
  EXPECT_EQ(count_of("openat2"), 3);
}
