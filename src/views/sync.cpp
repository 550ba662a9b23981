// The sync document of one account: its profile, its folder list and every
// cipher file of its "ciphers" directory, re-serialised minified under one
// root object together with the fixed "domains" settings.
//
// The text is built in place in its output: each parsed value is written by
// yyjson's minified writer and appended between fixed framing texts, which
// gives the same bytes as copying everything into one mutable document and
// writing that once. A cipher file whose text is already exactly what the
// writer would give (vs_sync_verbatim) is copied as it is. The output is
// either this thread's fixed result buffer (vault_sync_generate_json,
// which stops as soon as the text can no longer fit its limit) or a heap
// text that grows as needed (the _alloc twin).
//
// Memory: every file is read into one buffer that the call reuses, or into
// the thread's ring buffer (foundation/ring.h), and parsed in place
// (yyjson's insitu mode, strings stay in that buffer). Each item's parsed
// values and its written text come from the thread's arena (VsArena below,
// kept between calls like the ring), then the text is copied onto the end
// of the output: memory beyond the text depends on the largest document,
// never on the number of items, and a call of documents within the arena
// takes no heap for them at all.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "keldrune-vault-storage.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/ring.h"
#include "foundation/root.h"
#include "foundation/swap.h"

namespace {

// Longest text the fixed buffer hands out (it keeps a NUL and one spare byte).
constexpr size_t VS_SYNC_MAX = VS_SYNC_BUF_SIZE - 2;

// The framing around the three copied parts. "folders" is written as one
// array value; "ciphers" element by element.
constexpr char k_head[] = "{\"profile\":";
constexpr char k_folders[] = ",\"folders\":";
constexpr char k_ciphers[] = ",\"ciphers\":[";
constexpr char k_tail[] =
    "],\"domains\":{\"disablePersonalOwner\":false,\"disableSend\":true,"
    "\"disableWebVault\":false,\"sshKeyHostDomains\":[],\"csp\":{}},"
    "\"object\":\"sync\"}";

template <size_t N>
constexpr size_t lit_len(const char (&)[N]) { return N - 1; }

// VS_SYNC_UNKNOWN: something could not be read for a passing reason; the
// message is recorded.
enum VsSyncRc { VS_SYNC_OK, VS_SYNC_TOO_LARGE, VS_SYNC_FAIL, VS_SYNC_UNKNOWN };

// The text written so far and the framing text that is certain to follow
// it. A fixed output (grow false) never holds more than VS_SYNC_MAX bytes
// with the reserve counted, so a text that is going to be too large is
// refused at the first piece that shows it. A growing one is a heap block
// grown to exactly what each piece needs: room kept ahead would be memory
// held beyond the text for the whole call (an eighth of a 40 MB document is
// 5 MB), and glibc extends a block at the top of the heap, or a mapped one
// (mremap), without copying it, so exact growth costs no more time.
struct VsSyncOut {
  char *buf;
  size_t len, cap;
  size_t reserve;
  bool grow;
};

// Room for n more bytes after the text (and its NUL).
bool vs_out_room(VsSyncOut &o, size_t n) {
  if (!o.grow) return n <= VS_SYNC_MAX - o.len - o.reserve;
  size_t need = o.len + n + o.reserve + 1;
  if (need < n) return false;  // overflow
  if (need <= o.cap) return true;
  char *b = static_cast<char *>(realloc(o.buf, need));
  if (!b) return false;
  o.buf = b;
  o.cap = need;
  return true;
}

// A growing output grown once for a whole batch of ring-read texts (and
// their commas) rather than once an item: past the glibc mmap threshold
// every growth is an mremap, one a page of output (10,000 a sync of
// 10,000 items of 4 KiB). The room is what the batch's texts take as they
// are, which most of them do (vs_sync_verbatim); a minified or dropped one
// leaves some for the next batch, and the end of the call gives back what
// is left. So it holds no memory beyond the text for long, whatever the
// number of items. A failure here is no failure: each item asks again.
void vs_out_room_for(VsSyncOut &o, const VsRingBatch &b) {
  if (!o.grow) return;
  size_t n = 0;
  for (int i = 0; i < b.n; i++)
    if (b.text[i]) n += b.len[i] + 1;
  if (n) vs_out_room(o, n);
}

int vs_sync_put(VsSyncOut &o, const char *p, size_t n) {
  if (!vs_out_room(o, n)) return o.grow ? VS_SYNC_FAIL : VS_SYNC_TOO_LARGE;
  memcpy(o.buf + o.len, p, n);
  o.len += n;
  return VS_SYNC_OK;
}

// Appends framing text that was counted in the reserve; it always fits.
int vs_sync_put_frame(VsSyncOut &o, const char *lit, size_t n) {
  o.reserve -= n;
  return vs_sync_put(o, lit, n);
}

// The thread's arena for yyjson: one block, set up on the first sync and
// kept, from which the reader's values and the writer's text of one item
// at a time are taken. yyjson asks for far more than it uses (the reader
// about 2.7 times the text for its values, the writer six times the
// longest string for escapes): from the heap that reserve was the call's
// peak beyond its output; here it is room the arena has anyway. Blocks are
// handed out from the bottom up; a block freed or grown at the top is
// given back or grown in place, and once no block is live the arena is
// empty again. What does not fit goes to the heap as before.
enum : size_t { VS_ARENA_SIZE = 128 * 1024, VS_ARENA_ALIGN = 16 };
struct VsArena {
  char *base = nullptr;
  size_t cap = 0, used = 0, top = 0;  // top: offset of the last block handed out
  int live = 0;
  bool tried = false;  // the block was asked for (once per thread)
  VsArena() = default;
  VsArena(const VsArena &) = delete;
  VsArena &operator=(const VsArena &) = delete;
  ~VsArena() { free(base); }
  bool owns(const void *p) const {
    return base && static_cast<const char *>(p) >= base && static_cast<const char *>(p) < base + cap;
  }
};
thread_local VsArena s_arena;

void *vs_arena_malloc(void *ctx, size_t size) {
  VsArena &a = *static_cast<VsArena *>(ctx);
  size_t at = (a.used + VS_ARENA_ALIGN - 1) & ~(size_t)(VS_ARENA_ALIGN - 1);
  if (!a.base || size > a.cap || at > a.cap - size) return malloc(size);
  a.top = at;
  a.used = at + size;
  a.live++;
  return a.base + at;
}

void vs_arena_free(void *ctx, void *ptr) {
  VsArena &a = *static_cast<VsArena *>(ctx);
  if (!a.owns(ptr)) {
    free(ptr);
    return;
  }
  if (static_cast<char *>(ptr) == a.base + a.top) a.used = a.top;
  if (--a.live == 0) a.used = a.top = 0;
}

void *vs_arena_realloc(void *ctx, void *ptr, size_t old_size, size_t size) {
  VsArena &a = *static_cast<VsArena *>(ctx);
  if (!ptr) return vs_arena_malloc(ctx, size);
  if (!a.owns(ptr)) return realloc(ptr, size);
  if (static_cast<char *>(ptr) == a.base + a.top && size <= a.cap - a.top) {
    a.used = a.top + size;  // the top block grows or shrinks in place
    return ptr;
  }
  void *p = vs_arena_malloc(ctx, size);
  if (!p) return nullptr;
  memcpy(p, ptr, old_size < size ? old_size : size);
  vs_arena_free(ctx, ptr);
  return p;
}

// yyjson's allocator over the thread's arena, set up on first use (without
// memory for it, everything goes to the heap).
const yyjson_alc *vs_arena_alc(void) {
  VsArena &a = s_arena;
  if (!a.tried) {
    a.tried = true;
    a.base = static_cast<char *>(malloc(VS_ARENA_SIZE));
    a.cap = a.base ? (size_t)VS_ARENA_SIZE : 0;
  }
  static thread_local yyjson_alc alc = {vs_arena_malloc, vs_arena_realloc, vs_arena_free, &s_arena};
  return &alc;
}

// Appends one parsed value, minified, after the text sep (n_sep bytes). The
// writer fails only when memory runs out (the reader refuses the invalid
// UTF-8 it would also refuse).
int vs_sync_put_value(VsSyncOut &o, yyjson_val *val, const char *sep = "", size_t n_sep = 0) {
  const yyjson_alc *alc = vs_arena_alc();
  size_t n = 0;
  char *text = yyjson_val_write_opts(val, 0, alc, &n, nullptr);
  if (!text) return VS_SYNC_FAIL;
  int rc = vs_out_room(o, n_sep + n) ? VS_SYNC_OK : o.grow ? VS_SYNC_FAIL : VS_SYNC_TOO_LARGE;
  if (rc == VS_SYNC_OK) {
    memcpy(o.buf + o.len, sep, n_sep);
    memcpy(o.buf + o.len + n_sep, text, n);
    o.len += n_sep + n;
  }
  alc->free(alc->ctx, text);
  return rc;
}

enum VsLoad { VS_LOAD_OK, VS_LOAD_ABSENT, VS_LOAD_BAD_JSON, VS_LOAD_NO_MEMORY, VS_LOAD_UNKNOWN };

// Strictly parses a text read whole (with yyjson's padding after it) in
// place into doc.
int vs_sync_parse(char *text, uint64_t len, VsDoc &doc) {
  yyjson_read_err err;
  doc.reset(yyjson_read_opts(text, (size_t)len, YYJSON_READ_INSITU, vs_arena_alc(), &err));
  if (doc) return VS_LOAD_OK;
  return err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? VS_LOAD_NO_MEMORY : VS_LOAD_BAD_JSON;
}

// Reads one document whole into the call's read buffer, with yyjson's
// padding after it (*len: its length). Only a file that is
// surely not there, or not a document, is VS_LOAD_ABSENT; one that cannot
// be read for a passing reason (VS_LOAD_UNKNOWN, message recorded) or for
// want of memory must fail the call: a client takes an item missing from
// the document for a deleted one. A cipher file is read relative to the
// listed directory (dir_fd, its path dir); the profile and the folder list
// by their paths (dir_fd < 0).
int vs_sync_read(VsBuf &buf, int dir_fd, const char *dir, const char *path, uint64_t *len) {
  int rc = dir_fd >= 0
               ? vs_read_file_at_buf(s_root, dir_fd, dir, path, buf, YYJSON_PADDING_SIZE, len)
               : vs_read_file_buf(s_root, path, buf, YYJSON_PADDING_SIZE, len);
  if (rc == 0) return VS_LOAD_OK;
  if (errno == ENOMEM) return VS_LOAD_NO_MEMORY;
  if (vs_read_absent(errno)) return VS_LOAD_ABSENT;
  if (dir_fd >= 0)
    vs_error_errno(errno, "sync: cannot read %s/%s (%s)", dir, path, strerror(errno));
  else
    vs_error_errno(errno, "sync: cannot read %s (%s)", path, strerror(errno));
  return VS_LOAD_UNKNOWN;
}

// vs_sync_read of a profile or folder list by its path, then strictly
// parsed into doc, in place in the read buffer (doc refers to it until the
// next read).
int vs_sync_load(VsBuf &buf, const char *path, VsDoc &doc) {
  doc.reset();
  uint64_t len = 0;
  int rc = vs_sync_read(buf, -1, nullptr, path, &len);
  return rc == VS_LOAD_OK ? vs_sync_parse(buf.p, len, doc) : rc;
}

// Appends the root array of the folder list, or the empty array when the
// list is missing, not JSON or not an array.
int vs_sync_put_folders(VsSyncOut &o, VsBuf &buf, const char *path) {
  VsDoc doc;
  int loaded = vs_sync_load(buf, path, doc);
  if (loaded == VS_LOAD_NO_MEMORY) return VS_SYNC_FAIL;
  if (loaded == VS_LOAD_UNKNOWN) return VS_SYNC_UNKNOWN;
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (yyjson_is_arr(root)) return vs_sync_put_value(o, root);
  return vs_sync_put(o, "[]", 2);
}

// Records that the cipher listing failed (errno) and says so.
int vs_sync_list_failed(const char *dir_path) {
  if (errno == ENOMEM) return VS_SYNC_FAIL;
  vs_error_errno(errno, "sync: cannot read %s (%s)", dir_path, strerror(errno));
  return VS_SYNC_UNKNOWN;
}

// Decimal digits of v.
size_t vs_digits(uint64_t v) {
  size_t n = 1;
  for (; v >= 10; v /= 10) n++;
  return n;
}

// Whether yyjson's minified writer gives back exactly the len bytes doc
// was read from. The writer writes each string and key as its characters
// between two quotes, escaping only quotes, backslashes and control bytes
// (which a string can hold only as escapes: the reader refuses them raw,
// and invalid UTF-8); an integer with its digits (a real, or -0, which
// reads as the integer 0, may come back otherwise: those are not taken);
// true, false and null as themselves; and brackets, commas and colons
// between them, nothing else. So its length follows from the values
// alone. The text holds the same pieces, plus any white space, plus for
// every escape more bytes than the character it stands for: it has the
// writer's length only when it has neither, and is then byte for byte the
// writer's text. The values lie in one array in reading order, keys among
// them, so one pass over it counts them.
bool vs_sync_verbatim(yyjson_doc *doc, size_t len) {
  yyjson_val *v = yyjson_doc_get_root(doc);
  size_t n = yyjson_doc_get_val_count(doc), want = 0;
  for (size_t i = 0; i < n; i++, v++) {
    size_t k = yyjson_get_len(v);
    switch (yyjson_get_type(v)) {
      case YYJSON_TYPE_STR: want += k + 2; break;
      case YYJSON_TYPE_NULL: want += 4; break;
      case YYJSON_TYPE_BOOL: want += yyjson_get_bool(v) ? 4 : 5; break;
      case YYJSON_TYPE_ARR: want += 2 + (k ? k - 1 : 0); break;
      case YYJSON_TYPE_OBJ: want += 2 + k + (k ? k - 1 : 0); break;
      case YYJSON_TYPE_NUM:
        if (yyjson_get_subtype(v) == YYJSON_SUBTYPE_UINT) {
          want += vs_digits(yyjson_get_uint(v));
        } else if (yyjson_get_subtype(v) == YYJSON_SUBTYPE_SINT && yyjson_get_sint(v) != 0) {
          want += 1 + vs_digits(0 - (uint64_t)yyjson_get_sint(v));
        } else {
          return false;
        }
        break;
      default: return false;
    }
  }
  return want == len;
}

// Appends one cipher document, read whole into text (len bytes, followed
// by yyjson's padding), after a comma unless it is the first, when it
// parses strictly: its root value minified. *loaded tells how it parsed
// (vs_sync_parse); nothing is appended unless VS_LOAD_OK.
//
// Stored documents are mostly minified already, and then the text itself
// is what the writer would give: so the text is copied onto the output
// first (the parse in place changes it) and kept when vs_sync_verbatim
// says so; otherwise it is taken back and the parsed value written. (A
// fixed output without room for the text as it is may still hold it
// minified: then it is written.)
int vs_sync_put_cipher(VsSyncOut &o, char *text, size_t len, bool &first, int *loaded) {
  const size_t mark = o.len, n_sep = first ? 0 : 1;
  bool copied = vs_out_room(o, n_sep + len);
  if (copied) {
    memcpy(o.buf + o.len, ",", n_sep);
    memcpy(o.buf + o.len + n_sep, text, len);
    o.len += n_sep + len;
  }
  VsDoc doc;
  *loaded = vs_sync_parse(text, len, doc);
  if (*loaded != VS_LOAD_OK) {
    o.len = mark;
    return VS_SYNC_OK;
  }
  first = false;
  if (copied && vs_sync_verbatim(doc.get(), len)) return VS_SYNC_OK;
  o.len = mark;
  return vs_sync_put_value(o, yyjson_doc_get_root(doc.get()), ",", n_sep);
}

// Appends the root value of every strictly parsed cipher file, in listing
// order, separated by commas. A listing that cannot be read must not pass
// for an empty "ciphers", nor one cut short for a shorter one. The files
// are read a batch at a time through the thread's ring (see ring.h); a file
// the ring did not read, or whose text does not parse there, is read again
// the plain way, which decides what it is (on a shared file system, a view
// of a file being replaced is read again until it settles).
int vs_sync_put_ciphers(VsSyncOut &o, VsBuf &buf, const char *dir_path) {
  VsList dir;
  if (vs_list_open(dir, s_root, dir_path) != 0)
    return vs_list_absent(errno) ? VS_SYNC_OK : vs_sync_list_failed(dir_path);
  bool first = true, listed_all = false;
  size_t dir_len = strlen(dir_path);
  VsRingBatch batch;
  while (!listed_all) {
    batch.n = 0;
    while (batch.n < VS_RING_BATCH) {
      const char *name = vs_list_next(dir);
      if (!name) {
        if (errno != 0) return vs_sync_list_failed(dir_path);
        listed_all = true;
        break;
      }
      if (!vs_item_file_name(name)) continue;
      // The entry's path ("%s/%s") must fit its buffer to be taken at all.
      if (dir_len + 1 + strlen(name) >= VS_ENTRY_PATH) continue;
      vs_ring_add(batch, name, dir.type == DT_REG);
    }
    vs_ring_read(batch, dir.fd.fd);
    vs_out_room_for(o, batch);
    for (int i = 0; i < batch.n; i++) {
      int loaded = VS_LOAD_BAD_JSON, rc = VS_SYNC_OK;
      if (batch.text[i]) rc = vs_sync_put_cipher(o, batch.text[i], batch.len[i], first, &loaded);
      if (rc == VS_SYNC_OK && loaded == VS_LOAD_BAD_JSON) {
        uint64_t len = 0;
        loaded = vs_sync_read(buf, dir.fd.fd, dir_path, batch.names[i], &len);
        if (loaded == VS_LOAD_OK) rc = vs_sync_put_cipher(o, buf.p, (size_t)len, first, &loaded);
      }
      if (rc != VS_SYNC_OK) return rc;
      if (loaded == VS_LOAD_NO_MEMORY) return VS_SYNC_FAIL;
      if (loaded == VS_LOAD_UNKNOWN) return VS_SYNC_UNKNOWN;
    }
  }
  return VS_SYNC_OK;
}

enum : long { VS_SYNC_LOOK_AGAIN_MS = 50 };

// What vs_sync_build returns when the message is already recorded.
constexpr char k_recorded[] = "";

// A failure's message, its code recorded now (the export records the text).
const char *vs_sync_fail(int code, const char *why) {
  vs_error_set_code(code, code == VAULT_NO_MEMORY ? ENOMEM : 0);
  return why;
}

// What vs_sync_build_once returns when the account directory was swapped
// (swap.h) or has gone while it read: the document may mix two
// generations. vs_sync_build reads again; a deleted account then reads as
// not found.
constexpr char k_swapped[] = "sync: user not found";

// A read of the account failed: when its directory has gone or is another
// one since the call began (swap.h), the document is read again
// (k_swapped); else the failure stands.
const char *vs_sync_read_failed(const VsFd &held, const struct stat &before, const char *dir) {
  if (!held.ok() || !vs_swap_gone(s_root, held.fd, dir, before, vs_error_errno_now()))
    return k_recorded;
  vs_error_set_code(VAULT_NOT_FOUND, 0);
  return k_swapped;
}

// Builds the document of user_id into o. NULL on success, else the message
// (k_recorded: recorded already).
const char *vs_sync_build_once(VsSyncOut &o, const VsAccountPaths &acct) {
  // Every part is read by its path through users/<id>. A deletion renames
  // the account's directory before it removes a file, and a replacement
  // swaps in another directory: a document read across either would miss or
  // mix parts of the account. So the directory is held open from the start
  // (its inode cannot be reused meanwhile) and must still be the one at
  // users/<id> at the end: then every path read went to it.
  // (A directory that cannot be examined is left to the reads to report.)
  struct stat dir_before;
  VsFd dir(vs_swap_hold(s_root, acct.dir, &dir_before));
  bool have_dir = dir.ok();
  if (!have_dir && (errno == ENOENT || errno == ENOTDIR))
    return vs_sync_fail(VAULT_NOT_FOUND, "sync: user not found");
  // On a shared file system the client can lead the path to another
  // directory than the one held (its caches lag another host's swap):
  // there every part is read through the held directory (files.h, VsPin),
  // so that the check at the end is about what was read.
  VsPin pin;
  if (have_dir && vs_fs_shared()) {
    int again = fcntl(dir.fd, F_DUPFD_CLOEXEC, 0);
    if (again >= 0) vs_pin_set(pin, again, acct.dir);
  }

  VsBuf buf;  // every file of the call is read into this one buffer
  int rc;
  {
    VsDoc profile;
    int loaded = vs_sync_load(buf, acct.profile, profile);
    if (loaded == VS_LOAD_ABSENT || loaded == VS_LOAD_UNKNOWN) {
      if (have_dir && vs_swap_moved(s_root, dir.fd, acct.dir, dir_before)) {
        vs_error_set_code(VAULT_NOT_FOUND, 0);
        return k_swapped;
      }
    }
    if (loaded == VS_LOAD_ABSENT) return vs_sync_fail(VAULT_NOT_FOUND, "sync: user not found");
    if (loaded == VS_LOAD_NO_MEMORY) return vs_sync_fail(VAULT_NO_MEMORY, "sync: serialize fail");
    if (loaded == VS_LOAD_UNKNOWN) return vs_sync_read_failed(dir, dir_before, acct.dir);
    if (!yyjson_is_obj(yyjson_doc_get_root(profile.get()))) return vs_sync_fail(VAULT_CORRUPT, "sync: corrupt profile");
    // Room for all the framing now: every later piece keeps it free, so the
    // framing always fits.
    o.reserve = lit_len(k_head) + lit_len(k_folders) + lit_len(k_ciphers) + lit_len(k_tail);
    if (!vs_out_room(o, 0)) return vs_sync_fail(VAULT_NO_MEMORY, "sync: serialize fail");
    vs_sync_put_frame(o, k_head, lit_len(k_head));
    rc = vs_sync_put_value(o, yyjson_doc_get_root(profile.get()));
  }
  if (rc == VS_SYNC_OK) {
    vs_sync_put_frame(o, k_folders, lit_len(k_folders));
    rc = vs_sync_put_folders(o, buf, acct.folders);
  }
  if (rc == VS_SYNC_OK) {
    vs_sync_put_frame(o, k_ciphers, lit_len(k_ciphers));
    rc = vs_sync_put_ciphers(o, buf, acct.ciphers);
  }
  if (rc == VS_SYNC_UNKNOWN) return vs_sync_read_failed(dir, dir_before, acct.dir);
  // A directory swapped out meanwhile: the document may mix generations.
  if (have_dir && (vs_swap_moved(s_root, dir.fd, acct.dir, dir_before) ||
                   vs_swap_unlisted(s_root, dir.fd, acct.dir, dir_before))) {
    vs_error_set_code(VAULT_NOT_FOUND, 0);
    return k_swapped;
  }
  if (rc == VS_SYNC_TOO_LARGE) return vs_sync_fail(VAULT_TOO_LARGE, "sync: payload too large");
  if (rc != VS_SYNC_OK) return vs_sync_fail(VAULT_NO_MEMORY, "sync: serialize fail");
  vs_sync_put_frame(o, k_tail, lit_len(k_tail));
  o.buf[o.len] = '\0';
  return nullptr;
}

const char *vs_sync_build(VsSyncOut &o, const char *user_id) {
  if (!s_root || !vs_id_safe(user_id)) return vs_sync_fail(s_root ? VAULT_INVALID : VAULT_NO_ROOT, "sync: bad user id");
  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, user_id) != 0)
    return vs_sync_fail(VAULT_IO, "sync: path too long");
  // A replacement swapped the directory while the document was read: read
  // the new one. Each round lost is a whole replacement committed, so a few
  // rounds are plenty; a deletion ends it at once (nothing to settle).
  // On a shared file system the client can lead users/<id> to the
  // swapped-out directory for about a second after another host's commit:
  // the rounds go on, paced, for the bound of the reads' retries.
  enum { VS_SYNC_ROUNDS = 8 };
  VsRetry stale;
  for (int round = 0;; round++) {
    const char *why = vs_sync_build_once(o, acct);
    if (why != k_swapped) return why;
    bool paced = vs_fs_shared() && vs_retry_pause(stale);
    if (round + 1 >= VS_SYNC_ROUNDS && !paced) return why;
    errno = ENOENT;
    if (!vs_swap_settle(s_root, acct.dir) && !paced) return why;
    o.len = 0;
    o.reserve = 0;
  }
}

void vs_sync_out_init(VsSyncOut &o, char *buf, size_t cap, bool grow) {
  o.buf = buf;
  o.len = 0;
  o.cap = cap;
  o.reserve = 0;
  o.grow = grow;
}

// vs_sync_build, built again when a read failed with EBADFD on a shared
// file system: GlusterFS marks the descriptors a client opened before a
// server of a replicated volume went away as bad until it reopens them;
// the next try opens everything afresh. Within VAULT_SHARED_RETRY_MS.
const char *vs_sync_build_again(VsSyncOut &o, const char *user_id) {
  for (long waited = 0;; waited += VS_SYNC_LOOK_AGAIN_MS) {
    const char *why = vs_sync_build(o, user_id);
    if (!why || *why || vs_error_errno_now() != EBADFD || !vs_fs_shared() ||
        waited >= VAULT_SHARED_RETRY_MS)
      return why;
    vs_sync_out_init(o, o.buf, o.cap, o.grow);
    struct timespec ts = {0, VS_SYNC_LOOK_AGAIN_MS * 1000L * 1000L};
    nanosleep(&ts, nullptr);
  }
}

}  // namespace

static const char *vs_sync_generate_json_body(const char *user_id) {
  char *out = vs_result_begin(VS_RES_SYNC, "sync");
  if (!out) return nullptr;
  VsSyncOut o;
  vs_sync_out_init(o, out, VS_SYNC_BUF_SIZE, false);
  if (const char *why = vs_sync_build_again(o, user_id)) {
    out[0] = '\0';
    if (*why) vs_error_code(vs_error_code_now(), vs_error_errno_now(), "%s", why);
    return nullptr;
  }
  return out;
}

static char *vs_sync_generate_json_alloc_body(const char *user_id, size_t *len_out) {
  VsSyncOut o;
  vs_sync_out_init(o, nullptr, 0, true);
  const char *why = vs_sync_build_again(o, user_id);
  if (why) {
    free(o.buf);
    if (*why) vs_error_code(vs_error_code_now(), vs_error_errno_now(), "%s", why);
    return nullptr;
  }
  // Give back the growth room; the text stays where it is.
  if (o.cap > o.len + 1)
    if (char *b = static_cast<char *>(realloc(o.buf, o.len + 1))) o.buf = b;
  if (len_out) *len_out = o.len;
  return o.buf;
}

// The exports: each records its call's code (results.h).
extern "C" const char *vault_sync_generate_json(const char *user_id) {
  return vs_call(vs_sync_generate_json_body, user_id);
}

extern "C" char *vault_sync_generate_json_alloc(const char *user_id, size_t *len_out) {
  return vs_call(vs_sync_generate_json_alloc_body, user_id, len_out);
}
