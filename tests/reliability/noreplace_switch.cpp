// renameat2 for the test binary (see noreplace_switch.h).
#include "noreplace_switch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
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
