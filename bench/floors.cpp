// The floors: for each benchmarked export, the work its design cannot avoid,
// written by hand. Each floor makes the same system calls on the same files
// as the export (open/fstat/read/close of every file it reads; the
// temporary file, write, fsync, close, rename and directory fsync of every
// write; the no-replace rename and both directory fsyncs of a move; the
// listings and status queries of the statistics) and the same yyjson reads
// and writes where the export handles JSON, with the same guarantees (no
// link below the data root is ever followed), and nothing else: paths are
// formed once with snprintf, a path below the root is opened in one
// openat2 call that refuses links (RESOLVE_NO_SYMLINKS), calls on the
// entries of an opened directory go relative to its descriptor, small files
// are read into a reused buffer, and text results are written straight
// into their static buffer.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "bench.h"
#include "foundation/email_index.h"

const char k_sync_tail[] =
    ",\"domains\":{\"disablePersonalOwner\":false,\"disableSend\":true,"
    "\"disableWebVault\":false,\"sshKeyHostDomains\":[],\"csp\":{}},"
    "\"object\":\"sync\"}";

static char s_fl_root[4300];
static char s_fl_cipher[65536];
static char s_fl_sync[BN_OUT_SIZE];
static char s_fl_stats[4352];
static char s_fl_scratch[65536];  // file texts up to 64 KiB; larger ones use the heap

void fl_set_root(const char *root) { snprintf(s_fl_root, sizeof s_fl_root, "%s", root); }

static int fl_id_ok(const char *id) {
  if (!id || !*id) return 0;
  size_t n = 0;
  for (const unsigned char *p = (const unsigned char *)id; *p; p++, n++) {
    unsigned char c = *p;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '-' || c == '_'))
      return 0;
  }
  return n <= 64;
}

static int fl_path(char *buf, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
static int fl_path(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  return n >= 0 && (size_t)n < size ? 0 : -1;
}

int bn_choose_id(yyjson_val *root, char out[VAULT_ID_SIZE]) {
  if (yyjson_is_obj(root)) {
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&it))) {
      if (!yyjson_equals_str(key, "id")) continue;
      const char *s = yyjson_get_str(yyjson_obj_iter_get_val(key));
      if (s && fl_id_ok(s) && strlen(s) <= 36) {
        memcpy(out, s, strlen(s) + 1);
        return 0;
      }
      break;
    }
  }
  unsigned char b[16];
  if (getrandom(b, sizeof b, 0) != (ssize_t)sizeof b) return -1;
  b[6] = (unsigned char)((b[6] & 0x0f) | 0x40);
  b[8] = (unsigned char)((b[8] & 0x3f) | 0x80);
  snprintf(out, VAULT_ID_SIZE,
           "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
           b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10],
           b[11], b[12], b[13], b[14], b[15]);
  return 0;
}

// The parts of a folder document a save uses: the id (chosen as the store
// does), the name and the revision date, each cut to its buffer. -1 when
// the text is not a JSON object or no id could be made.
int bn_folder_input(const char *json, char id[VAULT_ID_SIZE], char name[512], char rev[128]) {
  name[0] = rev[0] = '\0';
  yyjson_doc *in = yyjson_read_opts(const_cast<char *>(json), strlen(json), 0, nullptr, nullptr);
  if (!in) return -1;
  yyjson_val *root = yyjson_doc_get_root(in);
  int rc = yyjson_is_obj(root) ? bn_choose_id(root, id) : -1;
  if (rc == 0) {
    if (const char *s = yyjson_get_str(yyjson_obj_get(root, "name")))
      snprintf(name, 512, "%s", s);
    if (const char *s = yyjson_get_str(yyjson_obj_get(root, "revisionDate")))
      snprintf(rev, 128, "%s", s);
  }
  yyjson_doc_free(in);
  return rc;
}

// The edit of a folder save on a mutable copy of the list: the first entry
// with this id goes, the new entry is appended, the list is written
// minified. Frees md; returns the text (malloc'ed) or NULL.
char *bn_folder_edit(yyjson_mut_doc *md, const char *id, const char *name, const char *rev,
                     size_t *len) {
  yyjson_mut_val *arr = yyjson_mut_doc_get_root(md);
  size_t idx, max;
  yyjson_mut_val *el;
  yyjson_mut_arr_foreach(arr, idx, max, el) {
    const char *s = yyjson_mut_get_str(yyjson_mut_obj_get(el, "id"));
    if (s && strcmp(s, id) == 0) {
      yyjson_mut_arr_remove(arr, idx);
      break;
    }
  }
  yyjson_mut_val *entry = yyjson_mut_obj(md);
  yyjson_mut_obj_add_str(md, entry, "id", id);
  if (*name) yyjson_mut_obj_add_str(md, entry, "name", name);
  if (*rev) yyjson_mut_obj_add_str(md, entry, "revisionDate", rev);
  yyjson_mut_obj_add_str(md, entry, "object", "folder");
  yyjson_mut_arr_append(arr, entry);
  char *text = yyjson_mut_write_opts(md, 0, nullptr, len, nullptr);
  yyjson_mut_doc_free(md);
  return text;
}

static int fl_openat2(int dirfd, const char *path, int flags, mode_t mode, uint64_t resolve) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = (uint64_t)(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = resolve;
  int fd = (int)syscall(SYS_openat2, dirfd, path, &how, sizeof how);
  // Tools that do not know the call (valgrind 3.19) get a plain openat,
  // which costs the same but checks only the last component.
  if (fd < 0 && errno == ENOSYS) fd = openat(dirfd, path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
  return fd;
}

// Opens a path below the data root (it starts with the root and "/")
// without following a link anywhere below the root. One call when the
// root's own path holds no link; otherwise the root is opened first and
// the rest resolved beneath it.
static int fl_open_below(const char *path, int flags, mode_t mode = 0) {
  int fd = fl_openat2(AT_FDCWD, path, flags, mode, RESOLVE_NO_SYMLINKS);
  if (fd >= 0 || errno != ELOOP) return fd;
  int root = open(s_fl_root, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return -1;
  fd = fl_openat2(root, path + strlen(s_fl_root) + 1, flags, mode,
                  RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS);
  int e = errno;
  close(root);
  errno = e;
  return fd;
}

static DIR *fl_opendir_below(const char *path) {
  int fd = fl_open_below(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return nullptr;
  DIR *d = fdopendir(fd);
  if (!d) close(fd);
  return d;
}

// Temporary file, write, fsync, close, rename, fsync of the directory, all
// relative to the target's directory opened once.
static int fl_atomic_write(const char *dir, const char *name, const char *data, size_t len) {
  char tmp[4300];
  if (fl_path(tmp, sizeof tmp, "%s.tmp.%d", name, (int)(uint32_t)time(nullptr)) != 0) return -1;
  int dfd = fl_open_below(dir, O_RDONLY | O_DIRECTORY);
  if (dfd < 0) return -1;
  int fd = openat(dfd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    close(dfd);
    return -1;
  }
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      unlinkat(dfd, tmp, 0);
      close(dfd);
      return -1;
    }
    data += n;
    len -= (size_t)n;
  }
  if (fsync(fd) != 0 || close(fd) != 0 || renameat(dfd, tmp, dfd, name) != 0) {
    unlinkat(dfd, tmp, 0);
    close(dfd);
    return -1;
  }
  fsync(dfd);
  close(dfd);
  return 0;
}

// fstat, read, close of an opened file. The text lands in s_fl_scratch
// when it fits, else in a heap block the caller frees (*heap set).
// NUL-terminated.
static char *fl_read_fd(int fd, size_t *len, char **heap) {
  *heap = nullptr;
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > INT32_MAX) {
    close(fd);
    return nullptr;
  }
  size_t size = (size_t)st.st_size;
  char *buf = s_fl_scratch;
  if (size + 1 > sizeof s_fl_scratch) {
    buf = *heap = static_cast<char *>(malloc(size + 1));
    if (!buf) {
      close(fd);
      return nullptr;
    }
  }
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buf + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      free(*heap);
      *heap = nullptr;
      close(fd);
      return nullptr;
    }
    if (n == 0) break;
    got += (size_t)n;
  }
  close(fd);
  buf[got] = '\0';
  *len = got;
  return buf;
}

// Parses a whole opened file; the text is released before returning.
static yyjson_doc *fl_read_doc(int fd) {
  size_t len;
  char *heap;
  char *text = fl_read_fd(fd, &len, &heap);
  if (!text) return nullptr;
  yyjson_doc *doc = yyjson_read_opts(text, len, 0, nullptr, nullptr);
  free(heap);
  return doc;
}

static const int k_read_flags = O_RDONLY | O_NONBLOCK;

// ---- ciphers ---------------------------------------------------------------

int fl_cipher_save(const char *user_id, const char *json, char *id_out) {
  if (!fl_id_ok(user_id) || !json || !*json) return -1;
  size_t len = strlen(json);
  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(json), len, 0, nullptr, nullptr);
  if (!doc) return -1;
  char id[VAULT_ID_SIZE];
  int r = bn_choose_id(yyjson_doc_get_root(doc), id);
  yyjson_doc_free(doc);
  if (r != 0) return -1;
  char dir[4600], name[48];
  if (fl_path(dir, sizeof dir, "%s/users/%s/ciphers", s_fl_root, user_id) != 0) return -1;
  snprintf(name, sizeof name, "%s.json", id);
  if (fl_atomic_write(dir, name, json, len) != 0) return -1;
  if (id_out) memcpy(id_out, id, strlen(id) + 1);
  return 0;
}

// Opens the live file of a cipher: a regular file of at most max bytes,
// whose size goes to *size; -1 otherwise.
static int fl_cipher_open(const char *user_id, const char *cipher_id, size_t max, size_t *size) {
  if (!fl_id_ok(user_id) || !fl_id_ok(cipher_id)) return -1;
  char path[4600];
  if (fl_path(path, sizeof path, "%s/users/%s/ciphers/%s.json", s_fl_root, user_id,
              cipher_id) != 0)
    return -1;
  int fd = fl_open_below(path, k_read_flags);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size > max) {
    close(fd);
    return -1;
  }
  *size = (size_t)st.st_size;
  return fd;
}

// Reads up to size bytes of an open file into buf, NUL-terminates them and
// closes the file; false on a read error.
static bool fl_read_all(int fd, char *buf, size_t size, size_t *got) {
  *got = 0;
  while (*got < size) {
    ssize_t n = read(fd, buf + *got, size - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    *got += (size_t)n;
  }
  close(fd);
  buf[*got] = '\0';
  return true;
}

const char *fl_cipher_get(const char *user_id, const char *cipher_id) {
  s_fl_cipher[0] = '\0';
  size_t size = 0, got = 0;
  int fd = fl_cipher_open(user_id, cipher_id, 65534, &size);
  if (fd < 0) return nullptr;
  if (!fl_read_all(fd, s_fl_cipher, size, &got)) {
    s_fl_cipher[0] = '\0';
    return nullptr;
  }
  return s_fl_cipher;
}

// The same read into a heap text of the file's size, of any size.
char *fl_cipher_get_alloc(const char *user_id, const char *cipher_id, size_t *len) {
  size_t size = 0, got = 0;
  int fd = fl_cipher_open(user_id, cipher_id, INT32_MAX, &size);
  if (fd < 0) return nullptr;
  char *buf = static_cast<char *>(malloc(size + 1));
  if (!buf) {
    close(fd);
    return nullptr;
  }
  if (!fl_read_all(fd, buf, size, &got)) {
    free(buf);
    return nullptr;
  }
  if (len) *len = got;
  return buf;
}

// Existence test, no-replace rename, fsync of both directories; both
// directories opened once, link-safe, and everything relative to them.
static int fl_move(const char *user_id, const char *cipher_id, int to_trash) {
  if (!fl_id_ok(user_id) || !fl_id_ok(cipher_id)) return -1;
  char live_dir[4600], trash_dir[4600], name[80];
  if (fl_path(live_dir, sizeof live_dir, "%s/users/%s/ciphers", s_fl_root, user_id) != 0 ||
      fl_path(trash_dir, sizeof trash_dir, "%s/users/%s/trash", s_fl_root, user_id) != 0)
    return -1;
  snprintf(name, sizeof name, "%s.json", cipher_id);
  int live = fl_open_below(live_dir, O_RDONLY | O_DIRECTORY);
  if (live < 0) return -1;
  int trash = fl_open_below(trash_dir, O_RDONLY | O_DIRECTORY);
  if (trash < 0) {
    close(live);
    return -1;
  }
  int from = to_trash ? live : trash, to = to_trash ? trash : live;
  int r = 0;
  if (faccessat(from, name, F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
    r = 1;
  } else if (renameat2(from, name, to, name, RENAME_NOREPLACE) != 0) {
    r = -1;
  } else {
    fsync(from);
    fsync(to);
  }
  close(live);
  close(trash);
  return r;
}

int fl_cipher_delete(const char *user_id, const char *cipher_id) {
  return fl_move(user_id, cipher_id, 1);
}

int fl_cipher_restore(const char *user_id, const char *cipher_id) {
  return fl_move(user_id, cipher_id, 0);
}

// ---- folders -----------------------------------------------------------------

int fl_folder_save(const char *user_id, const char *json, char *id_out) {
  if (!fl_id_ok(user_id) || !json || !*json) return -1;
  char id[VAULT_ID_SIZE], name[512], rev[128];
  if (bn_folder_input(json, id, name, rev) != 0) return -1;

  char dir[4300], path[4600];
  if (fl_path(dir, sizeof dir, "%s/users/%s", s_fl_root, user_id) != 0 ||
      fl_path(path, sizeof path, "%s/folders.json", dir) != 0)
    return -1;
  yyjson_doc *list = fl_read_doc(fl_open_below(path, k_read_flags));
  if (!list || !yyjson_is_arr(yyjson_doc_get_root(list))) {
    yyjson_doc_free(list);
    return -1;
  }
  yyjson_mut_doc *md = yyjson_doc_mut_copy(list, nullptr);
  yyjson_doc_free(list);
  if (!md) return -1;
  size_t len;
  char *text = bn_folder_edit(md, id, name, rev, &len);
  if (!text) return -1;
  int r = fl_atomic_write(dir, "folders.json", text, len);
  free(text);
  if (r != 0) return -1;
  if (id_out) memcpy(id_out, id, strlen(id) + 1);
  return 0;
}

// ---- account lookup ------------------------------------------------------------

static int fl_email_equal(const char *a, const char *b) {
  for (; *a && *b; a++, b++) {
    unsigned char x = (unsigned char)*a, y = (unsigned char)*b;
    if (x >= 'A' && x <= 'Z') x = (unsigned char)(x + 32);
    if (y >= 'A' && y <= 'Z') y = (unsigned char)(y + 32);
    if (x != y) return 0;
  }
  return *a == *b;
}

// The outputs of a lookup from a matching profile.
static void fl_fill(yyjson_val *root, const char *id, char *user_id_out, uint32_t *iter,
                    char *hash_out, char *key_out) {
  if (user_id_out) snprintf(user_id_out, VAULT_ID_SIZE, "%s", id);
  if (iter) {
    yyjson_val *v = yyjson_obj_get(root, "kdfIterations");
    *iter = yyjson_is_int(v) ? (uint32_t)yyjson_get_uint(v) : 0;
  }
  if (hash_out)
    if (const char *s = yyjson_get_str(yyjson_obj_get(root, "masterPasswordHash")))
      snprintf(hash_out, VAULT_HASH_SIZE, "%s", s);
  if (key_out)
    if (const char *s = yyjson_get_str(yyjson_obj_get(root, "protectedKey")))
      snprintf(key_out, VAULT_KEY_SIZE, "%s", s);
}

// Through the e-mail index: its entry, then the profile it names; a miss
// asks only whether the index is authoritative (the sets used here are).
int fl_index_find(const char *email, char *user_id_out, uint32_t *iter, char *hash_out,
                  char *key_out) {
  if (!email || !*email) return -1;
  char key[VS_INDEX_KEY_BUF], path[4900];
  vs_index_key(email, key);
  if (fl_path(path, sizeof path, "%s/users/" VS_INDEX_NAME "/%s", s_fl_root, key) != 0) return -1;
  yyjson_doc *entry = fl_read_doc(fl_open_below(path, k_read_flags));
  if (!entry) {
    if (fl_path(path, sizeof path, "%s/users/" VS_INDEX_NAME "/" VS_INDEX_MARKER_NAME,
                s_fl_root) != 0)
      return -1;
    return access(path, F_OK) == 0 ? 1 : -1;
  }
  yyjson_val *e = yyjson_doc_get_root(entry);
  const char *id = yyjson_get_str(yyjson_obj_get(e, "id"));
  const char *em = yyjson_get_str(yyjson_obj_get(e, "email"));
  int rc = -1;
  if (id && em && fl_id_ok(id) && fl_email_equal(em, email) &&
      fl_path(path, sizeof path, "%s/users/%s/profile.json", s_fl_root, id) == 0) {
    if (yyjson_doc *doc = fl_read_doc(fl_open_below(path, k_read_flags))) {
      yyjson_val *root = yyjson_doc_get_root(doc);
      const char *pe = yyjson_get_str(yyjson_obj_get(root, "email"));
      if (pe && fl_email_equal(pe, email)) {
        fl_fill(root, id, user_id_out, iter, hash_out, key_out);
        rc = 0;
      }
      yyjson_doc_free(doc);
    }
  }
  yyjson_doc_free(entry);
  return rc;
}

int fl_find_by_email(const char *email, char *user_id_out, uint32_t *iter, char *hash_out,
                     char *key_out) {
  if (!email || !*email) return -1;
  char users[4420];
  if (fl_path(users, sizeof users, "%s/users", s_fl_root) != 0) return -1;
  DIR *d = fl_opendir_below(users);
  if (!d) return 1;
  int fd = dirfd(d);
  struct dirent *e;
  while ((e = readdir(d))) {
    const char *nm = e->d_name;
    if (nm[0] == '.' || strstr(nm, ".tmp.") || strlen(nm) > 64) continue;
    char rel[80];
    snprintf(rel, sizeof rel, "%s/profile.json", nm);
    yyjson_doc *doc = fl_read_doc(
        fl_openat2(fd, rel, k_read_flags, 0, RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS));
    if (!doc) continue;
    yyjson_val *root = yyjson_doc_get_root(doc);
    const char *em = yyjson_get_str(yyjson_obj_get(root, "email"));
    if (!em || !fl_email_equal(em, email)) {
      yyjson_doc_free(doc);
      continue;
    }
    fl_fill(root, nm, user_id_out, iter, hash_out, key_out);
    yyjson_doc_free(doc);
    closedir(d);
    return 0;
  }
  closedir(d);
  return 1;
}

// ---- sync document -------------------------------------------------------------

// The output: the static buffer with its 262142-byte limit, or (grow) a heap
// text that grows by half again whenever it is full.
struct FlOut {
  char *buf;
  size_t pos, cap;
  bool grow, full;
};

static void fl_put(FlOut &o, const char *s, size_t n) {
  if (o.full) return;
  if (o.grow && o.pos + n + 1 > o.cap) {
    size_t cap = o.cap + o.cap / 2;
    if (cap < o.pos + n + 1) cap = o.pos + n + 1;
    char *b = static_cast<char *>(realloc(o.buf, cap));
    if (!b) {
      o.full = true;
      return;
    }
    o.buf = b;
    o.cap = cap;
  }
  if (!o.grow && o.pos + n > BN_OUT_SIZE - 2) {  // at most 262142 bytes of text
    o.full = true;
    return;
  }
  memcpy(o.buf + o.pos, s, n);
  o.pos += n;
}

// One yyjson write of a parsed value, appended to the output.
static void fl_put_val(FlOut &o, yyjson_val *v) {
  size_t n;
  char *t = yyjson_val_write_opts(v, 0, nullptr, &n, nullptr);
  if (!t) {
    o.full = true;
    return;
  }
  fl_put(o, t, n);
  free(t);
}

// Builds the document into o; false when it failed or did not fit.
static bool fl_sync_into(FlOut &o, const char *user_id) {
  if (!fl_id_ok(user_id)) return false;
  char dir[4300], path[4600];
  if (fl_path(dir, sizeof dir, "%s/users/%s", s_fl_root, user_id) != 0 ||
      fl_path(path, sizeof path, "%s/profile.json", dir) != 0)
    return false;
  yyjson_doc *prof = fl_read_doc(fl_open_below(path, k_read_flags));
  if (!prof) return false;
  if (!yyjson_is_obj(yyjson_doc_get_root(prof))) {
    yyjson_doc_free(prof);
    return false;
  }
  fl_put(o, "{\"profile\":", 11);
  fl_put_val(o, yyjson_doc_get_root(prof));
  yyjson_doc_free(prof);

  fl_put(o, ",\"folders\":", 11);
  if (fl_path(path, sizeof path, "%s/folders.json", dir) != 0) return false;
  yyjson_doc *fold = fl_read_doc(fl_open_below(path, k_read_flags));
  if (fold && yyjson_is_arr(yyjson_doc_get_root(fold)))
    fl_put_val(o, yyjson_doc_get_root(fold));
  else
    fl_put(o, "[]", 2);
  yyjson_doc_free(fold);

  fl_put(o, ",\"ciphers\":[", 12);
  if (fl_path(path, sizeof path, "%s/ciphers", dir) != 0) return false;
  if (DIR *d = fl_opendir_below(path)) {
    int fd = dirfd(d);
    bool first = true;
    struct dirent *e;
    while (!o.full && (e = readdir(d))) {
      const char *nm = e->d_name;
      size_t n = strlen(nm);
      if (nm[0] == '.' || n < 6 || memcmp(nm + n - 5, ".json", 5) != 0 || strstr(nm, ".tmp."))
        continue;
      yyjson_doc *doc = fl_read_doc(openat(fd, nm, k_read_flags | O_NOFOLLOW | O_CLOEXEC));
      if (!doc) continue;
      if (!first) fl_put(o, ",", 1);
      first = false;
      fl_put_val(o, yyjson_doc_get_root(doc));
      yyjson_doc_free(doc);
    }
    closedir(d);
  }
  fl_put(o, "]", 1);
  fl_put(o, k_sync_tail, sizeof k_sync_tail - 1);
  if (o.full) return false;
  o.buf[o.pos] = '\0';
  return true;
}

const char *fl_sync(const char *user_id) {
  FlOut o{s_fl_sync, 0, sizeof s_fl_sync, false, false};
  if (fl_sync_into(o, user_id)) return s_fl_sync;
  s_fl_sync[0] = '\0';
  return nullptr;
}

char *fl_sync_alloc(const char *user_id, size_t *len) {
  FlOut o{static_cast<char *>(malloc(65536)), 0, 65536, true, false};
  if (!o.buf) return nullptr;
  if (!fl_sync_into(o, user_id)) {
    free(o.buf);
    return nullptr;
  }
  if (len) *len = o.pos;
  return o.buf;
}

// ---- statistics ----------------------------------------------------------------

static size_t fl_json_escape(char *out, size_t size, const char *s) {
  size_t n = 0;
  for (; *s && n + 7 < size; s++) {
    unsigned char c = (unsigned char)*s;
    if (c == '"' || c == '\\') {
      out[n++] = '\\';
      out[n++] = (char)c;
    } else if (c < 0x20) {
      n += (size_t)snprintf(out + n, size - n, "\\u%04x", c);
    } else {
      out[n++] = (char)c;
    }
  }
  out[n] = '\0';
  return n;
}

// Counts the non-"." entries of an opened directory that pass a name test,
// adding the sizes (fstatat relative to it) when asked. Closes it.
static long long fl_count(int fd, bool items, long long *bytes) {
  DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!d) {
    if (fd >= 0) close(fd);
    return 0;
  }
  long long n = 0;
  struct dirent *e;
  while ((e = readdir(d))) {
    const char *nm = e->d_name;
    size_t len = strlen(nm);
    if (nm[0] == '.' || len < 6 || memcmp(nm + len - 5, ".json", 5) != 0) continue;
    if (!items) {
      n++;
      continue;
    }
    if (strstr(nm, ".tmp.")) continue;
    n++;
    struct stat st;
    if (fstatat(dirfd(d), nm, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      *bytes += st.st_size;
  }
  closedir(d);
  return n;
}

const char *fl_stats(void) {
  s_fl_stats[0] = '\0';
  static char names[64][264];
  long long users = 0, ciphers = 0, folders = 0, trash = 0, bytes = 0;
  size_t kept = 0;
  char path[4900];
  if (fl_path(path, sizeof path, "%s/users", s_fl_root) != 0) return nullptr;
  DIR *ud = fl_opendir_below(path);
  if (ud) {
    struct dirent *e;
    while ((e = readdir(ud))) {
      if (e->d_name[0] == '.') continue;
      users++;
      if (kept < 64) snprintf(names[kept++], 264, "%s", e->d_name);
    }
  }
  // Each account directory is opened once, link-safe, beneath the users
  // directory; its three entries are then reached relative to it.
  for (size_t i = 0; i < kept; i++) {
    int acct = fl_openat2(dirfd(ud), names[i], O_PATH | O_DIRECTORY, 0,
                          RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS);
    if (acct < 0) continue;
    const int dflags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    ciphers += fl_count(openat(acct, "ciphers", dflags), true, &bytes);
    trash += fl_count(openat(acct, "trash", dflags), false, nullptr);
    struct stat st;
    if (fstatat(acct, "folders.json", &st, AT_SYMLINK_NOFOLLOW) == 0) {
      folders++;
      if (S_ISREG(st.st_mode)) bytes += st.st_size;
    }
    close(acct);
  }
  if (ud) closedir(ud);
  char root[4300 * 2];
  fl_json_escape(root, sizeof root, s_fl_root);
  int n = snprintf(s_fl_stats, sizeof s_fl_stats,
                   "{\"users\":%lld,\"ciphers\":%lld,\"folders\":%lld,\"trash\":%lld,"
                   "\"vault_bytes\":%lld,\"root\":\"%s\"}",
                   users, ciphers, folders, trash, bytes, root);
  if (n < 0 || (size_t)n >= sizeof s_fl_stats) {
    s_fl_stats[0] = '\0';
    return nullptr;
  }
  return s_fl_stats;
}

// The revision token's floor: the three stats it is made of, nothing else.
int fl_revision(const char *user_id) {
  static const char *const names[3] = {"profile.json", "folders.json", "ciphers"};
  unsigned long long sum = 0;
  for (const char *n : names) {
    char path[4600];
    if (fl_path(path, sizeof path, "%s/users/%s/%s", s_fl_root, user_id, n) != 0) return -1;
    struct stat st;
    if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    sum += (unsigned long long)st.st_ino + (unsigned long long)st.st_ctim.tv_nsec;
  }
  return sum != 0 ? 0 : -1;
}
