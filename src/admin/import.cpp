// Import of whole accounts: the staging, durable writes, claim and commit
// described in import.h.
#include "admin/import.h"

#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/email_index.h"
#include "foundation/files.h"
#include "foundation/results.h"
#include "foundation/temp_names.h"
#include "foundation/text.h"

VsStaged::~VsStaged() { free(email); }

// Removes the entry name below the directory at, a whole tree when it is
// a directory, without following a link. 0, or -1 (errno).
static int vs_remove_at(int at, const char *name, int depth) {
  if (unlinkat(at, name, 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return -1;
  if (depth > 16) {
    errno = ELOOP;
    return -1;
  }
  int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  DIR *d = fdopendir(fd);
  if (!d) {
    close(fd);
    return -1;
  }
  int rc = 0, e = 0;
  for (struct dirent *ent; (errno = 0, ent = readdir(d)) != nullptr;) {
    if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
    if (vs_remove_at(dirfd(d), ent->d_name, depth + 1) != 0 && !e) e = errno;
  }
  if (errno != 0 && !e) e = errno;
  closedir(d);
  if (!e && unlinkat(at, name, AT_REMOVEDIR) != 0 && errno != ENOENT) e = errno;
  if (e) rc = -1, errno = e;
  return rc;
}

// Removes a directory tree this import made or displaced. 0, or -1 (errno).
static int vs_remove_tree(const char *dir) { return vs_remove_at(AT_FDCWD, dir, 0); }

void vs_import_drop(VsStaged &s) {
  for (VsFd &f : s.fd) f.reset();
  if (s.dir[0]) vs_remove_tree(s.dir);
  s.dir[0] = '\0';
}

int vs_import_begin(const char *root, const char *uid, bool replace, VsStaged &s,
                    char *reason, size_t reason_size) {
  vs_copy_text(s.uid, sizeof s.uid, uid);
  s.replace = false;
  if (vs_account_paths(s.paths, root, uid) != 0) {
    vs_error("import: path too long for account %s", uid);
    return -1;
  }
  struct stat st;
  bool exists = fstatat(AT_FDCWD, s.paths.dir, &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) {
    vs_error("import: cannot examine %s (%s)", s.paths.dir, strerror(errno));
    return -1;
  }
  if (exists && !replace) {
    vs_copy_text(reason, reason_size, "the account exists (--replace replaces it)");
    return 1;
  }
  if (exists && !S_ISDIR(st.st_mode)) {
    vs_path(reason, reason_size, "users/%s is not a directory", uid);
    return 1;
  }
  s.replace = exists;

  // Hidden as well as marked: the statistics count every entry of users/
  // that does not start with a dot. Made without a sync of users/: nothing
  // needs it until the rename, after which users/ is synced.
  char users[VS_ACCOUNT_PATH], hidden[VS_ACCOUNT_PATH];
  if (vs_users_dir(users, sizeof users, root) != 0 ||
      vs_path(hidden, sizeof hidden, "%s/.%s", users, uid) != 0 ||
      vs_temp_retry_name(s.dir, sizeof s.dir, hidden, vs_temp_time()) != 0) {
    vs_error("import: path too long for account %s", uid);
    return -1;
  }
  if (vs_check_beneath(root, s.dir) != 0 || mkdir(s.dir, 0700) != 0) {
    vs_error("import: mkdir failed: %s (%s)", s.dir, strerror(errno));
    s.dir[0] = '\0';
    return -1;
  }
  s.fd[VS_STAGE_ACCOUNT].reset(vs_open_beneath(root, s.dir, O_RDONLY | O_DIRECTORY, 0));
  if (!s.fd[VS_STAGE_ACCOUNT].ok()) {
    vs_error("import: open failed: %s (%s)", s.dir, strerror(errno));
    return -1;
  }
  const char *sub[2] = {VS_CIPHERS_NAME, VS_TRASH_NAME};
  for (int i = 0; i < 2; i++) {
    int at = s.fd[VS_STAGE_ACCOUNT].fd;
    if (mkdirat(at, sub[i], 0700) != 0) {
      vs_error("import: mkdir failed: %s/%s (%s)", s.dir, sub[i], strerror(errno));
      return -1;
    }
    s.fd[i + 1].reset(openat(at, sub[i], O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!s.fd[i + 1].ok()) {
      vs_error("import: open failed: %s/%s (%s)", s.dir, sub[i], strerror(errno));
      return -1;
    }
  }
  return 0;
}

int vs_import_write(VsStaged &s, VsStageDir where, const char *name, const char *data,
                    size_t len) {
  static const char *const sub[3] = {"", "/" VS_CIPHERS_NAME, "/" VS_TRASH_NAME};
  VsFd fd(openat(s.fd[where].fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0600));
  if (!fd.ok()) {
    vs_error("import: cannot create %s%s/%s (%s)", s.dir, sub[where], name,
             errno == EEXIST ? "it appears twice in the dump" : strerror(errno));
    return -1;
  }
  const char *p = data;
  for (size_t left = len; left > 0;) {
    ssize_t n = write(fd.fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      vs_error("import: write failed: %s%s/%s (%s)", s.dir, sub[where], name,
               n == 0 ? strerror(ENOSPC) : strerror(errno));
      return -1;
    }
    p += n;
    left -= (size_t)n;
  }
  // Each document on stable storage before the account can be renamed
  // into place: no file system is trusted to flush all of them at once.
  if (fsync(fd.fd) != 0 || fd.close_now() != 0) {
    vs_error("import: write failed: %s%s/%s (%s)", s.dir, sub[where], name, strerror(errno));
    return -1;
  }
  if (where == VS_STAGE_ACCOUNT && strcmp(name, VS_PROFILE_NAME) == 0) {
    VsDoc doc(vs_parse(data, len));
    const char *e = nullptr;
    free(s.email);
    s.email = nullptr;
    if (doc && vs_profile_email(yyjson_doc_get_root(doc.get()), &e) == 1 &&
        !(s.email = strdup(e))) {
      vs_error("import: out of memory");
      return -1;
    }
  }
  if (where != VS_STAGE_ACCOUNT) s.items++;
  return 0;
}

// Renames the staged directory onto the account's name (step 5). 0; 1 an
// account of this id appeared (or went) meanwhile; -1 failure.
static int vs_import_place(const char *root, VsStaged &s, VsDirName &to) {
  VsDirName from;
  if (vs_open_parent(root, s.dir, from) != 0 || vs_open_parent(root, s.paths.dir, to) != 0) {
    vs_error("import: open failed: %s (%s)", s.paths.dir, strerror(errno));
    return -1;
  }
  unsigned flags = s.replace ? RENAME_EXCHANGE : RENAME_NOREPLACE;
  int rc = renameat2(from.fd.fd, from.name, to.fd.fd, to.name, flags);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
    // A file system without these flags: a plain rename never replaces a
    // directory that holds anything; a replaced account is moved aside
    // first (it is missing for that moment).
    if (s.replace) {
      char aside[VS_TMP_PATH], hidden[VS_ID_BUF + 1];
      if (vs_path(hidden, sizeof hidden, ".%s", to.name) != 0 ||
          vs_temp_parked_name(aside, sizeof aside, hidden) != 0 ||
          renameat(to.fd.fd, to.name, to.fd.fd, aside) != 0) {
        vs_error("import: cannot move %s aside (%s)", s.paths.dir, strerror(errno));
        return -1;
      }
      rc = renameat(from.fd.fd, from.name, to.fd.fd, to.name);
      if (rc != 0) {
        int e = errno;
        renameat(to.fd.fd, aside, to.fd.fd, to.name);
        errno = e;
      } else {
        char users[VS_ACCOUNT_PATH];
        vs_users_dir(users, sizeof users, root);
        vs_path(s.dir, sizeof s.dir, "%s/%s", users, aside);  // the old tree, to remove
      }
    } else {
      rc = renameat(from.fd.fd, from.name, to.fd.fd, to.name);
    }
  }
  if (rc != 0) {
    if (errno == EEXIST || errno == ENOTEMPTY || (s.replace && errno == ENOENT)) return 1;
    vs_error("import: rename failed: %s -> %s (%s)", s.dir, s.paths.dir, strerror(errno));
    return -1;
  }
  if (!s.replace) s.dir[0] = '\0';  // nothing staged is left
  s.placed = true;
  return 0;
}

int vs_import_commit(const char *root, VsStaged &s, const VsAddressBook *book, char *reason,
                     size_t reason_size) {
  // Step 3.
  for (int i = 2; i >= 0; i--)
    if (fsync(s.fd[i].fd) != 0) {
      vs_error("import: sync failed: %s (%s)", s.dir, strerror(errno));
      return -1;
    }
  for (VsFd &f : s.fd) f.reset();

  // Step 4: the claim, held until the account is in place.
  VsIndexHold claim;
  bool fresh = false;
  if (s.email) {
    char entry[VS_INDEX_ENTRY_MAX], holder[VS_ID_MAX + 1];
    int n = vs_utf8_valid(s.email) ? vs_index_format(entry, s.uid, s.email) : -1;
    if (n < 0) {
      vs_copy_text(reason, reason_size, "its e-mail is no address a registration could make");
      return 1;
    }
    int rc = vs_claim_address(root, s.email, s.uid, entry, (size_t)n, book, VS_INDEX_SYNC,
                              claim, holder, "import");
    if (rc == VS_CLAIM_TAKEN) {
      vs_path(reason, reason_size, "its e-mail is registered to %s",
              holder[0] ? holder : "an account with a long id");
      return 1;
    }
    if (rc == VS_CLAIM_UNSYNCED) {
      char failed[VS_ERROR_SIZE];
      vs_copy_text(failed, sizeof failed, vs_error_str());
      if (claim.fd.ok()) vs_claim_drop(claim);
      vs_error("import: %s", failed);
      return -1;
    }
    if (rc != VS_CLAIM_MADE && rc != VS_CLAIM_OURS) return -1;
    fresh = rc == VS_CLAIM_MADE;
  }

  // Step 5.
  VsDirName to;
  int rc = vs_import_place(root, s, to);
  if (rc != 0) {
    if (fresh) vs_claim_drop(claim);
    if (rc == 1) vs_copy_text(reason, reason_size, "the account of this id changed meanwhile");
    return rc;
  }
  if (vs_sync_dir_of(to, s.paths.dir) != 0) {
    char failed[VS_ERROR_SIZE];
    vs_copy_text(failed, sizeof failed, vs_error_str());
    vs_error("import: account %s is in place but may not survive a power loss: %s", s.uid,
             failed);
    return -1;
  }
  // Step 6: the entry stays, its lock goes.
  claim.release();
  if (s.replace) {
    if (vs_remove_tree(s.dir) != 0) {
      vs_error("import: account %s is in place, but its old tree %s could not be removed (%s)",
               s.uid, s.dir, strerror(errno));
      return -1;
    }
    s.dir[0] = '\0';
    if (vs_sync_dir_of(to, s.paths.dir) != 0) {
      char failed[VS_ERROR_SIZE];
      vs_copy_text(failed, sizeof failed, vs_error_str());
      vs_error("import: the old tree of account %s is removed but may come back after a power "
               "loss: %s",
               s.uid, failed);
      return -1;
    }
  }
  return 0;
}
