// The operator tool's reading of the data tree (see tree.h).
#include "tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool vh_ends_with(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool vh_digits(const std::string &s, size_t from, size_t to, bool allow_sign) {
  if (allow_sign && from < to && s[from] == '-') from++;
  if (from >= to) return false;
  for (size_t i = from; i < to; i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

bool vh_id_safe(const std::string &s) {
  if (s.empty() || s.size() > 64) return false;
  for (unsigned char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool vh_item_file_name(const std::string &s) {
  return !s.empty() && s[0] != '.' && s.size() >= 6 && vh_ends_with(s, ".json") &&
         s.find(".tmp.") == std::string::npos;
}
bool vh_trash_file_name(const std::string &s) {
  return !s.empty() && s[0] != '.' && s.size() >= 6 && vh_ends_with(s, ".json");
}

VhTempKind vh_temp_kind(const std::string &s, size_t *target_len) {
  size_t at = s.rfind(".tmp.");
  while (at != std::string::npos) {
    if (at > 0) {
      // Dot-separated number groups after the mark: one (a first try), two
      // (a parked move source) or three (a retried write).
      size_t p = at + 5, d1 = s.find('.', p);
      size_t d2 = d1 == std::string::npos ? d1 : s.find('.', d1 + 1);
      size_t d3 = d2 == std::string::npos ? d2 : s.find('.', d2 + 1);
      VhTempKind kind = VH_TEMP_NONE;
      if (d1 == std::string::npos) {
        if (vh_digits(s, p, s.size(), true)) kind = VH_TEMP_WRITE;
      } else if (d2 == std::string::npos) {
        if (vh_digits(s, p, d1, false) && vh_digits(s, d1 + 1, s.size(), false))
          kind = VH_TEMP_PARKED;
      } else if (d3 == std::string::npos) {
        if (vh_digits(s, p, d1, true) && vh_digits(s, d1 + 1, d2, false) &&
            vh_digits(s, d2 + 1, s.size(), false))
          kind = VH_TEMP_RETRY;
      }
      if (kind != VH_TEMP_NONE) {
        if (target_len) *target_len = at;
        return kind;
      }
    }
    if (at == 0) break;
    at = s.rfind(".tmp.", at - 1);
  }
  return VH_TEMP_NONE;
}

bool vh_list(const std::string &dir, std::vector<std::string> &out) {
  out.clear();
  DIR *d = opendir(dir.c_str());
  if (!d) return false;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    out.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return true;
}

const char *vh_kind_name(mode_t m) {
  if (S_ISDIR(m)) return "a directory";
  if (S_ISREG(m)) return "a regular file";
  if (S_ISLNK(m)) return "a symbolic link";
  if (S_ISFIFO(m)) return "a FIFO";
  if (S_ISSOCK(m)) return "a socket";
  return "a device";
}

bool vh_read_whole(const std::string &path, std::string &out, std::string &why) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
    close(fd);
    return false;
  }
  out.clear();
  out.reserve((size_t)st.st_size);
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, (size_t)n);
  }
  close(fd);
  return true;
}

bool vh_profile_email(yyjson_val *root, std::string &email) {
  yyjson_val *v = yyjson_obj_get(root, "email");
  if (!yyjson_is_str(v)) return false;
  email.assign(yyjson_get_str(v), yyjson_get_len(v));
  return true;
}
