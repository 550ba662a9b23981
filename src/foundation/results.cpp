// The last-error text with its code and errno, and the result buffers, per
// thread (as errno is), and the functions that write messages.
//
// Each thread has its own last-error text (thread-local storage, "OK" in a
// new thread), code and errno and, from its first call of an export that
// returns a fixed buffer, that export's buffer. A thread that ends releases
// its own buffers, from the destructor of its thread-local holder; nothing
// else frees them, so a text a host got stays readable across cleanup and
// a new init. While such a destructor is pending, the C++ runtime keeps
// the shared object mapped even across dlclose, so a thread that outlives
// an unload ends safely. The buffers are listed in s_results only so that
// tests can count them.
#include "results.h"

#include <errno.h>

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keldrune-vault-storage.h"

namespace {

constexpr size_t k_result_size[VS_RESULT_COUNT] = {
    VS_PROFILE_BUF_SIZE, VS_CIPHER_BUF_SIZE, VS_FOLDERS_BUF_SIZE, VS_SYNC_BUF_SIZE,
    VS_STATS_BUF_SIZE};

// One thread's result buffers, linked into s_results once it has any.
struct VsThreadResults {
  char *buf[VS_RESULT_COUNT] = {};
  VsThreadResults *prev = nullptr, *next = nullptr;
  bool listed = false;
  ~VsThreadResults();
};

// Guards the list, and every listed thread's buffer pointers while another
// thread counts them. A thread takes it only for a new buffer and when it
// ends.
pthread_mutex_t s_results_lock = PTHREAD_MUTEX_INITIALIZER;
VsThreadResults *s_results;

thread_local char t_error[VS_ERROR_SIZE] = "OK";
// The code of this thread's latest export call; k_code_pending while a call
// runs and has recorded nothing yet.
constexpr int k_code_pending = -1;
thread_local int t_code = VAULT_OK;
thread_local int t_errno = 0;
thread_local VsThreadResults t_results;

VsThreadResults::~VsThreadResults() {
  if (!listed) return;
  pthread_mutex_lock(&s_results_lock);
  if (prev)
    prev->next = next;
  else
    s_results = next;
  if (next) next->prev = prev;
  for (char *&b : buf) {
    free(b);
    b = nullptr;
  }
  pthread_mutex_unlock(&s_results_lock);
}

}  // namespace

namespace {

void vs_error_record(int code, int err, const char *fmt, va_list ap) {
  // Messages may quote their own earlier text (never done today), so format
  // into a scratch buffer first.
  char tmp[VS_ERROR_SIZE];
  vsnprintf(tmp, sizeof tmp, fmt, ap);
  memcpy(t_error, tmp, sizeof tmp);
  t_code = code;
  t_errno = err;
}

}  // namespace

void vs_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vs_error_record(VAULT_IO, 0, fmt, ap);
  va_end(ap);
}

void vs_error_code(int code, int err, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vs_error_record(code, err, fmt, ap);
  va_end(ap);
}

void vs_error_errno(int err, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vs_error_record(vs_code_for_errno(err), err, fmt, ap);
  va_end(ap);
}

void vs_error_set_code(int code, int err) {
  t_code = code;
  t_errno = err;
}

int vs_code_for_errno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return VAULT_NOT_FOUND;
    case EEXIST:
    case ENOTEMPTY: return VAULT_EXISTS;
    case ENOSPC:
    case EDQUOT: return VAULT_NO_SPACE;
    case ENOMEM: return VAULT_NO_MEMORY;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EBUSY: return VAULT_BUSY;
    case ESTALE: return VAULT_STALE;
    case EFBIG: return VAULT_TOO_LARGE;
    default: return VAULT_IO;
  }
}

const char *vs_error_str(void) { return t_error; }
int vs_error_code_now(void) { return t_code == k_code_pending ? VAULT_OK : t_code; }
int vs_error_errno_now(void) { return t_errno; }

void vs_error_save(VsErrorSave &saved) {
  memcpy(saved.text, t_error, sizeof saved.text);
  saved.code = t_code;
  saved.err = t_errno;
}

void vs_error_restore(const VsErrorSave &saved) {
  memcpy(t_error, saved.text, sizeof t_error);
  t_code = saved.code;
  t_errno = saved.err;
}

void vs_call_begin(void) {
  t_code = k_code_pending;
  t_errno = 0;
}

void vs_call_end(bool ok) {
  if (ok) {
    t_code = VAULT_OK;
    t_errno = 0;
  } else if (t_code == k_code_pending || t_code == VAULT_OK) {
    t_code = VAULT_IO;
  }
}

char *vs_result_buf(VsResult which) {
  VsThreadResults &r = t_results;
  if (r.buf[which]) return r.buf[which];
  char *b = static_cast<char *>(malloc(k_result_size[which]));
  if (!b) return nullptr;
  b[0] = '\0';
  pthread_mutex_lock(&s_results_lock);
  if (!r.listed) {
    r.next = s_results;
    if (s_results) s_results->prev = &r;
    s_results = &r;
    r.listed = true;
  }
  r.buf[which] = b;
  pthread_mutex_unlock(&s_results_lock);
  return b;
}

char *vs_result_begin(VsResult which, const char *prefix) {
  char *out = vs_result_buf(which);
  if (!out) {
    vs_error("%s: out of memory", prefix);
    return nullptr;
  }
  out[0] = '\0';
  return out;
}

size_t vs_result_blocks(void) {
  size_t n = 0;
  pthread_mutex_lock(&s_results_lock);
  for (VsThreadResults *r = s_results; r; r = r->next)
    for (char *b : r->buf) n += b != nullptr;
  pthread_mutex_unlock(&s_results_lock);
  return n;
}

void vs_copy_text(char *dst, size_t size, const char *src) {
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}
