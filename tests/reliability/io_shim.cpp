// System-call wrappers for the I/O fault tests. The test binary is linked
// with -Wl,--wrap=NAME for every call below, so each call the library makes
// (and the test's own) lands here first. While armed, calls are counted and
// the k-th one fails with the chosen errno, or moves a single byte for the
// short read/write mode. Nothing here allocates: it must stay usable while
// the allocator is being starved.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <liburing.h>

#include "shim.h"

enum { VR_TRACE_MAX = 8192 };

static bool s_armed;
static long s_calls;
static long s_target;
static int s_err;
static VrIoMode s_mode;
static bool s_fired;
static const char *s_fired_call = "";
static const char *s_trace[VR_TRACE_MAX];
static const char *s_force_name;
static int s_force_err;
static int s_dir_fsync_err;
static const char *s_hook_name;
static void (*s_hook_fn)(void *);
static void *s_hook_ctx;

void vr_io_hook(const char *name, void (*fn)(void *), void *ctx) {
  s_hook_name = name;
  s_hook_fn = fn;
  s_hook_ctx = ctx;
}

void vr_io_force_dir_fsync(int err) { s_dir_fsync_err = err; }

void vr_io_arm(long k, int err, VrIoMode mode) {
  s_armed = true;
  s_calls = 0;
  s_target = k;
  s_err = err;
  s_mode = mode;
  s_fired = false;
  s_fired_call = "";
}

long vr_io_disarm(void) {
  s_armed = false;
  return s_calls;
}

bool vr_io_fired(void) { return s_fired; }
const char *vr_io_fired_call(void) { return s_fired_call; }
bool vr_io_available(void) { return true; }

const std::vector<std::string> &vr_io_trace(void) {
  static std::vector<std::string> v;
  v.clear();
  for (long i = 0; i < s_calls && i < VR_TRACE_MAX; i++) v.push_back(s_trace[i]);
  return v;
}

void vr_io_force(const char *name, int err) {
  s_force_name = name;
  s_force_err = err;
}

// 0: go on with the real call; 1: fail it with errno set; 2: short transfer.
static int vr_step(const char *name, bool can_short) {
  if (s_hook_name && strcmp(s_hook_name, name) == 0) {
    void (*fn)(void *) = s_hook_fn;
    s_hook_name = nullptr;  // once; the hook's own calls are not hooked
    bool armed = s_armed;
    s_armed = false;
    fn(s_hook_ctx);
    s_armed = armed;
  }
  if (s_force_name && strcmp(s_force_name, name) == 0) {
    errno = s_force_err;
    return 1;
  }
  if (!s_armed) return 0;
  if (s_calls < VR_TRACE_MAX) s_trace[s_calls] = name;
  s_calls++;
  if (s_target <= 0 || s_calls != s_target) return 0;
  if (s_mode == VR_IO_KILL) raise(SIGKILL);
  if (s_mode == VR_IO_SHORT) {
    if (!can_short) return 0;
    s_fired = true;
    s_fired_call = name;
    return 2;
  }
  s_fired = true;
  s_fired_call = name;
  errno = s_err;
  return 1;
}

extern "C" {

#define VR_PATHCALL(ret, name, fail, params, args) \
  ret __real_##name params;                       \
  ret __wrap_##name params {                      \
    if (vr_step(#name, false)) return fail;       \
    return __real_##name args;                    \
  }

int __real_open(const char *path, int flags, ...);
int __wrap_open(const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = (mode_t)va_arg(ap, int);
    va_end(ap);
  }
  if (vr_step("open", false)) return -1;
  return __real_open(path, flags, mode);
}

int __real_openat(int dirfd, const char *path, int flags, ...);
int __wrap_openat(int dirfd, const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = (mode_t)va_arg(ap, int);
    va_end(ap);
  }
  if (vr_step("openat", false)) return -1;
  return __real_openat(dirfd, path, flags, mode);
}

ssize_t __real_read(int fd, void *buf, size_t n);
ssize_t __wrap_read(int fd, void *buf, size_t n) {
  int r = vr_step("read", true);
  if (r == 1) return -1;
  if (r == 2 && n > 1) n = 1;
  return __real_read(fd, buf, n);
}

ssize_t __real_write(int fd, const void *buf, size_t n);
ssize_t __wrap_write(int fd, const void *buf, size_t n) {
  int r = vr_step("write", true);
  if (r == 1) return -1;
  if (r == 2 && n > 1) n = 1;
  return __real_write(fd, buf, n);
}

ssize_t __real_pread(int fd, void *buf, size_t n, off_t off);
ssize_t __wrap_pread(int fd, void *buf, size_t n, off_t off) {
  int r = vr_step("pread", true);
  if (r == 1) return -1;
  if (r == 2 && n > 1) n = 1;
  return __real_pread(fd, buf, n, off);
}

ssize_t __real_pwrite(int fd, const void *buf, size_t n, off_t off);
ssize_t __wrap_pwrite(int fd, const void *buf, size_t n, off_t off) {
  int r = vr_step("pwrite", true);
  if (r == 1) return -1;
  if (r == 2 && n > 1) n = 1;
  return __real_pwrite(fd, buf, n, off);
}

// close and closedir release the descriptor even when they report failure,
// as Linux does.
int __real_close(int fd);
int __wrap_close(int fd) {
  if (vr_step("close", false)) {
    int e = errno;
    __real_close(fd);
    errno = e;
    return -1;
  }
  return __real_close(fd);
}

int __real_closedir(DIR *d);
int __wrap_closedir(DIR *d) {
  if (vr_step("closedir", false)) {
    int e = errno;
    __real_closedir(d);
    errno = e;
    return -1;
  }
  return __real_closedir(d);
}

int __real_fstat(int fd, struct stat *st);
int __real_fsync(int fd);
int __wrap_fsync(int fd) {
  struct stat st;
  if (s_dir_fsync_err && __real_fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = s_dir_fsync_err;
    return -1;
  }
  if (vr_step("fsync", false)) return -1;
  return __real_fsync(fd);
}

// Locks: F_OFD_SETLK and the like take a struct pointer, the rest an int;
// both pass through as one pointer-sized argument.
int __real_fcntl(int fd, int cmd, ...);
int __wrap_fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (vr_step("fcntl", false)) return -1;
  return __real_fcntl(fd, cmd, arg);
}

VR_PATHCALL(int, fdatasync, -1, (int fd), (fd))
VR_PATHCALL(int, syncfs, -1, (int fd), (fd))
VR_PATHCALL(int, rename, -1, (const char *a, const char *b), (a, b))
VR_PATHCALL(int, renameat, -1, (int da, const char *a, int db, const char *b), (da, a, db, b))
VR_PATHCALL(int, renameat2, -1, (int da, const char *a, int db, const char *b, unsigned f),
            (da, a, db, b, f))
VR_PATHCALL(int, link, -1, (const char *a, const char *b), (a, b))
VR_PATHCALL(int, linkat, -1, (int da, const char *a, int db, const char *b, int f),
            (da, a, db, b, f))
VR_PATHCALL(int, unlink, -1, (const char *p), (p))
VR_PATHCALL(int, unlinkat, -1, (int d, const char *p, int f), (d, p, f))
VR_PATHCALL(int, remove, -1, (const char *p), (p))
VR_PATHCALL(int, rmdir, -1, (const char *p), (p))
VR_PATHCALL(int, mkdir, -1, (const char *p, mode_t m), (p, m))
VR_PATHCALL(int, mkdirat, -1, (int d, const char *p, mode_t m), (d, p, m))
VR_PATHCALL(int, access, -1, (const char *p, int m), (p, m))
VR_PATHCALL(int, faccessat, -1, (int d, const char *p, int m, int f), (d, p, m, f))
VR_PATHCALL(DIR *, opendir, nullptr, (const char *p), (p))
VR_PATHCALL(DIR *, fdopendir, nullptr, (int fd), (fd))
VR_PATHCALL(struct dirent *, readdir, nullptr, (DIR * d), (d))
VR_PATHCALL(int, stat, -1, (const char *p, struct stat *st), (p, st))
VR_PATHCALL(int, lstat, -1, (const char *p, struct stat *st), (p, st))
VR_PATHCALL(int, fstat, -1, (int fd, struct stat *st), (fd, st))
VR_PATHCALL(int, statfs, -1, (const char *p, struct statfs *b), (p, b))
VR_PATHCALL(int, fstatat, -1, (int d, const char *p, struct stat *st, int f), (d, p, st, f))
VR_PATHCALL(ssize_t, getrandom, -1, (void *b, size_t n, unsigned f), (b, n, f))
VR_PATHCALL(FILE *, fopen, nullptr, (const char *p, const char *m), (p, m))
VR_PATHCALL(int, symlink, -1, (const char *a, const char *b), (a, b))
VR_PATHCALL(int, ftruncate, -1, (int fd, off_t n), (fd, n))
VR_PATHCALL(ssize_t, getdents64, -1, (int fd, void *b, size_t n), (fd, b, n))

// The library reaches openat2 through syscall(2) (glibc has no wrapper);
// only that system call is counted, others pass straight through.
long __real_syscall(long nr, ...);
long __wrap_syscall(long nr, ...) {
  va_list ap;
  va_start(ap, nr);
  long a[6];
  for (long &v : a) v = va_arg(ap, long);
  va_end(ap);
  if (nr == SYS_openat2 && vr_step("openat2", false)) return -1;
  return __real_syscall(nr, a[0], a[1], a[2], a[3], a[4], a[5]);
}

// liburing's entry points: the ring's set-up, the batch's submission and
// the completions' collection fail like the system calls under them (a
// negative errno); giving the ring up never fails.
#define VR_RINGCALL(name, params, args) \
  int __real_##name params;             \
  int __wrap_##name params {            \
    if (vr_step(#name, false)) return -errno; \
    return __real_##name args;          \
  }
VR_RINGCALL(io_uring_queue_init_params, (unsigned n, struct io_uring *r, struct io_uring_params *p),
            (n, r, p))
VR_RINGCALL(io_uring_register_files_sparse, (struct io_uring * r, unsigned n), (r, n))
VR_RINGCALL(io_uring_submit_and_wait, (struct io_uring * r, unsigned n), (r, n))
unsigned __real_io_uring_peek_batch_cqe(struct io_uring *r, struct io_uring_cqe **c, unsigned n);
unsigned __wrap_io_uring_peek_batch_cqe(struct io_uring *r, struct io_uring_cqe **c, unsigned n) {
  if (vr_step("io_uring_peek_batch_cqe", false)) return 0;  // none yet: the caller waits again
  return __real_io_uring_peek_batch_cqe(r, c, n);
}
void __real_io_uring_queue_exit(struct io_uring *r);
void __wrap_io_uring_queue_exit(struct io_uring *r) {
  vr_step("io_uring_queue_exit", false);
  __real_io_uring_queue_exit(r);
}

}  // extern "C"
