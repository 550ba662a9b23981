// Locks between writers: open-file-description locks (fcntl F_OFD_SETLK).
// Such a lock belongs to the open file, not to the process, so two threads
// of one process exclude each other exactly as two processes do; NFS v4,
// GlusterFS and CephFS (whose metadata server grants them) carry the same
// locks between hosts, and the holder's death (or its close) releases
// them. Two uses: one byte each of an account's lock file (per-account
// locks), and whole e-mail index entries.
#ifndef VS_LOCKS_H
#define VS_LOCKS_H

#include "files.h"
#include "holders.h"
#include "keldrune-vault-storage.h"

// What is locked: one byte of the account's lock file each.
enum VsLockRange {
  VS_LOCK_MOVES = 0,    // moves of items between "ciphers" and "trash"
  VS_LOCK_FOLDERS = 1,  // the folder list's read-modify-write
  VS_LOCK_PROFILE = 2,  // the profile's read-modify-write, and deletion
  VS_LOCK_ITEMS = 3,    // item saves, moves and removals, shared among them
  VS_LOCK_WHOLE = 4,    // every byte: a replacement of the whole account
};

// How long a writer waits for a lock held by another before its call
// fails. Holders keep a lock for a few system calls, so a lock still taken
// after this long belongs to a holder that hangs (a host cut off from the
// file system), and the call fails rather than hang with it.
enum { VS_LOCK_WAIT_MS = VAULT_LOCK_WAIT_MS };

// Opens (creating it, mode 0600) the lock file of the account directory
// account_dir and takes the lock (shared: a read lock, which holders of
// the same byte share), waiting up to vs_lock_wait_ms() for another
// holder. 0 with held keeping the lock until vs_lock_drop (or its close);
// -1 with errno (EAGAIN: still held by another after the wait; ENOENT: no
// account directory).
//
// A replacement swaps the whole account directory (swap.h) while holding
// every byte of the lock file of the directory it swaps out. So after
// taking its byte a writer checks that the file it locked is still the one
// at account_dir/.lock; if not, the directory it opened was swapped out
// meanwhile, and it lets go and locks the live one. Holding a checked lock,
// a writer's change lands in the live directory and no swap happens until
// it lets go. An account met between the two renames of a swap is first
// rolled forward (vs_swap_settle).
//
// pin, when given, is set (files.h, VsPin) on a shared file system to the
// directory whose lock is held, so that the writer's own opens below
// account_dir go to that directory for as long as the pin lasts.
int vs_lock_account(const char *root, const char *account_dir, VsLockRange what, VsFd &held,
                    bool shared = false, VsPin *pin = nullptr);

// vs_lock_account for a writer of account files (prefix: its message
// prefix). 0 held, or on a local disk nothing held because there is no
// account directory (the writer's own write then fails as it would without
// the lock); -1 with "<prefix>: lock failed: ..." recorded, or on a shared
// file system "<prefix>: not found" for a missing account.
int vs_lock_writer(const char *root, const char *account_dir, VsLockRange what, VsFd &held,
                   const char *prefix, bool shared = false, VsPin *pin = nullptr);

// Whether the whole lock of the account directory dir_fd is held now (a
// replacement, or a deletion removing the directory): the lock file's
// bytes from VS_LOCK_WHOLE on, which no other holder takes, tested without
// taking them (the server answers; nothing is cached). 1 held, 0 free, -1
// with errno (no lock file there included).
int vs_lock_whole_held(int dir_fd);

// Takes an exclusive lock on the whole of fd (open for writing), waiting
// up to wait_ms for another holder (0: one try). 0 held; -1 with errno
// (EAGAIN: held by another all that time).
int vs_lock_take(int fd, int wait_ms);
// vs_lock_take on the lock file of the directory name below parent_fd,
// opened into held (created first when create). 0 held; -1 with errno.
int vs_lock_take_below(int parent_fd, const char *name, bool create, int wait_ms, VsFd &held);

// Lets go of every lock taken through fd, then closes it. The explicit
// unlock comes first because some network file systems tie the release at
// close to the process rather than to the open file.
void vs_lock_drop(VsFd &fd);

// The wait of every writer, in milliseconds: VS_LOCK_WAIT_MS unless a test
// shortened it.
int vs_lock_wait_ms(void);
void vs_lock_set_wait_ms(int ms);

#endif
