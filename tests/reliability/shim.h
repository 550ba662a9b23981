// Control side of the two shims linked into the reliability tests: the
// system-call wrappers (ld --wrap) that make the k-th call fail, and the
// interposed allocator that makes the k-th allocation fail. Both count only
// while armed, so the test's own work outside an export is never affected.
#pragma once
#include <stddef.h>

#include <string>
#include <vector>

// ---- system calls -----------------------------------------------------------
enum VrIoMode {
  VR_IO_ERRNO,  // the call fails with the chosen errno
  VR_IO_SHORT,  // read/write move at most one byte (other calls: unaffected)
  VR_IO_KILL,   // the process dies of SIGKILL right before the call
};

// Starts counting wrapped calls; when k > 0 the k-th counted call fails
// (mode, err). k == 0 only counts.
void vr_io_arm(long k, int err, VrIoMode mode = VR_IO_ERRNO);
// Stops counting; returns the number of calls counted since arming.
long vr_io_disarm(void);
// Whether the armed fault was delivered, and to which call.
bool vr_io_fired(void);
const char *vr_io_fired_call(void);
// Names of the calls counted since arming, in order (for messages).
const std::vector<std::string> &vr_io_trace(void);
// Makes every call of one wrapped function fail with err until cleared
// (name NULL clears). Independent of arming.
void vr_io_force(const char *name, int err);
// Makes every fsync of a directory fail with err until cleared (0); file
// fsyncs go on. Independent of arming.
void vr_io_force_dir_fsync(int err);
// Runs fn(ctx) once, right before the next call of the wrapped function
// name goes to the system (another process's move, simulated at an exact
// point). name NULL clears.
void vr_io_hook(const char *name, void (*fn)(void *), void *ctx);
// True when this binary was linked with the wrappers.
bool vr_io_available(void);

// ---- allocations --------------------------------------------------------------
// Starts counting malloc/calloc/realloc and tracking the blocks they hand
// out; when k > 0 the k-th counted allocation returns NULL.
void vr_alloc_arm(long k);
// Stops; returns the allocations counted.
long vr_alloc_disarm(void);
bool vr_alloc_fired(void);
// Blocks allocated while armed and not freed since (leaks of the call).
long vr_alloc_live(void);
// True when the allocator is interposed in this binary.
bool vr_alloc_available(void);
