// The identifier rule, UUID generation from the kernel's random source, and
// the choice of a submitted document's identifier.
#include "identifiers.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/types.h>

int vs_id_safe(const char *id) {
  if (!id || !*id) return 0;
  size_t n = 0;
  for (const unsigned char *p = (const unsigned char *)id; *p; p++, n++) {
    unsigned char c = *p;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return 0;
  }
  return n <= VS_ID_MAX ? 1 : 0;
}

// Fills buf with n bytes from the kernel's CSPRNG.
static int vs_random_bytes(unsigned char *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(buf + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    got += (size_t)r;
  }
  return 0;
}

int vs_uuid_generate(char *out) {
  unsigned char b[16];
  if (vs_random_bytes(b, sizeof b) != 0) {
    // A repeated identifier would merge two accounts or items: never make
    // one up from a weaker source.
    out[0] = '\0';
    return -1;
  }
  b[6] = (unsigned char)((b[6] & 0x0f) | 0x40);
  b[8] = (unsigned char)((b[8] & 0x3f) | 0x80);
  snprintf(out, VS_ID_BUF,
           "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
           b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10],
           b[11], b[12], b[13], b[14], b[15]);
  return 0;
}

int vs_usable_id(yyjson_val *root, char out[VS_ID_BUF]) {
  if (yyjson_is_obj(root)) {
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&it))) {
      if (!yyjson_equals_str(key, "id")) continue;
      // The first "id" alone decides. An identifier longer than the 36
      // bytes an id buffer holds is never shortened.
      yyjson_val *v = yyjson_obj_iter_get_val(key);
      const char *s = yyjson_get_str(v);
      if (s && vs_id_safe(s) && strlen(s) <= VS_UUID_LEN) {
        memcpy(out, s, strlen(s) + 1);
        return 1;
      }
      break;
    }
  }
  return 0;
}

int vs_choose_id(yyjson_val *root, char out[VS_ID_BUF]) {
  return vs_usable_id(root, out) ? 0 : vs_uuid_generate(out);
}

