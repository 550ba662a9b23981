// The operator tool's walk over the data tree (see tree.h).
#include "tree.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "foundation/email_index.h"
#include "foundation/files.h"
#include "foundation/moves.h"

bool vh_list(const std::string &root, const std::string &dir, std::vector<std::string> &out) {
  out.clear();
  VsList list;
  if (vs_list_open(list, root.c_str(), dir.c_str()) != 0) return false;
  errno = 0;
  while (const char *n = vs_list_next(list))
    if (strcmp(n, ".") != 0 && strcmp(n, "..") != 0) out.emplace_back(n);
  if (errno != 0) return false;
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

bool vh_read_whole(const std::string &root, const std::string &path, std::string &out,
                   std::string &why) {
  char *text = nullptr;
  uint64_t len = 0;
  if (vs_read_file(root.c_str(), path.c_str(), &text, &len) != 0) {
    // The library's reader refuses anything but a regular file with EINVAL.
    why = errno == EINVAL ? "not a regular file" : strerror(errno);
    return false;
  }
  VsText hold(text);
  out.assign(text, (size_t)len);
  return true;
}

bool vh_profile_email(yyjson_val *root, std::string &email) {
  const char *e = nullptr;
  if (vs_profile_email(root, &e) != 1) return false;
  email = e;
  return true;
}

VhLiveTwins::VhLiveTwins(const std::string &root, const char *trash_dir, const char *live_dir) {
  if (!live_dir) return;
  trash.reset(vs_open_beneath(root.c_str(), trash_dir, O_RDONLY | O_DIRECTORY, 0));
  live.reset(vs_open_beneath(root.c_str(), live_dir, O_RDONLY | O_DIRECTORY, 0));
}

bool VhLiveTwins::operator()(const char *name) const {
  return trash.ok() && vs_live_twin(trash.fd, live.fd, name);
}
