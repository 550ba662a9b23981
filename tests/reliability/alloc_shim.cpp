// An allocator interposed in the test executable: malloc, calloc, realloc
// and free defined here take precedence over libc's for every caller in the
// process, yyjson's shared library and libc's own strdup/opendir included.
// Each call is delegated to the real allocator (glibc's __libc_* entry
// points, or the sanitizer's when built with ASan). While armed, the
// allocations are counted, the k-th one fails, and the blocks handed out
// are tracked in a fixed table so that a call's leaks can be counted.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "shim.h"

#if defined(VS_REL_ASAN)
extern "C" void *__interceptor_malloc(size_t);
extern "C" void *__interceptor_calloc(size_t, size_t);
extern "C" void *__interceptor_realloc(void *, size_t);
extern "C" void __interceptor_free(void *);
#define VR_REAL_MALLOC __interceptor_malloc
#define VR_REAL_CALLOC __interceptor_calloc
#define VR_REAL_REALLOC __interceptor_realloc
#define VR_REAL_FREE __interceptor_free
#else
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);
#define VR_REAL_MALLOC __libc_malloc
#define VR_REAL_CALLOC __libc_calloc
#define VR_REAL_REALLOC __libc_realloc
#define VR_REAL_FREE __libc_free
#endif

enum { VR_SLOTS = 1 << 16 };  // open addressing; far more than one call holds

static bool s_armed;
static long s_count;
static long s_target;
static bool s_fired;
static long s_live;
static void *s_slots[VR_SLOTS];
static void *const VR_TOMB = (void *)1;

static size_t vr_hash(void *p) {
  uintptr_t v = (uintptr_t)p;
  v ^= v >> 17;
  v *= 0x9E3779B97F4A7C15ull;
  return (size_t)(v >> 40) & (VR_SLOTS - 1);
}

static void vr_track(void *p) {
  size_t i = vr_hash(p);
  for (size_t n = 0; n < VR_SLOTS; n++, i = (i + 1) & (VR_SLOTS - 1)) {
    if (s_slots[i] == nullptr || s_slots[i] == VR_TOMB) {
      s_slots[i] = p;
      s_live++;
      return;
    }
  }
}

static void vr_untrack(void *p) {
  if (!p || s_live == 0) return;
  size_t i = vr_hash(p);
  for (size_t n = 0; n < VR_SLOTS; n++, i = (i + 1) & (VR_SLOTS - 1)) {
    if (s_slots[i] == nullptr) return;
    if (s_slots[i] == p) {
      s_slots[i] = VR_TOMB;
      s_live--;
      return;
    }
  }
}

// True when this allocation is to fail.
static bool vr_alloc_step(void) {
  if (!s_armed) return false;
  s_count++;
  if (s_target > 0 && s_count == s_target) {
    s_fired = true;
    return true;
  }
  return false;
}

void vr_alloc_arm(long k) {
  memset(s_slots, 0, sizeof s_slots);
  s_live = 0;
  s_count = 0;
  s_target = k;
  s_fired = false;
  s_armed = true;
}

long vr_alloc_disarm(void) {
  s_armed = false;
  return s_count;
}

bool vr_alloc_fired(void) { return s_fired; }
long vr_alloc_live(void) { return s_live; }
bool vr_alloc_available(void) { return true; }

extern "C" {

void *malloc(size_t n) {
  if (vr_alloc_step()) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = VR_REAL_MALLOC(n);
  if (p && s_armed) vr_track(p);
  return p;
}

void *calloc(size_t a, size_t b) {
  if (vr_alloc_step()) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = VR_REAL_CALLOC(a, b);
  if (p && s_armed) vr_track(p);
  return p;
}

void *realloc(void *old, size_t n) {
  if (vr_alloc_step()) {
    errno = ENOMEM;
    return nullptr;  // the old block stays valid, as realloc promises
  }
  void *p = VR_REAL_REALLOC(old, n);
  if (p && s_armed) {
    vr_untrack(old);
    vr_track(p);
  } else if (p && old && p != old) {
    vr_untrack(old);
  }
  return p;
}

void free(void *p) {
  if (p) vr_untrack(p);
  VR_REAL_FREE(p);
}

}  // extern "C"
