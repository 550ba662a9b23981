// Helpers shared by the reliability tests: scratch directories, a snapshot
// of a directory tree (kind, permission bits and content of every entry)
// with normalisation of generated identifiers and times, file helpers that
// bypass the library, and JSON helpers for checking documents.
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
#include <regex>
#include <string>
#include <vector>

#include <yyjson.h>

#include "keldrune-vault-storage.h"

// ---- scratch space --------------------------------------------------------
// A fresh directory under /dev/shm when it is there (fsync is cheap on
// tmpfs, and crash consistency does not depend on the medium), else /tmp.
// VS_REL_TMP overrides the parent.
inline std::string vr_scratch(const char *tag) {
  const char *env = getenv("VS_REL_TMP");
  std::string parent = env && *env ? env : "";
  if (parent.empty()) {
    struct stat st;
    parent = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
                 ? "/dev/shm"
                 : "/tmp";
  }
  std::string t = parent + "/vs-" + tag + "-XXXXXX";
  std::vector<char> buf(t.begin(), t.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return "";
  return buf.data();
}

inline void vr_rm_rf(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR *d = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
      closedir(d);
      for (auto &n : names) vr_rm_rf(path + "/" + n);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// ---- plain file helpers ----------------------------------------------------
inline bool vr_read(const std::string &path, std::string &out) {
  out.clear();
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  close(fd);
  return n == 0;
}

inline std::string vr_slurp(const std::string &path) {
  std::string s;
  return vr_read(path, s) ? s : std::string("<missing>");
}

inline bool vr_write(const std::string &path, const std::string &data, mode_t mode = 0600) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  bool ok = write(fd, data.data(), data.size()) == (ssize_t)data.size();
  close(fd);
  return ok;
}

inline bool vr_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> vr_list(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

// Copies a tree (directories, regular files, symlinks) keeping modes.
inline bool vr_copy_tree(const std::string &from, const std::string &to) {
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    if (mkdir(to.c_str(), st.st_mode & 07777) != 0) return false;
    for (auto &n : vr_list(from))
      if (!vr_copy_tree(from + "/" + n, to + "/" + n)) return false;
    return chmod(to.c_str(), st.st_mode & 07777) == 0;
  }
  if (S_ISLNK(st.st_mode)) {
    char t[4096];
    ssize_t n = readlink(from.c_str(), t, sizeof t - 1);
    if (n < 0) return false;
    t[n] = '\0';
    return symlink(t, to.c_str()) == 0;
  }
  if (S_ISFIFO(st.st_mode)) return mkfifo(to.c_str(), st.st_mode & 07777) == 0;
  std::string data;
  if (!vr_read(from, data)) return false;
  return vr_write(to, data, st.st_mode & 07777) && chmod(to.c_str(), st.st_mode & 07777) == 0;
}

// Open descriptors of this process (to catch a leaked handle).
inline int vr_open_fds() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
  }
  return n - 1;  // the listing's own descriptor
}

// ---- tree snapshots ------------------------------------------------------------
// Relative path -> "d 700", "f 600 <content>", "l -> target", "p 600".
using VrTree = std::map<std::string, std::string>;

inline void vr_snap_into(const std::string &base, const std::string &rel, VrTree &out) {
  std::string path = rel.empty() ? base : base + "/" + rel;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  char mode[16];
  snprintf(mode, sizeof mode, "%o", (unsigned)(st.st_mode & 07777));
  if (S_ISDIR(st.st_mode)) {
    out[rel.empty() ? "." : rel] = std::string("d ") + mode;
    for (auto &n : vr_list(path)) vr_snap_into(base, rel.empty() ? n : rel + "/" + n, out);
  } else if (S_ISLNK(st.st_mode)) {
    char t[4096];
    ssize_t n = readlink(path.c_str(), t, sizeof t - 1);
    t[n < 0 ? 0 : n] = '\0';
    out[rel] = std::string("l -> ") + t;
  } else if (S_ISREG(st.st_mode)) {
    out[rel] = std::string("f ") + mode + " " + vr_slurp(path);
  } else {
    out[rel] = std::string("o ") + mode;
  }
}

inline VrTree vr_snapshot(const std::string &base) {
  VrTree t;
  vr_snap_into(base, "", t);
  return t;
}

// Replaces generated identifiers and creation times so that two runs of
// the same call compare equal.
inline std::string vr_normalize(const std::string &s) {
  static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  static const std::regex when("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  return std::regex_replace(std::regex_replace(s, uuid, "<uuid>"), when, "<time>");
}

inline VrTree vr_normalized(const VrTree &t) {
  VrTree out;
  for (auto &kv : t) out[vr_normalize(kv.first)] = vr_normalize(kv.second);
  return out;
}

// Human-readable difference of two trees (empty when equal).
inline std::string vr_tree_diff(const VrTree &want, const VrTree &got) {
  std::string d;
  auto cut = [](const std::string &s) { return s.size() > 160 ? s.substr(0, 160) + "..." : s; };
  for (auto &kv : want) {
    auto it = got.find(kv.first);
    if (it == got.end()) d += "  missing " + kv.first + "\n";
    else if (it->second != kv.second)
      d += "  changed " + kv.first + ": " + cut(kv.second) + " => " + cut(it->second) + "\n";
  }
  for (auto &kv : got)
    if (!want.count(kv.first)) d += "  extra   " + kv.first + ": " + cut(kv.second) + "\n";
  return d;
}

inline std::vector<std::string> vr_tmp_names(const VrTree &t) {
  std::vector<std::string> out;
  for (auto &kv : t)
    if (kv.first.find(".tmp.") != std::string::npos) out.push_back(kv.first);
  return out;
}

// ---- JSON helpers ------------------------------------------------------------------
// Strict parse; NULL when not JSON.
inline yyjson_doc *vr_parse(const std::string &s) {
  return yyjson_read(s.data(), s.size(), 0);
}

inline bool vr_is_json(const std::string &s) {
  yyjson_doc *d = vr_parse(s);
  yyjson_doc_free(d);
  return d != nullptr;
}

// Minified form of a JSON text ("" when it is not JSON).
inline std::string vr_minify(const std::string &s) {
  yyjson_doc *d = vr_parse(s);
  if (!d) return "";
  size_t n = 0;
  char *w = yyjson_write(d, 0, &n);
  yyjson_doc_free(d);
  std::string out = w ? std::string(w, n) : "";
  free(w);
  return out;
}

inline std::string vr_val_text(yyjson_val *v) {
  size_t n = 0;
  char *w = yyjson_val_write(v, 0, &n);
  std::string out = w ? std::string(w, n) : "";
  free(w);
  return out;
}

// Text of the JSON string s, quoted and escaped as the library's writer does.
inline std::string vr_json_string(const std::string &s) {
  yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *v = yyjson_mut_strncpy(d, s.data(), s.size());
  yyjson_mut_doc_set_root(d, v);
  size_t n = 0;
  char *w = yyjson_mut_write(d, 0, &n);
  std::string out = w ? std::string(w, n) : "";
  free(w);
  yyjson_mut_doc_free(d);
  return out;
}

inline bool vr_is_uuid(const std::string &s) {
  static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  return std::regex_match(s, uuid);
}

inline std::string vr_last_error() { return vault_storage_last_error(); }
