// Locks (see locks.h). F_OFD_SETLKW would wait without limit, so a wait is
// a loop of F_OFD_SETLK tries with a growing pause: a lock given up by its
// holder is had within a few milliseconds, and one that is never given up
// fails the waiter after the bound.
#include "locks.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>

#include "files.h"
#include "swap.h"
#include "layout.h"
#include "results.h"
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
static int vs_lock_range(int fd, off_t start, off_t len, int wait_ms, bool shared = false) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = shared ? F_RDLCK : F_WRLCK;
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

// Whether the open lock file fd is the file now at path.
static bool vs_lock_live(int fd, const char *path) {
  struct stat held, now;
  if (fstat(fd, &held) != 0) return false;
  if (stat(path, &now) != 0) return false;
  return held.st_ino == now.st_ino && held.st_dev == now.st_dev;
}

int vs_lock_account(const char *root, const char *account_dir, VsLockRange what, VsFd &held,
                    bool shared) {
  enum { VS_LOCK_ROUNDS = 16 };  // each lost round is a whole replacement
  char path[VS_FILE_PATH];
  if (vs_path(path, sizeof path, "%s/" VS_LOCK_NAME, account_dir) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  off_t start = what == VS_LOCK_WHOLE ? 0 : (off_t)what, len = what == VS_LOCK_WHOLE ? 0 : 1;
  // A shared file system's client answers ESTALE for a directory that
  // another host has renamed or removed (a deletion, a replacement) while
  // its own view still holds the old name, until it looks again; it is
  // asked again within the reads' bound, and then answers with the account
  // or with its absence, which the caller reports as such.
  VsRetry stale;
  for (int round = 0;; round++) {
    held.reset(vs_open_beneath(root, path, O_RDWR | O_CREAT, 0600));
    if (!held.ok()) {
      if (errno == ENOENT && round < VS_LOCK_ROUNDS && vs_swap_settle(root, path)) continue;
      if (errno == ESTALE && vs_fs_shared() && vs_retry_pause(stale)) {
        round--;
        continue;
      }
      return -1;
    }
    if (vs_lock_range(held.fd, start, len, vs_lock_wait_ms(), shared) != 0) {
      int e = errno;
      held.reset();
      errno = e;
      return -1;
    }
    errno = 0;
    if (vs_lock_live(held.fd, path)) return 0;
    int e = errno;  // the look at the name failed, or it names another file
    vs_lock_drop(held);
    if (e == ESTALE && vs_fs_shared() && vs_retry_pause(stale)) {
      round--;
      continue;
    }
    if (round >= VS_LOCK_ROUNDS) {
      errno = EAGAIN;
      return -1;
    }
    // Swapped out while we waited; a swap half-done is finished first.
    errno = ENOENT;
    vs_swap_settle(root, path);
  }
}

int vs_lock_writer(const char *root, const char *account_dir, VsLockRange what, VsFd &held,
                   const char *prefix, bool shared) {
  if (vs_lock_account(root, account_dir, what, held, shared) == 0) return 0;
  if (errno == ENOENT || errno == ENOTDIR) return 0;
  vs_error_errno(errno, "%s: lock failed: %s/" VS_LOCK_NAME " (%s)", prefix, account_dir,
                 errno == EAGAIN ? "held by another writer too long" : strerror(errno));
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
