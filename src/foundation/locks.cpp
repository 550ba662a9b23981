// Per-account locks (see locks.h).
#include "locks.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>

#include "files.h"
#include "layout.h"
#include "text.h"

namespace {
// A holder keeps a lock for a few system calls; a lock still taken after
// this long belongs to a holder that hangs (a host cut off from the file
// system), and the call fails rather than hang with it.
constexpr long VS_LOCK_WAIT_US = 5 * 1000 * 1000;
constexpr long VS_LOCK_POLL_MAX_US = 5000;
}  // namespace

int vs_lock_account(const char *root, const char *account_dir, VsLockRange what, VsFd &held) {
  char path[VS_FILE_PATH];
  if (vs_path(path, sizeof path, "%s/" VS_LOCK_NAME, account_dir) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  held.reset(vs_open_beneath(root, path, O_RDWR | O_CREAT, 0600));
  if (!held.ok()) return -1;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = (off_t)what;
  fl.l_len = 1;
  // Polled rather than F_OFD_SETLKW, which could wait for ever.
  for (long waited = 0, step = 100;; waited += step, step = step * 2 > VS_LOCK_POLL_MAX_US ? VS_LOCK_POLL_MAX_US : step * 2) {
    if (fcntl(held.fd, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) break;
    if (waited >= VS_LOCK_WAIT_US) {
      errno = EAGAIN;
      break;
    }
    struct timespec ts = {0, step * 1000};
    nanosleep(&ts, nullptr);
  }
  int e = errno;
  held.reset();
  errno = e;
  return -1;
}
