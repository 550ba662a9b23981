// The last-error text and the static result buffers of the text-returning
// exports: the only state a call leaves behind besides the data root and
// the files. Kept apart so that it can change (per thread, caller-owned
// results) without touching the parts that report through it.
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

extern char s_error[VS_ERROR_SIZE];
extern char s_profile_buf[VS_PROFILE_BUF_SIZE];
extern char s_cipher_buf[VS_CIPHER_BUF_SIZE];
extern char s_folders_buf[VS_FOLDERS_BUF_SIZE];
extern char s_sync_buf[VS_SYNC_BUF_SIZE];
extern char s_stats_buf[VS_STATS_BUF_SIZE];

// Formats a message into the last-error text (cut at 1023 bytes).
void vs_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
const char *vs_error_str(void);

// Copies text into a result buffer up to its first NUL and at most size-1
// bytes; always terminates.
void vs_copy_text(char *dst, size_t size, const char *src);

#endif
