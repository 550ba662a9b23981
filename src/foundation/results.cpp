// The last-error text, the static result buffers of the text-returning
// exports, and the one function that writes messages.
#include "results.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

char s_error[VS_ERROR_SIZE] = "OK";
char s_profile_buf[VS_PROFILE_BUF_SIZE];
char s_cipher_buf[VS_CIPHER_BUF_SIZE];
char s_folders_buf[VS_FOLDERS_BUF_SIZE];
char s_sync_buf[VS_SYNC_BUF_SIZE];
char s_stats_buf[VS_STATS_BUF_SIZE];

void vs_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  // Messages may quote their own earlier text (never done today), so format
  // into a scratch buffer first.
  char tmp[VS_ERROR_SIZE];
  vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  memcpy(s_error, tmp, sizeof tmp);
}

const char *vs_error_str(void) { return s_error; }

void vs_copy_text(char *dst, size_t size, const char *src) {
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}
