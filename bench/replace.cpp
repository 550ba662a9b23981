// Key rotation: the replacement of a whole vault of 1,000 items of 1 KiB
// against saving the same 1,000 items one by one (the target: at most 3x).
// Both write every document anew and make it durable; the replacement also
// stages a whole directory and swaps it in.
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench.h"

namespace {

double wall_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

bool bn_run_replace(const std::string &dir) {
  enum { ITEMS = 1000, ROUNDS = 5 };
  bn_make_dir(dir);
  std::string root = dir + "/replace-root";
  vts_remove_tree(root);
  if (vault_storage_init(root.c_str()) != 0) return false;
  char uid[37];
  if (vault_user_create("rotate@example.com", "h0", 600000, "k0", uid) != 0) return false;
  std::vector<std::string> ids;
  for (int i = 0; i < ITEMS; i++) ids.push_back(bn_uuid());
  std::vector<double> saves, replaces;
  for (int round = 0; round < ROUNDS; round++) {
    unsigned seed = (unsigned)round * 7919u;
    double t0 = wall_s();
    for (int i = 0; i < ITEMS; i++) {
      std::string doc = bn_item(ids[(size_t)i].c_str(), seed + (unsigned)i);
      if (vault_cipher_save(uid, doc.c_str(), nullptr) != 0) return false;
    }
    saves.push_back(wall_s() - t0);
    std::string all = "[";
    for (int i = 0; i < ITEMS; i++)
      all += (i ? "," : "") + bn_item(ids[(size_t)i].c_str(), seed + 1000003u + (unsigned)i);
    all += "]";
    std::string from = "h" + std::to_string(round), to = "h" + std::to_string(round + 1);
    t0 = wall_s();
    if (vault_user_replace_vault(uid, from.c_str(), to.c_str(), 600000, "k", all.c_str(), "[]",
                                 "[]") != 0) {
      fprintf(stderr, "replace: %s\n", vault_storage_last_error());
      return false;
    }
    replaces.push_back(wall_s() - t0);
  }
  std::sort(saves.begin(), saves.end());
  std::sort(replaces.begin(), replaces.end());
  double s = saves[ROUNDS / 2], r = replaces[ROUNDS / 2];
  printf("\nKey rotation, %d items of 1 KiB (median of %d): 1,000 saves %.1f ms, one replacement "
         "%.1f ms, ratio %.2f%s (target: at most 3)\n",
         ITEMS, ROUNDS, s * 1e3, r * 1e3, r / s, r / s > 3 ? " !" : "");
  vault_storage_cleanup();
  vts_remove_tree(root);
  return true;
}
