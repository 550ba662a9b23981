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

int vs_lock_take_below(int parent_fd, const char *name, bool create, int wait_ms, VsFd &held) {
  char rel[VS_ENTRY_PATH];
  if (vs_path(rel, sizeof rel, "%s/" VS_LOCK_NAME, name) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  held.reset(openat(parent_fd, rel, O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0), 0600));
  if (!held.ok()) return -1;
  return vs_lock_take(held.fd, wait_ms);
}

// Whether the open lock file fd, opened in the account directory dir_fd,
// is the file now at path, in the account's directory. The name answers
// exactly on a local file system; a shared one's client may answer from
// its caches, behind the server or even going back, so there the server
// is asked whether dir_fd is retired (vs_swap_retired) instead. (A live
// directory's lock file is never replaced.)
static bool vs_lock_live(int fd, int dir_fd, const char *path, const char *root,
                         const char *account_dir) {
  if (!vs_fs_shared()) {
    struct stat held, now;
    if (fstat(fd, &held) != 0) return false;
    if (stat(path, &now) != 0) return false;
    return held.st_ino == now.st_ino && held.st_dev == now.st_dev;
  }
  int retired = vs_swap_retired(root, dir_fd, account_dir);
  if (retired > 0) errno = 0;
  return retired == 0;
}

int vs_lock_account(const char *root, const char *account_dir, VsLockRange what, VsFd &held,
                    bool shared, VsPin *pin) {
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
  // or with its absence, which the caller reports as such. A directory
  // the server says is retired is looked up again the same way, since this
  // client's view of the name may lag the server's for about a second.
  VsRetry stale;
  for (int round = 0;; round++) {
    // On a local disk the lock file is opened by its path (the name answers
    // exactly). On a shared file system the directory is opened first, for
    // reading, so that the server is asked about the name (swap.cpp,
    // vs_dir_at), and the lock file in it, so that the liveness check
    // below asks about the directory whose lock is held.
    const bool on_shared = vs_fs_shared();
    VsFd dir;
    if (!on_shared) {
      held.reset(vs_open_beneath(root, path, O_RDWR | O_CREAT, 0600));
    } else {
      dir.reset(vs_open_beneath(root, account_dir, O_RDONLY | O_DIRECTORY, 0));
      if (dir.ok()) held.reset(openat(dir.fd, VS_LOCK_NAME, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    }
    if (!held.ok()) {
      // No lock file in a retired directory is this client's stale view
      // (the name still leads to a directory another host swapped out or
      // removed), not a missing account: asked again like ESTALE. Taken
      // for a missing account, the writer would go on unlocked. A swap met
      // half-done is finished (or awaited, on a shared file system, whose
      // client may lag the one that finished it) and the lock tried again.
      if (dir.ok() && errno == ENOENT && vs_swap_retired(root, dir.fd, account_dir) == 1)
        errno = ESTALE;
      if (errno == ENOENT && round < VS_LOCK_ROUNDS && vs_swap_settle(root, path)) {
        if (on_shared) vs_retry_pause(stale);
        continue;
      }
      if (errno == ESTALE && on_shared && vs_retry_pause(stale)) {
        round--;
        continue;
      }
      return -1;
    }
    if (vs_lock_range(held.fd, start, len, vs_lock_wait_ms(), shared) != 0) {
      int e = errno;
      held.reset();
      // A shared file system's server answers a lock of a file it no
      // longer has (the lock file of a directory removed meanwhile) with
      // ESTALE or ENOENT: the name is looked at again. It is never the
      // account's absence, which only the server's listing tells.
      if ((e == ESTALE || e == ENOENT) && on_shared && vs_retry_pause(stale)) {
        round--;
        continue;
      }
      errno = e;
      return -1;
    }
    errno = 0;
    if (vs_lock_live(held.fd, dir.fd, path, root, account_dir)) {
      if (pin && on_shared) {
        vs_pin_set(*pin, dir.fd, account_dir);
        dir.fd = -1;
      }
      return 0;
    }
    int e = errno;  // the look failed, or it found another file or a retired directory
    vs_lock_drop(held);
    if ((e == ESTALE || e == 0) && on_shared && vs_retry_pause(stale)) {
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
                   const char *prefix, bool shared, VsPin *pin) {
  if (vs_lock_account(root, account_dir, what, held, shared, pin) == 0) return 0;
  if (errno == ENOENT || errno == ENOTDIR) {
    // A miss on a local disk is exact, and the writer's own write then
    // fails as it would. On a shared file system the server has confirmed
    // the miss, but this client may still lead the writer's paths to a
    // directory being removed: it writes nothing without the lock.
    if (!vs_fs_shared()) return 0;
    vs_error_code(VAULT_NOT_FOUND, errno, "%s: not found", prefix);
    return -1;
  }
  vs_error_errno(errno, "%s: lock failed: %s/" VS_LOCK_NAME " (%s)", prefix, account_dir,
                 errno == EAGAIN ? "held by another writer too long" : strerror(errno));
  return -1;
}

int vs_lock_whole_held(int dir_fd) {
  VsFd file(openat(dir_fd, VS_LOCK_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.ok()) return -1;
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_RDLCK;  // item writers share their byte; only a whole lock conflicts
  fl.l_whence = SEEK_SET;
  fl.l_start = VS_LOCK_WHOLE;
  fl.l_len = 0;
  if (fcntl(file.fd, F_OFD_GETLK, &fl) != 0) return -1;
  return fl.l_type != F_UNLCK;
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
