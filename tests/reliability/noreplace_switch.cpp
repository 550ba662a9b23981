// renameat2 for the test binary (see noreplace_switch.h).
#include "noreplace_switch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

static bool s_refuse;

void vr_refuse_noreplace(bool on) { s_refuse = on; }
bool vr_refusing_noreplace(void) { return s_refuse; }

extern "C" int renameat2(int olddir, const char *oldpath, int newdir, const char *newpath,
                         unsigned int flags) noexcept {
  if (s_refuse && (flags & RENAME_NOREPLACE)) {
    errno = EINVAL;
    return -1;
  }
  return (int)syscall(SYS_renameat2, olddir, oldpath, newdir, newpath, flags);
}

bool vr_fs_refuses_noreplace(const char *dir) {
  std::string from = std::string(dir) + "/.noreplace-probe", to = from + ".moved";
  int fd = open(from.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  close(fd);
  long rc = syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  bool refused = rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP);
  unlink(from.c_str());
  unlink(to.c_str());
  return refused;
}
