// File-system helpers shared by every test fixture (unit, reliability, fuzz
// and benchmark set-up): scratch directories, whole-file reads and writes
// that bypass the library, directory listings, hand-made account
// directories, and copying, snapshotting and removing whole trees.
//
// Nothing here goes through the library, so a fixture can build or examine
// a tree the library would refuse. The helpers use plain open/read/write,
// opendir/readdir and lstat only: the fault-injection tests wrap those
// calls, and the helpers never run inside an armed fault window. Nothing
// shells out; trees are removed entry by entry.
#pragma once
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

// ---- scratch space ------------------------------------------------------------
// A fresh, empty directory named "vs-<tag>-XXXXXX" and the empty text when
// none could be made. The parent is $VS_TEST_TMP when set; else, for
// in_memory, /dev/shm when it is a writable directory (fsync costs nothing
// there, and crash consistency does not depend on the medium); else /tmp.
inline std::string vts_scratch(const char *tag, bool in_memory = false) {
  const char *env = getenv("VS_TEST_TMP");
  std::string parent = env && *env ? env : "";
  if (parent.empty()) {
    struct stat st;
    parent = in_memory && stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) &&
                     access("/dev/shm", W_OK) == 0
                 ? "/dev/shm"
                 : "/tmp";
  }
  std::string t = parent + "/vs-" + tag + "-XXXXXX";
  std::vector<char> buf(t.begin(), t.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return "";
  return buf.data();
}

// ---- single files ---------------------------------------------------------------
// Whole content of a file. A final symbolic link is not followed and a FIFO
// does not block (it reads as empty). False when it cannot be opened or a
// read fails; out then holds what was read.
inline bool vts_read(const std::string &path, std::string &out) {
  out.clear();
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  close(fd);
  return n == 0;
}

// The content, or `missing` when the file cannot be read.
inline std::string vts_slurp(const std::string &path, const char *missing = "<missing>") {
  std::string s;
  return vts_read(path, s) ? s : std::string(missing);
}

// Creates or truncates a file with exactly `data`. False on any failure.
inline bool vts_write(const std::string &path, const std::string &data, mode_t mode = 0600) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = data.empty() || write(fd, data.data(), data.size()) == (ssize_t)data.size();
  return close(fd) == 0 && ok;
}

// Whether anything (a dangling link included) has this name.
inline bool vts_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// ---- directories ------------------------------------------------------------------
// Entry names in the platform's order, without "." and ".."; empty when the
// directory cannot be listed.
inline std::vector<std::string> vts_list(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

// Creates one directory (mode 0700); an existing one is accepted.
inline bool vts_mkdir(const std::string &path) {
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// An account directory laid out as account creation leaves it:
// <root>/users/<uid> with ciphers/ and trash/, plus profile.json and
// folders.json when their texts are given. Returns the account directory,
// or the empty text on failure.
inline std::string vts_make_account(const std::string &root, const std::string &uid,
                                    const char *profile = nullptr,
                                    const char *folders = nullptr) {
  std::string d = root + "/users/" + uid;
  if (!vts_mkdir(d) || !vts_mkdir(d + "/ciphers") || !vts_mkdir(d + "/trash")) return "";
  if (profile && !vts_write(d + "/profile.json", profile)) return "";
  if (folders && !vts_write(d + "/folders.json", folders)) return "";
  return d;
}

// ---- whole trees ------------------------------------------------------------------------
// Removes a tree without following links. Directories are made accessible
// first, so trees a test locked down (mode 0) go too. Best effort.
inline void vts_remove_tree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  chmod(path.c_str(), 0700);
  for (const std::string &n : vts_list(path)) vts_remove_tree(path + "/" + n);
  rmdir(path.c_str());
}

// Copies a tree (directories, regular files, symbolic links, FIFOs) keeping
// the permission bits. `to` must not exist.
inline bool vts_copy_tree(const std::string &from, const std::string &to) {
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if (S_ISDIR(st.st_mode)) {
    if (mkdir(to.c_str(), mode) != 0) return false;
    for (const std::string &n : vts_list(from))
      if (!vts_copy_tree(from + "/" + n, to + "/" + n)) return false;
    return chmod(to.c_str(), mode) == 0;
  }
  if (S_ISLNK(st.st_mode)) {
    char t[4096];
    ssize_t n = readlink(from.c_str(), t, sizeof t - 1);
    if (n < 0) return false;
    t[n] = '\0';
    return symlink(t, to.c_str()) == 0;
  }
  if (S_ISFIFO(st.st_mode)) return mkfifo(to.c_str(), mode) == 0;
  std::string data;
  if (!vts_read(from, data)) return false;
  return vts_write(to, data, mode) && chmod(to.c_str(), mode) == 0;
}

// A tree as text, for comparing before and after: relative path (the top
// is ".") -> "d 700", "f 600 <content>", "l -> <target>", "o 600" (other).
using VtsTree = std::map<std::string, std::string>;

inline void vts_snapshot_into(const std::string &base, const std::string &rel, VtsTree &out) {
  std::string path = rel.empty() ? base : base + "/" + rel;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  char mode[16];
  snprintf(mode, sizeof mode, "%o", (unsigned)(st.st_mode & 07777));
  if (S_ISDIR(st.st_mode)) {
    out[rel.empty() ? "." : rel] = std::string("d ") + mode;
    for (const std::string &n : vts_list(path))
      vts_snapshot_into(base, rel.empty() ? n : rel + "/" + n, out);
  } else if (S_ISLNK(st.st_mode)) {
    char t[4096];
    ssize_t n = readlink(path.c_str(), t, sizeof t - 1);
    t[n < 0 ? 0 : n] = '\0';
    out[rel] = std::string("l -> ") + t;
  } else if (S_ISREG(st.st_mode)) {
    out[rel] = std::string("f ") + mode + " " + vts_slurp(path);
  } else {
    out[rel] = std::string("o ") + mode;
  }
}

inline VtsTree vts_snapshot(const std::string &base) {
  VtsTree t;
  vts_snapshot_into(base, "", t);
  return t;
}

// Open descriptors of this process, to catch a leaked handle.
inline int vts_open_fds() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
  }
  return n - 1;  // the listing's own descriptor
}
