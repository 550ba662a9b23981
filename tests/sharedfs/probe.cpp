// What a file system answers to the calls the library makes while another
// client replaces or moves the file: every result of every call, as errno
// histograms, and how long a failure lasts when the same call is repeated.
// Run with two directories that are one directory seen from two hosts (two
// mounts of a shared volume), or the same directory twice.
//
//   vs_sharedfs_probe DIR_A DIR_B [SECONDS]
//
// Four experiments, SECONDS each (default 5), in a fresh subdirectory:
//   noreplace   renameat2(RENAME_NOREPLACE) onto a free and a taken name
//   replace     A replaces "doc" over and over (temporary file, fsync,
//               rename); readers on A and B open, fstat and read it, list
//               the directory and lstat the name
//   move        A moves "item" between two directories with link+unlink,
//               B opens it by the name it just listed
//   rmw         A and B rewrite "list" by open, read, write temporary,
//               rename, as a read-modify-write does
// Each line: "[probe] experiment side call result count" and, for failures
// that were retried, the retries and microseconds until the call succeeded.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
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

double now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

// Results are gathered per process and printed by it before it exits; the
// parent waits for each experiment's processes in turn, so lines do not mix.
struct Tally {
  struct Window {
    long n = 0, max_tries = 0;
    double max_us = 0;
  };
  std::map<std::string, long> n;
  std::map<std::string, Window> w;
  void hit(const std::string &k) { n[k]++; }
  // A failure of k that a repetition of the same call got past.
  void window(const std::string &k, long tries, double us) {
    Window &x = w[k];
    x.n++;
    if (us > x.max_us) x.max_us = us;
    if (tries > x.max_tries) x.max_tries = tries;
  }
  void print(const char *exp, const char *side) {
    for (auto &kv : n) printf("[probe] %s %s %s %ld\n", exp, side, kv.first.c_str(), kv.second);
    for (auto &kv : w)
      printf("[probe] %s %s %s: %ld passed on repetition (worst: %ld repetitions, %.0f us)\n", exp, side,
             kv.first.c_str(), kv.second.n, kv.second.max_tries, kv.second.max_us);
    fflush(stdout);
  }
};

std::string err(int e) {
  const char *n = strerrorname_np(e);
  return n ? n : std::to_string(e);
}

bool write_file(const std::string &path, const std::string &data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, data.data(), data.size()) == (ssize_t)data.size() && fsync(fd) == 0;
  close(fd);
  return ok;
}

// A document whose length can be told from its first line.
std::string doc_text(long seq) {
  size_t len = 100 + (size_t)(seq * 7919) % 5000;
  std::string s = std::to_string(len) + "\n";
  s.resize(len, 'x');
  return s;
}

std::atomic<int> *g_stop;

void noreplace(const std::string &a) {
  Tally t;
  std::string d = a + "/nr";
  mkdir(d.c_str(), 0700);
  write_file(d + "/src", "1");
  write_file(d + "/taken", "2");
  int r1 = renameat2(AT_FDCWD, (d + "/src").c_str(), AT_FDCWD, (d + "/taken").c_str(), RENAME_NOREPLACE);
  t.hit(std::string("renameat2-noreplace-onto-taken ") + (r1 == 0 ? "ok" : err(errno)));
  int r3 = linkat(AT_FDCWD, (d + "/src").c_str(), AT_FDCWD, (d + "/taken").c_str(), 0);
  t.hit(std::string("linkat-onto-taken ") + (r3 == 0 ? "ok" : err(errno)));
  int r2 = renameat2(AT_FDCWD, (d + "/src").c_str(), AT_FDCWD, (d + "/free").c_str(), RENAME_NOREPLACE);
  t.hit(std::string("renameat2-noreplace-onto-free ") + (r2 == 0 ? "ok" : err(errno)));
  t.print("noreplace", "A");
}

// One open, fstat and read to end of file of path: "" when the document
// came back whole, else what went wrong.
std::string read_attempt(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return "open " + err(errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    std::string e = "fstat " + err(errno);
    close(fd);
    return e;
  }
  std::string got;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, (size_t)n);
  std::string e = n < 0 ? "read " + err(errno) : "";
  if (close(fd) != 0 && e.empty()) e = "close " + err(errno);
  if (!e.empty()) return e;
  // What fstat said tells whether a check of the size could catch it.
  std::string size = (size_t)st.st_size == got.size() ? "= bytes read" : "!= bytes read";
  if (got.empty()) return "read empty (fstat size " + size + ")";
  if (got.size() != (size_t)atol(got.c_str())) return "read cut (fstat size " + size + ")";
  if ((size_t)st.st_size != got.size())
    return std::string("fstat size ") + ((size_t)st.st_size < got.size() ? "smaller" : "larger") +
           " than the whole document read";
  return "";
}

// A failed attempt is repeated (for at most 2 s) until the document comes
// back whole, to measure how long each kind of failure lasts.
void read_once(Tally &t, const std::string &path) {
  double t0 = now_us();
  std::string k = read_attempt(path);
  if (k.empty()) {
    t.hit("read whole");
    return;
  }
  t.hit(k);
  long tries = 0;
  std::string r = k;
  while (!r.empty() && now_us() - t0 < 2e6) {
    tries++;
    r = read_attempt(path);
  }
  if (r.empty()) t.window(k, tries, now_us() - t0);
  else t.hit(k + ": still failing after 2 s");
}

void list_once(Tally &t, const std::string &dir, const char *name) {
  DIR *d = opendir(dir.c_str());
  if (!d) {
    t.hit("opendir " + err(errno));
    return;
  }
  bool seen = false;
  errno = 0;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, name) == 0) seen = true;
  t.hit(errno ? "readdir " + err(errno) : seen ? "listing has it" : "listing lacks it");
  closedir(d);
  struct stat st;
  std::string p = dir + "/" + name;
  double t0 = now_us();
  if (lstat(p.c_str(), &st) == 0) {
    t.hit("lstat ok");
    return;
  }
  std::string k = "lstat " + err(errno);
  t.hit(k);
  long tries = 0;
  int r = -1;
  while (r != 0 && now_us() - t0 < 2e6) {
    tries++;
    r = lstat(p.c_str(), &st);
  }
  if (r == 0) t.window(k, tries, now_us() - t0);
  else t.hit(k + " for 2 s");
}

void replacer(const std::string &d, double seconds) {
  double end = now_us() + seconds * 1e6;
  long seq = 0;
  while (now_us() < end) {
    std::string tmp = d + "/doc.tmp." + std::to_string(getpid());
    write_file(tmp, doc_text(++seq));
    rename(tmp.c_str(), (d + "/doc").c_str());
  }
  g_stop->store(1);
  printf("[probe] replace A writer replaced %ld times\n", seq);
  fflush(stdout);
}

void replace_reader(const std::string &d, const char *exp, const char *side) {
  Tally t;
  for (long i = 0; !g_stop->load(); i++) {
    read_once(t, d + "/doc");
    if (i % 4 == 0) list_once(t, d, "doc");
  }
  t.print(exp, side);
}

// Moves "item" between live/ and trash/ by link then unlink (the fallback
// where no-replace rename is refused): a reader sees exactly one name at
// almost every moment and the same inode under it.
void link_mover(const std::string &d, double seconds) {
  double end = now_us() + seconds * 1e6;
  long moves = 0;
  std::string live = d + "/live/item", trash = d + "/trash/item";
  while (now_us() < end) {
    bool in_live = access(live.c_str(), F_OK) == 0;
    const std::string &from = in_live ? live : trash, &to = in_live ? trash : live;
    if (link(from.c_str(), to.c_str()) == 0) unlink(from.c_str());
    moves++;
  }
  g_stop->store(1);
  printf("[probe] move A mover moved %ld times\n", moves);
  fflush(stdout);
}

void move_reader(const std::string &d, const char *side) {
  Tally t;
  while (!g_stop->load()) {
    for (const char *sub : {"/live", "/trash"}) {
      DIR *dir = opendir((d + sub).c_str());
      if (!dir) continue;
      bool seen = false;
      while (struct dirent *e = readdir(dir))
        if (strcmp(e->d_name, "item") == 0) seen = true;
      closedir(dir);
      if (!seen) continue;
      int fd = open((d + sub + "/item").c_str(), O_RDONLY);
      t.hit(std::string("open after listing ") + (fd >= 0 ? "ok" : err(errno)));
      if (fd >= 0) close(fd);
    }
  }
  t.print("move", side);
}

// Read-modify-write of one list by both sides, as a folder save does.
void rmw(const std::string &d, const char *side, double seconds) {
  Tally t;
  double end = now_us() + seconds * 1e6;
  std::string path = d + "/list", tmp = d + "/list.tmp." + std::to_string(getpid());
  while (now_us() < end) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
      t.hit("open " + err(errno));
      continue;
    }
    struct stat st;
    char buf[65536];
    ssize_t n = 0;
    if (fstat(fd, &st) != 0) t.hit("fstat " + err(errno));
    else if ((n = read(fd, buf, sizeof buf)) < 0) t.hit("read " + err(errno));
    else t.hit(n == 0 ? "read empty" : "read ok");
    close(fd);
    if (n <= 0) continue;
    write_file(tmp, std::string(buf, (size_t)n) + side);
    if (rename(tmp.c_str(), path.c_str()) != 0) t.hit("rename " + err(errno));
  }
  t.print("rmw", side);
}

template <typename F>
pid_t fork_run(F fn) {
  fflush(stdout);
  pid_t p = fork();
  if (p == 0) {
    fn();
    _exit(0);
  }
  return p;
}

void wait_pids(std::initializer_list<pid_t> ps) {
  for (pid_t p : ps) waitpid(p, nullptr, 0);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: vs_sharedfs_probe DIR_A DIR_B [SECONDS]\n");
    return 2;
  }
  double seconds = argc > 3 ? atof(argv[3]) : 5;
  std::string sub = "/probe-" + std::to_string(getpid());
  std::string a = std::string(argv[1]) + sub, b = std::string(argv[2]) + sub;
  if (mkdir(a.c_str(), 0700) != 0) return perror(a.c_str()), 2;
  g_stop = static_cast<std::atomic<int> *>(
      mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));

  noreplace(a);

  write_file(a + "/doc", doc_text(0));
  g_stop->store(0);
  wait_pids({fork_run([&] { replacer(a, seconds); }), fork_run([&] { replace_reader(a, "replace", "A"); }),
             fork_run([&] { replace_reader(b, "replace", "B"); })});

  mkdir((a + "/live").c_str(), 0700);
  mkdir((a + "/trash").c_str(), 0700);
  write_file(a + "/live/item", "1");
  g_stop->store(0);
  wait_pids({fork_run([&] { link_mover(a, seconds); }), fork_run([&] { move_reader(a, "A"); }),
             fork_run([&] { move_reader(b, "B"); })});

  write_file(a + "/list", "x");
  wait_pids({fork_run([&] { rmw(a, "A", seconds); }), fork_run([&] { rmw(b, "B", seconds); })});

  return nftw(a.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
              FTW_DEPTH | FTW_PHYS) == 0 ? 0 : 1;
}
