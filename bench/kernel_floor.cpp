// The kernel's floor of the sync: only the work the kernel must do for one
// account's cipher files, with no JSON and no output. Two ways:
//   - ring: the listing (getdents64) and, 64 files a batch, one chain per
//     file in an io_uring ring: openat2 (RESOLVE_BENEATH|RESOLVE_NO_SYMLINKS)
//     into a direct descriptor -> [fadvise] -> read into the file's slot ->
//     close; one io_uring_enter per batch. With or without the fadvise step,
//     so its price shows.
//   - plain: the listing and openat, fstat, read, close of every file.
// Whatever the sync adds above the ring row is its own (parse, write,
// copies, bookkeeping); what the ring row costs no reader of these files
// can avoid. `vs_bench --kernel` times them next to the library, the
// plain floor and the SQLite peer in interleaved rounds.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <liburing.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bench.h"

namespace {

enum { KF_BATCH = 64, KF_SLOT = 16384, KF_STRIDE = KF_SLOT + 17 * 64, KF_LIST = 32768 };

struct KfRing {
  struct io_uring ring;
  bool up = false;
  char *buf = nullptr;
};
thread_local KfRing s_kf;

bool kf_ring_up() {
  KfRing &r = s_kf;
  if (r.up) return true;
  struct io_uring_params p;
  memset(&p, 0, sizeof p);
  p.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  if (io_uring_queue_init_params(4 * KF_BATCH, &r.ring, &p) < 0) return false;
  if (io_uring_register_files_sparse(&r.ring, KF_BATCH) < 0) return false;
  r.buf = static_cast<char *>(malloc((size_t)KF_BATCH * KF_STRIDE));
  memset(r.buf, 0, (size_t)KF_BATCH * KF_STRIDE);  // first touch outside the timing
  r.up = r.buf != nullptr;
  return r.up;
}

// The account's ciphers directory, opened without following a link.
int kf_open_ciphers(const char *root, const char *user_id) {
  char path[4600];
  snprintf(path, sizeof path, "%s/users/%s/ciphers", root, user_id);
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  return (int)syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
}

bool kf_item_name(const char *nm) {
  size_t n = strlen(nm);
  return nm[0] != '.' && n >= 6 && memcmp(nm + n - 5, ".json", 5) == 0 && !strstr(nm, ".tmp.");
}

// Lists the directory with getdents64, 32 KiB a call, and hands each item
// file's name and d_type to each.
template <typename F>
void kf_each_item(int dfd, F each) {
  alignas(8) char list[KF_LIST];
  for (;;) {
    long got = syscall(SYS_getdents64, dfd, list, sizeof list);
    if (got <= 0) return;
    for (long pos = 0; pos < got;) {
      struct dirent64 *e = reinterpret_cast<struct dirent64 *>(list + pos);
      pos += e->d_reclen;
      if (kf_item_name(e->d_name)) each(e->d_name, e->d_type);
    }
  }
}

// Submits one batch and waits for all of it; returns the bytes read.
long long kf_ring_batch(int dfd, char (*names)[256], int n, bool advise) {
  KfRing &r = s_kf;
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_NONBLOCK;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  unsigned want = 0;
  for (int i = 0; i < n; i++) {
    struct io_uring_sqe *sqe = io_uring_get_sqe(&r.ring);
    io_uring_prep_openat2_direct(sqe, dfd, names[i], &how, (unsigned)i);
    sqe->flags |= IOSQE_IO_LINK;
    io_uring_sqe_set_data64(sqe, 0);
    if (advise) {
      sqe = io_uring_get_sqe(&r.ring);
      io_uring_prep_fadvise(sqe, i, 0, 0, POSIX_FADV_NORMAL);
      sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
      io_uring_sqe_set_data64(sqe, 0);
      want++;
    }
    sqe = io_uring_get_sqe(&r.ring);
    io_uring_prep_read(sqe, i, r.buf + (size_t)i * KF_STRIDE, KF_SLOT - 64, 0);
    sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    io_uring_sqe_set_data64(sqe, 1);
    sqe = io_uring_get_sqe(&r.ring);
    io_uring_prep_close_direct(sqe, (unsigned)i);
    io_uring_sqe_set_data64(sqe, 0);
    want += 3;
  }
  long long bytes = 0;
  for (unsigned seen = 0; seen < want;) {
    if (io_uring_submit_and_wait(&r.ring, want - seen) < 0) return -1;
    struct io_uring_cqe *cqes[4 * KF_BATCH];
    unsigned got = io_uring_peek_batch_cqe(&r.ring, cqes, 4 * KF_BATCH);
    for (unsigned k = 0; k < got; k++)
      if (io_uring_cqe_get_data64(cqes[k]) == 1 && cqes[k]->res > 0) bytes += cqes[k]->res;
    io_uring_cq_advance(&r.ring, got);
    seen += got;
  }
  return bytes;
}

}  // namespace

long long kf_sync_ring(const char *root, const char *user_id, bool advise) {
  if (!kf_ring_up()) return -1;
  int dfd = kf_open_ciphers(root, user_id);
  if (dfd < 0) return -1;
  static thread_local char names[KF_BATCH][256];
  int n = 0;
  long long bytes = 0;
  kf_each_item(dfd, [&](const char *name, unsigned char type) {
    if (type != DT_REG) return;
    snprintf(names[n++], sizeof names[0], "%s", name);
    if (n == KF_BATCH) {
      bytes += kf_ring_batch(dfd, names, n, advise);
      n = 0;
    }
  });
  if (n) bytes += kf_ring_batch(dfd, names, n, advise);
  close(dfd);
  return bytes;
}

long long kf_sync_plain(const char *root, const char *user_id) {
  int dfd = kf_open_ciphers(root, user_id);
  if (dfd < 0) return -1;
  static thread_local char text[KF_SLOT];
  long long bytes = 0;
  kf_each_item(dfd, [&](const char *name, unsigned char) {
    int fd = openat(dfd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < KF_SLOT) {
      ssize_t r = read(fd, text, (size_t)st.st_size);
      if (r > 0) bytes += r;
    }
    close(fd);
  });
  close(dfd);
  return bytes;
}
