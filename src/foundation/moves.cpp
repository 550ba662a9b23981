// The replacing rename, and the move that never replaces (a cipher to the
// trash and back) with its fallback for file systems that refuse
// RENAME_NOREPLACE. Of the file systems tested, GlusterFS and CephFS
// (ceph-fuse) both answer EINVAL onto a free name (onto a taken one the
// kernel's own lookup answers EEXIST first), so every move there takes the
// fallback; NFS may too. The fallback's link(2) is exclusive on both.
#include "moves.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "layout.h"
#include "locks.h"
#include "results.h"
#include "temp_names.h"

int vs_rename_replace(const char *from, const char *to) {
  return rename(from, to) == 0 ? 0 : -1;
}

namespace {

bool vs_same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes whatever file is at d/name right now to a fresh parked name
// (temp_names.h) with one rename, so that the steps after it act on one
// known file even while saves replace the name. A parked name left by a
// mover that was killed may hold the only copy of a version, so an
// existing one is never renamed over. 0 parked (aside names it), 1 nothing
// was there, -1 error (errno).
int vs_park(const VsDirName &d, char *aside, size_t size) {
  for (int attempt = 0; attempt < 8; attempt++) {
    if (vs_temp_parked_name(aside, size, d.name) != 0) {
      errno = ENAMETOOLONG;
      return -1;
    }
    struct stat st;
    if (fstatat(d.fd.fd, aside, &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
    if (errno != ENOENT) return -1;
    if (renameat(d.fd.fd, d.name, d.fd.fd, aside) == 0) return 0;
    return errno == ENOENT ? 1 : -1;
  }
  errno = EEXIST;
  return -1;
}

// Puts a parked file back under its name. link never replaces: when the
// name was taken meanwhile by another file (a save), the parked file is the
// older version and goes. Only when link itself fails otherwise is rename
// tried, so that a failing step does not leave the file under its parked
// name. 0, or -1 (errno) with the file still parked.
//
// A refusal is believed only when the name shows another file. A shared
// file system's client can refuse the link on a name it still shows from
// before the park (on GlusterFS: a lookup by another process of this host,
// answered just after the park's rename, puts the old name back into its
// view); the name then shows the parked file itself, and what the server
// holds there is nothing, or that file. A rename puts the file back over
// such a view; where the name really is a second link, rename leaves both
// (one file) and the parked one goes. A name that shows nothing after the
// refusal is a view that changed: the link is tried again. Unlinking the
// parked file on such a refusal would drop the file's last name.
int vs_unpark(const VsDirName &d, const char *aside) {
  for (int attempt = 0;; attempt++) {
    if (linkat(d.fd.fd, aside, d.fd.fd, d.name, 0) == 0) break;
    if (errno != EEXIST) return renameat(d.fd.fd, aside, d.fd.fd, d.name) == 0 ? 0 : -1;
    struct stat sa, sn;
    if (fstatat(d.fd.fd, aside, &sa, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (fstatat(d.fd.fd, d.name, &sn, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || attempt >= 8) return -1;
      continue;
    }
    if (!vs_same_file(sa, sn)) break;
    if (renameat(d.fd.fd, aside, d.fd.fd, d.name) != 0) return -1;
    if (fstatat(d.fd.fd, aside, &sa, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
    break;
  }
  if (unlinkat(d.fd.fd, aside, 0) != 0 && unlinkat(d.fd.fd, aside, 0) != 0) return -1;
  return 0;
}

// Removes the name d when it is one more link to the file named by other,
// and only then: park it, compare the parked file with other by inode,
// unlink the parked name if they are one file, else put it back. The only
// name ever unlinked is the parked one, private to this call, so a save
// that lands on d meanwhile is never removed. 0 dropped (or already gone),
// 1 another file was there and stays, -1 error (errno) with d as before.
// observed: other was only seen, not made by this call (finishing a move
// cut short); then the parked file must also count another link. A shared
// file system's client can show a name another host has since moved away
// (cached), and the parked name is then the only one left; a name this
// call has just linked is the server's own answer and needs no such check.
// The count can lag there too (the two-host stress on GlusterFS dropped an
// item's last name on a count of 2 with the other name long gone), so on
// a shared file system the other name must also be in a fresh listing of
// its directory. *stale is set when other was one file with d but the
// file had no other link: other is such a cached name.
int vs_drop_if_same(const VsDirName &d, const VsDirName &other, bool observed,
                    bool *stale = nullptr) {
  char aside[VS_TMP_PATH];
  int rc = vs_park(d, aside, sizeof aside);
  if (rc != 0) return rc > 0 ? 0 : -1;
  struct stat sa, so;
  bool known = fstatat(d.fd.fd, aside, &sa, AT_SYMLINK_NOFOLLOW) == 0 &&
               fstatat(other.fd.fd, other.name, &so, AT_SYMLINK_NOFOLLOW) == 0;
  int err = known ? 0 : errno;
  if (known && vs_same_file(sa, so)) {
    if (!observed || (sa.st_nlink > 1 &&
                      (!vs_fs_shared() || vs_listed_as(other, sa.st_ino) == 1))) {
      if (unlinkat(d.fd.fd, aside, 0) == 0 || unlinkat(d.fd.fd, aside, 0) == 0) return 0;
      err = errno;
    } else if (stale) {
      *stale = true;
    }
  }
  if (vs_unpark(d, aside) != 0) return -1;
  if (!err) return 1;
  errno = err;
  return -1;
}

// The fallback move. Every mover of the account holds its lock (see
// locks.h: it holds between processes, threads and hosts), so no two moves
// of its items interleave; saves and deletes for good take no lock, and
// each step is safe against them as noted.
//
// Destination made by moves only (the trash):
//  1. Nothing may be at the destination (fstatat): no other mover can put
//     one there before step 2, holding no lock. On a shared file system a
//     name the client shows is believed only when a fresh listing has it:
//     the client can go on showing a trashed name another host has moved
//     away, and the rename then goes over that view of it.
//  2. rename(src, dst): one step, so the item has exactly one name at
//     every moment. A save landing on src before it is what gets moved,
//     as if it had come first.
// Destination that saves also make (live): a rename could replace a save
// landing there after step 1, so the move links instead:
//  1. link(src, dst) fails on an existing name: nothing is replaced. For a
//     moment the item has two names on one file, never none, so a kill at
//     any point leaves it live, trashed or under both names, never
//     stranded. Both names on one file is a restore cut short: the item is
//     live (statistics count it so), and the next move or removal of it
//     finishes the move (vs_drop_cut_restore).
//  2. Drop src when it is still the same file as dst (vs_drop_if_same).
//     A save that replaced src in between stays live; if one replaced
//     dst, src stays as well: nothing is lost either way.
// Both names on one file before the move can only be a move cut short by
// a kill; it is finished. A failing step is undone the same checked way.
VsMove vs_move_locked(const VsDirName &src, const VsDirName &dst, bool dst_only_moved) {
  struct stat ss, sd;
  bool linked = false;
  if (dst_only_moved) {
    int there = fstatat(dst.fd.fd, dst.name, &sd, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
    if (!there && errno != ENOENT) return VS_MOVE_FAILED;
    if (there && vs_fs_shared()) there = vs_listed_as(dst, 0);
    if (there < 0) return VS_MOVE_FAILED;
    if (!there) {
      if (renameat(src.fd.fd, src.name, dst.fd.fd, dst.name) == 0) return VS_MOVED;
      return errno == ENOENT ? VS_MOVE_GONE : VS_MOVE_FAILED;
    }
  } else if (linkat(src.fd.fd, src.name, dst.fd.fd, dst.name, 0) == 0) {
    linked = true;
  } else {
    if (errno == ENOENT) return VS_MOVE_GONE;
    if (errno != EEXIST || fstatat(dst.fd.fd, dst.name, &sd, AT_SYMLINK_NOFOLLOW) != 0)
      return VS_MOVE_FAILED;
  }
  if (!linked) {
    // Something is at the destination: the same file (a cut-short move) or
    // another one (refused).
    if (fstatat(src.fd.fd, src.name, &ss, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? VS_MOVE_GONE : VS_MOVE_FAILED;
    if (!vs_same_file(ss, sd)) {
      errno = EEXIST;
      return VS_MOVE_FAILED;
    }
  }
  bool stale = false;
  int dropped = vs_drop_if_same(src, dst, !linked, &stale);
  if (dropped == 0 || (dropped > 0 && linked)) return VS_MOVED;
  if (dropped > 0) {
    // Not one file after all: refused, nothing changed. Either a save came
    // between (EEXIST), or the destination was this client's cached view of
    // a name another host has moved away, still shown while the file is
    // looked at under its other name (GlusterFS's metadata cache): ESTALE.
    errno = stale ? ESTALE : EEXIST;
    return VS_MOVE_FAILED;
  }
  int e = errno;
  if (linked) vs_drop_if_same(dst, src, false);  // our own link goes, if still ours
  errno = e;
  return VS_MOVE_FAILED;
}

// Whether the names of a refused move are one file: a move cut short, which
// the fallback finishes. errno stays EEXIST otherwise.
bool vs_one_file(const VsDirName &a, const VsDirName &b) {
  struct stat sa, sb;
  bool same = fstatat(a.fd.fd, a.name, &sa, AT_SYMLINK_NOFOLLOW) == 0 &&
              fstatat(b.fd.fd, b.name, &sb, AT_SYMLINK_NOFOLLOW) == 0 && vs_same_file(sa, sb);
  errno = EEXIST;
  return same;
}

}  // namespace

// One try of the move (vs_rename_noreplace, without the syncs).
static VsMove vs_move_once(const VsDirName &src, const VsDirName &dst, const char *root,
                           const char *lock_dir, bool dst_only_moved) {
  if (renameat2(src.fd.fd, src.name, dst.fd.fd, dst.name, RENAME_NOREPLACE) == 0)
    return VS_MOVED;
  if (errno == ENOENT) return VS_MOVE_GONE;
  // EEXIST from one file under both names: a fallback move cut short
  // (another host's, or this tree's before it moved here) is finished.
  if (errno == EEXIST ? !vs_one_file(src, dst)
                      : errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
    return VS_MOVE_FAILED;
  VsFd lock;
  if (vs_lock_account(root, lock_dir, VS_LOCK_MOVES, lock) != 0) return VS_MOVE_FAILED;
  return vs_move_locked(src, dst, dst_only_moved);
}

VsMove vs_rename_noreplace(const char *root, const char *from, const char *to,
                           const char *lock_dir, bool dst_only_moved) {
  VsDirName src, dst;
  // No directory to move from (an unknown account, a missing trash) is
  // nothing at the source; a link in its place fails with ELOOP.
  if (vs_open_parent(root, from, src) != 0)
    return errno == ENOENT || errno == ENOTDIR ? VS_MOVE_GONE : VS_MOVE_FAILED;
  if (vs_open_parent(root, to, dst) != 0) return VS_MOVE_FAILED;
  // On a shared file system a refusal ("File exists") or a name missing in
  // the middle of the fallback may come from this client's cached view of
  // names another host has just moved (GlusterFS also answers ESTALE and
  // EBADFD for such files); the client looks again once its cache times out
  // (about a second with GlusterFS's defaults), so the move is tried again
  // within the bound the reads use. CephFS's clients see another host's
  // move at once (the metadata server takes back their capabilities on the
  // directory first), so there a refusal is a real one and the retries only
  // delay its answer. Each try is whole and safe on its own (see above),
  // and one that finds the source gone answers so.
  // A move waits for a cache timeout: pauses from 10 to 200 ms, not the
  // reads' quick first tries (each try takes the account's lock).
  VsRetry retry{10000, 200000};
  for (;;) {
    VsMove rc = vs_move_once(src, dst, root, lock_dir, dst_only_moved);
    if (rc == VS_MOVED) break;
    int e = errno;
    if (rc != VS_MOVE_FAILED || !vs_fs_shared() ||
        (e != EEXIST && e != ENOENT && e != ESTALE && e != EBADFD) || !vs_retry_pause(retry)) {
      errno = e;
      return rc;
    }
  }
  // The new name first: a power loss between the two syncs then leaves the
  // item in both places, never in none.
  if (vs_sync_dir_of(dst, to) != 0 || vs_sync_dir_of(src, from) != 0) return VS_MOVE_UNSYNCED;
  return VS_MOVED;
}

int vs_drop_cut_restore(const char *root, const char *live, const char *trash,
                        const char *lock_dir) {
  VsDirName l, t;
  if (vs_open_parent(root, live, l) != 0) return -1;
  if (vs_open_parent(root, trash, t) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
  if (!vs_one_file(t, l)) return 0;
  VsFd lock;
  if (vs_lock_account(root, lock_dir, VS_LOCK_MOVES, lock) != 0) return -1;
  // Under the lock no move of the item runs; the drop checks again.
  if (vs_drop_if_same(t, l, true) < 0) return -1;
  return vs_sync_dir_of(t, trash) == 0 ? 0 : -2;
}

bool vs_live_twin(int trash_fd, int live_fd, const char *name) {
  struct stat t, l;
  return live_fd >= 0 && fstatat(trash_fd, name, &t, AT_SYMLINK_NOFOLLOW) == 0 &&
         t.st_nlink > 1 && fstatat(live_fd, name, &l, AT_SYMLINK_NOFOLLOW) == 0 &&
         vs_same_file(t, l);
}
