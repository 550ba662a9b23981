// Several processes on one data root at once: writers saving the same
// cipher id and ids of their own within the same seconds, readers reading
// it and building sync documents meanwhile, two processes moving one cipher
// between live and trash, and concurrent account creations. Every read must
// return a whole document, no temporary-name collision may corrupt a file,
// no temporary file may be left, and no moved file may be lost.
// VS_CONC_WRITERS and VS_CONC_SAVES scale it.
#include <signal.h>
#include <sys/wait.h>

#include <set>

#include <gtest/gtest.h>

#include "store_model.h"

namespace {

long env_long(const char *name, long def) {
  const char *v = getenv(name);
  return v && *v ? atol(v) : def;
}

// A self-checking document: "pad" holds exactly "len" copies of one letter.
std::string doc(const std::string &id, long w, long seq) {
  long len = (w * 7919 + seq * 104729) % 8000;
  return "{\"id\":\"" + id + "\",\"w\":" + std::to_string(w) + ",\"seq\":" + std::to_string(seq) +
         ",\"len\":" + std::to_string(len) + ",\"pad\":\"" + std::string((size_t)len, (char)('a' + w % 26)) + "\"}";
}

bool whole(const std::string &text) {
  yyjson_doc *d = vr_parse(text);
  if (!d) return false;
  yyjson_val *r = yyjson_doc_get_root(d);
  yyjson_val *pad = yyjson_obj_get(r, "pad");
  bool ok = yyjson_is_str(pad) && (long)yyjson_get_len(pad) == yyjson_get_sint(yyjson_obj_get(r, "len"));
  yyjson_doc_free(d);
  return ok;
}

// Runs fn in a child; the child's exit status tells success (0).
template <typename F>
pid_t spawn(F fn) {
  pid_t p = fork();
  if (p == 0) {
    int rc = fn();
    _exit(rc);
  }
  return p;
}

int wait_all(std::vector<pid_t> &pids) {
  int bad = 0;
  for (pid_t p : pids) {
    int st = 0;
    waitpid(p, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) bad++;
  }
  pids.clear();
  return bad;
}

}  // namespace

TEST(Concurrent, WritersAndReadersOnOneCipher) {
  long writers = env_long("VS_CONC_WRITERS", 4), saves = env_long("VS_CONC_SAVES", 150);
  std::string scratch = vts_scratch("conc", true);
  ASSERT_FALSE(scratch.empty());
  std::string root = scratch + "/root";
  ASSERT_EQ(vault_storage_init(root.c_str()), 0);
  char uid[VAULT_ID_SIZE];
  ASSERT_EQ(vault_user_create("conc@x.test", "h", 1, "k", uid), 0) << vault_storage_last_error();
  std::string u = uid;
  ASSERT_EQ(vault_cipher_save(uid, doc("shared", 99, 0).c_str(), nullptr), 0);
  ASSERT_EQ(vault_cipher_save(uid, "{\"id\":\"pingpong\",\"v\":1}", nullptr), 0);

  std::vector<pid_t> pids;
  std::string errfile = scratch + "/errors";
  auto report = [&](const std::string &what) {
    int fd = open(errfile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::string line = what + "\n";
    if (write(fd, line.data(), line.size()) < 0) {}
    close(fd);
    return 1;
  };
  for (long w = 0; w < writers; w++)
    pids.push_back(spawn([&, w]() {
      for (long s = 1; s <= saves; s++) {
        if (vault_cipher_save(u.c_str(), doc("shared", w, s).c_str(), nullptr) != 0)
          return report("save shared: " + std::string(vault_storage_last_error()));
        std::string own = "own" + std::to_string(w) + "-" + std::to_string(s % 5);
        if (vault_cipher_save(u.c_str(), doc(own, w, s).c_str(), nullptr) != 0)
          return report("save own: " + std::string(vault_storage_last_error()));
      }
      return 0;
    }));
  long reads = saves * 2;
  for (int r = 0; r < 2; r++)
    pids.push_back(spawn([&]() {
      for (long i = 0; i < reads; i++) {
        const char *t = vault_cipher_get(u.c_str(), "shared");
        if (!t || !whole(t)) return report("torn read: " + std::string(t ? t : vault_storage_last_error()).substr(0, 200));
        if (i % 10 == 0) {
          const char *s = vault_sync_generate_json(u.c_str());
          if (!s || !vr_is_json(s)) return report("sync: " + std::string(vault_storage_last_error()));
          yyjson_doc *d = vr_parse(s);
          size_t k, n;
          yyjson_val *e;
          bool ok = true;
          yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(d), "ciphers"), k, n, e) {
            if (yyjson_obj_get(e, "pad") && !whole(vr_val_text(e))) ok = false;
          }
          yyjson_doc_free(d);
          if (!ok) return report("sync holds a torn cipher");
        }
      }
      return 0;
    }));
  // Two processes moving one cipher back and forth: a no-replace move never
  // loses it, whoever wins.
  for (int p = 0; p < 2; p++)
    pids.push_back(spawn([&, p]() {
      for (long i = 0; i < saves; i++) {
        int rc = p == 0 ? vault_cipher_delete(u.c_str(), "pingpong", 0)
                        : vault_cipher_restore_from_trash(u.c_str(), "pingpong");
        if (rc == -1 && std::string(vault_storage_last_error()).find(strerror(ENOENT)) == std::string::npos &&
            std::string(vault_storage_last_error()).find(strerror(EEXIST)) == std::string::npos)
          return report("move: " + std::string(vault_storage_last_error()));
      }
      return 0;
    }));
  // Concurrent registrations of distinct addresses.
  for (int p = 0; p < 3; p++)
    pids.push_back(spawn([&, p]() {
      for (int i = 0; i < 5; i++) {
        std::string email = "c" + std::to_string(p) + "-" + std::to_string(i) + "@x.test";
        if (vault_user_create(email.c_str(), "h", 1, "k", nullptr) != 0)
          return report("create " + email + ": " + vault_storage_last_error());
      }
      return 0;
    }));
  int bad = wait_all(pids);
  EXPECT_EQ(bad, 0) << vts_slurp(errfile);

  VtsTree t = vts_snapshot(root);
  EXPECT_TRUE(vr_tmp_names(t).empty()) << "temporary file left: " << vr_tmp_names(t)[0];
  std::string d = root + "/users/" + u;
  EXPECT_TRUE(whole(vts_slurp(d + "/ciphers/shared.json")));
  for (long w = 0; w < writers; w++)
    for (long s = saves - 4; s <= saves; s++) {
      std::string own = "own" + std::to_string(w) + "-" + std::to_string(s % 5);
      EXPECT_EQ(vts_slurp(d + "/ciphers/" + own + ".json"), doc(own, w, s)) << own;
    }
  int copies = vts_exists(d + "/ciphers/pingpong.json") + vts_exists(d + "/trash/pingpong.json");
  EXPECT_EQ(copies, 1) << "the moved cipher must exist exactly once";
  for (int p = 0; p < 3; p++)
    for (int i = 0; i < 5; i++) {
      std::string email = "c" + std::to_string(p) + "-" + std::to_string(i) + "@x.test";
      EXPECT_EQ(vault_user_exists(email.c_str()), 1) << email;
    }
  size_t accounts = 0;  // hidden names (the e-mail index) are no accounts
  for (const std::string &n : vts_list(root + "/users")) accounts += n[0] != '.';
  EXPECT_EQ(accounts, 16u);
  printf("[figures] concurrent: writer-processes=%ld saves-per-writer=%ld reader-processes=2 reads=%ld "
         "movers=2 creators=3\n", writers, saves * 2, reads * 2);
  vault_storage_cleanup();
  vts_remove_tree(scratch);
}
