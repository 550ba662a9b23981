// The power-loss file system (plfs.cpp) as a test uses it: mounted over a
// backing directory for the life of a PlMount, unmounted on every path out
// (the destructor; and the file system process ends with its parent should
// the test die). cut() asks for the durable image of the tree.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>

// One request on the control socket; the answer line, or "" when the file
// system cannot be reached.
inline std::string pl_request(const std::string &sock, const std::string &line) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  std::string reply;
  if (connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0) {
    std::string req = line + "\n";
    if (write(fd, req.data(), req.size()) == (ssize_t)req.size()) {
      char ch;
      while (read(fd, &ch, 1) == 1 && ch != '\n') reply += ch;
    }
  }
  close(fd);
  return reply;
}

struct PlMount {
  std::string backing, mnt, sock;
  pid_t pid = -1;

  // Mounts the file system of `fs_binary` over `work`/backing at
  // `work`/mnt. An empty string on success, else what went wrong.
  std::string start(const std::string &fs_binary, const std::string &work) {
    backing = work + "/backing";
    mnt = work + "/mnt";
    sock = work + "/control.sock";
    mkdir(backing.c_str(), 0755);
    mkdir(mnt.c_str(), 0755);
    pid_t parent = getpid();
    pid = fork();
    if (pid < 0) return std::string("fork: ") + strerror(errno);
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      execl(fs_binary.c_str(), fs_binary.c_str(), backing.c_str(), mnt.c_str(), sock.c_str(),
            (char *)nullptr);
      _exit(127);
    }
    struct stat w, m;
    for (int i = 0; i < 1000; ++i) {
      if (pl_request(sock, "ping") == "ok" && stat(work.c_str(), &w) == 0 &&
          stat(mnt.c_str(), &m) == 0 && w.st_dev != m.st_dev)
        return "";
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return "the file system exited before it was mounted (is /dev/fuse there?)";
      }
      struct timespec ts = {0, 10 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
    stop();
    return "the file system did not come up within 10 s";
  }

  // The durable state as a fresh directory `dest` (absolute): "" or why not.
  std::string cut(const std::string &dest) const {
    std::string r = pl_request(sock, "cut " + dest);
    return r == "ok" ? "" : r.empty() ? "no answer from the file system" : r;
  }

  void stop() {
    if (pid <= 0) return;
    if (umount2(mnt.c_str(), 0) != 0) umount2(mnt.c_str(), MNT_DETACH);
    for (int i = 0; i < 500; ++i) {
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return;
      }
      if (i == 200) kill(pid, SIGTERM);
      struct timespec ts = {0, 10 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    umount2(mnt.c_str(), MNT_DETACH);
  }

  ~PlMount() { stop(); }
};

// Cuts from another thread at a random moment inside each call: call()
// runs one call while the cutter waits a random delay (uniform over the
// mean call's duration so far) and cuts into dir/midcall-<n>. It returns
// the image ("" when the cut failed) and the call's result in *rc.
class PlMidCallCutter {
 public:
  PlMidCallCutter(const PlMount &m, std::string dir, uint64_t seed)
      : m_(m), dir_(std::move(dir)), rng_(seed), thread_([this] { run(); }) {}
  ~PlMidCallCutter() {
    {
      std::lock_guard<std::mutex> g(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  template <typename F>
  std::string call(F fn, int *rc) {
    {
      std::lock_guard<std::mutex> g(mu_);
      ++started_;
    }
    cv_.notify_all();
    auto t0 = std::chrono::steady_clock::now();
    *rc = fn();
    total_us_ += (double)std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::steady_clock::now() - t0).count();
    std::unique_lock<std::mutex> l(mu_);
    window_us_ = (unsigned)(total_us_ / started_) + 1;
    cv_.wait(l, [&] { return done_ == started_; });
    return img_;
  }
  double mean_call_us() const { return started_ ? total_us_ / started_ : 0; }

 private:
  void run() {
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
      cv_.wait(l, [&] { return stop_ || started_ > done_; });
      if (stop_) return;
      unsigned delay = (unsigned)(rng_() % (window_us_ + 1));
      l.unlock();
      usleep(delay);
      std::string dest = dir_ + "/midcall-" + std::to_string(started_);
      std::string err = m_.cut(dest);
      l.lock();
      img_ = err.empty() ? dest : "";
      done_ = started_;
      cv_.notify_all();
    }
  }
  const PlMount &m_;
  std::string dir_;
  std::mt19937_64 rng_;
  std::mutex mu_;
  std::condition_variable cv_;
  int started_ = 0, done_ = 0;
  bool stop_ = false;
  unsigned window_us_ = 2000;
  double total_us_ = 0;
  std::string img_;
  std::thread thread_;  // last: starts once the rest is set up
};
