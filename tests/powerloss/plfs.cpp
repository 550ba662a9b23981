// A FUSE file system for power-loss tests: every operation passes through to
// a backing directory, and beside it a model keeps what a power cut would
// leave under the strictest POSIX reading:
//   - a file's data is what it held at the last fsync/fdatasync of any
//     descriptor of its inode (a file never synced is empty);
//   - a directory's entries are what it listed at its own last fsync;
//     creations, links, removals and renames in or out of it are durable
//     only from then on (a rename is durable in each of its two
//     directories as of each one's sync, so between the two syncs a cut
//     may show the file under both names, or under neither);
//   - a new directory's own entries are empty until it is synced;
//   - permission bits are those at creation, or at the inode's last sync.
// A client asks for "the state after a power cut now" over a Unix socket:
// one line "cut DEST", and the durable tree is written into the fresh
// directory DEST (answer "ok" or "error: ..."). "ping" answers "ok" once the
// file system serves requests.
//
// Usage: vs_powerloss_fs BACKING MOUNTPOINT SOCKET [fuse options]
// With VS_POWERLOSS_NO_RENAME_FLAGS=1 in its environment it refuses renames
// with flags (RENAME_NOREPLACE) with EINVAL, as GlusterFS does, so that
// movers take their fallback.
// It runs in the foreground; SIGTERM or `fusermount3 -u MOUNTPOINT` ends it.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// One inode of the model. Durable state only: the live state is the
// backing directory itself.
struct Node {
  char kind = 'f';                        // 'f' file, 'd' directory, 'l' link
  mode_t mode = 0;                        // permission bits (0: the image's default)
  std::string data;                       // durable bytes, or a link's target
  std::map<std::string, size_t> entries;  // a directory's durable entries
};

std::mutex s_mu;            // guards everything below; FUSE runs one thread
std::vector<Node> s_nodes;  // index 0: the root; never shrinks
// Backing inode number -> node. A creation always maps its inode number to
// a fresh node, so a number the backing file system reuses after a removal
// never inherits the removed file's durable state.
std::map<ino_t, size_t> s_by_ino;
int s_backing = -1;
std::string s_socket;
unsigned long s_file_syncs = 0, s_dir_syncs = 0, s_cuts = 0, s_refused_renames = 0;
bool s_refuse_rename_flags = false;

// "/a/b" -> "a/b" relative to the backing directory ("/" -> ".").
const char *rel(const char *path) {
  if (!path || path[0] != '/' || path[1] == '\0') return ".";
  return path + 1;
}

char kind_of(mode_t m) { return S_ISDIR(m) ? 'd' : S_ISLNK(m) ? 'l' : 'f'; }

size_t fresh_node(ino_t ino, char kind, mode_t mode) {
  s_nodes.push_back(Node{});
  s_nodes.back().kind = kind;
  s_nodes.back().mode = mode & 07777;
  s_by_ino[ino] = s_nodes.size() - 1;
  return s_nodes.size() - 1;
}

size_t node_of(const struct stat &st) {
  auto it = s_by_ino.find(st.st_ino);
  if (it != s_by_ino.end()) return it->second;
  return fresh_node(st.st_ino, kind_of(st.st_mode), st.st_mode);
}

bool read_all(int fd, std::string &out) {
  out.clear();
  char buf[65536];
  for (off_t off = 0;;) {
    ssize_t n = pread(fd, buf, sizeof buf, off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, (size_t)n);
    off += n;
  }
}

// A listing of the directory open at dfd, from its start (dfd itself
// stays open and untouched); NULL with errno set.
DIR *list_dir(int dfd) {
  int fd = openat(dfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR *d = fdopendir(fd);
  if (!d) {
    int e = errno;
    close(fd);
    errno = e;
  }
  return d;
}

// The directory open at dfd lists as its durable entries from now on.
int snapshot_dir(int dfd, size_t node) {
  DIR *d = list_dir(dfd);
  if (!d) return -errno;
  std::map<std::string, size_t> entries;
  for (struct dirent *e; (e = readdir(d)) != nullptr;) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries[e->d_name] = node_of(st);
  }
  closedir(d);
  s_nodes[node].entries.swap(entries);
  return 0;
}

// At mount, whatever the backing directory already holds counts as durable.
void adopt_tree(int dfd, size_t node) {
  snapshot_dir(dfd, node);
  for (const auto &[name, child] : std::map<std::string, size_t>(s_nodes[node].entries)) {
    Node &n = s_nodes[child];
    if (n.kind == 'd') {
      int sub = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) {
        adopt_tree(sub, child);
        close(sub);
      }
    } else if (n.kind == 'l') {
      char buf[PATH_MAX];
      ssize_t len = readlinkat(dfd, name.c_str(), buf, sizeof buf);
      if (len > 0) s_nodes[child].data.assign(buf, (size_t)len);
    } else {
      int fd = openat(dfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        read_all(fd, s_nodes[child].data);
        close(fd);
      }
    }
  }
}

// Writes the durable tree below `node` into the existing directory `dir`.
// A file reached by two names becomes two links of one file; a directory
// reached twice (a rename synced in the target only) is written twice;
// `path` stops a directory from being written inside itself.
int write_image(size_t node, const std::string &dir, std::map<size_t, std::string> &written,
                std::set<size_t> &path) {
  path.insert(node);
  for (const auto &[name, child] : s_nodes[node].entries) {
    const Node &n = s_nodes[child];
    std::string p = dir + "/" + name;
    if (n.kind == 'd') {
      if (path.count(child)) continue;
      if (mkdir(p.c_str(), 0755) != 0 || (n.mode && chmod(p.c_str(), n.mode) != 0)) return -errno;
      int rc = write_image(child, p, written, path);
      if (rc != 0) return rc;
    } else if (n.kind == 'l') {
      if (symlink(n.data.c_str(), p.c_str()) != 0) return -errno;
    } else if (written.count(child)) {
      if (link(written[child].c_str(), p.c_str()) != 0) return -errno;
    } else {
      int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, n.mode ? n.mode : 0644);
      if (fd < 0) return -errno;
      if (n.mode) fchmod(fd, n.mode);  // past the umask
      ssize_t w = n.data.empty() ? 0 : write(fd, n.data.data(), n.data.size());
      int e = errno;
      close(fd);
      if (w != (ssize_t)n.data.size()) return w < 0 ? -e : -EIO;
      written[child] = p;
    }
  }
  path.erase(node);
  return 0;
}

std::string cut(const std::string &dest) {
  std::lock_guard<std::mutex> g(s_mu);
  if (dest.empty() || dest[0] != '/') return "error: DEST must be an absolute path";
  if (mkdir(dest.c_str(), 0755) != 0) return std::string("error: mkdir: ") + strerror(errno);
  std::map<size_t, std::string> written;
  std::set<size_t> path;
  int rc = write_image(0, dest, written, path);
  if (rc != 0) return std::string("error: writing the image: ") + strerror(-rc);
  ++s_cuts;
  return "ok";
}

void serve_control(int lfd) {
  for (;;) {
    int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR) continue;
      return;
    }
    std::string line;
    char ch;
    while (read(c, &ch, 1) == 1 && ch != '\n') line += ch;
    std::string reply;
    if (line == "ping") {
      reply = "ok";
    } else if (line.rfind("cut ", 0) == 0) {
      reply = cut(line.substr(4));
    } else if (line == "stats") {
      std::lock_guard<std::mutex> g(s_mu);
      reply = "ok file_syncs=" + std::to_string(s_file_syncs) +
              " dir_syncs=" + std::to_string(s_dir_syncs) + " cuts=" + std::to_string(s_cuts) +
              " refused_renames=" + std::to_string(s_refused_renames);
    } else {
      reply = "error: unknown request";
    }
    reply += "\n";
    if (write(c, reply.data(), reply.size()) < 0) { /* the client went away */ }
    close(c);
  }
}

// ---- pass-through operations ------------------------------------------------

int pl_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
  int rc = fi ? fstat((int)fi->fh, st) : fstatat(s_backing, rel(path), st, AT_SYMLINK_NOFOLLOW);
  return rc == 0 ? 0 : -errno;
}

int pl_readlink(const char *path, char *buf, size_t size) {
  ssize_t n = readlinkat(s_backing, rel(path), buf, size - 1);
  if (n < 0) return -errno;
  buf[n] = '\0';
  return 0;
}

// A creation: the new inode starts a node of its own with nothing durable.
int created(const char *path, char kind) {
  struct stat st;
  if (fstatat(s_backing, rel(path), &st, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
  std::lock_guard<std::mutex> g(s_mu);
  fresh_node(st.st_ino, kind, st.st_mode);
  return 0;
}

int pl_mknod(const char *path, mode_t mode, dev_t dev) {
  if (mknodat(s_backing, rel(path), mode, dev) != 0) return -errno;
  return created(path, 'f');
}

int pl_mkdir(const char *path, mode_t mode) {
  if (mkdirat(s_backing, rel(path), mode) != 0) return -errno;
  return created(path, 'd');
}

int pl_unlink(const char *path) { return unlinkat(s_backing, rel(path), 0) == 0 ? 0 : -errno; }

int pl_rmdir(const char *path) {
  return unlinkat(s_backing, rel(path), AT_REMOVEDIR) == 0 ? 0 : -errno;
}

int pl_symlink(const char *target, const char *path) {
  if (symlinkat(target, s_backing, rel(path)) != 0) return -errno;
  int rc = created(path, 'l');
  std::lock_guard<std::mutex> g(s_mu);
  if (rc == 0) s_nodes.back().data = target;  // a link's target comes with its entry
  return rc;
}

int pl_rename(const char *from, const char *to, unsigned int flags) {
  if (flags != 0 && s_refuse_rename_flags) {
    std::lock_guard<std::mutex> g(s_mu);
    ++s_refused_renames;
    return -EINVAL;
  }
  int rc = (int)renameat2(s_backing, rel(from), s_backing, rel(to), flags);
  return rc == 0 ? 0 : -errno;
}

int pl_link(const char *from, const char *to) {
  return linkat(s_backing, rel(from), s_backing, rel(to), 0) == 0 ? 0 : -errno;
}

int pl_chmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
  int rc = fi ? fchmod((int)fi->fh, mode) : fchmodat(s_backing, rel(path), mode, 0);
  return rc == 0 ? 0 : -errno;
}

int pl_chown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi) {
  int rc = fi ? fchown((int)fi->fh, uid, gid)
              : fchownat(s_backing, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW);
  return rc == 0 ? 0 : -errno;
}

int pl_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
  if (fi) return ftruncate((int)fi->fh, size) == 0 ? 0 : -errno;
  int fd = openat(s_backing, rel(path), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -errno;
  int rc = ftruncate(fd, size) == 0 ? 0 : -errno;
  close(fd);
  return rc;
}

int pl_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi) {
  int rc = fi ? futimens((int)fi->fh, tv) : utimensat(s_backing, rel(path), tv, AT_SYMLINK_NOFOLLOW);
  return rc == 0 ? 0 : -errno;
}

int pl_open(const char *path, struct fuse_file_info *fi) {
  int fd = openat(s_backing, rel(path), (fi->flags & ~O_CREAT) | O_CLOEXEC);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

// O_CREAT: the node is fresh only when this call made the file (O_EXCL
// first, then the plain open of a file that was there already).
int pl_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
  int fd = openat(s_backing, rel(path), fi->flags | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  bool made = fd >= 0;
  if (fd < 0 && errno == EEXIST && !(fi->flags & O_EXCL))
    fd = openat(s_backing, rel(path), (fi->flags & ~O_CREAT) | O_CLOEXEC);
  if (fd < 0) return -errno;
  if (made) {
    struct stat st;
    if (fstat(fd, &st) == 0) {
      std::lock_guard<std::mutex> g(s_mu);
      fresh_node(st.st_ino, 'f', st.st_mode);
    }
  }
  fi->fh = (uint64_t)fd;
  return 0;
}

int pl_read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  ssize_t n = pread((int)fi->fh, buf, size, off);
  return n < 0 ? -errno : (int)n;
}

int pl_write(const char *, const char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  ssize_t n = pwrite((int)fi->fh, buf, size, off);
  return n < 0 ? -errno : (int)n;
}

int pl_statfs(const char *, struct statvfs *st) {
  return fstatvfs(s_backing, st) == 0 ? 0 : -errno;
}

// Files and directories alike: fh is the backing descriptor.
int pl_release(const char *, struct fuse_file_info *fi) {
  close((int)fi->fh);
  return 0;
}

// A sync reaches the backing file system too (a real cut of the test
// machine then loses nothing the model keeps), and names the inode.
int fsync_stat(int fd, struct stat &st) { return fsync(fd) != 0 ? -1 : fstat(fd, &st); }

// The file's bytes as they are now become its durable data. The descriptor
// may be write-only, so the bytes are read through a fresh one.
int pl_fsync(const char *, int, struct fuse_file_info *fi) {
  int fd = (int)fi->fh;
  struct stat st;
  if (fsync_stat(fd, st) != 0) return -errno;
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  int rfd = open(proc, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (rfd < 0) return -errno;
  std::string bytes;
  bool ok = read_all(rfd, bytes);
  int e = errno;
  close(rfd);
  if (!ok) return -e;
  std::lock_guard<std::mutex> g(s_mu);
  Node &n = s_nodes[node_of(st)];
  n.data.swap(bytes);
  n.mode = st.st_mode & 07777;
  ++s_file_syncs;
  return 0;
}

int pl_opendir(const char *path, struct fuse_file_info *fi) {
  int fd = openat(s_backing, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

int pl_readdir(const char *, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *fi,
               enum fuse_readdir_flags) {
  DIR *d = list_dir((int)fi->fh);
  if (!d) return -errno;
  for (struct dirent *e; (e = readdir(d)) != nullptr;) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = e->d_ino;
    st.st_mode = (mode_t)(DTTOIF(e->d_type));
    if (fill(buf, e->d_name, &st, 0, (enum fuse_fill_dir_flags)0)) break;
  }
  closedir(d);
  return 0;
}

// The directory's entries as they are now become its durable entries.
int pl_fsyncdir(const char *, int, struct fuse_file_info *fi) {
  int fd = (int)fi->fh;
  struct stat st;
  if (fsync_stat(fd, st) != 0) return -errno;
  std::lock_guard<std::mutex> g(s_mu);
  size_t node = node_of(st);
  s_nodes[node].mode = st.st_mode & 07777;
  int rc = snapshot_dir(fd, node);
  if (rc == 0) ++s_dir_syncs;
  return rc;
}

int pl_fallocate(const char *, int mode, off_t off, off_t len, struct fuse_file_info *fi) {
  return fallocate((int)fi->fh, mode, off, len) == 0 ? 0 : -errno;
}

int s_control_fd = -1;

void *pl_init(struct fuse_conn_info *, struct fuse_config *cfg) {
  cfg->use_ino = 1;
  cfg->hard_remove = 1;  // no ".fuse_hidden" names in the tree
  cfg->nullpath_ok = 1;
  // Only now is the file system served: the control socket's "ping"
  // answering means the mount is ready.
  std::thread(serve_control, s_control_fd).detach();
  return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s BACKING MOUNTPOINT SOCKET [fuse options]\n", argv[0]);
    return 2;
  }
  s_backing = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s_backing < 0) {
    fprintf(stderr, "vs_powerloss_fs: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  struct stat st;
  if (fstat(s_backing, &st) != 0) return 1;
  s_nodes.push_back(Node{});
  s_nodes[0].kind = 'd';
  s_by_ino[st.st_ino] = 0;
  adopt_tree(s_backing, 0);

  const char *refuse = getenv("VS_POWERLOSS_NO_RENAME_FLAGS");
  s_refuse_rename_flags = refuse && strcmp(refuse, "1") == 0;
  s_socket = argv[3];
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (s_socket.size() >= sizeof addr.sun_path) {
    fprintf(stderr, "vs_powerloss_fs: socket path too long\n");
    return 2;
  }
  memcpy(addr.sun_path, s_socket.c_str(), s_socket.size() + 1);
  unlink(s_socket.c_str());
  s_control_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s_control_fd < 0 || bind(s_control_fd, (struct sockaddr *)&addr, sizeof addr) != 0 ||
      listen(s_control_fd, 8) != 0) {
    fprintf(stderr, "vs_powerloss_fs: %s: %s\n", s_socket.c_str(), strerror(errno));
    return 1;
  }

  struct fuse_operations ops;
  memset(&ops, 0, sizeof ops);
  ops.getattr = pl_getattr;
  ops.readlink = pl_readlink;
  ops.mknod = pl_mknod;
  ops.mkdir = pl_mkdir;
  ops.unlink = pl_unlink;
  ops.rmdir = pl_rmdir;
  ops.symlink = pl_symlink;
  ops.rename = pl_rename;
  ops.link = pl_link;
  ops.chmod = pl_chmod;
  ops.chown = pl_chown;
  ops.truncate = pl_truncate;
  ops.utimens = pl_utimens;
  ops.open = pl_open;
  ops.create = pl_create;
  ops.read = pl_read;
  ops.write = pl_write;
  ops.statfs = pl_statfs;
  ops.release = pl_release;
  ops.fsync = pl_fsync;
  ops.opendir = pl_opendir;
  ops.readdir = pl_readdir;
  ops.releasedir = pl_release;
  ops.fsyncdir = pl_fsyncdir;
  ops.fallocate = pl_fallocate;
  ops.init = pl_init;

  // Foreground and one thread: every operation and every cut are ordered by
  // s_mu, so a cut sees each sync either whole or not at all.
  std::vector<char *> args = {argv[0], argv[2], (char *)"-f", (char *)"-s"};
  for (int i = 4; i < argc; ++i) args.push_back(argv[i]);
  int rc = fuse_main((int)args.size(), args.data(), &ops, nullptr);
  close(s_control_fd);
  unlink(s_socket.c_str());
  return rc;
}
