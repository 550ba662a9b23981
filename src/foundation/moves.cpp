// The replacing rename and the no-replace move with its link + unlink
// fallback.
#include "moves.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"
#include "layout.h"
#include "temp_names.h"

int vs_rename_replace(const char *from, const char *to) {
  return rename(from, to) == 0 ? 0 : -1;
}

// Second half of the link + unlink move. Another host may replace or remove
// the source between the two steps (shared file systems are where this
// runs), so the source is first renamed aside to a parked name (see
// temp_names.h) atomically and removed only
// when it is the file just linked; a newer file caught that way is put back
// (unless an even newer one took its place). A source already gone means
// the move has in effect happened. Any failing step is undone.
static int vs_drop_linked_source(const VsDirName &from, const VsDirName &to) {
  char aside[VS_TMP_PATH];
  if (vs_temp_parked_name(aside, sizeof aside, from.name) != 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (renameat(from.fd.fd, from.name, from.fd.fd, aside) != 0) return errno == ENOENT ? 0 : -1;
  struct stat sa, st;
  if (fstatat(from.fd.fd, aside, &sa, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstatat(to.fd.fd, to.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    int e = errno;
    renameat(from.fd.fd, aside, from.fd.fd, from.name);
    errno = e;
    return -1;
  }
  bool same = sa.st_dev == st.st_dev && sa.st_ino == st.st_ino;
  if (!same && linkat(from.fd.fd, aside, from.fd.fd, from.name, 0) != 0 && errno != EEXIST) {
    int e = errno;
    renameat(from.fd.fd, aside, from.fd.fd, from.name);
    errno = e;
    return -1;
  }
  if (unlinkat(from.fd.fd, aside, 0) != 0) {
    // Undo: the caller then removes the new name, leaving the tree as it was.
    int e = errno;
    renameat(from.fd.fd, aside, from.fd.fd, from.name);
    errno = e;
    return -1;
  }
  return 0;
}

int vs_rename_noreplace(const char *root, const char *from, const char *to) {
  VsDirName src, dst;
  if (vs_open_parent(root, from, src) != 0 || vs_open_parent(root, to, dst) != 0) return -1;
  if (renameat2(src.fd.fd, src.name, dst.fd.fd, dst.name, RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    // The file system refuses the flag: link() fails on an existing name,
    // which gives the same never-replace guarantee.
    if (linkat(src.fd.fd, src.name, dst.fd.fd, dst.name, 0) != 0) return -1;
    if (vs_drop_linked_source(src, dst) != 0) {
      int e = errno;
      unlinkat(dst.fd.fd, dst.name, 0);  // leave exactly one name, as before the call
      errno = e;
      return -1;
    }
  }
  fsync(src.fd.fd);
  fsync(dst.fd.fd);
  return 0;
}

