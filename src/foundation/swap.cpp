// The swap of an account directory (see swap.h): the commit of a
// replacement and the roll-forward of a commit met half-done.
//
// The protocol, for the account users/<id> (the replacement's own steps are
// in accounts/replace.cpp):
//  0. the new account is complete and durable in users/.staging.<id>.<n>
//     (every file and directory synced); the replacement holds the whole
//     lock of the live users/<id>/.lock, checked to be the live one, and
//     has removed what an earlier replacement left (vs_swap_clear);
//  1. rename .staging.<id>.<n> to .replace.<id>: the staged directory is
//     complete under its fixed name. Nothing reads it yet;
//  2. create users/<id>/.retired (the mark), then rename users/<id> to
//     .replaced.<id>: THE COMMIT. From here on the account is the new
//     one: users/<id> is missing, and every reader or writer that misses
//     it, finding .replace.<id> there, finishes step 3 itself
//     (vs_swap_settle) and tries again;
//  3. rename .replace.<id> to users/<id>, then sync users/.
// The replacement then removes .replaced.<id>, the mark last, and only
// then lets go of the lock.
// Why each step is safe against another process or host doing anything at
// the same moment:
//  - rename never replaces a non-empty directory (ENOTEMPTY, EEXIST), so a
//    roll-forward can only put .replace.<id> in place while users/<id> is
//    missing; two roll-forwards (a reader's and the replacement's own) end
//    the same way: one rename wins, the other finds no source (ENOENT).
//    On a shared file system a reader's roll-forward is taken only under
//    the staged directory's own lock, which the replacement holds from
//    step 0 to its end: while it lives it renames alone (a GlusterFS
//    volume lost a directory's handle to two clients renaming it at once),
//    and after it died one holder at a time rolls forward.
//  - .replace.<id> exists only from step 1 to step 3 of a replacement that
//    holds the account's whole lock, or as what a crash between steps 1 and
//    2 left; and users/<id> is missing only from step 2 to step 3 or after
//    a deletion. A deletion takes the account's profile lock, so it runs
//    before step 0 or after step 3, and removes a leftover .replace.<id>
//    (vs_swap_clear) before it renames users/<id> away: a deleted account
//    is never brought back. vs_swap_clear first renames a leftover to a
//    fresh staging name, so a reader that saw it a moment before can no
//    longer roll it forward (its rename finds no source).
//  - directories are only ever removed after a rename to a fresh staging
//    name, which nothing else ever names: two removers never meet, and a
//    removal never reaches into a directory of a later replacement.
//  - the mark is for another host's client, whose caches can lead the name
//    users/<id> to the swapped-out directory for a second or so: a writer
//    that waited for the lock of that directory gets it once the
//    replacement lets go, and a reader reads it while it is being removed.
//    Both ask the server whether their directory is retired
//    (vs_swap_retired): it is marked from before the commit until it is
//    gone, and once gone the server refuses to open it. The client can
//    answer a lookup of the mark from what it saw before the mark was
//    made, so the sync also asks a fresh listing of users/ at its end
//    while a replacement holds its directory (vs_swap_unlisted); a writer
//    has the lock besides. A mark left in the live directory (a
//    replacement cut short between the mark and the commit) only costs a
//    listing of users/ until the next holder of the lock clears it.
// Power cut: the staged directory is durable before step 1, and the three
// renames are changes of one directory (users/), which a journaling file
// system applies in order; after a cut the tree is at step 0, 1, 2 or 3,
// and step 2 (committed) rolls forward on the next access: whole-old or
// whole-new, never a mix. The final sync makes the commit durable before
// the replacement answers.
// This needs neither RENAME_EXCHANGE nor RENAME_NOREPLACE (GlusterFS has
// neither): plain renames of directories only.
#include "swap.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "keldrune-vault-storage.h"
#include "files.h"
#include "holders.h"
#include "identifiers.h"
#include "layout.h"
#include "locks.h"
#include "results.h"
#include "text.h"

static bool vs_exists_at(int dir_fd, const char *name) {
  struct stat st;
  return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Whether a fresh listing of users/ (users_fd) has a or b: 1, 0, or -1
// with errno.
static int vs_listed_either(int users_fd, const char *a, const char *b) {
  VsList list;
  list.fd.reset(openat(users_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!list.fd.ok()) return -1;
  for (const char *n; (n = vs_list_next(list)) != nullptr;)
    if (strcmp(n, a) == 0 || strcmp(n, b) == 0) return 1;
  return errno == 0 ? 0 : -1;
}

// Whether users/<id> is there, and its status. A shared file system's
// client can lead the name to a directory another host has since removed
// or swapped out, for as long as it trusts its view (about a second); an
// opendir goes to the server, and the kernel walks a name again when the
// server answers ESTALE, so opening the directory both answers from the
// server and sets this client's view right for the walks that follow.
static bool vs_dir_at(int users_fd, const char *id, struct stat *st) {
  if (!vs_fs_shared()) return fstatat(users_fd, id, st, AT_SYMLINK_NOFOLLOW) == 0;
  VsFd dir(openat(users_fd, id, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return dir.ok() && fstat(dir.fd, st) == 0;
}

static void vs_seen(const struct stat &st, VsDirSeen *seen) {
  if (!seen) return;
  seen->ino = st.st_ino;
  seen->ctime_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
}

// Step 3 for another: renames users/<replace> (users_fd) to users/<id>.
// On a shared file system only while holding the lock of the staged
// directory's own lock file, which its replacement holds from staging
// to the end: while the replacement lives it does step 3 itself, and a
// second rename of the same directory from another client at the same
// moment is not left to the file system (GlusterFS was seen to lose the
// directory's handle so: it then could not be opened through a
// descriptor). A replacement that died let go of the lock, and then one
// holder at a time rolls it forward.
static void vs_swap_roll(int users_fd, const char *replace, const char *id) {
  VsFd held;
  if (vs_fs_shared() && vs_lock_take_below(users_fd, replace, true, 0, held) != 0) return;
  if (renameat(users_fd, replace, users_fd, id) == 0) fsync(users_fd);
  vs_lock_drop(held);
}

int vs_swap_settle(const char *root, const char *path, VsDirSeen *seen) {
  if (seen) *seen = VsDirSeen();
  char users[VS_ACCOUNT_PATH], id[VS_ID_MAX + 1];
  if (!root || !path || vs_users_dir(users, sizeof users, root) != 0) return 0;
  size_t n = strlen(users);
  if (strncmp(path, users, n) != 0 || path[n] != '/') return 0;
  const char *start = path + n + 1, *end = strchr(start, '/');
  size_t len = end ? (size_t)(end - start) : strlen(start);
  if (len == 0 || len > VS_ID_MAX) return 0;
  memcpy(id, start, len);
  id[len] = '\0';
  if (!vs_id_safe(id)) return 0;
  int saved = errno;
  VsFd users_fd(vs_open_beneath(root, users, O_RDONLY | O_DIRECTORY, 0));
  if (!users_fd.ok()) {
    errno = saved;
    return 0;
  }
  int rc = 0;
  char replace[VS_ENTRY_PATH];
  if (vs_replace_name(replace, sizeof replace, id) != 0) {
    errno = saved;
    return 0;
  }
  struct stat st;
  VsRetry again;
  for (;;) {
    if (vs_dir_at(users_fd.fd, id, &st)) {
      rc = 1;  // there (again): the miss may have fallen into a swap
      vs_seen(st, seen);
      break;
    }
    // Committed (step 2) but not finished: step 3. Failing it, another
    // finished it first (perhaps the moment after the look above), or the
    // next one to miss the account will.
    if (vs_exists_at(users_fd.fd, replace)) vs_swap_roll(users_fd.fd, replace, id);
    if (vs_dir_at(users_fd.fd, id, &st)) {
      rc = 1;
      vs_seen(st, seen);
      break;
    }
    if (!vs_fs_shared()) break;
    // A shared file system's client can miss both names while another
    // host's swap goes on, or go on leading users/<id> to a directory the
    // server no longer has (ESTALE): its listing of users/ is the server's.
    // While the server has either name, the account is there: looked at
    // again, paced, for the reads' bound. Only a miss the server confirms
    // is reported as one. A listing can miss a name renamed while it reads
    // (step 3 moves the account from one name to the other), so an absence
    // is listed twice.
    int listed = vs_listed_either(users_fd.fd, id, replace);
    if (listed == 0) listed = vs_listed_either(users_fd.fd, id, replace);
    if (listed != 1 || !vs_retry_pause(again)) break;
  }
  errno = saved;
  return rc;
}

int vs_open_settled(const char *root, const char *path, int flags) {
  enum { VS_SETTLE_ROUNDS = 8 };
  int fd = vs_open_beneath(root, path, flags, 0);
  VsDirSeen seen, now;
  for (int round = 0; fd < 0 && errno == ENOENT && round < VS_SETTLE_ROUNDS; round++) {
    if (!vs_swap_settle(root, path, &now) || (round > 0 && now == seen)) {
      errno = ENOENT;
      break;
    }
    seen = now;
    fd = vs_open_beneath(root, path, flags, 0);
  }
  return fd;
}

int vs_swap_hold(const char *root, const char *dir, struct stat *seen) {
  // Opened for reading on a shared file system: the server is asked (see
  // vs_dir_at), where O_PATH would take this client's view as it is.
  int how = (vs_fs_shared() ? O_RDONLY : O_PATH) | O_DIRECTORY;
  int fd = open(dir, how | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = vs_open_settled(root, dir, how);
  if (fd >= 0 && fstat(fd, seen) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

bool vs_swap_moved(const char *root, int held_fd, const char *dir, const struct stat &seen) {
  struct stat now;
  if (stat(dir, &now) != 0 || now.st_ino != seen.st_ino || now.st_dev != seen.st_dev) return true;
  return vs_fs_shared() && held_fd >= 0 && vs_swap_retired(root, held_fd, dir) != 0;
}

bool vs_swap_unlisted(const char *root, int held_fd, const char *dir, const struct stat &seen) {
  // No replacement or deletion removing the directory now: none removed
  // it while it was read (each lets go only once the directory is gone).
  if (!vs_fs_shared() || vs_lock_whole_held(held_fd) == 0) return false;
  VsDirName users;
  if (vs_open_parent(root, dir, users) != 0) return errno == ENOENT;
  return vs_listed_as(users, seen.st_ino) == 0;
}

bool vs_swap_gone(const char *root, int held_fd, const char *dir, const struct stat &seen,
                  int err) {
  enum : long { VS_LOOK_AGAIN_MS = 50 };
  if (vs_fs_shared() && held_fd >= 0 && vs_swap_retired(root, held_fd, dir) == 1) return true;
  bool stale = err == ESTALE && vs_fs_shared();
  for (long waited = 0;; waited += VS_LOOK_AGAIN_MS) {
    struct stat now;
    // ESTALE: the name still leads this client to a directory the server
    // no longer has.
    if (stat(dir, &now) != 0 ? errno == ENOENT || errno == ENOTDIR || errno == ESTALE
                             : now.st_ino != seen.st_ino || now.st_dev != seen.st_dev)
      return true;
    if (!stale || waited >= VAULT_SHARED_RETRY_MS) return false;
    struct timespec ts = {0, VS_LOOK_AGAIN_MS * 1000L * 1000L};
    nanosleep(&ts, nullptr);
  }
}

int vs_swap_retired(const char *root, int dir_fd, const char *account_dir) {
  // The directory itself: an opendir goes to the server, which no longer
  // knows a removed directory.
  VsFd probe(openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!probe.ok()) return errno == ESTALE || errno == ENOENT ? 1 : -1;
  struct stat dir, mark;
  if (fstat(probe.fd, &dir) != 0) return -1;
  if (dir.st_nlink == 0) return 1;  // removed, where the kernel knows it (a local disk)
  if (fstatat(probe.fd, VS_RETIRED_NAME, &mark, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ESTALE) return 1;
    if (errno != ENOENT) return -1;
    // The removal takes the mark off only once it has emptied the
    // directory, just before its rmdir: an unmarked directory is the
    // account's while the server still has its profile in it (an open
    // goes to the server; a lookup of a name seen before may not). Without
    // one (emptied, or an account still being made) the listing decides.
    VsFd witness(openat(probe.fd, VS_PROFILE_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (witness.ok()) return 0;
    if (errno != ENOENT && errno != ESTALE) return -1;
  }
  VsDirName users;
  if (vs_open_parent(root, account_dir, users) != 0) return errno == ENOENT ? 1 : -1;
  int listed = vs_listed_as(users, dir.st_ino);
  return listed < 0 ? -1 : !listed;
}

// The mark of the directory name below its parent ("." for the parent
// itself), into rel. 0, or -1 with errno.
static int vs_mark_path(char (&rel)[VS_ENTRY_PATH], const char *name) {
  if (vs_path(rel, sizeof rel, "%s/" VS_RETIRED_NAME, name) == 0) return 0;
  errno = ENAMETOOLONG;
  return -1;
}

int vs_swap_mark(int parent_fd, const char *name) {
  char rel[VS_ENTRY_PATH];
  if (vs_mark_path(rel, name) != 0) return -1;
  VsFd mark(openat(parent_fd, rel, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  // EEXIST: a shared file system's client that took the name for missing
  // (from its caches) sent a create, and the server has the mark already.
  return mark.ok() || errno == EEXIST ? 0 : -1;
}

// Removes the mark vs_swap_mark made: what a replacement cut short before
// its commit left in the live directory. 0 (none there included), or -1
// with errno.
static int vs_swap_unmark(int parent_fd, const char *name) {
  char rel[VS_ENTRY_PATH];
  if (vs_mark_path(rel, name) != 0) return -1;
  return unlinkat(parent_fd, rel, 0) == 0 || errno == ENOENT ? 0 : -1;
}

// Renames users/<name> to a fresh staging name of user_id and removes it.
// 0 (nothing there included), -1 with errno.
static int vs_swap_discard(int users_fd, const char *name, const char *user_id) {
  char nonce[VS_ID_BUF], aside[VS_ENTRY_PATH];
  if (vs_uuid_generate(nonce) != 0 || vs_staging_name(aside, sizeof aside, user_id, nonce) != 0) {
    errno = EIO;
    return -1;
  }
  if (renameat(users_fd, name, users_fd, aside) != 0) return errno == ENOENT ? 0 : -1;
  return vs_remove_tree(users_fd, aside);
}

int vs_swap_clear(int users_fd, const char *user_id) {
  char replace[VS_ENTRY_PATH], replaced[VS_ENTRY_PATH];
  if (vs_replace_name(replace, sizeof replace, user_id) != 0 ||
      vs_replaced_name(replaced, sizeof replaced, user_id) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  // With users/<id> missing, a .replace.<id> is a commit to finish, not a
  // leftover: only a holder of the live lock calls this, so it is there.
  if (!vs_exists_at(users_fd, user_id)) {
    errno = ENOENT;
    return -1;
  }
  if (vs_swap_discard(users_fd, replace, user_id) != 0 ||
      vs_swap_discard(users_fd, replaced, user_id) != 0)
    return -1;
  return vs_swap_unmark(users_fd, user_id);
}

VsSwapCommit vs_swap_commit(int users_fd, const char *users, const char *user_id, int account_fd,
                            const char *staged, const char *prefix) {
  char replace[VS_ENTRY_PATH], replaced[VS_ENTRY_PATH];
  if (vs_replace_name(replace, sizeof replace, user_id) != 0 ||
      vs_replaced_name(replaced, sizeof replaced, user_id) != 0) {
    vs_error_code(VAULT_INVALID, ENAMETOOLONG, "%s: path too long", prefix);
    return VS_SWAP_REFUSED;
  }
  if (vs_swap_clear(users_fd, user_id) != 0) {
    vs_error_errno(errno, "%s: cannot remove an earlier replacement in %s (%s)", prefix, users,
                   strerror(errno));
    return VS_SWAP_REFUSED;
  }
  // The commit renames users/<id> by its name, which the server resolves:
  // on a shared file system the directory this replacement locked and
  // checked must be the one the server has under that name, which only a
  // fresh listing tells (this client's view of the name can lag). Holding
  // its whole lock, no one else can change that until the commit.
  if (account_fd >= 0 && vs_fs_shared()) {
    struct stat st;
    VsDirName live;
    live.fd.reset(openat(users_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    live.name = user_id;
    int listed = fstat(account_fd, &st) == 0 && live.fd.ok() ? vs_listed_as(live, st.st_ino) : -1;
    if (listed != 1) {
      vs_error_code(VAULT_STALE, ESTALE, "%s: %s/%s is not the directory locked (Stale file handle)",
                    prefix, users, user_id);
      return VS_SWAP_REFUSED;
    }
  }
  // Step 1.
  if (renameat(users_fd, staged, users_fd, replace) != 0) {
    vs_error_errno(errno, "%s: rename %s/%s (%s)", prefix, users, staged, strerror(errno));
    return VS_SWAP_REFUSED;
  }
  // Step 2, the commit, the directory marked retired first.
  // The directory locked, or users/<id> by name when the caller has none.
  const int mark_at = account_fd >= 0 ? account_fd : users_fd;
  const char *mark_name = account_fd >= 0 ? "." : user_id;
  bool marked = vs_swap_mark(mark_at, mark_name) == 0;
  if (!marked || renameat(users_fd, user_id, users_fd, replaced) != 0) {
    int e = errno;
    // Back under the staged name, which the caller removes, and the mark
    // off; failing that, the leftover is uncommitted and the next holder of
    // the lock clears both.
    if (renameat(users_fd, replace, users_fd, staged) == 0)
      vs_swap_unmark(mark_at, mark_name);
    if (marked)
      vs_error_errno(e, "%s: rename %s/%s (%s)", prefix, users, user_id, strerror(e));
    else
      vs_error_errno(e, "%s: cannot mark %s/%s (%s)", prefix, users, user_id, strerror(e));
    return VS_SWAP_REFUSED;
  }
  // Step 3: ENOENT is a reader that finished it first.
  if (renameat(users_fd, replace, users_fd, user_id) != 0 && errno != ENOENT) {
    vs_error_errno(errno, "%s: rename %s/%s (%s)", prefix, users, replace, strerror(errno));
    return VS_SWAP_UNFINISHED;
  }
  if (fsync(users_fd) != 0) {
    vs_error_errno(errno, "%s: sync failed: %s (%s)", prefix, users, strerror(errno));
    return VS_SWAP_UNFINISHED;
  }
  return VS_SWAP_COMMITTED;
}

int vs_swap_remove_replaced(int users_fd, const char *user_id) {
  char replaced[VS_ENTRY_PATH];
  if (vs_replaced_name(replaced, sizeof replaced, user_id) != 0) return -1;
  return vs_swap_discard(users_fd, replaced, user_id);
}

// Whether the staging directory name (below users_fd) was abandoned: its
// lock file is not held by anyone, or it has none and was not touched for
// a while.
static bool vs_staging_abandoned(int users_fd, const char *name) {
  char rel[VS_ENTRY_PATH];
  if (vs_path(rel, sizeof rel, "%s/" VS_LOCK_NAME, name) != 0) return false;
  VsFd lock(openat(users_fd, rel, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (lock.ok()) {
    if (vs_lock_take(lock.fd, 0) != 0) return false;
    vs_lock_drop(lock);
    return true;
  }
  struct stat st;
  if (errno != ENOENT || fstatat(users_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return time(nullptr) - st.st_mtime > VS_STAGING_ABANDONED_S;
}

int vs_swap_finish_leftovers(const char *root, long *finished, const char *prefix) {
  if (finished) *finished = 0;
  char users[VS_ACCOUNT_PATH];
  if (vs_users_dir(users, sizeof users, root) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "%s: path too long", prefix);
    return -1;
  }
  VsList list;
  if (vs_list_open(list, root, users) != 0) {
    if (vs_list_absent(errno)) return 0;
    vs_error_errno(errno, "%s: cannot list %s (%s)", prefix, users, strerror(errno));
    return -1;
  }
  int rc = 0;
  for (const char *name; (name = vs_list_next(list)) != nullptr;) {
    char id[VS_ID_MAX + 1], account[VS_ENTRY_PATH];
    VsSwapName kind = vs_swap_name(name, id);
    if (kind == VS_SWAP_NONE) {
      // A live account's mark, left by a replacement cut short between it
      // and its commit: cleared under the whole lock like the rest.
      char mark[VS_ENTRY_PATH];
      if (!vs_id_safe(name) || vs_mark_path(mark, name) != 0 || !vs_exists_at(list.fd.fd, mark))
        continue;
      memcpy(id, name, strlen(name) + 1);
    }
    if (vs_path(account, sizeof account, "%s/%s", users, id) != 0) continue;
    int done = 0;
    if (kind == VS_SWAP_STAGING) {
      if (!vs_staging_abandoned(list.fd.fd, name)) continue;
      done = vs_remove_tree(list.fd.fd, name) == 0 ? 1 : -1;
    } else if (!vs_exists_at(list.fd.fd, id)) {
      // Committed and not finished, or (.replaced alone) the old vault of
      // an account deleted since: roll forward, or remove.
      errno = ENOENT;
      if (kind == VS_SWAP_REPLACE) done = vs_swap_settle(root, account) ? 1 : -1;
      else if (!vs_exists_at(list.fd.fd, name)) continue;
      else done = vs_swap_discard(list.fd.fd, name, id) == 0 ? 1 : -1;
    } else {
      VsFd lock;
      if (vs_lock_account(root, account, VS_LOCK_WHOLE, lock) != 0) {
        done = -1;
      } else {
        done = vs_swap_clear(list.fd.fd, id) == 0 ? 1 : -1;
        vs_lock_drop(lock);
      }
    }
    if (done > 0 && finished) (*finished)++;
    if (done < 0 && rc == 0) {
      vs_error_errno(errno, "%s: cannot finish %s/%s (%s)", prefix, users, name, strerror(errno));
      rc = -1;
    }
  }
  if (errno != 0 && rc == 0) {
    vs_error_errno(errno, "%s: cannot list %s (%s)", prefix, users, strerror(errno));
    return -1;
  }
  return rc;
}
