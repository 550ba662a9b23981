// Shared pieces of the fuzz targets: one data root per process (on tmpfs
// when available) with a fixed account, plain file helpers, splitting an
// input into parts, and the failure hook (abort, so libFuzzer keeps the
// input).
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <yyjson.h>

#include "keldrune-vault-storage.h"

#define FZ_CHECK(cond)                                                     \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "check failed: %s (%s:%d), last error: %s\n", #cond, \
              __FILE__, __LINE__, vault_storage_last_error());             \
      abort();                                                             \
    }                                                                      \
  } while (0)

static std::string fz_root;

static inline void fz_write(const std::string &path, const std::string &data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) abort();
  if (!data.empty() && write(fd, data.data(), data.size()) != (ssize_t)data.size()) abort();
  close(fd);
}

static inline bool fz_read(const std::string &path, std::string &out) {
  out.clear();
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  close(fd);
  return true;
}

static inline std::vector<std::string> fz_list(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

static inline void fz_clear(const std::string &dir) {
  for (auto &n : fz_list(dir)) unlink((dir + "/" + n).c_str());
}

// Makes the data root and the accounts named (directories only).
static inline void fz_setup(std::initializer_list<const char *> uids) {
  if (!fz_root.empty()) return;
  char tmpl[] = "/dev/shm/vs-fuzz-XXXXXX";
  char tmpl2[] = "/tmp/vs-fuzz-XXXXXX";
  const char *base = mkdtemp(tmpl);
  if (!base) base = mkdtemp(tmpl2);
  if (!base) abort();
  // The scratch tree goes when the fuzzer exits (a -runs or -max_total_time
  // run ends through exit()).
  static std::string s_base;
  s_base = base;
  atexit([] {
    std::string cmd = "rm -rf '" + s_base + "'";
    if (system(cmd.c_str()) != 0) {}
  });
  fz_root = std::string(base) + "/root";
  if (vault_storage_init(fz_root.c_str()) != 0) abort();
  for (const char *u : uids) {
    std::string d = fz_root + "/users/" + u;
    mkdir(d.c_str(), 0700);
    mkdir((d + "/ciphers").c_str(), 0700);
    mkdir((d + "/trash").c_str(), 0700);
  }
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
  for (auto &n : fz_list(dir))
    if (n.find(".tmp.") != std::string::npos) return false;
  return true;
}
