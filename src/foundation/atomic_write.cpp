// The atomic whole-file write: temporary file, fsync, rename, directory
// fsync. Temporary names follow the grammar of temp_names.h.
#include "atomic_write.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "files.h"
#include "layout.h"
#include "results.h"
#include "temp_names.h"

// Creates a fresh temporary file next to the target, in its open directory.
// The first choice is the first-try name; when that exists (a concurrent
// writer in the same second, or a crash leftover) a retry name is taken.
// An existing file is never truncated, reused or followed. tmp receives the
// full path (for messages); its name part is at tmp + (dir.name - path).
static int vs_open_temp(const char *path, const VsDirName &dir, char *tmp, size_t size) {
  int now = vs_temp_time();
  for (int attempt = 0; attempt < 64; attempt++) {
    int r = attempt == 0 ? vs_temp_write_name(tmp, size, path, now)
                         : vs_temp_retry_name(tmp, size, path, now);
    if (r != 0) {
      vs_error_errno(ENAMETOOLONG, "open failed: " VS_TEMP_WRITE_FMT " (%s)", path, now, strerror(ENAMETOOLONG));
      return -1;
    }
    const char *name = tmp + (dir.name - path);
    int fd = openat(dir.fd.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  vs_error_errno(errno, "open failed: %s (%s)", tmp, strerror(errno));
  return -1;
}

int vs_write_temp(const char *path, const VsDirName &dir, const void *data, uint64_t len,
                  char *tmp, size_t size, VsFd &fd, bool flush) {
  fd.reset(vs_open_temp(path, dir, tmp, size));
  if (!fd.ok()) return -1;
  const char *tmp_name = tmp + (dir.name - path);

  const char *p = static_cast<const char *>(data);
  uint64_t left = len;
  while (left > 0) {
    ssize_t n = write(fd.fd, p, left > (1u << 30) ? (1u << 30) : (size_t)left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n == 0 ? EIO : errno;
      fd.reset();
      unlinkat(dir.fd.fd, tmp_name, 0);
      vs_error_errno(e, "write failed: %s (%s)", path, strerror(e));
      return -1;
    }
    p += n;
    left -= (uint64_t)n;
  }
  // The data must be on stable storage before the rename makes it visible:
  // otherwise a power loss could leave the new name pointing at nothing.
  if (flush && fsync(fd.fd) != 0) {
    int e = errno;
    fd.reset();
    unlinkat(dir.fd.fd, tmp_name, 0);
    vs_error_errno(e, "write failed: %s (%s)", path, strerror(e));
    return -1;
  }
  return 0;
}

int vs_atomic_write(const char *root, const char *path, const void *data, uint64_t len) {
  char tmp[VS_TMP_PATH];
  VsDirName dir;
  if (vs_open_parent(root, path, dir) != 0) {
    int e = errno;
    vs_error_errno(e, "open failed: " VS_TEMP_WRITE_FMT " (%s)", path, vs_temp_time(), strerror(e));
    return -1;
  }
  VsFd fd;
  if (vs_write_temp(path, dir, data, len, tmp, sizeof tmp, fd) != 0) return -1;
  const char *tmp_name = tmp + (dir.name - path);
  if (fd.close_now() != 0) {
    int e = errno;  // a network file system reports a full disk here
    unlinkat(dir.fd.fd, tmp_name, 0);
    vs_error_errno(e, "close failed: %s", path);
    return -1;
  }
  if (renameat(dir.fd.fd, tmp_name, dir.fd.fd, dir.name) != 0) {
    int e = errno;
    unlinkat(dir.fd.fd, tmp_name, 0);
    vs_error_errno(e, "rename failed: %s -> %s (%s)", tmp, path, strerror(e));
    return -1;
  }
  // The new name itself must survive a power loss. When this fails the new
  // version is visible already; the caller hears of it and may retry.
  return vs_sync_dir_of(dir, path);
}
