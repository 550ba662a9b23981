// What a folder change's read relies on, held on the file system under
// test: after another host has replaced a file by rename, the read under
// the account's lock (list the directory, open the name, take an OFD read
// lock, read) must never be granted the lock and then read the replaced
// version. File systems keep that promise in different ways, and each is
// held here:
//   - GlusterFS: the client may still open the replaced file (its caches
//     resolve the name for a second or so), but the brick refuses a lock
//     on it (ESTALE, ENOENT), so the read is tried again;
//   - CephFS: the lock on a replaced file is granted (the mds grants locks
//     on files that are unlinked but open), but a client never opens it:
//     the rename revokes the other client's capabilities on the directory
//     first, so an open by name, even without the listing, finds the new
//     file;
//   - a local disk: one cache, the open finds the new file.
//
//   vs_sharedfs_locked_read [--rounds N] DIR_A DIR_B
// Host B replaces "list" (temporary file, fsync, rename) while host A
// holds the previous version open, then A
//   1. in the first round, locks the descriptor it held (the replaced
//      file): counted and timed (on CephFS the grant may wait for the
//      metadata server's tick, 5 s by default);
//   2. in even rounds, opens the name plainly and reads: current or stale;
//   3. in odd rounds, reads as the library does: refused, or granted and
//      current, or granted and stale (the broken promise).
// Exit status 1 when a granted lock read a stale version anywhere, or, on
// CephFS, when a plain open found the replaced file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <mntent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>

namespace {

struct Shared {
  std::atomic<long> written;  // the version B has renamed into place
  std::atomic<long> read;     // the version A is done with
  std::atomic<int> stop;
  std::atomic<long> write_us_max, write_us_sum;  // B's replacements
};

long now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000L + ts.tv_nsec / 1000;
}

// Slowest and total time of a step, in microseconds.
struct Timing {
  long max = 0, sum = 0, n = 0;
  void add(long us) {
    if (us > max) max = us;
    sum += us;
    n++;
  }
  void print(const char *what) const {
    if (n) printf("[locked-read] %s: mean %ld us, slowest %ld us\n", what, sum / n, max);
  }
};

std::string err(int e) {
  const char *n = strerrorname_np(e);
  return n ? n : std::to_string(e);
}

// The file system type of the mount holding path, from /proc/mounts.
std::string fs_type(const std::string &path) {
  char real[4096];
  if (!realpath(path.c_str(), real)) return "?";
  FILE *f = setmntent("/proc/mounts", "r");
  if (!f) return "?";
  std::string best, type = "?";
  while (struct mntent *m = getmntent(f)) {
    std::string d = m->mnt_dir;
    bool under = strncmp(real, d.c_str(), d.size()) == 0 &&
                 (d == "/" || real[d.size()] == '/' || real[d.size()] == 0);
    if (under && d.size() >= best.size()) best = d, type = m->mnt_type;
  }
  endmntent(f);
  return type;
}

bool write_version(const std::string &dir, long v) {
  std::string tmp = dir + "/list.tmp." + std::to_string(getpid()), text = std::to_string(v);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size() && fsync(fd) == 0;
  close(fd);
  return ok && rename(tmp.c_str(), (dir + "/list").c_str()) == 0;
}

// The version a descriptor reads, or -1.
long read_version(int fd) {
  char buf[64];
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return -1;
  buf[n] = 0;
  return atol(buf);
}

int read_lock(int fd) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_SETLK, &fl);
}

void wait_for(const std::atomic<long> &x, long v, const Shared *s) {
  while (x.load() < v && !s->stop.load()) usleep(200);
}

int host_b(const std::string &dir, long rounds, Shared *s) {
  for (long v = 1; v <= rounds && !s->stop.load(); v++) {
    wait_for(s->read, v - 1, s);  // A holds version v-1 open
    long t0 = now_us();
    bool ok = write_version(dir, v);
    long us = now_us() - t0;
    s->write_us_sum += us;
    if (us > s->write_us_max) s->write_us_max = us;
    if (!ok) {
      fprintf(stderr, "[locked-read] write of version %ld failed: %s\n", v, strerror(errno));
      s->stop.store(1);
      return 1;
    }
    s->written.store(v);
  }
  return 0;
}

int host_a(const std::string &dir, long rounds, Shared *s, const std::string &type) {
  std::map<std::string, long> n;
  Timing t_stale_lock, t_plain, t_locked;
  std::string path = dir + "/list";
  int held = open(path.c_str(), O_RDONLY);
  if (held < 0 || read_version(held) != 0) return fprintf(stderr, "[locked-read] no version 0\n"), 1;
  for (long v = 1; v <= rounds && !s->stop.load(); v++) {
    s->read.store(v - 1);
    wait_for(s->written, v, s);
    long t0 = now_us();
    if (v == 1) {
      n[std::string("lock on the replaced file: ") + (read_lock(held) == 0 ? "granted" : err(errno))]++;
      t_stale_lock.add(now_us() - t0);
    }
    t0 = now_us();
    close(held);
    held = -1;
    if (v % 2 == 0) {
      int fd = open(path.c_str(), O_RDONLY);
      long got = fd >= 0 ? read_version(fd) : -1;
      n[fd < 0      ? "plain open: " + err(errno)
        : got < 0   ? "plain open: read " + err(errno)
        : got == v  ? "plain open: current"
                    : "plain open: stale"]++;
      held = fd;
      t_plain.add(now_us() - t0);
    } else {
      DIR *d = opendir(dir.c_str());
      if (d) {
        while (readdir(d)) {
        }
        closedir(d);
      }
      int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0) {
        n["locked read: open " + err(errno)]++;
      } else if (read_lock(fd) != 0) {
        n["locked read: refused " + err(errno)]++;
      } else {
        long got = read_version(fd);
        n[got < 0    ? "locked read: granted, read " + err(errno)
          : got == v ? "locked read: granted, current"
                     : "locked read: granted, stale"]++;
      }
      held = fd;
      t_locked.add(now_us() - t0);
    }
    // Whatever A saw, the next round replaces the version it holds now
    // (held may be the replaced file, as a client whose view lags has).
    // A shared file system may answer ESTALE or ENOENT for a moment.
    for (long t0 = now_us(); held < 0 && now_us() - t0 < 3000000; usleep(1000))
      held = open(path.c_str(), O_RDONLY);
    if (held < 0) return fprintf(stderr, "[locked-read] cannot open: %s\n", strerror(errno)), 1;
  }
  s->read.store(rounds);
  close(held);
  for (auto &kv : n) printf("[locked-read] %s: %ld\n", kv.first.c_str(), kv.second);
  t_stale_lock.print("lock on the replaced file");
  t_plain.print("plain open and read");
  t_locked.print("locked read");
  if (rounds) printf("[locked-read] replacement by the other host: mean %ld us, slowest %ld us\n",
                     s->write_us_sum.load() / rounds, s->write_us_max.load());
  long broken = n["locked read: granted, stale"];
  if (type == "fuse.ceph-fuse" || type == "ceph") broken += n["plain open: stale"];
  printf("[locked-read] file system %s, %ld rounds, broken=%ld\n", type.c_str(), rounds, broken);
  return broken == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  long rounds = 100;
  int i = 1;
  if (argc > 2 && strcmp(argv[1], "--rounds") == 0) rounds = atol(argv[2]), i = 3;
  if (argc - i != 2 || rounds < 1) {
    fprintf(stderr, "usage: vs_sharedfs_locked_read [--rounds N] DIR_A DIR_B\n");
    return 2;
  }
  std::string sub = "/locked-read-" + std::to_string(getpid());
  std::string a = argv[i] + sub, b = argv[i + 1] + sub;
  if (mkdir(a.c_str(), 0700) != 0) return perror(a.c_str()), 2;
  auto *s = static_cast<Shared *>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (s == MAP_FAILED) return perror("mmap"), 2;
  s->read.store(-1);  // the mapping starts zeroed: nothing written yet
  if (!write_version(a, 0)) return perror("write"), 2;
  std::string type = fs_type(a);
  fflush(stdout);
  pid_t pb = fork();
  if (pb == 0) _exit(host_b(b, rounds, s));
  int rc = host_a(a, rounds, s, type);
  s->stop.store(1);
  int st = 0;
  waitpid(pb, &st, 0);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) rc = 1;
  unlink((a + "/list").c_str());
  rmdir(a.c_str());
  return rc;
}
