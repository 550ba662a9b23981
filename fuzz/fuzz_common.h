// Shared pieces of the fuzz targets: one data root per process (on tmpfs
// when available) with fixed accounts, splitting an input into parts, and
// the failure hook (abort, so libFuzzer keeps the input).
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <yyjson.h>

#include "keldrune-vault-storage.h"
#include "vs_test_support.h"

#define FZ_CHECK(cond)                                                     \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "check failed: %s (%s:%d), last error: %s\n", #cond, \
              __FILE__, __LINE__, vault_storage_last_error());             \
      abort();                                                             \
    }                                                                      \
  } while (0)

static std::string fz_root;

// Set-up writes must not fail: the run would test something else.
static inline void fz_write(const std::string &path, const std::string &data) {
  if (!vts_write(path, data)) abort();
}

static inline void fz_clear(const std::string &dir) {
  for (auto &n : vts_list(dir)) unlink((dir + "/" + n).c_str());
}

// Makes the data root and the accounts named (directories only).
static inline void fz_setup(std::initializer_list<const char *> uids) {
  if (!fz_root.empty()) return;
  static std::string s_base;
  s_base = vts_scratch("fuzz", true);
  if (s_base.empty()) abort();
  // The scratch tree goes when the fuzzer exits (a -runs or -max_total_time
  // run ends through exit()).
  atexit([] { vts_remove_tree(s_base); });
  fz_root = s_base + "/root";
  if (vault_storage_init(fz_root.c_str()) != 0) abort();
  for (const char *u : uids)
    if (vts_make_account(fz_root, u).empty()) abort();
}

// Splits at "\n#@#\n"; missing parts are absent (has[i] false).
static inline std::vector<std::string> fz_split(const uint8_t *data, size_t size, size_t parts,
                                         std::vector<bool> &has) {
  static const std::string sep = "\n#@#\n";
  std::string in((const char *)data, size);
  std::vector<std::string> out(parts);
  has.assign(parts, false);
  size_t pos = 0;
  for (size_t i = 0; i < parts; i++) {
    size_t next = i + 1 < parts ? in.find(sep, pos) : std::string::npos;
    out[i] = in.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    has[i] = true;
    if (next == std::string::npos) break;
    pos = next + sep.size();
  }
  return out;
}

static inline bool fz_strict_json(const std::string &s) {
  yyjson_doc *d = yyjson_read(s.data(), s.size(), 0);
  yyjson_doc_free(d);
  return d != nullptr;
}

static inline bool fz_no_tmp(const std::string &dir) {
  for (auto &n : vts_list(dir))
    if (n.find(".tmp.") != std::string::npos) return false;
  return true;
}
