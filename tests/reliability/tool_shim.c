/* Fault injection for the operator's tool, loaded with LD_PRELOAD into an
 * unmodified keldrune-vault process. Every call that changes the tree (or
 * makes a change durable) is counted; the N-th one either kills the
 * process (SIGKILL, before the call reaches the system) or fails with an
 * errno. Driven by the environment:
 *
 *   KV_SHIM_CALLS  comma-separated classes to count (default: all of
 *                  them): mkdir rmdir rename link unlink create write
 *                  fsync-file fsync-dir syncfs
 *   KV_SHIM_AT     the N-th counted call (1-based) gets the fault; unset
 *                  or 0: count only
 *   KV_SHIM_DO     "kill", "stop" (SIGSTOP, then the call goes on once
 *                  the process is continued), or an errno name: ENOSPC,
 *                  EIO, EDQUOT
 *   KV_SHIM_LOG    a file that receives "count N" when the process exits
 *                  normally and "fired CLASS" when the fault is delivered
 *
 * Only the tool's own calls are seen: the C library's internal calls (its
 * stdio buffers, for one) do not go through these symbols. Writes to
 * descriptors 0-2 are not counted. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static long s_calls;
static long s_at;
static int s_err;       /* 0: kill or stop */
static int s_stop;
static char s_classes[256];
static const char *s_log;
static int s_ready;

static void *vk_real(const char *name) {
  void *p = dlsym(RTLD_NEXT, name);
  if (!p) {
    static const char msg[] = "tool_shim: a system call cannot be found\n";
    (void)syscall(SYS_write, 2, msg, sizeof msg - 1);
    abort();
  }
  return p;
}

/* Appends one line to the log with raw system calls (nothing here may go
 * through the wrappers below). */
static void vk_log(const char *what, const char *arg) {
  if (!s_log) return;
  char line[128];
  int n = snprintf(line, sizeof line, "%s %s\n", what, arg);
  int fd = (int)syscall(SYS_openat, AT_FDCWD, s_log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                        0600);
  if (fd < 0) return;
  (void)syscall(SYS_write, fd, line, (size_t)n);
  (void)syscall(SYS_close, fd);
}

static void vk_setup(void) {
  if (s_ready) return;
  s_ready = 1;
  const char *v = getenv("KV_SHIM_CALLS");
  snprintf(s_classes, sizeof s_classes, ",%s,",
           v && *v ? v : "mkdir,rmdir,rename,link,unlink,create,write,fsync-file,fsync-dir,syncfs");
  v = getenv("KV_SHIM_AT");
  s_at = v ? atol(v) : 0;
  v = getenv("KV_SHIM_DO");
  s_stop = v && strcmp(v, "stop") == 0;
  s_err = !v || strcmp(v, "kill") == 0 || s_stop ? 0
          : strcmp(v, "EIO") == 0      ? EIO
          : strcmp(v, "EDQUOT") == 0   ? EDQUOT
                                       : ENOSPC;
  s_log = getenv("KV_SHIM_LOG");
}

__attribute__((destructor)) static void vk_done(void) {
  vk_setup();
  char n[32];
  snprintf(n, sizeof n, "%ld", s_calls);
  vk_log("count", n);
}

/* 0: go on with the call; -1: fail it (errno set). A kill never returns. */
static int vk_step(const char *cls) {
  vk_setup();
  char key[32];
  snprintf(key, sizeof key, ",%s,", cls);
  if (!strstr(s_classes, key)) return 0;
  long n = __atomic_add_fetch(&s_calls, 1, __ATOMIC_SEQ_CST);
  if (s_at <= 0 || n != s_at) return 0;
  vk_log("fired", cls);
  if (s_stop) {
    (void)syscall(SYS_kill, getpid(), SIGSTOP);
    return 0;
  }
  if (!s_err) {
    (void)syscall(SYS_kill, getpid(), SIGKILL);
    for (;;) pause();
  }
  errno = s_err;
  return -1;
}

/* The next definition of name (the C library's), looked up once. */
#define VK_REAL(name)                          \
  static __typeof__(&name) real_##name;        \
  if (!real_##name) real_##name = (__typeof__(&name))vk_real(#name)

int mkdir(const char *p, mode_t m) {
  VK_REAL(mkdir);
  return vk_step("mkdir") ? -1 : real_mkdir(p, m);
}

int mkdirat(int d, const char *p, mode_t m) {
  VK_REAL(mkdirat);
  return vk_step("mkdir") ? -1 : real_mkdirat(d, p, m);
}

int rmdir(const char *p) {
  VK_REAL(rmdir);
  return vk_step("rmdir") ? -1 : real_rmdir(p);
}

int rename(const char *a, const char *b) {
  VK_REAL(rename);
  return vk_step("rename") ? -1 : real_rename(a, b);
}

int renameat(int da, const char *a, int db, const char *b) {
  VK_REAL(renameat);
  return vk_step("rename") ? -1 : real_renameat(da, a, db, b);
}

int renameat2(int da, const char *a, int db, const char *b, unsigned f) {
  VK_REAL(renameat2);
  return vk_step("rename") ? -1 : real_renameat2(da, a, db, b, f);
}

int link(const char *a, const char *b) {
  VK_REAL(link);
  return vk_step("link") ? -1 : real_link(a, b);
}

int linkat(int da, const char *a, int db, const char *b, int f) {
  VK_REAL(linkat);
  return vk_step("link") ? -1 : real_linkat(da, a, db, b, f);
}

int unlink(const char *p) {
  VK_REAL(unlink);
  return vk_step("unlink") ? -1 : real_unlink(p);
}

int unlinkat(int d, const char *p, int f) {
  VK_REAL(unlinkat);
  return vk_step((f & AT_REMOVEDIR) ? "rmdir" : "unlink") ? -1 : real_unlinkat(d, p, f);
}

/* O_TMPFILE holds O_DIRECTORY's bit: a plain directory open is no create. */
static int vk_creates(long flags) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

/* Counts a creating open and reads its mode argument (*mode, 0 for an
 * open that creates nothing): 0 to go on, -1 to fail the open. */
static int vk_open_step(long flags, va_list ap, mode_t *mode) {
  *mode = 0;
  if (!vk_creates(flags)) return 0;
  *mode = (mode_t)va_arg(ap, int);
  return vk_step("create");
}

int open(const char *p, int flags, ...) {
  VK_REAL(open);
  va_list ap;
  va_start(ap, flags);
  mode_t mode;
  int rc = vk_open_step(flags, ap, &mode);
  va_end(ap);
  return rc ? -1 : real_open(p, flags, mode);
}

int openat(int d, const char *p, int flags, ...) {
  VK_REAL(openat);
  va_list ap;
  va_start(ap, flags);
  mode_t mode;
  int rc = vk_open_step(flags, ap, &mode);
  va_end(ap);
  return rc ? -1 : real_openat(d, p, flags, mode);
}

ssize_t write(int fd, const void *b, size_t n) {
  VK_REAL(write);
  if (fd > 2 && vk_step("write")) return -1;
  return real_write(fd, b, n);
}

ssize_t pwrite(int fd, const void *b, size_t n, off_t off) {
  VK_REAL(pwrite);
  if (fd > 2 && vk_step("write")) return -1;
  return real_pwrite(fd, b, n, off);
}

int fsync(int fd) {
  VK_REAL(fsync);
  struct stat st;
  int dir = syscall(SYS_fstat, fd, &st) == 0 && S_ISDIR(st.st_mode);
  return vk_step(dir ? "fsync-dir" : "fsync-file") ? -1 : real_fsync(fd);
}

int fdatasync(int fd) {
  VK_REAL(fdatasync);
  struct stat st;
  int dir = syscall(SYS_fstat, fd, &st) == 0 && S_ISDIR(st.st_mode);
  return vk_step(dir ? "fsync-dir" : "fsync-file") ? -1 : real_fdatasync(fd);
}

int syncfs(int fd) {
  VK_REAL(syncfs);
  return vk_step("syncfs") ? -1 : real_syncfs(fd);
}

/* openat2 has no C library wrapper: the library reaches it through
 * syscall(2). A creating openat2 is counted as a create; every other
 * system call passes straight through. */
long syscall(long nr, ...) {
  VK_REAL(syscall);
  va_list ap;
  va_start(ap, nr);
  long a[6];
  for (int i = 0; i < 6; i++) a[i] = va_arg(ap, long);
  va_end(ap);
  if (nr == SYS_openat2) {
    const struct open_how *how = (const struct open_how *)a[2];
    if (how && vk_creates((long)how->flags) && vk_step("create")) return -1;
  }
  return real_syscall(nr, a[0], a[1], a[2], a[3], a[4], a[5]);
}
