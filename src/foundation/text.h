// Text helpers with no knowledge of the data tree: the checked formatter
// every path goes through, UTF-8 validation, JSON string escaping and the
// ASCII-only folding by which e-mail addresses compare.
#ifndef VS_TEXT_H
#define VS_TEXT_H

#include <stddef.h>

// Checked formatter: 0 when the whole text fit, else -1 and the buffer
// holds the empty text. A cut path is never handed out.
int vs_path(char *buf, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Length of the valid UTF-8 sequence at p (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when p starts none.
size_t vs_utf8_seq(const unsigned char *p);
int vs_utf8_valid(const char *text);

// Appends text as the inside of a JSON string at out[*pos]: '"', '\\' and
// control bytes escaped, valid UTF-8 kept, any other byte written as
// \ufffd; then a NUL, and *pos moves past it. -1 when it does not fit.
int vs_json_escape(char *out, size_t size, size_t *pos, const char *text);

// E-mail addresses compare with ASCII letters folded and every other byte
// exact; the host's locale never changes which addresses are equal.
inline unsigned char vs_email_fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c;
}
// 1 when a and b are equal under that folding (same length), else 0.
int vs_email_equal(const char *a, const char *b);

#endif
