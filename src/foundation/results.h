// The last-error text and the result buffers of the text-returning exports,
// both per thread: the only state a call leaves behind besides the data
// root and the files.
#ifndef VS_RESULTS_H
#define VS_RESULTS_H

#include <stddef.h>

enum : size_t {
  VS_ERROR_SIZE = 1024,
  VS_PROFILE_BUF_SIZE = 16384,
  VS_CIPHER_BUF_SIZE = 65536,
  VS_FOLDERS_BUF_SIZE = 16384,
  VS_SYNC_BUF_SIZE = 262144,
  VS_STATS_BUF_SIZE = 4352,
};

// Largest documents the read exports hand back whole.
enum : size_t {
  VS_PROFILE_MAX = VS_PROFILE_BUF_SIZE - 1,
  VS_FOLDERS_MAX = VS_FOLDERS_BUF_SIZE - 1,
  VS_CIPHER_MAX = VS_CIPHER_BUF_SIZE - 2,
};

// The result buffers of the five exports that return a text of fixed size.
enum VsResult { VS_RES_PROFILE, VS_RES_CIPHER, VS_RES_FOLDERS, VS_RES_SYNC, VS_RES_STATS,
                VS_RESULT_COUNT };

// Formats a message into this thread's last-error text (cut at 1023 bytes).
void vs_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// This thread's last-error text ("OK" until something failed in it).
const char *vs_error_str(void);

// This thread's buffer of one export (VS_*_BUF_SIZE bytes), allocated on
// the thread's first use of it; NULL when there is no memory for it.
char *vs_result_buf(VsResult which);
// The first step of such an export: this thread's buffer, emptied; NULL
// with "<prefix>: out of memory" when there is none.
char *vs_result_begin(VsResult which, const char *prefix);
// Releases every thread's result buffers (cleanup, while no export runs).
void vs_results_release(void);
// Number of result buffers all threads hold together (for tests).
size_t vs_result_blocks(void);

// Copies text into a result buffer up to its first NUL and at most size-1
// bytes; always terminates.
void vs_copy_text(char *dst, size_t size, const char *src);

#endif
