// Locks (see locks.h). F_OFD_SETLKW would wait without limit, so a wait is
// a loop of F_OFD_SETLK tries with a growing pause: a lock given up by its
// holder is had within a few milliseconds, and one that is never given up
// fails the waiter after the bound.
#include "locks.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "files.h"
#include "layout.h"
#include "text.h"

static std::atomic<int> s_lock_wait_ms{VS_LOCK_WAIT_MS};

int vs_lock_wait_ms(void) { return s_lock_wait_ms.load(std::memory_order_relaxed); }
void vs_lock_set_wait_ms(int ms) { s_lock_wait_ms.store(ms, std::memory_order_relaxed); }

static long long vs_now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Locks len bytes from start (len 0: to the end of any file) of fd.
static int vs_lock_range(int fd, off_t start, off_t len, int wait_ms) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  long long deadline = vs_now_ms() + (wait_ms > 0 ? wait_ms : 0);
  long pause_us = 100;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return -1;  // OFD locks report a conflict so, never EACCES
    if (vs_now_ms() >= deadline) {
      errno = EAGAIN;
      return -1;
    }
    struct timespec ts = {0, pause_us * 1000};
    nanosleep(&ts, nullptr);
    if (pause_us < 5000) pause_us *= 2;
  }
}

int vs_lock_take(int fd, int wait_ms) { return vs_lock_range(fd, 0, 0, wait_ms); }

int vs_lock_account(const char *root, const char *account_dir, VsLockRange what, VsFd &held) {
  char path[VS_FILE_PATH];
  if (vs_path(path, sizeof path, "%s/" VS_LOCK_NAME, account_dir) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  held.reset(vs_open_beneath(root, path, O_RDWR | O_CREAT, 0600));
  if (!held.ok()) return -1;
  if (vs_lock_range(held.fd, (off_t)what, 1, vs_lock_wait_ms()) == 0) return 0;
  int e = errno;
  held.reset();
  errno = e;
  return -1;
}

void vs_lock_drop(VsFd &fd) {
  if (!fd.ok()) return;
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fcntl(fd.fd, F_OFD_SETLK, &fl);
  fd.reset();
}
