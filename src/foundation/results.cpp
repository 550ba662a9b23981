// The last-error text and the result buffers, per thread (as errno is),
// and the one function that writes messages.
//
// Each thread has its own last-error text (thread-local storage, "OK" in a
// new thread) and, from its first call of an export that returns a fixed
// buffer, that export's buffer. A thread's buffers are listed in s_results
// so that cleanup can release every thread's; a thread that ends releases
// its own, from the destructor of its thread-local holder. While such a
// destructor is pending, the C++ runtime keeps the shared object mapped
// even across dlclose, so a thread that outlives an unload ends safely.
#include "results.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

// Guards the list, and every listed thread's buffer pointers when another
// thread than their own touches them (cleanup). A thread takes it only for
// a new buffer and when it ends.
pthread_mutex_t s_results_lock = PTHREAD_MUTEX_INITIALIZER;
VsThreadResults *s_results;

thread_local char t_error[VS_ERROR_SIZE] = "OK";
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

void vs_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  // Messages may quote their own earlier text (never done today), so format
  // into a scratch buffer first.
  char tmp[VS_ERROR_SIZE];
  vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  memcpy(t_error, tmp, sizeof tmp);
}

const char *vs_error_str(void) { return t_error; }

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

void vs_results_release(void) {
  pthread_mutex_lock(&s_results_lock);
  for (VsThreadResults *r = s_results; r; r = r->next)
    for (char *&b : r->buf) {
      free(b);
      b = nullptr;
    }
  pthread_mutex_unlock(&s_results_lock);
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
