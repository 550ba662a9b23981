// The thread's io_uring ring and the batched reads through it (see ring.h).
#include "ring.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <liburing.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "files.h"

namespace {

std::atomic<int> s_ring_enabled{1};

// Counts the forks this process descends through: a ring set up under
// another count belongs to an ancestor. (getpid() is a system call per
// batch; a fork handler costs nothing.)
std::atomic<unsigned> s_fork_gen{0};
void vs_ring_forked(void) { s_fork_gen.fetch_add(1, std::memory_order_relaxed); }
// Registers the fork handler, once per process; false when it could not
// be (out of memory): no ring may be set up then, as a child could not
// tell its parent's ring from its own.
bool vs_ring_fork_hooked(void) {
  static const bool hooked = pthread_atfork(nullptr, nullptr, vs_ring_forked) == 0;
  return hooked;
}

// Submission entries: four per file (open, advice, read, close).
constexpr unsigned k_entries = 4 * VS_RING_BATCH;
constexpr size_t k_room = VS_RING_SLOT - YYJSON_PADDING_SIZE;
// Slots lie k_stride apart, not VS_RING_SLOT: at a power-of-two distance
// the first lines of all 64 slots share one cache set, and each batch's
// copies and parses evict each other (a third of the read time went to
// those misses). 17 lines more spreads them over distinct sets.
constexpr size_t k_stride = VS_RING_SLOT + 17 * 64;

// One thread's ring. Set up on first use and kept for the thread's life
// (setting one up costs tens of microseconds); its slots' buffer is
// allocated with it, once.
struct VsRing {
  struct io_uring ring;
  bool up = false;
  bool unusable = false;  // the kernel refuses rings here: plain reads only
  unsigned gen = 0;       // s_fork_gen when it was set up
  char *buf = nullptr;
  char *retired = nullptr;  // the buffer of a ring that failed (see vs_ring_drop)
  VsRing() = default;
  VsRing(const VsRing &) = delete;
  VsRing &operator=(const VsRing &) = delete;
  ~VsRing() {
    if (up && gen == s_fork_gen.load(std::memory_order_relaxed)) io_uring_queue_exit(&ring);
    free(buf);
    free(retired);
  }
};

thread_local VsRing s_ring;

// Gives up the ring after a failure. Its buffer is not reused: a request
// the kernel had taken may still be finishing while the ring goes away, so
// the buffer is kept aside until the next failure or the thread's end.
void vs_ring_drop(VsRing &r) {
  io_uring_queue_exit(&r.ring);
  r.up = false;
  free(r.retired);
  r.retired = r.buf;
  r.buf = nullptr;
}

bool vs_ring_up(VsRing &r) {
  if (r.up && r.gen == s_fork_gen.load(std::memory_order_relaxed)) return true;
  if (r.up) {
    // A forked child shares its parent's ring memory: it must never submit
    // through it. Its own copy of the mapping and descriptor go; the
    // parent's ring is untouched.
    io_uring_queue_exit(&r.ring);
    r.up = false;
  }
  if (r.unusable || !vs_ring_fork_hooked()) return false;
  // One issuer and completions run when this thread waits: the cheapest
  // ring, and each thread has its own. Kernels before 6.1 refuse the
  // flags (EINVAL): a plain ring then.
  struct io_uring_params p;
  memset(&p, 0, sizeof p);
  p.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  int rc = io_uring_queue_init_params(k_entries, &r.ring, &p);
  if (rc == -EINVAL) {
    memset(&p, 0, sizeof p);
    rc = io_uring_queue_init_params(k_entries, &r.ring, &p);
  }
  if (rc < 0) {
    // No io_uring (ENOSYS), turned off or filtered (EPERM, EACCES), or too
    // old (EINVAL): for good. A lack of memory or descriptors may pass.
    r.unusable = rc == -ENOSYS || rc == -EPERM || rc == -EACCES || rc == -EINVAL;
    return false;
  }
  if (!r.buf) r.buf = static_cast<char *>(malloc((size_t)VS_RING_BATCH * k_stride));
  if (!r.buf || io_uring_register_files_sparse(&r.ring, VS_RING_BATCH) < 0) {
    io_uring_queue_exit(&r.ring);
    return false;
  }
  r.up = true;
  r.gen = s_fork_gen.load(std::memory_order_relaxed);
  return true;
}

}  // namespace

int vs_ring_enabled(void) { return s_ring_enabled.load(std::memory_order_relaxed); }

void vs_ring_set_enabled(int on) { s_ring_enabled.store(on ? 1 : 0, std::memory_order_relaxed); }

bool vs_ring_add(VsRingBatch &b, const char *name, bool ring) {
  size_t n = strlen(name);
  if (b.n >= VS_RING_BATCH || n >= sizeof b.names[0]) return false;
  memcpy(b.names[b.n], name, n + 1);
  b.text[b.n] = nullptr;
  b.len[b.n] = 0;
  b.ring[b.n] = ring;
  b.n++;
  return true;
}

// Each file is one chain in the ring: openat2 into the direct descriptor
// slot of its index, an advice, a read into its buffer slot, then close of
// the descriptor slot. Steps and why each is safe:
//   - the open refuses links and leaving the directory exactly as the plain
//     read does; it fails the chain (IOSQE_IO_LINK): nothing is read or
//     closed for a file not opened;
//   - an advice on the file (POSIX_FADV_NORMAL, which changes nothing a
//     later open sees) is what tells a FIFO from a file: the kernel refuses
//     it with ESPIPE, while the read alone would take what a writer holding
//     the FIFO open had written (a name listed as a file can be replaced by
//     one before the open). A refused advice leaves the entry to the plain
//     read, which refuses a FIFO; other files that are not regular either
//     fail the read or fill the slot, and are left to it too;
//   - the advice and the read are hard-linked to the next step
//     (IOSQE_IO_HARDLINK), so a short or failed read still frees the slot
//     for the next batch;
//   - direct descriptors live in this thread's ring only: no descriptor of
//     the process is taken (no EMFILE race with other threads, no leak into
//     a child at exec);
//   - a file is only ever read whole or not at all here: a read that fills
//     its slot, an empty one or any error leaves the entry to the plain
//     read, which treats it as it always did. Another process replacing the
//     file meanwhile is the same rename the plain read meets: the read gets
//     either version whole, each being a file of its own.
int vs_ring_read(VsRingBatch &b, int dir_fd) {
  int want_files = 0;
  for (int i = 0; i < b.n; i++) {
    b.text[i] = nullptr;
    want_files += b.ring[i];
  }
  VsRing &r = s_ring;
  // Shared file systems read the plain way, whose retries know their stale
  // and cut views; the ring's gain is on local disks.
  if (want_files == 0 || vs_fs_shared() || !vs_ring_enabled() || !vs_ring_up(r)) return 0;
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = O_RDONLY | O_NONBLOCK;  // O_CLOEXEC: refused for direct descriptors
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  int res_open[VS_RING_BATCH], res_advice[VS_RING_BATCH], res_read[VS_RING_BATCH];
  unsigned want = 0;
  for (int i = 0; i < b.n; i++) {
    res_open[i] = res_advice[i] = res_read[i] = -ECANCELED;
    if (!b.ring[i]) continue;
    struct io_uring_sqe *sqe = io_uring_get_sqe(&r.ring);
    io_uring_prep_openat2_direct(sqe, dir_fd, b.names[i], &how, (unsigned)i);
    sqe->flags |= IOSQE_IO_LINK;
    io_uring_sqe_set_data64(sqe, (uint64_t)i * 4);
    sqe = io_uring_get_sqe(&r.ring);
    io_uring_prep_fadvise(sqe, i, 0, 0, POSIX_FADV_NORMAL);
    sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    io_uring_sqe_set_data64(sqe, (uint64_t)i * 4 + 3);
    sqe = io_uring_get_sqe(&r.ring);
    io_uring_prep_read(sqe, i, r.buf + (size_t)i * k_stride, (unsigned)k_room, 0);
    sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    io_uring_sqe_set_data64(sqe, (uint64_t)i * 4 + 1);
    sqe = io_uring_get_sqe(&r.ring);
    io_uring_prep_close_direct(sqe, (unsigned)i);
    io_uring_sqe_set_data64(sqe, (uint64_t)i * 4 + 2);
    want += 4;
  }
  // A wait cut short by a signal (EINTR) is waited again; one that fails,
  // or rounds that keep bringing nothing, give the ring up: it may hold
  // requests of this batch, so it is never reused with them, and a fresh
  // one is set up for the next batch.
  for (unsigned seen = 0, idle = 0; seen < want;) {
    int rc = io_uring_submit_and_wait(&r.ring, want - seen);
    struct io_uring_cqe *cqes[k_entries];
    unsigned got = rc < 0 && rc != -EINTR ? 0 : io_uring_peek_batch_cqe(&r.ring, cqes, k_entries);
    idle = got ? 0 : idle + 1;
    if ((rc < 0 && rc != -EINTR) || idle > 16) {
      vs_ring_drop(r);
      vs_ring_up(r);
      return 0;
    }
    for (unsigned k = 0; k < got; k++) {
      uint64_t d = io_uring_cqe_get_data64(cqes[k]);
      int i = (int)(d / 4);
      if (d % 4 == 0) res_open[i] = cqes[k]->res;
      if (d % 4 == 1) res_read[i] = cqes[k]->res;
      if (d % 4 == 3) res_advice[i] = cqes[k]->res;
    }
    io_uring_cq_advance(&r.ring, got);
    seen += got;
  }
  int read = 0;
  for (int i = 0; i < b.n; i++) {
    if (res_open[i] < 0 || res_advice[i] != 0 || res_read[i] <= 0 || (size_t)res_read[i] >= k_room)
      continue;
    b.text[i] = r.buf + (size_t)i * k_stride;
    b.len[i] = (size_t)res_read[i];
    memset(b.text[i] + b.len[i], 0, YYJSON_PADDING_SIZE);
    read++;
  }
  return read;
}
