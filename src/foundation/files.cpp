// File primitives: one-level directory creation, the atomic whole-file write
// (temporary file, fsync, rename, directory fsync), the whole-file read, and
// the two renames (replacing, and never replacing).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
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

int vs_open_beneath(const char *path, int flags, mode_t mode) {
  // One openat2 that refuses links on the whole path covers the usual tree
  // at the cost of a plain open. Where it says ELOOP the link may be in the
  // root's own path, which is the operator's business: then the walk below
  // the root decides. Kernels or sandboxes without openat2 take the walk too.
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = (uint64_t)(unsigned)(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_NO_SYMLINKS;
  int fd = (int)syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd >= 0) return fd;
  if (errno != ELOOP && errno != ENOSYS && errno != EPERM && errno != E2BIG) return -1;
  if (vs_check_beneath(path) != 0) return -1;
  return open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

int vs_list_open(VsList &list, const char *path) {
  list.pos = list.end = 0;
  list.fd = vs_open_beneath(path, O_RDONLY | O_DIRECTORY, 0);
  return list.fd < 0 ? -1 : 0;
}

const char *vs_list_next(VsList &list) {
  for (;;) {
    if (list.pos >= list.end) {
      ssize_t n = getdents64(list.fd, list.buf, sizeof list.buf);
      if (n <= 0) {
        if (n == 0) errno = 0;
        return nullptr;
      }
      list.pos = 0;
      list.end = (size_t)n;
    }
    struct dirent64 *e = reinterpret_cast<struct dirent64 *>(list.buf + list.pos);
    list.pos += e->d_reclen;
    return e->d_name;
  }
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

// A file's directory, opened link-safe, and its name within it. The name
// points into the path.
struct VsDirName {
  int fd = -1;
  const char *name = nullptr;
  VsDirName() = default;
  VsDirName(const VsDirName &) = delete;
  VsDirName &operator=(const VsDirName &) = delete;
  ~VsDirName() { if (fd >= 0) close(fd); }
};

static int vs_open_parent(const char *path, VsDirName &out) {
  const char *slash = strrchr(path, '/');
  char dir[VS_ENTRY_PATH];
  if (!slash) {
    memcpy(dir, ".", 2);
    out.name = path;
  } else {
    size_t n = slash == path ? 1 : (size_t)(slash - path);  // "/name": "/"
    if (n >= sizeof dir) {
      errno = ENAMETOOLONG;
      return -1;
    }
    memcpy(dir, path, n);
    dir[n] = '\0';
    out.name = slash + 1;
  }
  out.fd = vs_open_beneath(dir, O_RDONLY | O_DIRECTORY, 0);
  return out.fd < 0 ? -1 : 0;
}

// Second half of the link + unlink move. Another host may replace or remove
// the source between the two steps (shared file systems are where this
// runs), so the source is first renamed aside atomically and removed only
// when it is the file just linked; a newer file caught that way is put back
// (unless an even newer one took its place). A source already gone means
// the move has in effect happened. Any failing step is undone.
static int vs_drop_linked_source(const VsDirName &from, const VsDirName &to) {
  char aside[VS_TMP_PATH];
  if (vs_path(aside, sizeof aside, "%s.tmp.%ld.%u", from.name, (long)getpid(), ++s_tmp_seq) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (renameat(from.fd, from.name, from.fd, aside) != 0) return errno == ENOENT ? 0 : -1;
  struct stat sa, st;
  if (fstatat(from.fd, aside, &sa, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstatat(to.fd, to.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    int e = errno;
    renameat(from.fd, aside, from.fd, from.name);
    errno = e;
    return -1;
  }
  bool same = sa.st_dev == st.st_dev && sa.st_ino == st.st_ino;
  if (!same && linkat(from.fd, aside, from.fd, from.name, 0) != 0 && errno != EEXIST) {
    int e = errno;
    renameat(from.fd, aside, from.fd, from.name);
    errno = e;
    return -1;
  }
  if (unlinkat(from.fd, aside, 0) != 0) {
    // Undo: the caller then removes the new name, leaving the tree as it was.
    int e = errno;
    renameat(from.fd, aside, from.fd, from.name);
    errno = e;
    return -1;
  }
  return 0;
}

int vs_rename_noreplace(const char *from, const char *to) {
  VsDirName src, dst;
  if (vs_open_parent(from, src) != 0 || vs_open_parent(to, dst) != 0) return -1;
  if (renameat2(src.fd, src.name, dst.fd, dst.name, RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    // The file system refuses the flag: link() fails on an existing name,
    // which gives the same never-replace guarantee.
    if (linkat(src.fd, src.name, dst.fd, dst.name, 0) != 0) return -1;
    if (vs_drop_linked_source(src, dst) != 0) {
      int e = errno;
      unlinkat(dst.fd, dst.name, 0);  // leave exactly one name, as before the call
      errno = e;
      return -1;
    }
  }
  fsync(src.fd);
  fsync(dst.fd);
  return 0;
}

// Creates a fresh temporary file next to the target, in its open directory.
// The first choice is "<target>.tmp.<time>"; when that exists (a concurrent
// writer in the same second, or a crash leftover) a further unique suffix is
// appended. An existing file is never truncated, reused or followed. tmp
// receives the full path (for messages); its name part is at tmp + skip.
static int vs_open_temp(const char *path, const VsDirName &dir, char *tmp, size_t size) {
  int now = (int)(uint32_t)(uint64_t)time(nullptr);
  for (int attempt = 0; attempt < 64; attempt++) {
    int r = attempt == 0
                ? vs_path(tmp, size, "%s.tmp.%d", path, now)
                : vs_path(tmp, size, "%s.tmp.%d.%ld.%u", path, now,
                          (long)getpid(), ++s_tmp_seq);
    if (r != 0) {
      vs_error("open failed: %s.tmp.%d (%s)", path, now, strerror(ENAMETOOLONG));
      return -1;
    }
    const char *name = tmp + (dir.name - path);
    int fd = openat(dir.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  vs_error("open failed: %s (%s)", tmp, strerror(errno));
  return -1;
}

int vs_atomic_write(const char *path, const void *data, uint64_t len) {
  char tmp[VS_TMP_PATH];
  VsDirName dir;
  if (vs_open_parent(path, dir) != 0) {
    int e = errno;
    int now = (int)(uint32_t)(uint64_t)time(nullptr);
    vs_error("open failed: %s.tmp.%d (%s)", path, now, strerror(e));
    return -1;
  }
  int fd = vs_open_temp(path, dir, tmp, sizeof tmp);
  if (fd < 0) return -1;
  const char *tmp_name = tmp + (dir.name - path);

  const char *p = static_cast<const char *>(data);
  uint64_t left = len;
  while (left > 0) {
    ssize_t n = write(fd, p, left > (1u << 30) ? (1u << 30) : (size_t)left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n == 0 ? EIO : errno;
      close(fd);
      unlinkat(dir.fd, tmp_name, 0);
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
    unlinkat(dir.fd, tmp_name, 0);
    vs_error("write failed: %s (%s)", path, strerror(e));
    return -1;
  }
  if (close(fd) != 0) {
    unlinkat(dir.fd, tmp_name, 0);
    vs_error("close failed: %s", path);
    return -1;
  }
  if (renameat(dir.fd, tmp_name, dir.fd, dir.name) != 0) {
    unlinkat(dir.fd, tmp_name, 0);
    vs_error("rename failed: %s -> %s", tmp, path);
    return -1;
  }
  fsync(dir.fd);  // the new name itself must survive a power loss
  return 0;
}

// Records a read failure for the file dir + "/" + rel (dir NULL: rel is the
// whole path) and leaves errno as e.
static int vs_read_fail(const char *dir, const char *rel, int e) {
  if (dir)
    vs_error("read failed: %s/%s (%s)", dir, rel, strerror(e));
  else
    vs_error("read failed: %s (%s)", rel, strerror(e));
  errno = e;  // callers tell a missing file (ENOENT) from other failures
  return -1;
}

// Reads the whole of an open file (closed here) into a fresh heap text.
static int vs_read_fd(int fd, const char *dir, const char *rel, char **out,
                      uint64_t *len_out) {
  struct stat st;
  int e = 0;
  if (fstat(fd, &st) != 0)
    e = errno;
  else if (!S_ISREG(st.st_mode))
    e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  else if (st.st_size < 0 || st.st_size > INT32_MAX)  // 2 GiB and more: refused
    e = EFBIG;
  if (e) {
    close(fd);
    return vs_read_fail(dir, rel, e);
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
      e = errno;
      free(buf);
      close(fd);
      return vs_read_fail(dir, rel, e);
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

// On failure errno tells why (ENOENT: nothing there) and a message is
// recorded on every path, so a caller that fails with the read's message
// never reports a stale one.
int vs_read_file(const char *path, char **out, uint64_t *len_out) {
  // O_NONBLOCK: a FIFO planted under a document's name must not hang us.
  int fd = vs_open_beneath(path, O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) return vs_read_fail(nullptr, path, errno);
  return vs_read_fd(fd, nullptr, path, out, len_out);
}

int vs_read_file_at(int dir_fd, const char *dir, const char *rel, char **out,
                    uint64_t *len_out) {
  // Below a directory that was itself opened link-safe, refusing links on
  // the short relative path is the whole check: no walk from "/" per file.
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  int fd = (int)syscall(SYS_openat2, dir_fd, rel, &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) {
    char path[VS_ENTRY_PATH];
    if (vs_path(path, sizeof path, "%s/%s", dir, rel) != 0)
      return vs_read_fail(dir, rel, ENAMETOOLONG);
    return vs_read_file(path, out, len_out);
  }
  if (fd < 0) return vs_read_fail(dir, rel, errno);
  return vs_read_fd(fd, dir, rel, out, len_out);
}
