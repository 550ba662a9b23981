// The swap of a whole account directory, by which a replacement of an
// account's vault commits, and the roll-forward every reader and writer
// applies when it meets the account in the middle of one. The names are
// layout.h's; the replacement itself is accounts/replace.cpp.
#ifndef VS_SWAP_H
#define VS_SWAP_H

#include <sys/stat.h>

// For a path below users/<id> that was just found missing (ENOENT): when a
// replacement of the account stands between the two renames of its commit
// (users/<id> absent, .replace.<id> present), finishes
// it (rename .replace.<id> to users/<id>, sync users/). 1 when the caller
// should try once more (finished here or by another, or the account
// directory is there after all); 0 when there is no swap to finish. On a
// shared file system a miss stands only when the server's listing of
// users/ has neither name; while it has one, this client's view is looked
// at again, paced, for up to VS_SHARED_RETRY_MS.
// seen, when given, receives which directory users/<id> was as found
// (inode and change time, since inode numbers are reused; zero: none).
struct VsDirSeen {
  unsigned long long ino = 0;
  long long ctime_ns = 0;
  bool operator==(const VsDirSeen &o) const { return ino == o.ino && ctime_ns == o.ctime_ns; }
};
int vs_swap_settle(const char *root, const char *path, VsDirSeen *seen = nullptr);

// open(2) of a path of the tree (vs_open_beneath) that meets a swap at any
// step: a miss (ENOENT) is tried again once the swap is finished, and
// again for as long as each try finds another account directory (one
// replacement after another); a plain miss costs one more try.
int vs_open_settled(const char *root, const char *path, int flags);

// A reader that reads several names of an account by path (the sync, the
// statistics) holds the account directory for its whole read: opened only
// to be held (O_PATH; its inode cannot be reused meanwhile), a swap met
// half-done finished first, and which directory it is noted in seen. At
// the end, vs_swap_moved says whether users/<id> is still that directory,
// i.e. whether every path read went to one generation of the account;
// when not, the reader reads again (vs_swap_settle first). The descriptor,
// or -1 with errno.
int vs_swap_hold(const char *root, const char *dir, struct stat *seen);
// (held_fd: the held descriptor, or -1 when none could be had.)
bool vs_swap_moved(const char *root, int held_fd, const char *dir, const struct stat &seen);
// The sync's last word on a shared file system, after vs_swap_moved said
// no: whether users/<id> has stopped being the held directory (held_fd,
// seen). The lookups vs_swap_moved makes can be answered from the client's
// caches, and a sync read from a swapped-out directory while its
// replacement removed it lacks items. A replacement holds the directory's
// whole lock until the directory is gone, and so does a deletion while it
// removes the account's remainder: while the server reports it held (or
// the lock file cannot be asked, as when it is gone), a fresh listing of
// users/ decides, by the directory's inode; a listing is made by the
// server. The listing costs a walk of users/, hence the gate, and only the
// sync asks (the statistics would ask once per account). False on a local
// disk, and when the listing fails (the other checks then stand).
bool vs_swap_unlisted(const char *root, int held_fd, const char *dir, const struct stat &seen);
// After a read below the held directory failed with err: whether the
// directory has gone or is another one since (a replacement swapped it, a
// deletion renamed it away and is removing its files), so that the read
// is to be tried again rather than reported. After ESTALE on a shared file
// system the name may still lead this client to the old directory for a
// second or so (its name cache): looked at again for up to
// VAULT_SHARED_RETRY_MS.
bool vs_swap_gone(const char *root, int held_fd, const char *dir, const struct stat &seen,
                  int err);

// Whether the account directory dir_fd, opened from the path account_dir,
// is retired: swapped out by a replacement or renamed away by a deletion.
// A directory is marked (VS_RETIRED_NAME) before it stops being the
// account: a replacement marks it before its commit, a deletion right
// after its rename and before it removes anything; the mark is removed
// last, just before the directory itself. On a local file system the name
// answers exactly (stat); a shared file system's client can go on leading
// the name to the old directory for a second or so after another host's
// rename, so there the question goes to the server: an opendir of the
// directory itself (ESTALE once it is removed) and a lookup of the mark (a
// name this client has not seen is asked of the server). The removal's
// last two steps (the mark, then the emptied directory) leave a moment
// with neither, so an unmarked directory is the account's only while the
// server still has its profile in it (an open of the file). A marked
// directory, or one without a profile, is the account only if a fresh
// listing of users/ has it (a replacement cut short before its commit
// leaves the mark in the live directory; an account being made has no
// profile yet). 1 retired, 0 the account's, -1 with errno.
int vs_swap_retired(const char *root, int dir_fd, const char *account_dir);
// Marks the directory name below parent_fd retired (its mark may be there
// already; name "." marks parent_fd itself). 0, or -1 with errno.
int vs_swap_mark(int parent_fd, const char *name);

enum VsSwapCommit {
  VS_SWAP_COMMITTED = 0,  // the new directory is users/<id>, users/ synced
  VS_SWAP_REFUSED = -1,   // nothing changed (the staged directory stays)
  VS_SWAP_UNFINISHED = -2,  // committed, but the last rename or the sync of
                            // users/ failed; the next reader finishes it
};
// The commit of a replacement of user_id whose complete directory is
// users/<staged> (users/ open as users_fd, its path users). The caller holds
// the whole lock of the live users/<id>/.lock and has checked it is the live
// one; account_fd is that directory (its pin, files.h), or -1 to reach it
// by name. Message "<prefix>: ..." recorded unless committed.
VsSwapCommit vs_swap_commit(int users_fd, const char *users, const char *user_id, int account_fd,
                            const char *staged, const char *prefix);

// Removes what an earlier replacement of user_id left: a complete staged
// directory that never committed and a swapped-out one. Only a holder of a
// lock of the live account directory may call it (see swap.cpp). 0, or -1
// with errno.
int vs_swap_clear(int users_fd, const char *user_id);

// Removes users/.replaced.<id> after a commit (best effort: a leftover is
// cleared by the next replacement or reindex). 0, or -1 with errno.
int vs_swap_remove_replaced(int users_fd, const char *user_id);

// Finishes or removes what replacements cut short left anywhere in users/
// (the operator's reindex): a committed swap is rolled forward; an
// uncommitted staged directory and a swapped-out one are removed under the
// account's whole lock; a staging directory no process holds the lock of
// (or, without a lock file, untouched for VS_STAGING_ABANDONED_S) is
// removed. *finished counts what was done. 0; -1 with "<prefix>: ..."
// recorded for the first that could not be handled (the others are).
enum { VS_STAGING_ABANDONED_S = 600 };
int vs_swap_finish_leftovers(const char *root, long *finished, const char *prefix);

#endif
