// A counting layer over glibc's allocator, interposed in the benchmark
// executable: the library, yyjson and libc itself resolve malloc and friends
// to these definitions. While tracking is on, every block's usable size is
// added on allocation and taken off on release, and the highest total is
// kept: the peak heap of the measured call. Off, each call is one flag test
// and a jump to glibc.
#include <errno.h>
#include <malloc.h>
#include <stddef.h>
#include <stdint.h>

#include "bench.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

static bool s_track;
static long long s_live;
static long long s_peak;

static inline void heap_add(void *p) {
  if (s_track && p) {
    s_live += (long long)malloc_usable_size(p);
    if (s_live > s_peak) s_peak = s_live;
  }
}

static inline void heap_sub(void *p) {
  if (s_track && p) s_live -= (long long)malloc_usable_size(p);
}

void heap_track_begin(void) {
  s_live = 0;
  s_peak = 0;
  s_track = true;
}

size_t heap_track_end(void) {
  s_track = false;
  return (size_t)s_peak;
}

extern "C" {

void *malloc(size_t n) {
  void *p = __libc_malloc(n);
  heap_add(p);
  return p;
}

void *calloc(size_t n, size_t m) {
  void *p = __libc_calloc(n, m);
  heap_add(p);
  return p;
}

void *realloc(void *old, size_t n) {
  heap_sub(old);
  void *p = __libc_realloc(old, n);
  // A failed realloc keeps the old block live.
  heap_add(p ? p : (n ? old : nullptr));
  return p;
}

void free(void *p) {
  heap_sub(p);
  __libc_free(p);
}

void *memalign(size_t align, size_t n) {
  void *p = __libc_memalign(align, n);
  heap_add(p);
  return p;
}

void *aligned_alloc(size_t align, size_t n) { return memalign(align, n); }

int posix_memalign(void **out, size_t align, size_t n) {
  if (align < sizeof(void *) || (align & (align - 1)) != 0) return EINVAL;
  void *p = memalign(align, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"
