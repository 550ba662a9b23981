// What the programs that play several hosts on one data tree share: the
// clock, one failure log per process with its summary, the verdict of the
// checks afterwards, and a host process on its own root.
#pragma once
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "keldrune-vault-storage.h"
#include "vs_test_support.h"

inline double vsh_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// The command line: "--name N" for each flag of the table (its value
// stored through the pointer), every other word a root. False on an
// unknown option or a flag without its value.
inline bool vsh_parse(int argc, char **argv,
                      const std::vector<std::pair<const char *, long *>> &flags,
                      std::vector<std::string> &roots) {
  for (int i = 1; i < argc; i++) {
    long *slot = nullptr;
    for (auto &f : flags)
      if (strcmp(argv[i], f.first) == 0) slot = f.second;
    if (slot) {
      if (++i >= argc) return false;
      *slot = atol(argv[i]);
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return false;
    } else {
      roots.push_back(argv[i]);
    }
  }
  return true;
}

// The state every process of a run shares (anonymous shared memory, made
// before the processes fork), or NULL with the reason printed.
template <class T>
T *vsh_shared() {
  void *mem = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) {
    perror("mmap");
    return nullptr;
  }
  return new (mem) T();
}

// A fresh local directory for the processes' failure logs, named from
// prefix ("/tmp/<prefix>-XXXXXX"); "" with the reason printed.
inline std::string vsh_logdir(const char *prefix) {
  std::string t = std::string("/tmp/") + prefix + "-XXXXXX";
  if (!mkdtemp(&t[0])) {
    perror("mkdtemp");
    return "";
  }
  return t;
}

// One line per failure into this process's own log in logdir (a local
// directory, never the tree under test): "what<TAB>message".
inline void vsh_note(const std::string &logdir, const std::string &what, const std::string &msg) {
  std::string path = logdir + "/" + std::to_string(getpid());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) return;
  std::string line = what + "\t" + msg + "\n";
  if (write(fd, line.data(), line.size()) < 0) {}
  close(fd);
}

// Distinct failure messages of every process's log with their counts,
// digits folded so that one kind of failure (with pids and sequence
// numbers) counts once; with examples, one line as it was written too.
// The logs go afterwards.
inline void vsh_print_messages(const std::string &logdir, const char *tag, bool examples) {
  std::map<std::string, long> seen;
  std::map<std::string, std::string> example;
  for (auto &name : vts_list(logdir)) {
    std::string text;
    vts_read(logdir + "/" + name, text);
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos) {
      std::string line = text.substr(pos, nl - pos), key;
      pos = nl + 1;
      for (size_t i = 0; i < line.size(); i++) {
        bool dig = line[i] >= '0' && line[i] <= '9';
        if (!dig || key.empty() || key.back() != '#') key += dig ? '#' : line[i];
      }
      if (!seen[key]++) example[key] = line;
    }
  }
  vts_remove_tree(logdir);
  for (auto &kv : seen) {
    printf("[%s] message x%ld: %s\n", tag, kv.second, kv.first.c_str());
    if (examples) printf("[%s]   e.g. %s\n", tag, example[kv.first].c_str());
  }
}

// The counts of the checks afterwards: bad once a count that must be zero
// is not.
struct VshVerdict {
  std::vector<std::pair<std::string, long>> lines;
  bool bad = false;
  void add(const std::string &name, long v, bool must_be_zero) {
    lines.push_back({name, v});
    if (must_be_zero && v != 0) bad = true;
  }
};

// A host's process: the library on root, then fn; it exits 2 (noted) when
// the library cannot be set up there.
template <class F>
pid_t vsh_spawn(const std::string &root, const std::string &logdir, F fn) {
  pid_t p = fork();
  if (p != 0) return p;
  if (vault_storage_init(root.c_str()) != 0) {
    vsh_note(logdir, "init", vault_storage_last_error());
    _exit(2);
  }
  fn();
  _exit(0);
}
