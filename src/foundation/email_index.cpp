// The e-mail index (see email_index.h): keys, the entry format, the
// lock-free read of lookups and the locked changes of writers.
//
// Who may change an entry, and why two writers never both win:
//  1. A new entry is made only by link(2) of a complete, flushed temporary
//     file onto the entry name. link fails when any file has the name, on
//     local file systems, NFS v4, GlusterFS and CephFS alike, so of two
//     writers making the entry of one address exactly one succeeds; a
//     reader never sees a partial entry. The maker locks its temporary file before the
//     link, so the entry is locked from its first moment.
//  2. An existing entry is replaced (rename of a new locked temporary file
//     over it) or removed only by the holder of the lock on the file the
//     name points to, and only after it has checked, lock in hand, that the
//     name still points to that file. Another writer that waited for the
//     same lock finds the name moved on and starts again with the new file.
//  3. A registration keeps its entry locked until the account is complete
//     or its claim is removed again. Its lock goes with its process, so the
//     entry of a registration that died is taken over by the next writer,
//     while one still running is waited for, never taken.
#include "email_index.h"

#include <errno.h>
#include <fcntl.h>
#include <sha2.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "atomic_write.h"
#include "locks.h"
#include "results.h"
#include "text.h"

int vs_index_dir(char *buf, size_t size, const char *root) {
  return vs_path(buf, size, "%s/" VS_USERS_NAME "/" VS_INDEX_NAME, root);
}

int vs_index_file(char *buf, size_t size, const char *root, const char *name) {
  return vs_path(buf, size, "%s/" VS_USERS_NAME "/" VS_INDEX_NAME "/%s", root, name);
}

void vs_index_key(const char *email, char out[VS_INDEX_KEY_BUF]) {
  SHA2_CTX ctx;
  SHA256Init(&ctx);
  // Folded in small pieces: the address itself may be long.
  uint8_t piece[256];
  size_t n = 0;
  for (const unsigned char *p = (const unsigned char *)email; *p; p++) {
    piece[n++] = vs_email_fold(*p);
    if (n == sizeof piece) {
      SHA256Update(&ctx, piece, n);
      n = 0;
    }
  }
  SHA256Update(&ctx, piece, n);
  SHA256End(&ctx, out);  // lower-case hex and a NUL
}

int vs_index_entry_name(const char *name) {
  size_t i = 0;
  for (; name[i]; i++) {
    char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
  }
  return i == VS_INDEX_KEY_LEN;
}

int vs_index_format(char *buf, const char *user_id, const char *email) {
  static const char head[] = "{\"id\":\"";
  static const char mid[] = "\",\"email\":\"";
  size_t pos = 0;
  if (vs_path(buf, VS_INDEX_ENTRY_MAX, "%s%s%s", head, user_id, mid) != 0) return -1;
  pos = strlen(buf);
  if (vs_json_escape(buf, VS_INDEX_ENTRY_MAX, &pos, email) != 0) return -1;
  pos--;  // over the escape's NUL
  if (pos + 3 > VS_INDEX_ENTRY_MAX) return -1;
  memcpy(buf + pos, "\"}", 3);
  return (int)(pos + 2);
}

int vs_stored_email(yyjson_val *v, const char **email) {
  if (!yyjson_is_str(v)) return 0;
  const char *e = yyjson_get_str(v);
  size_t len = yyjson_get_len(v);
  if (len == 0 || memchr(e, '\0', len) != nullptr) return -1;
  *email = e;
  return 1;
}

int vs_profile_email(yyjson_val *profile_root, const char **email) {
  return vs_stored_email(yyjson_obj_get(profile_root, "email"), email);
}

int vs_index_parse(const char *text, size_t len, VsDoc &doc, const char **id,
                   const char **email) {
  doc.reset(vs_parse(text, len));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  yyjson_val *iv = yyjson_obj_get(root, "id");
  const char *i = yyjson_get_str(iv);
  const char *e = nullptr;
  // An id is whole (no NUL inside) and usable, the address one that matches.
  if (!i || strlen(i) != yyjson_get_len(iv) || !vs_id_safe(i) || strlen(i) > VS_UUID_LEN ||
      vs_stored_email(yyjson_obj_get(root, "email"), &e) != 1)
    return -1;
  *id = i;
  *email = e;
  return 0;
}

// Reads an open entry to its end into text (VS_INDEX_ENTRY_MAX bytes, a NUL
// after what was read). 0, or -1 with errno.
static int vs_index_read_fd(int fd, char *text, size_t *len) {
  size_t got = 0;
  while (got < VS_INDEX_ENTRY_MAX - 1) {
    ssize_t n = pread(fd, text + got, VS_INDEX_ENTRY_MAX - 1 - got, (off_t)got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += (size_t)n;
  }
  text[got] = '\0';
  *len = got;
  return 0;
}

int vs_index_read(const char *root, const char *email, char id_out[VS_ID_BUF]) {
  char key[VS_INDEX_KEY_BUF], path[VS_ENTRY_PATH];
  vs_index_key(email, key);
  if (vs_index_file(path, sizeof path, root, key) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  VsFd fd(vs_open_beneath(root, path, O_RDONLY | O_NONBLOCK, 0));
  if (!fd.ok()) return errno == ENOENT || errno == ENOTDIR ? 1 : -1;
  char text[VS_INDEX_ENTRY_MAX];
  size_t len = 0;
  if (vs_index_read_fd(fd.fd, text, &len) != 0) return errno == EISDIR ? 2 : -1;
  fd.reset();
  VsDoc doc;
  const char *id = nullptr, *stored = nullptr;
  if (vs_index_parse(text, len, doc, &id, &stored) != 0 || !vs_email_equal(stored, email))
    return 2;
  vs_copy_text(id_out, VS_ID_BUF, id);
  return 0;
}

int vs_index_authoritative(const char *root) {
  char path[VS_ENTRY_PATH];
  if (vs_index_file(path, sizeof path, root, VS_INDEX_MARKER_NAME) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (faccessat(AT_FDCWD, path, F_OK, AT_SYMLINK_NOFOLLOW) == 0) return 1;
  return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
}

void VsIndexHold::release() { vs_lock_drop(fd); }

// Forms the path of the entry named key and opens its directory (made when
// create is set).
static int vs_index_open(const char *root, const char *key, VsIndexHold &h, bool create) {
  if (vs_index_file(h.path, sizeof h.path, root, key) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "index: path too long");
    return -1;
  }
  if (create) {
    char dir[VS_ENTRY_PATH];
    if (vs_index_dir(dir, sizeof dir, root) != 0 || vs_mkdir(root, dir) != 0) return -1;
  }
  if (vs_open_parent(root, h.path, h.dir) != 0) {
    if (!create && (errno == ENOENT || errno == ENOTDIR)) return 1;
    vs_error_errno(errno, "open failed: %s (%s)", h.path, strerror(errno));
    return -1;
  }
  return 0;
}

// Writes text into a flushed temporary file beside the entry and locks it:
// no one else knows the file yet, so the lock is had at once. tmp receives
// its name within the directory.
static int vs_index_temp(VsIndexHold &h, const char *text, size_t len, VsFd &fd,
                         char tmp[VS_TMP_PATH], const char **tmp_name, VsIndexSync sync) {
  if (vs_write_temp(h.path, h.dir, text, len, tmp, VS_TMP_PATH, fd, sync == VS_INDEX_SYNC) != 0)
    return -1;
  *tmp_name = tmp + (h.dir.name - h.path);
  if (vs_lock_take(fd.fd, 0) != 0) {
    int e = errno;
    fd.reset();
    unlinkat(h.dir.fd.fd, *tmp_name, 0);
    vs_error_errno(e, "lock failed: %s (%s)", h.path, strerror(e));
    return -1;
  }
  return 0;
}

int vs_index_create(const char *root, const char *key, const char *text, size_t len,
                    VsIndexHold &h, VsIndexSync sync) {
  h.release();
  if (vs_index_open(root, key, h, true) != 0) return -1;
  char tmp[VS_TMP_PATH];
  const char *tmp_name = nullptr;
  VsFd fd;
  if (vs_index_temp(h, text, len, fd, tmp, &tmp_name, sync) != 0) return -1;
  int rc = linkat(h.dir.fd.fd, tmp_name, h.dir.fd.fd, h.dir.name, 0);
  int e = errno;
  // The temporary name goes either way. Should removing it fail twice, the
  // entry is still whole and right; the leftover is a second name of it,
  // which `check` reports as a temporary file, safe to remove.
  if (unlinkat(h.dir.fd.fd, tmp_name, 0) != 0) unlinkat(h.dir.fd.fd, tmp_name, 0);
  if (rc != 0) {
    if (e == EEXIST) return 1;
    vs_error_errno(e, "link failed: %s -> %s (%s)", tmp, h.path, strerror(e));
    return -1;
  }
  // A claim that might not survive a power loss is no claim: taken back.
  if (sync == VS_INDEX_SYNC && vs_sync_dir_of(h.dir, h.path) != 0) {
    unlinkat(h.dir.fd.fd, h.dir.name, 0);
    return VS_INDEX_UNSYNCED;
  }
  h.fd.reset(fd.fd);
  fd.fd = -1;
  return 0;
}

int vs_index_lock(const char *root, const char *key, VsIndexHold &h, char *text) {
  h.release();
  int rc = vs_index_open(root, key, h, false);
  if (rc != 0) return rc;
  // A few rounds: each one that finds the name moved on means another
  // writer changed the entry meanwhile, which a registration does once. On
  // a shared file system the open can still reach an entry another host
  // has just removed or replaced (the client's cached name): the lock, the
  // status or the read of it then fail with ENOENT, ESTALE or EBADFD, which
  // is the same news, and the next round opens the name afresh.
  auto gone = [](int e) { return e == ENOENT || e == ESTALE || e == EBADFD; };
  for (int round = 0; round < 16; round++) {
    VsFd fd(openat(h.dir.fd.fd, h.dir.name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok()) {
      if (errno == ENOENT) return 1;
      vs_error_errno(errno, "open failed: %s (%s)", h.path, strerror(errno));
      return -1;
    }
    if (vs_lock_take(fd.fd, vs_lock_wait_ms()) != 0) {
      if (gone(errno)) continue;
      vs_error_errno(errno, "lock failed: %s (%s)", h.path,
                     errno == EAGAIN ? "held by another writer too long" : strerror(errno));
      return -1;
    }
    struct stat held, named;
    if (fstat(fd.fd, &held) != 0) {
      if (gone(errno)) continue;
      vs_error_errno(errno, "stat failed: %s (%s)", h.path, strerror(errno));
      return -1;
    }
    if (fstatat(h.dir.fd.fd, h.dir.name, &named, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return 1;  // removed while we waited
      if (gone(errno)) continue;
      vs_error_errno(errno, "stat failed: %s (%s)", h.path, strerror(errno));
      return -1;
    }
    if (held.st_ino != named.st_ino || held.st_dev != named.st_dev) continue;
    size_t len = 0;
    if (vs_index_read_fd(fd.fd, text, &len) != 0) {
      if (gone(errno)) continue;
      vs_error_errno(errno, "read failed: %s (%s)", h.path, strerror(errno));
      return -1;
    }
    h.fd.reset(fd.fd);
    fd.fd = -1;
    return 0;
  }
  vs_error_code(VAULT_BUSY, 0, "lock failed: %s (%s)", h.path, "changed too often");
  return -1;
}

int vs_index_replace(VsIndexHold &h, const char *text, size_t len, VsIndexSync sync) {
  char tmp[VS_TMP_PATH];
  const char *tmp_name = nullptr;
  VsFd fd;
  if (vs_index_temp(h, text, len, fd, tmp, &tmp_name, sync) != 0) return -1;
  // We hold the lock on the file the name points to: no one else replaces
  // or removes it meanwhile (steps 2 and 3 above).
  if (renameat(h.dir.fd.fd, tmp_name, h.dir.fd.fd, h.dir.name) != 0) {
    int e = errno;
    unlinkat(h.dir.fd.fd, tmp_name, 0);
    vs_error_errno(e, "rename failed: %s -> %s (%s)", tmp, h.path, strerror(e));
    return -1;
  }
  h.release();
  h.fd.reset(fd.fd);
  fd.fd = -1;
  // The new entry is in place (and held) even when its sync fails; it
  // names an account that does not exist yet, which no lookup trusts.
  if (sync == VS_INDEX_DEFER) return 0;
  return vs_sync_dir_of(h.dir, h.path) == 0 ? 0 : VS_INDEX_UNSYNCED;
}

int vs_index_remove(VsIndexHold &h, VsIndexSync sync) {
  // Tried twice: a claim that stays behind is harmless (no profile confirms
  // it, and the next registration takes it over), but it is clutter.
  if (unlinkat(h.dir.fd.fd, h.dir.name, 0) != 0 && errno != ENOENT &&
      unlinkat(h.dir.fd.fd, h.dir.name, 0) != 0 && errno != ENOENT) {
    vs_error_errno(errno, "remove failed: %s (%s)", h.path, strerror(errno));
    return -1;
  }
  int rc = sync == VS_INDEX_SYNC ? vs_sync_dir_of(h.dir, h.path) : 0;
  h.release();
  return rc;
}

int vs_index_sync_all(const char *root) {
  char dir[VS_ENTRY_PATH];
  if (vs_index_dir(dir, sizeof dir, root) != 0) {
    vs_error_errno(ENAMETOOLONG, "sync failed: %s (%s)", dir, strerror(ENAMETOOLONG));
    return -1;
  }
  VsList list;
  if (vs_list_open(list, root, dir) != 0 || syncfs(list.fd.fd) != 0) {
    vs_error_errno(errno, "sync failed: %s (%s)", dir, strerror(errno));
    return -1;
  }
  for (const char *name; (name = vs_list_next(list)) != nullptr;) {
    if (!vs_index_entry_name(name)) continue;
    VsFd fd(openat(list.fd.fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok() && errno == ENOENT) continue;  // removed meanwhile
    if (!fd.ok() || fsync(fd.fd) != 0) {
      vs_error_errno(errno, "sync failed: %s/%s (%s)", dir, name, strerror(errno));
      return -1;
    }
  }
  if (errno != 0 || fsync(list.fd.fd) != 0) {
    vs_error_errno(errno, "sync failed: %s (%s)", dir, strerror(errno));
    return -1;
  }
  return 0;
}
