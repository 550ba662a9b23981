// The data root and its lifecycle (init, cleanup, default configuration),
// the checked path formatter and per-account path builders, identifier
// rules, UUID generation, e-mail comparison and the listing name rules.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include "vs_internal.h"

char *s_root;

static const char k_default_config[] =
    "{\"title\":\"Personal Vault Server\",\"allow_registrations\":true}";

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

int vs_user_dir(char *buf, size_t size, const char *user_id) {
  return vs_path(buf, size, "%s/users/%s", s_root, user_id);
}

int vs_profile_path(char *buf, size_t size, const char *user_id) {
  char dir[VS_ACCOUNT_PATH];
  if (vs_user_dir(dir, sizeof dir, user_id) != 0) return -1;
  return vs_path(buf, size, "%s/profile.json", dir);
}

int vs_folders_path(char *buf, size_t size, const char *user_id) {
  char dir[VS_ACCOUNT_PATH];
  if (vs_user_dir(dir, sizeof dir, user_id) != 0) return -1;
  return vs_path(buf, size, "%s/folders.json", dir);
}

int vs_cipher_path(char *buf, size_t size, const char *user_id,
                   const char *cipher_id, int trash) {
  char dir[VS_ACCOUNT_PATH];
  if (vs_user_dir(dir, sizeof dir, user_id) != 0) return -1;
  return vs_path(buf, size, trash ? "%s/trash/%s.json" : "%s/ciphers/%s.json",
                 dir, cipher_id);
}

extern "C" int vault_storage_init(const char *root) {
  if (!root || !*root) {
    vs_error("init: empty root");
    return -1;
  }
  char *copy = strdup(root);
  free(s_root);
  s_root = copy;
  if (!copy) {
    vs_error("init: out of memory");
    return -1;
  }
  char users[VS_ACCOUNT_PATH];
  char config[VS_ACCOUNT_PATH];
  if (vs_path(users, sizeof users, "%s/users", s_root) != 0 ||
      vs_path(config, sizeof config, "%s/config.json", s_root) != 0) {
    vs_error("init: path too long");
    return -1;
  }
  if (vs_mkdir(s_root) != 0) return -1;
  if (vs_mkdir(users) != 0) return -1;
  if (access(config, F_OK) == 0) return 0;
  // Only a config.json that is surely absent gets the default: one we
  // merely failed to look at belongs to the operator.
  if (errno != ENOENT) {
    vs_error("init: cannot check %s (%s)", config, strerror(errno));
    return -1;
  }
  return vs_atomic_write(config, k_default_config, sizeof k_default_config - 1);
}

extern "C" void vault_storage_cleanup(void) {
  free(s_root);
  s_root = nullptr;
}

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

// ASCII-only case folding: the host's locale must not change which
// addresses compare equal.
static inline unsigned char vs_ascii_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c;
}

int vs_email_equal(const char *a, const char *b) {
  const unsigned char *p = (const unsigned char *)a;
  const unsigned char *q = (const unsigned char *)b;
  for (; *p && *q; p++, q++)
    if (vs_ascii_lower(*p) != vs_ascii_lower(*q)) return 0;
  return *p == *q ? 1 : 0;
}

static int vs_json_suffix(const char *name, size_t len) {
  return name[0] != '.' && len >= 6 && memcmp(name + len - 5, ".json", 5) == 0;
}

int vs_item_file_name(const char *name) {
  size_t len = strlen(name);
  return vs_json_suffix(name, len) && !strstr(name, ".tmp.");
}

int vs_trash_file_name(const char *name) {
  return vs_json_suffix(name, strlen(name));
}

int vs_choose_id(yyjson_val *root, char out[VS_ID_BUF]) {
  if (yyjson_is_obj(root)) {
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&it))) {
      if (!yyjson_equals_str(key, "id")) continue;
      // The first "id" alone decides. An identifier longer than the 36
      // bytes an id buffer holds is never shortened: it gets a fresh UUID.
      yyjson_val *v = yyjson_obj_iter_get_val(key);
      const char *s = yyjson_get_str(v);
      if (s && vs_id_safe(s) && strlen(s) <= VS_UUID_LEN) {
        memcpy(out, s, strlen(s) + 1);
        return 0;
      }
      break;
    }
  }
  return vs_uuid_generate(out);
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
