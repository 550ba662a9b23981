// vault_user_revision_alloc: a short token that changes whenever the
// account's sync document (profile, folder list, live items) may have
// changed, built from the metadata of three names only: the "ciphers"
// directory, profile.json and folders.json. No item is opened or read.
//
// Why every change shows. Every writer of the library changes the document
// by a rename into one of two directories: an item saved, trashed,
// restored or removed is a name made, renamed or removed in "ciphers"; the
// profile and the folder list are replaced by renames in the account
// directory, which give their names a new inode. A directory's ctime is
// set at each change of its names, and a file's ctime at each change of
// it (an edit in place by hand included), and a ctime can never be set
// back by anyone but by the clock itself. So the token (a hash of inode
// numbers, ctimes, mtimes and sizes of the three) changes with every
// change, except when two changes fall in one tick of the file system's
// clock (a few milliseconds where timestamps are coarse): a token taken
// between them would equal the one after the second.
//
// That case is ruled out like this: when any of the three ctimes is within
// a margin of the current time (longer than any timestamp tick), the token
// is "unsettled": it carries the current time, the process and a counter,
// matches no other token ever handed out, and the host answers with a full
// sync. A settled token was taken when the newest ctime was older than the
// margin; any later change gets a ctime at least one tick later than that,
// so it differs. The promise, on a local disk: equal tokens, taken at any
// two moments, mean no change in between (as long as the system clock is
// not stepped back by more than the margin). On a shared file system
// timestamps come from the server or from the writing host: the margin is
// longer there (it must cover the hosts' clock difference), and a token is
// as old as the client's attribute cache (GlusterFS: attribute-timeout,
// one second by default), so a change made on another host shows in the
// token at most that long after it. A sync, though, lists "ciphers" from
// the server: a token from cached attributes taken around it could come
// with a newer document than the same token taken before the change (seen
// in the two-host stress on GlusterFS). So on a shared file system the
// account directory is listed first: the listing comes from the server,
// and the client takes from it which file each name stands for and its
// attributes (READDIRPLUS), as the sync's own listing does.
#include <errno.h>
#include <fcntl.h>
#include <sha2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "keldrune-vault-storage.h"
#include "accounts/profile.h"
#include "foundation/files.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/root.h"
#include "foundation/swap.h"

enum : long long {
  VS_SETTLE_LOCAL_NS = 20LL * 1000 * 1000,       // coarse ticks are at most 10 ms
  VS_SETTLE_SHARED_NS = 2000LL * 1000 * 1000,    // clock differences between hosts
};
enum : size_t { VS_TOKEN_LEN = 32 };

static std::atomic<unsigned long> s_unsettled{0};

// What the token is made of for one name: all zero but errno_ when it is
// absent (a missing folder list or "ciphers" is part of the document too).
struct VsStamp {
  unsigned long long dev, ino, size;
  long long ctime_s, ctime_ns, mtime_s, mtime_ns;
  int errno_;
  int pad;
};

static int vs_stamp(const char *path, VsStamp &s, long long *newest_ns) {
  memset(&s, 0, sizeof s);
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    s.errno_ = errno;
    return vs_read_absent(errno) ? 1 : -1;
  }
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = (unsigned long long)st.st_size;
  s.ctime_s = st.st_ctim.tv_sec;
  s.ctime_ns = st.st_ctim.tv_nsec;
  s.mtime_s = st.st_mtim.tv_sec;
  s.mtime_ns = st.st_mtim.tv_nsec;
  long long c = s.ctime_s * 1000000000LL + s.ctime_ns;
  if (c > *newest_ns) *newest_ns = c;
  return 0;
}

static char *vs_user_revision_alloc_body(const char *user_id, size_t *len_out) {
  VsAccountPaths acct;
  if (vs_account_begin(user_id, "revision", acct) != 0) return nullptr;
  if (vs_fs_shared()) {
    VsList list;
    if (vs_list_open(list, s_root, acct.dir) == 0)
      while (vs_list_next(list)) {
      }
  }
  VsStamp stamps[3];
  long long newest = 0;
  const char *const paths[3] = {acct.profile, acct.folders, acct.ciphers};
  for (int i = 0, again = 1; i < 3; i++) {
    int rc = vs_stamp(paths[i], stamps[i], &newest);
    // Met between the two renames of a replacement (swap.h): finished, the
    // names are all looked at again, in the new directory.
    if (rc == 1 && again && (errno = ENOENT, vs_swap_settle(s_root, paths[i]))) {
      again = 0;
      i = -1;
      newest = 0;
      continue;
    }
    if (rc == 1 && i == 0) {
      vs_error_code(VAULT_NOT_FOUND, 0, "revision: not found");
      return nullptr;
    }
    if (rc < 0) {
      vs_error_errno(stamps[i].errno_, "revision: cannot examine %s (%s)", paths[i],
                     strerror(stamps[i].errno_));
      return nullptr;
    }
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  long long now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
  long long margin = vs_fs_shared() ? VS_SETTLE_SHARED_NS : VS_SETTLE_LOCAL_NS;
  bool settled = now_ns - newest >= margin;

  SHA2_CTX ctx;
  SHA256Init(&ctx);
  SHA256Update(&ctx, reinterpret_cast<const uint8_t *>(stamps), sizeof stamps);
  if (!settled) {
    // Unique: this moment, this process, this call.
    unsigned long n = s_unsettled.fetch_add(1, std::memory_order_relaxed);
    long long pid = (long long)getpid();
    SHA256Update(&ctx, reinterpret_cast<const uint8_t *>(&now_ns), sizeof now_ns);
    SHA256Update(&ctx, reinterpret_cast<const uint8_t *>(&pid), sizeof pid);
    SHA256Update(&ctx, reinterpret_cast<const uint8_t *>(&n), sizeof n);
  }
  char hex[SHA256_DIGEST_STRING_LENGTH];
  SHA256End(&ctx, hex);
  char *out = static_cast<char *>(malloc(VS_TOKEN_LEN + 1));
  if (!out) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "revision: out of memory");
    return nullptr;
  }
  memcpy(out, hex, VS_TOKEN_LEN);
  // An unsettled token is marked, so that it can never equal a settled one.
  if (!settled) out[0] = 'u';
  out[VS_TOKEN_LEN] = '\0';
  if (len_out) *len_out = VS_TOKEN_LEN;
  return out;
}

extern "C" char *vault_user_revision_alloc(const char *user_id, size_t *len_out) {
  return vs_call(vs_user_revision_alloc_body, user_id, len_out);
}
