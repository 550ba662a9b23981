// Per-account locks: open-file-description locks (fcntl F_OFD_SETLK) on
// one byte each of the account's lock file. They exclude each other
// between processes, between threads (each holder opens the file itself)
// and between hosts on file systems that carry POSIX locks (NFSv4,
// GlusterFS), and the kernel drops them when the holder dies.
#ifndef VS_LOCKS_H
#define VS_LOCKS_H

#include "holders.h"

// What is locked: one byte of the lock file each.
enum VsLockRange {
  VS_LOCK_MOVES = 0,  // moves of items between "ciphers" and "trash"
};

// Opens (creating it, mode 0600) the lock file of the account directory
// account_dir and takes the lock, waiting up to a few seconds for another
// holder. 0 with held keeping the lock until it is closed; -1 with errno
// (EAGAIN: still held by another after the wait).
int vs_lock_account(const char *root, const char *account_dir, VsLockRange what, VsFd &held);

#endif
