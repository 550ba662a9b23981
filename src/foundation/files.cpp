// The platform layer: link-safe opens and listings, directory creation,
// whole-file reads and directory syncs (see files.h).
#include "files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "layout.h"
#include "results.h"
#include "swap.h"
#include "text.h"

static int vs_sync_failed(const char *dir, int len, int e) {
  vs_error_errno(e, "sync failed: %.*s (%s)", len, dir, strerror(e));
  errno = e;
  return -1;
}

int vs_sync_dir(const char *dir) {
  VsFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.ok() || fsync(fd.fd) != 0) return vs_sync_failed(dir, (int)strlen(dir), errno);
  return 0;
}

int vs_sync_parent(const char *path) {
  char dir[VS_ENTRY_PATH];
  const char *slash = strrchr(path, '/');
  if (!slash) return vs_sync_dir(".");
  size_t n = (size_t)(slash - path);
  if (n == 0) n = 1;  // "/name": the parent is "/"
  if (n >= sizeof dir) return vs_sync_failed(path, (int)n, ENAMETOOLONG);
  memcpy(dir, path, n);
  dir[n] = '\0';
  return vs_sync_dir(dir);
}

int vs_sync_dir_of(const VsDirName &d, const char *path) {
  if (fsync(d.fd.fd) == 0) return 0;
  if (d.name == path) return vs_sync_failed(".", 1, errno);
  int n = (int)(d.name - path) - 1;
  return vs_sync_failed(path, n > 0 ? n : 1, errno);  // "/name": "/"
}

// Nothing inside the data root is reached through a symbolic link: a link
// planted in place of "users", an account, "ciphers" or "trash" could
// otherwise send reads and writes outside the tree. Each directory between
// the root and the final name is checked with lstat; the final name itself
// is opened with O_NOFOLLOW (or renamed/removed, which never follow it).
// Paths outside the root (none in normal use) are not checked.
int vs_check_beneath(const char *root, const char *path) {
  if (!root) return 0;
  size_t rlen = strlen(root);
  if (strncmp(path, root, rlen) != 0 || path[rlen] != '/') return 0;
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

static thread_local VsPin *s_pin = nullptr;

void vs_pin_set(VsPin &pin, int dir_fd, const char *account_dir) {
  pin.dir.reset(dir_fd);
  pin.path = account_dir;
  pin.len = strlen(account_dir);
  pin.prev = s_pin;
  s_pin = &pin;
}

VsPin::~VsPin() {
  for (VsPin **p = &s_pin; *p; p = &(*p)->prev)
    if (*p == this) {
      *p = prev;
      break;
    }
}

// The pin whose directory path lies below, and the rest of path after it ("." for the
// directory itself); NULL when none.
static const VsPin *vs_pinned(const char *path, const char **rest) {
  for (const VsPin *p = s_pin; p; p = p->prev)
    if (strncmp(path, p->path, p->len) == 0 && (path[p->len] == '/' || path[p->len] == '\0')) {
      *rest = path[p->len] ? path + p->len + 1 : ".";
      return p;
    }
  return nullptr;
}

int vs_open_beneath(const char *root, const char *path, int flags, mode_t mode) {
  // One openat2 that refuses links on the whole path covers the usual tree
  // at the cost of a plain open. Where it says ELOOP the link may be in the
  // root's own path, which is the operator's business: then the walk below
  // the root decides. Kernels or sandboxes without openat2 take the walk too.
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = (uint64_t)(unsigned)(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  const char *rest = nullptr;
  if (const VsPin *pin = s_pin ? vs_pinned(path, &rest) : nullptr) {
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    int fd = (int)syscall(SYS_openat2, pin->dir.fd, rest, &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG)) return fd;
    return openat(pin->dir.fd, rest, flags | O_NOFOLLOW | O_CLOEXEC, mode);
  }
  how.resolve = RESOLVE_NO_SYMLINKS;
  int fd = (int)syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd >= 0) return fd;
  if (errno != ELOOP && errno != ENOSYS && errno != EPERM && errno != E2BIG) return -1;
  if (vs_check_beneath(root, path) != 0) return -1;
  int plain = open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
  // A link where a directory belongs answers ENOTDIR to O_NOFOLLOW: say
  // what it is.
  struct stat st;
  if (plain < 0 && errno == ENOTDIR && (flags & O_DIRECTORY) && lstat(path, &st) == 0 &&
      S_ISLNK(st.st_mode))
    errno = ELOOP;
  return plain;
}

int vs_list_open(VsList &list, const char *root, const char *path) {
  list.pos = list.end = 0;
  list.fd.reset(vs_open_settled(root, path, O_RDONLY | O_DIRECTORY));  // as for a read
  return list.fd.ok() ? 0 : -1;
}

const char *vs_list_next(VsList &list) {
  if (list.pos >= list.end) {
    ssize_t n = getdents64(list.fd.fd, list.buf, sizeof list.buf);
    if (n <= 0) {
      if (n == 0) errno = 0;
      return nullptr;
    }
    list.pos = 0;
    list.end = (size_t)n;
  }
  struct dirent64 *e = reinterpret_cast<struct dirent64 *>(list.buf + list.pos);
  list.pos += e->d_reclen;
  list.type = e->d_type;
  list.ino = e->d_ino;
  return e->d_name;
}

int vs_open_parent(const char *root, const char *path, VsDirName &out) {
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
  out.fd.reset(vs_open_beneath(root, dir, O_RDONLY | O_DIRECTORY, 0));
  return out.fd.ok() ? 0 : -1;
}

int vs_mkdir(const char *root, const char *path) {
  if (vs_check_beneath(root, path) != 0) {
    vs_error_errno(errno, "mkdir failed: %s (%s)", path, strerror(errno));
    return -1;
  }
  if (access(path, F_OK) == 0) return 0;
  if (mkdir(path, 0700) == 0) return vs_sync_parent(path);
  if (errno == EEXIST) return 0;
  int e = errno;
  vs_error_errno(e, "mkdir failed: %s (%s)", path, strerror(e));
  errno = e;
  return -1;
}

// Records a read failure for the file dir + "/" + rel (dir NULL: rel is the
// whole path) and leaves errno as e.
static int vs_read_fail(const char *dir, const char *rel, int e) {
  if (dir)
    vs_error_errno(e, "read failed: %s/%s (%s)", dir, rel, strerror(e));
  else
    vs_error_errno(e, "read failed: %s (%s)", rel, strerror(e));
  errno = e;  // callers tell a missing file (ENOENT) from other failures
  return -1;
}

bool vs_buf_reserve(VsBuf &b, size_t size) {
  if (size <= b.cap) return true;
  char *p = static_cast<char *>(realloc(b.p, size));
  if (!p) return false;
  b.p = p;
  b.cap = size;
  return true;
}

// What one try of a whole-file read saw: whether its open succeeded (a
// failure after it is the reader's, not the name's) and the file's state
// from the descriptor that was read.
struct VsTry {
  bool opened = false;
  bool looked = false;
  struct stat st = {};
};

// Reads the whole of an open file (closed here) into buf: its bytes, then
// pad NUL bytes (at least one). The size the file reports never ends the
// read: one byte more is asked for, reading goes on past short reads until
// at least that size is in, and past it for as long as reads come back
// full. So a file that grew, or whose size a network file system reports
// stale (even as 0), is read whole; a short read at or past the reported
// size is the end of the file. With current, the file is first locked for
// reading, which a GlusterFS brick refuses for a file that is no longer
// there (see vs_read_file_current); the read then fails with the server's
// reason.
static int vs_read_fd(VsFd &fd, const char *dir, const char *rel, VsBuf &buf, size_t pad,
                      uint64_t *len_out, VsTry &t, bool current = false) {
  struct stat st;
  int e = 0;
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;  // l_start = l_len = 0: the whole file
  if (current && fcntl(fd.fd, F_OFD_SETLK, &fl) != 0)
    e = errno;
  else if (fstat(fd.fd, &st) != 0)
    e = errno;
  else if (!S_ISREG(st.st_mode))
    e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  else if (st.st_size < 0 || st.st_size > INT32_MAX)  // 2 GiB and more: refused
    e = EFBIG;
  if (e) {
    fd.reset();
    return vs_read_fail(dir, rel, e);
  }
  t.st = st;
  t.looked = true;
  if (pad == 0) pad = 1;
  size_t hint = (size_t)st.st_size, got = 0;
  if (!vs_buf_reserve(buf, hint + 1 + pad)) e = ENOMEM;
  while (!e) {
    size_t room = buf.cap - pad - got;
    if (room == 0) {
      if (got > (size_t)INT32_MAX)
        e = EFBIG;
      else if (!vs_buf_reserve(buf, got + (got / 2 > 4096 ? got / 2 : 4096) + pad))
        e = ENOMEM;
      continue;
    }
    ssize_t n = read(fd.fd, buf.p + got, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // A document cut by an I/O error must never pass for the whole one.
      e = errno;
      break;
    }
    got += (size_t)n;
    if (n == 0 || ((size_t)n < room && got >= hint)) break;
  }
  fd.reset();
  if (!e && got > (size_t)INT32_MAX) e = EFBIG;
  if (e == ENOMEM) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "out of memory");
    errno = ENOMEM;
    return -1;
  }
  if (e) return vs_read_fail(dir, rel, e);
  memset(buf.p + got, 0, pad);
  *len_out = got;
  return 0;
}

// Hands the text of a one-read buffer to the caller, trimmed when reading
// left much room unused.
static char *vs_buf_text(VsBuf &buf, uint64_t len) {
  if (buf.cap > len + 1 + 4096)
    if (char *p = static_cast<char *>(realloc(buf.p, len + 1))) buf.p = p;
  char *p = buf.p;
  buf.p = nullptr;
  buf.cap = 0;
  return p;
}

// ---- reads while another host replaces the file (see files.h) ----------------

static std::atomic<int> s_fs_shared{0};

int vs_fs_shared(void) { return s_fs_shared.load(std::memory_order_relaxed); }

void vs_fs_set_shared(int shared) { s_fs_shared.store(shared, std::memory_order_relaxed); }

void vs_fs_note(const char *path) {
  struct statfs sf;
  int shared = 0;
  if (statfs(path, &sf) == 0) {
    switch ((unsigned long)sf.f_type) {
      case 0x6969UL:      // NFS
      case 0x65735546UL:  // FUSE: GlusterFS, ceph-fuse, sshfs...
      case 0x00c36400UL:  // CephFS
      case 0xFF534D42UL:  // CIFS
      case 0xFE534D42UL:  // SMB2
      case 0x517BUL:      // SMB
      case 0x01021997UL:  // 9P
      case 0x6B414653UL:  // AFS
      case 0x7461636FUL:  // OCFS2
      case 0x01161970UL:  // GFS2
      case 0x0BD00BD0UL:  // Lustre
        shared = 1;
        break;
      default:
        break;
    }
  }
  s_fs_shared.store(shared, std::memory_order_relaxed);
}

// 1 when a text read whole is a strict JSON document; a parse that runs out
// of memory cannot tell, and counts as one.
static int vs_whole_document(const char *p, uint64_t len) {
  if (len == 0) return 0;
  yyjson_read_err err;
  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(p), (size_t)len, 0, nullptr, &err);
  if (doc) {
    yyjson_doc_free(doc);
    return 1;
  }
  return err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION;
}

static long long vs_now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

bool vs_retry_pause(VsRetry &r) {
  long long now = vs_now_us();
  if (r.deadline_us == 0) r.deadline_us = now + (long long)VS_SHARED_RETRY_MS * 1000;
  if (now >= r.deadline_us) return false;
  struct timespec ts = {0, r.pause_us * 1000};
  nanosleep(&ts, nullptr);
  if (r.pause_us < r.max_pause_us) r.pause_us *= 2;
  return true;
}

// Whether two looks at a file show the same unchanged file: device, inode,
// size and change time.
static bool vs_same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether a text that is not whole JSON is what the file under the name
// holds, for good: a damaged document, not a view of one another host is
// replacing. Every version of a document is a new file renamed into place,
// never rewritten, so a replacement shows as another inode, size or change
// time. Settled when the last two tries read the same file (by their
// descriptors' fstat) through to its size, and a fresh look at the name
// (dir_fd/name, never following a link) still finds that file. A stale or
// cut view fails one of these: a file another host's rename removed reads
// short of its size or is no longer the one under the name, and a file
// just renamed into place differs from the one read before it. The look at
// the name costs one call, made only after a second invalid read. An empty
// text never settles: on GlusterFS a client that listed the directory
// while another host's temporary file was new goes on showing the renamed
// file with that empty file's attributes, unchanged across reads and looks,
// for milliseconds; and the library never writes an empty document.
static bool vs_read_settled(const VsTry &now, const VsTry &prev, int dir_fd, const char *name,
                            uint64_t len) {
  if (len == 0 || !now.looked || !prev.looked || !vs_same_file(now.st, prev.st) ||
      (uint64_t)now.st.st_size != len)
    return false;
  struct stat st;
  return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && vs_same_file(st, now.st);
}

// A cut view of a file another host is replacing can look settled for some
// milliseconds (as the empty view above does, with the attributes of
// another version); a damaged document is taken as such only once it has
// read invalid for VS_SETTLE_MS since its first invalid read (the retry's
// deadline is set then). A damaged document so costs about a quarter of a
// second on a shared file system, not the whole bound.
enum { VS_SETTLE_MS = 250 };
static bool vs_settle_time_passed(const VsRetry &r) {
  return r.deadline_us != 0 &&
         vs_now_us() >= r.deadline_us - (long long)(VS_SHARED_RETRY_MS - VS_SETTLE_MS) * 1000;
}

// The damaged documents this process has already seen settle: device,
// inode, size and change time of each. A file is never rewritten in place
// by the library (every version is a new inode renamed into place), so a
// file seen again with all four the same is the same damaged file, and
// settling it again would only cost every later read of it the settle time
// (a client polling its sync would pay it each time). Only files that had
// not changed for VS_SETTLED_AGE_S when they settled are noted: a client
// under load can go on showing a cut view of a version another host has
// just written (its change time then is recent) for longer than the settle
// time, and such a view must be settled anew on every read, never trusted
// from memory. A stale view of a damaged file after another host repaired
// it reads as the damaged file did a moment earlier. Only the invalid-text
// path looks here, under a lock; the table is small and the oldest entry
// makes room.
enum { VS_SETTLED_MAX = 128, VS_SETTLED_AGE_S = 10 };
static std::atomic<int> s_settled_age{VS_SETTLED_AGE_S};
void vs_fs_set_settled_age(int seconds) {
  s_settled_age.store(seconds < 0 ? (int)VS_SETTLED_AGE_S : seconds, std::memory_order_relaxed);
}
struct VsSettled {
  dev_t dev;
  ino_t ino;
  off_t size;
  struct timespec ctim;
};
static std::mutex s_settled_mutex;
static VsSettled s_settled[VS_SETTLED_MAX];
static unsigned s_settled_count, s_settled_next;

static bool vs_settled_match(const VsSettled &e, const struct stat &st) {
  return e.dev == st.st_dev && e.ino == st.st_ino && e.size == st.st_size &&
         e.ctim.tv_sec == st.st_ctim.tv_sec && e.ctim.tv_nsec == st.st_ctim.tv_nsec;
}

static bool vs_settled_known(const struct stat &st) {
  std::lock_guard<std::mutex> hold(s_settled_mutex);
  for (unsigned i = 0; i < s_settled_count; i++)
    if (vs_settled_match(s_settled[i], st)) return true;
  return false;
}

static void vs_settled_note(const struct stat &st) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || st.st_ctim.tv_sec > now.tv_sec - s_settled_age.load(std::memory_order_relaxed))
    return;
  std::lock_guard<std::mutex> hold(s_settled_mutex);
  for (unsigned i = 0; i < s_settled_count; i++)
    if (vs_settled_match(s_settled[i], st)) return;
  s_settled[s_settled_next] = VsSettled{st.st_dev, st.st_ino, st.st_size, st.st_ctim};
  s_settled_next = (s_settled_next + 1) % VS_SETTLED_MAX;
  if (s_settled_count < VS_SETTLED_MAX) s_settled_count++;
}

// An invalid text that is the whole of a damaged file seen settled before,
// still under the name: settled at once (one look at the name).
static bool vs_read_known_damaged(const VsTry &now, int dir_fd, const char *name,
                                  uint64_t len) {
  if (len == 0 || !now.looked || (uint64_t)now.st.st_size != len || !vs_settled_known(now.st))
    return false;
  struct stat st;
  return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && vs_same_file(st, now.st);
}

// After one try of a read (rc, and what it saw in now): true when it is to
// be tried again. Failures that say the name was just replaced on a shared
// file system (ESTALE anywhere, ENOENT or EBADFD after the open) are tried
// again on every file system, as they never happen on a local one. An empty
// or unparsable text only on a shared one, and only while the file is
// changing (see vs_read_settled and VS_SETTLE_MS): a damaged document costs
// a quarter of a second the first time this process meets it, not the whole
// bound, and one look at its name each time after (s_settled). prev carries
// the previous try's look between calls.
// After the bound the last answer stands: the error, or the text as read.
static bool vs_read_again(VsRetry &r, int rc, const VsTry &now, VsTry &prev, int dir_fd,
                          const char *name, const VsBuf &buf, const uint64_t *len) {
  int e = errno;
  bool transient;
  if (rc != 0)
    transient = e == ESTALE || e == EBADFD || (now.opened && e == ENOENT);
  else
    transient = vs_fs_shared() && !vs_whole_document(buf.p, *len);
  if (transient && rc == 0) {
    if (vs_read_known_damaged(now, dir_fd, name, *len)) {
      transient = false;
    } else if (vs_settle_time_passed(r) && vs_read_settled(now, prev, dir_fd, name, *len)) {
      vs_settled_note(now.st);
      transient = false;
    }
  }
  prev = rc == 0 ? now : VsTry();
  if (!transient) {
    errno = e;
    return false;
  }
  bool again = vs_retry_pause(r);
  errno = e;
  return again;
}

// One try of a whole-file read by path; t tells what it saw.
static int vs_read_path_once(const char *root, const char *path, VsBuf &buf, size_t pad,
                             uint64_t *len_out, VsTry &t, bool current = false) {
  t = VsTry();
  // O_NONBLOCK: a FIFO planted under a document's name must not hang us.
  // An account met in the middle of a swap (swap.h) is read whole-new;
  // only a miss pays for the look.
  VsFd fd(vs_open_settled(root, path, O_RDONLY | O_NONBLOCK));
  t.opened = fd.ok();
  if (!fd.ok()) return vs_read_fail(nullptr, path, errno);
  return vs_read_fd(fd, nullptr, path, buf, pad, len_out, t, current);
}

int vs_read_file_buf(const char *root, const char *path, VsBuf &buf, size_t pad,
                     uint64_t *len_out) {
  VsRetry r;
  VsTry now, prev;
  for (;;) {
    int rc = vs_read_path_once(root, path, buf, pad, len_out, now);
    if (!vs_read_again(r, rc, now, prev, AT_FDCWD, path, buf, len_out)) return rc;
  }
}

// Lists the directory holding path whole and says whether its final name
// is in it: 1 yes, 0 no, -1 the directory could not be listed.
static int vs_listed(const char *root, const char *path) {
  VsList list;
  const char *name;
  {
    VsDirName d;
    if (vs_open_parent(root, path, d) != 0) return -1;
    name = d.name;
    list.fd.reset(d.fd.fd);
    d.fd.fd = -1;
  }
  int found = 0;
  errno = 0;
  for (const char *n; (n = vs_list_next(list)) != nullptr;)
    if (strcmp(n, name) == 0) found = 1;
  return errno == 0 ? found : -1;
}

// The read-modify-write's read on a shared file system (see files.h). Each
// try:
//   1. lists the directory: the listing comes from the server, and the
//      client takes from it which file each name now stands for, so the
//      open below mostly finds the current file at once;
//   2. opens the name and locks the file opened for reading: a lock always
//      goes to the server; so a file read after a granted lock is the
//      current one (every version is a new file, never rewritten). The
//      file systems tested keep that in two ways:
//        - GlusterFS: the client may still resolve the name to the file
//          another host's rename replaced (its caches hold the name for a
//          second or so), but the brick refuses the lock on that file
//          (ESTALE, ENOENT);
//        - CephFS (ceph-fuse): the lock on a replaced file is granted
//          (the metadata server locks a file that is unlinked but still
//          open), but the client never opens one: the other host's rename
//          first takes back this client's capabilities on the directory,
//          so the open resolves the name afresh and finds the new file;
//      tests/sharedfs/locked_read.cpp holds both on each file system;
//   3. reads it whole and checks it is whole JSON, as every shared read.
// A refused lock, an error after the open, a text that is not whole, or
// an open that finds nothing under a name step 1 listed, is tried again
// within VS_SHARED_RETRY_MS. A name that is not listed and cannot be
// opened is missing. Nothing here changes the tree, so two readers (or a
// reader and the lock holder's own earlier read) never disturb each other.
int vs_read_file_current(const char *root, const char *path, char **out, uint64_t *len_out) {
  if (!vs_fs_shared()) return vs_read_file(root, path, out, len_out);
  VsBuf buf;
  VsRetry r;
  VsTry now, prev;
  for (;;) {
    int listed = vs_listed(root, path);
    int rc = vs_read_path_once(root, path, buf, 1, len_out, now, true);
    if (rc != 0 && !now.opened && errno == ENOENT && listed == 1) now.opened = true;
    if (vs_read_again(r, rc, now, prev, AT_FDCWD, path, buf, len_out)) continue;
    if (rc == 0) {
      *out = vs_buf_text(buf, *len_out);
      return 0;
    }
    // Still failing at the bound, but there all along: never "missing",
    // which a read-modify-write would take for an empty list.
    if (now.opened && errno == ENOENT) return vs_read_fail(nullptr, path, ESTALE);
    return -1;
  }
}

int vs_read_file(const char *root, const char *path, char **out, uint64_t *len_out) {
  VsBuf buf;
  if (vs_read_file_buf(root, path, buf, 1, len_out) != 0) return -1;
  *out = vs_buf_text(buf, *len_out);
  return 0;
}

int vs_read_file_at(const char *root, int dir_fd, const char *dir, const char *rel,
                    char **out, uint64_t *len_out) {
  VsBuf buf;
  if (vs_read_file_at_buf(root, dir_fd, dir, rel, buf, 1, len_out) != 0) return -1;
  *out = vs_buf_text(buf, *len_out);
  return 0;
}

char *vs_read_document(const char *root, const char *path, const char *prefix, uint64_t *len) {
  char *raw = nullptr;
  if (vs_read_file(root, path, &raw, len) != 0) {
    if (errno == ENOMEM)
      vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", prefix);
    else
      vs_read_error(prefix, path);
    return nullptr;
  }
  if (*len == 0) {
    free(raw);
    vs_error_code(VAULT_CORRUPT, 0, "%s: empty document", prefix);
    return nullptr;
  }
  return raw;
}

// One try of a whole-file read below an open directory (see
// vs_read_path_once).
static int vs_read_at_once(const char *root, int dir_fd, const char *dir, const char *rel,
                           VsBuf &buf, size_t pad, uint64_t *len_out, VsTry &t) {
  t = VsTry();
  // Below a directory that was itself opened link-safe, refusing links on
  // the short relative path is the whole check: no walk from "/" per file.
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  VsFd fd((int)syscall(SYS_openat2, dir_fd, rel, &how, sizeof how));
  if (!fd.ok() && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) {
    char path[VS_ENTRY_PATH];
    if (vs_path(path, sizeof path, "%s/%s", dir, rel) != 0)
      return vs_read_fail(dir, rel, ENAMETOOLONG);
    return vs_read_path_once(root, path, buf, pad, len_out, t);
  }
  if (!fd.ok() && (errno == ENOENT || errno == EXDEV)) {
    // Removed between the listing and the open (a move, a delete), or
    // replaced at that moment where the file system shows a gap: a second
    // look tells the two apart. EXDEV is the kernel's RESOLVE_BENEATH check
    // finding the file it resolved moved out of the directory (a move on
    // this client) before the open completed: a gap of the same kind.
    struct stat st;
    if (fstatat(dir_fd, rel, &st, AT_SYMLINK_NOFOLLOW) == 0)
      fd.reset((int)syscall(SYS_openat2, dir_fd, rel, &how, sizeof how));
    else if (errno != ENOENT)
      return vs_read_fail(dir, rel, errno);
    else
      errno = ENOENT;
  }
  t.opened = fd.ok();
  if (!fd.ok()) return vs_read_fail(dir, rel, errno);
  return vs_read_fd(fd, dir, rel, buf, pad, len_out, t);
}

int vs_read_file_at_buf(const char *root, int dir_fd, const char *dir, const char *rel,
                        VsBuf &buf, size_t pad, uint64_t *len_out) {
  VsRetry r;
  VsTry now, prev;
  for (;;) {
    int rc = vs_read_at_once(root, dir_fd, dir, rel, buf, pad, len_out, now);
    if (!vs_read_again(r, rc, now, prev, dir_fd, rel, buf, len_out)) return rc;
  }
}

void vs_read_error(const char *prefix, const char *path) {
  if (vs_read_absent(errno))
    vs_error_code(VAULT_NOT_FOUND, errno, "%s: not found", prefix);
  else
    vs_error_errno(errno, "%s: cannot read %s (%s)", prefix, path, strerror(errno));
}

int vs_list_absent(int e) { return e == ENOENT || e == ENOTDIR; }

int vs_read_absent(int e) {
  // EFBIG: 2 GiB or more, which no document of the tree can be.
  return e == ENOENT || e == ENOTDIR || e == EISDIR || e == EINVAL || e == ELOOP || e == ENXIO ||
         e == EFBIG;
}

enum { VS_REMOVE_DEPTH = 8, VS_REMOVE_ROUNDS = 4 };

// Removes the directory name below parent_fd with everything in it, never
// following a link (a link is removed as a name). 0, or -1 with errno.
int vs_remove_tree(int parent_fd, const char *name, int depth) {
  for (int round = 0; round < VS_REMOVE_ROUNDS; round++) {
    VsList list;
    list.fd.reset(openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!list.fd.ok()) return errno == ENOENT ? 0 : -1;
    for (const char *n; (n = vs_list_next(list)) != nullptr;) {
      if (strcmp(n, ".") == 0 || strcmp(n, "..") == 0) continue;
      if (depth == 0 && strcmp(n, VS_RETIRED_NAME) == 0) continue;
      if (unlinkat(list.fd.fd, n, 0) == 0 || errno == ENOENT) continue;
      if (errno != EISDIR || depth >= VS_REMOVE_DEPTH) return -1;
      if (vs_remove_tree(list.fd.fd, n, depth + 1) != 0) return -1;
    }
    if (errno != 0) return -1;
    // A retired account directory's mark goes last: a reader that finds it
    // gone finds the directory gone too (swap.h).
    if (depth == 0 && unlinkat(list.fd.fd, VS_RETIRED_NAME, 0) != 0 && errno != ENOENT) return -1;
    if (unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
    if (errno != ENOTEMPTY && errno != EEXIST) return -1;
    // A save that opened the directory before the rename put a file in it.
  }
  errno = ENOTEMPTY;
  return -1;
}

// (files.h) Example of a stale view: on GlusterFS, a name another host has
// moved away, with the link count the file had while a move of that host
// held it under two names.
int vs_listed_as(const VsDirName &d, unsigned long long ino) {
  VsList list;
  list.fd.reset(openat(d.fd.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!list.fd.ok()) return -1;
  for (const char *n; (n = vs_list_next(list)) != nullptr;)
    if (strcmp(n, d.name) == 0) return ino == 0 || list.ino == ino ? 1 : 0;
  return errno == 0 ? 0 : -1;
}
