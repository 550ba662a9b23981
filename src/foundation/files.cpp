// File primitives: one-level directory creation, the atomic whole-file write
// (temporary file, fsync, rename, directory fsync), the whole-file read, and
// the two renames (replacing, and never replacing).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "vs_internal.h"

static unsigned s_tmp_seq;  // makes retried temporary names unique per process

void vs_sync_dir(const char *dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

void vs_sync_parent(const char *path) {
  char dir[VS_ENTRY_PATH];
  const char *slash = strrchr(path, '/');
  if (!slash) {
    vs_sync_dir(".");
    return;
  }
  size_t n = (size_t)(slash - path);
  if (n == 0) n = 1;  // "/name": the parent is "/"
  if (n >= sizeof dir) return;
  memcpy(dir, path, n);
  dir[n] = '\0';
  vs_sync_dir(dir);
}

// Nothing inside the data root is reached through a symbolic link: a link
// planted in place of "users", an account, "ciphers" or "trash" could
// otherwise send reads and writes outside the tree. Each directory between
// the root and the final name is checked with lstat; the final name itself
// is opened with O_NOFOLLOW (or renamed/removed, which never follow it).
// Paths outside the root (none in normal use) are not checked.
int vs_check_beneath(const char *path) {
  if (!s_root) return 0;
  size_t rlen = strlen(s_root);
  if (strncmp(path, s_root, rlen) != 0 || path[rlen] != '/') return 0;
  char prefix[VS_ENTRY_PATH];
  for (const char *p = path + rlen + 1; (p = strchr(p, '/')) != nullptr; p++) {
    size_t n = (size_t)(p - path);
    if (n >= sizeof prefix) return 0;  // longer than any path we form
    memcpy(prefix, path, n);
    prefix[n] = '\0';
    struct stat st;
    if (lstat(prefix, &st) != 0) return 0;  // nothing there to follow
    if (S_ISLNK(st.st_mode)) {
      errno = ELOOP;
      return -1;
    }
  }
  return 0;
}

DIR *vs_opendir(const char *path) {
  if (vs_check_beneath(path) != 0) return nullptr;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR *d = fdopendir(fd);
  if (!d) {
    int e = errno;
    close(fd);
    errno = e;
  }
  return d;
}

int vs_mkdir(const char *path) {
  if (vs_check_beneath(path) != 0) {
    vs_error("mkdir failed: %s (%s)", path, strerror(errno));
    return -1;
  }
  if (access(path, F_OK) == 0) return 0;
  if (mkdir(path, 0700) == 0) {
    vs_sync_parent(path);
    return 0;
  }
  if (errno == EEXIST) return 0;
  vs_error("mkdir failed: %s (%s)", path, strerror(errno));
  return -1;
}

int vs_rename_replace(const char *from, const char *to) {
  return rename(from, to) == 0 ? 0 : -1;
}

// Second half of the link + unlink move. Another host may replace or remove
// the source between the two steps (shared file systems are where this
// runs), so the source is first renamed aside atomically and removed only
// when it is the file just linked; a newer file caught that way is put back
// (unless an even newer one took its place). A source already gone means
// the move has in effect happened.
static int vs_drop_linked_source(const char *from, const char *to) {
  char aside[VS_TMP_PATH];
  if (vs_path(aside, sizeof aside, "%s.tmp.%ld.%u", from, (long)getpid(), ++s_tmp_seq) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (rename(from, aside) != 0) return errno == ENOENT ? 0 : -1;
  struct stat sa, st;
  if (lstat(aside, &sa) != 0 || lstat(to, &st) != 0) {
    int e = errno;
    rename(aside, from);
    errno = e;
    return -1;
  }
  bool same = sa.st_dev == st.st_dev && sa.st_ino == st.st_ino;
  if (!same && link(aside, from) != 0 && errno != EEXIST) {
    int e = errno;
    rename(aside, from);
    errno = e;
    return -1;
  }
  if (unlink(aside) != 0) {
    // Undo: the caller then removes the new name, leaving the tree as it was.
    int e = errno;
    rename(aside, from);
    errno = e;
    return -1;
  }
  return 0;
}

int vs_rename_noreplace(const char *from, const char *to) {
  if (vs_check_beneath(from) != 0 || vs_check_beneath(to) != 0) return -1;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    // The file system refuses the flag: link() fails on an existing name,
    // which gives the same never-replace guarantee.
    if (link(from, to) != 0) return -1;
    if (vs_drop_linked_source(from, to) != 0) {
      int e = errno;
      unlink(to);  // leave exactly one name, as before the call
      errno = e;
      return -1;
    }
  }
  vs_sync_parent(from);
  vs_sync_parent(to);
  return 0;
}

// Opens a fresh temporary file next to the target. The first choice is
// "<target>.tmp.<time>"; when that exists (a concurrent writer in the same
// second, or a crash leftover) a further unique suffix is appended. An
// existing file is never truncated, reused or followed.
static int vs_open_temp(const char *path, char *tmp, size_t size) {
  if (vs_check_beneath(path) != 0) {
    vs_error("open failed: %s (%s)", path, strerror(errno));
    return -1;
  }
  int now = (int)(uint32_t)(uint64_t)time(nullptr);
  for (int attempt = 0; attempt < 64; attempt++) {
    int r = attempt == 0
                ? vs_path(tmp, size, "%s.tmp.%d", path, now)
                : vs_path(tmp, size, "%s.tmp.%d.%ld.%u", path, now,
                          (long)getpid(), ++s_tmp_seq);
    if (r != 0) {
      errno = ENAMETOOLONG;
      vs_error("open failed: %s.tmp.%d (%s)", path, now, strerror(errno));
      return -1;
    }
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  vs_error("open failed: %s (%s)", tmp, strerror(errno));
  return -1;
}

int vs_atomic_write(const char *path, const void *data, uint64_t len) {
  char tmp[VS_TMP_PATH];
  int fd = vs_open_temp(path, tmp, sizeof tmp);
  if (fd < 0) return -1;

  const char *p = static_cast<const char *>(data);
  uint64_t left = len;
  while (left > 0) {
    ssize_t n = write(fd, p, left > (1u << 30) ? (1u << 30) : (size_t)left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n == 0 ? EIO : errno;
      close(fd);
      unlink(tmp);
      vs_error("write failed: %s (%s)", path, strerror(e));
      return -1;
    }
    p += n;
    left -= (uint64_t)n;
  }
  // The data must be on stable storage before the rename makes it visible:
  // otherwise a power loss could leave the new name pointing at nothing.
  if (fsync(fd) != 0) {
    int e = errno;
    close(fd);
    unlink(tmp);
    vs_error("write failed: %s (%s)", path, strerror(e));
    return -1;
  }
  if (close(fd) != 0) {
    unlink(tmp);
    vs_error("close failed: %s", path);
    return -1;
  }
  if (rename(tmp, path) != 0) {
    unlink(tmp);
    vs_error("rename failed: %s -> %s", tmp, path);
    return -1;
  }
  vs_sync_parent(path);
  return 0;
}

// On failure errno tells why (ENOENT: nothing there) and a message is
// recorded on every path, so a caller that fails with the read's message
// never reports a stale one.
int vs_read_file(const char *path, char **out, uint64_t *len_out) {
  // O_NONBLOCK: a FIFO planted under a document's name must not hang us.
  int fd = vs_check_beneath(path) == 0
               ? open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)
               : -1;
  if (fd < 0) {
    int e = errno;
    vs_error("read failed: %s (%s)", path, strerror(e));
    errno = e;  // callers tell a missing file (ENOENT) from other failures
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    vs_error("read failed: %s (%s)", path, strerror(e));
    errno = e;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    vs_error("read failed: %s (%s)", path, strerror(e));
    errno = e;
    return -1;
  }
  if (st.st_size < 0 || st.st_size > INT32_MAX) {  // 2 GiB and more: refused
    close(fd);
    vs_error("read failed: %s (%s)", path, strerror(EFBIG));
    errno = EFBIG;
    return -1;
  }
  size_t size = (size_t)st.st_size;
  char *buf = static_cast<char *>(malloc(size + 1));
  if (!buf) {
    close(fd);
    vs_error("out of memory");
    errno = ENOMEM;
    return -1;
  }
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buf + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // A document cut by an I/O error must never pass for the whole one.
      int e = errno;
      free(buf);
      close(fd);
      vs_error("read failed: %s (%s)", path, strerror(e));
      errno = e;
      return -1;
    }
    if (n == 0) break;  // the file shrank: what was read is the document
    got += (size_t)n;
  }
  close(fd);
  buf[got] = '\0';
  *out = buf;
  *len_out = got;
  return 0;
}
