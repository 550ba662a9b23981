// The checked formatter, UTF-8 validation, JSON string escaping and e-mail
// comparison.
#include "text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int vs_path(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  if (n < 0 || (size_t)n >= size) {
    if (size > 0) buf[0] = '\0';
    return -1;
  }
  return 0;
}

int vs_email_equal(const char *a, const char *b) {
  const unsigned char *p = (const unsigned char *)a;
  const unsigned char *q = (const unsigned char *)b;
  for (; *p && *q; p++, q++)
    if (vs_email_fold(*p) != vs_email_fold(*q)) return 0;
  return *p == *q ? 1 : 0;
}

size_t vs_utf8_seq(const unsigned char *p) {
  unsigned char c = p[0];
  auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(p[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
  }
  return 0;
}

int vs_utf8_valid(const char *text) {
  for (const unsigned char *p = (const unsigned char *)text; *p;) {
    size_t n = vs_utf8_seq(p);
    if (n == 0) return 0;
    p += n;
  }
  return 1;
}

int vs_json_escape(char *out, size_t size, size_t *pos, const char *text) {
  static const char hex[] = "0123456789abcdef";
  size_t o = *pos;
  for (const unsigned char *p = (const unsigned char *)text; *p;) {
    char esc[8];
    const char *piece = esc;
    size_t n = 2, seq = vs_utf8_seq(p);
    esc[0] = '\\';
    switch (seq == 1 ? *p : 0) {
      case '"': esc[1] = '"'; break;
      case '\\': esc[1] = '\\'; break;
      case '\b': esc[1] = 'b'; break;
      case '\f': esc[1] = 'f'; break;
      case '\n': esc[1] = 'n'; break;
      case '\r': esc[1] = 'r'; break;
      case '\t': esc[1] = 't'; break;
      default:
        if (seq == 0) {  // a byte JSON text cannot carry
          piece = "\\ufffd";
          n = 6;
          seq = 1;
        } else if (*p < 0x20) {
          memcpy(esc + 1, "u00", 3);
          esc[4] = hex[*p >> 4];
          esc[5] = hex[*p & 0xF];
          n = 6;
        } else {
          piece = (const char *)p;
          n = seq;
        }
    }
    if (n >= size - o) return -1;  // keep room for the NUL
    memcpy(out + o, piece, n);
    o += n;
    p += seq;
  }
  if (o >= size) return -1;
  out[o++] = '\0';
  *pos = o;
  return 0;
}
