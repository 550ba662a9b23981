// The platform layer under the data tree: link-safe opens, directory
// listings, one-level directory creation, whole-file reads, directory
// syncs, and a file's directory opened together with its name. Every
// function that walks a path takes the data root explicitly: no directory
// below it is ever reached through a symbolic link. A NULL root (or a path
// outside it) checks the final name only.
#ifndef VS_FILES_H
#define VS_FILES_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "holders.h"
#include "keldrune-vault-storage.h"

// -1 with errno ELOOP when a directory between root and the final name of
// path is a symbolic link; 0 otherwise.
int vs_check_beneath(const char *root, const char *path);
// open(2) for a path of the tree that never goes through a symbolic link
// below root (the final name included). -1 with errno on failure.
int vs_open_beneath(const char *root, const char *path, int flags, mode_t mode);

// A directory listing read straight from the kernel into a fixed buffer
// (no heap). Entry names come in the platform's order, "." and ".."
// included; vs_list_next gives NULL at the end (errno 0) or on an error,
// and type the d_type of the entry it gave (DT_UNKNOWN where the file
// system does not tell), ino its inode number.
struct VsList {
  VsFd fd;
  size_t pos = 0, end = 0;
  unsigned char type = 0;
  unsigned long long ino = 0;
  alignas(8) char buf[8192];
  VsList() = default;
  VsList(const VsList &) = delete;
  VsList &operator=(const VsList &) = delete;
};
int vs_list_open(VsList &list, const char *root, const char *path);
const char *vs_list_next(VsList &list);

// A file's directory, opened link-safe, and its name within it (pointing
// into the path it was opened from).
struct VsDirName {
  VsFd fd;
  const char *name = nullptr;
};
int vs_open_parent(const char *root, const char *path, VsDirName &out);

// Whether the server lists d's name in its directory, as the file ino
// (any file for 0). A shared file system's client answers lookups and
// attributes from its caches (GlusterFS: a name another host has moved
// away or renamed), but a listing of a freshly opened directory comes from
// the server. 1 listed, 0 not, -1 the listing failed (errno).
int vs_listed_as(const VsDirName &d, unsigned long long ino);

// Holding an account's lock on a shared file system, a writer reaches the
// account's files through the directory whose lock it holds, not through
// the name users/<id> again: a client's view of that name can lag another
// host's replacement of the account, or even go back to the directory that
// replacement swapped out (GlusterFS answers lookups from caches that other
// hosts' changes do not reach). While a pin is set on a thread,
// vs_open_beneath opens every path below its account directory relative to
// the pinned directory (the last pin set that matches). vs_pin_set takes
// dir_fd; account_dir must outlive the pin, which ends with its scope.
struct VsPin {
  VsFd dir;
  const char *path = nullptr;
  size_t len = 0;
  VsPin *prev = nullptr;
  VsPin() = default;
  VsPin(const VsPin &) = delete;
  VsPin &operator=(const VsPin &) = delete;
  ~VsPin();
};
void vs_pin_set(VsPin &pin, int dir_fd, const char *account_dir);

// 0 when something exists at path or the directory was made (one level,
// mode 0700); -1 with "mkdir failed: <path> (<reason>)".
int vs_mkdir(const char *root, const char *path);

// Reads a whole regular file into a fresh malloc'ed text with a NUL after
// it. The size the file reports is only a first guess: reading goes on to
// the end, so a file that grew, or whose size a network file system
// reports stale, is never cut (files of 2 GiB and more are refused). On
// failure errno tells why (ENOENT: nothing there) and a message is
// recorded on every path ("read failed: <path> (<reason>)", "out of
// memory"); the outputs are written only on success.
int vs_read_file(const char *root, const char *path, char **out, uint64_t *len_out);
// The same for the file rel below an open directory dir_fd (whose path is
// dir, used in messages); no symbolic link is followed below dir_fd. Meant
// for names just listed: one that is gone when opened (ENOENT) is looked
// up again, and read again if it is there after all.
int vs_read_file_at(const char *root, int dir_fd, const char *dir, const char *rel,
                    char **out, uint64_t *len_out);

// Shared file systems (NFS, CephFS, GlusterFS and other network or FUSE
// file systems) let a reader on one host see a file that another host is
// replacing by rename as gone for a moment: ESTALE from the open, fstat or
// read, ENOENT after a successful open, a descriptor in a bad state, and
// (with some cache settings) an empty or cut text. Every whole-file read
// above repeats itself from the open, for up to VS_SHARED_RETRY_MS, when it
// meets one of those errors; on a shared file system it also repeats a read
// whose text is empty or not strict JSON (every document of the tree is
// strict JSON) while the file is changing: once two reads and a look at the
// name show the same file (inode, size, change time) read whole, a text
// that is not empty is what is stored (a damaged document) and is handed
// back at once. An empty text is retried for the whole bound: it is what a
// client shows for a file another host has just renamed into place while
// it still holds the attributes of the empty temporary file. After
// the bound the reads hand back what they read. On a local disk none of
// this happens, and the reads cost what they always did.
enum { VS_SHARED_RETRY_MS = VAULT_SHARED_RETRY_MS };
// The pacing of those retries, shared by every retry that waits for a
// shared file system's client to catch up (reads, moves): a pause that
// doubles from pause_us up to max_pause_us, for VS_SHARED_RETRY_MS from
// the first. vs_retry_pause sleeps and returns true, or false once the
// bound is past.
struct VsRetry {
  long pause_us = 500;
  long max_pause_us = 50000;
  long long deadline_us = 0;
};
bool vs_retry_pause(VsRetry &r);
// Notes whether the file system holding path is shared (statfs); the
// reads' content check follows the last note. A path that cannot be
// examined counts as local. vs_fs_set_shared overrides the note (tests).
void vs_fs_note(const char *path);
int vs_fs_shared(void);
void vs_fs_set_shared(int shared);
// How long a damaged file must have stood unchanged when it settles for
// later reads to trust it from memory (files.cpp, s_settled); tests set a
// shorter age, and a negative one restores the default.
void vs_fs_set_settled_age(int seconds);

// vs_read_file for a writer that holds the lock under which every
// replacement of path happens (a read-modify-write). Such a writer must
// read the version the last holder renamed into place; on a shared file
// system its client may still resolve the name to the file that rename
// replaced (cached for a second or so) and even read that file's old text
// from its caches, whole and valid: the other host's change would be lost
// (GlusterFS does; CephFS's clients never do, their caches being kept
// coherent by the metadata server). There the read checks with the server
// that the file it opened is still the current one (GlusterFS refuses the
// read lock on a replaced file; CephFS grants it, and needs no refusal),
// trying again within VS_SHARED_RETRY_MS, and then fails
// (ESTALE: "read failed: <path> (Stale file handle)"); ENOENT only when
// the name is not in the directory. On a local disk this is vs_read_file,
// at its cost.
int vs_read_file_current(const char *root, const char *path, char **out, uint64_t *len_out);

// Whether a failed read or listing (errno e) says for certain that no
// document is there: nothing under the name (ENOENT, ENOTDIR), or something
// that is not one (a directory, FIFO, socket or other non-regular file, a
// symbolic link, a file of 2 GiB or more). Every other reason (EMFILE, ENFILE, ENOMEM, EIO, EACCES,
// ESTALE, ...) leaves it open what is there: a reader must then fail, not
// answer without it, since its caller would take the missing thing for
// deleted or never made.
int vs_read_absent(int e);
// The same for a directory to be listed: only one that is not there. A link
// in place of a directory is no empty directory (ELOOP fails the call).
int vs_list_absent(int e);
// The message of a reader export whose document could not be read (errno):
// "<prefix>: not found" when it is surely not there, else "<prefix>: cannot
// read <path> (<reason>)".
void vs_read_error(const char *prefix, const char *path);

// A heap buffer the reads of one call share: it grows to the largest file
// read and is released with the holder.
struct VsBuf {
  char *p = nullptr;
  size_t cap = 0;
  VsBuf() = default;
  VsBuf(const VsBuf &) = delete;
  VsBuf &operator=(const VsBuf &) = delete;
  ~VsBuf() { free(p); }
};
// At least size bytes of room; false (buffer unchanged) without memory.
bool vs_buf_reserve(VsBuf &b, size_t size);
// The two reads into such a buffer: the file's bytes, then pad NUL bytes
// (at least one; yyjson's in-place parsing wants YYJSON_PADDING_SIZE).
int vs_read_file_buf(const char *root, const char *path, VsBuf &buf, size_t pad,
                     uint64_t *len_out);
int vs_read_file_at_buf(const char *root, int dir_fd, const char *dir, const char *rel,
                        VsBuf &buf, size_t pad, uint64_t *len_out);

// Reads a stored document whole for a getter (profile, cipher): the text
// (malloc'ed), or NULL with the message of vs_read_error, "<prefix>: out of
// memory" or, for an empty file (which the library never writes as a
// document), "<prefix>: empty document".
char *vs_read_document(const char *root, const char *path, const char *prefix, uint64_t *len);

// fsync of a directory, of the directory holding a path, and of the open
// directory of a VsDirName (path: the one it was opened from). 0, or -1
// with "sync failed: <dir> (<reason>)", also when the directory cannot be
// opened to sync it: the change in it may not survive a power loss,
// although it may already be visible.
int vs_sync_dir(const char *dir);
int vs_sync_parent(const char *path);
int vs_sync_dir_of(const VsDirName &d, const char *path);

// Removes the directory name below parent_fd with everything in it, never
// following a link (a link is removed as a name); a directory a late file
// kept from going is listed again. 0 (nothing there included), or -1 with
// errno.
int vs_remove_tree(int parent_fd, const char *name, int depth = 0);

#endif
