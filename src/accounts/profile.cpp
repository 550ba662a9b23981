// The profile's read-modify-write (see profile.h). The splice works on the
// stored text itself rather than on a parsed and re-written document: a
// re-write would change every member's spelling (escapes, number forms,
// spacing), and members a later version of the library or the host put
// there must come back exactly as they were.
#include "accounts/profile.h"
#include "foundation/identifiers.h"
#include "foundation/root.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/atomic_write.h"
#include "foundation/files.h"
#include "foundation/locks.h"
#include "foundation/results.h"
#include "foundation/text.h"

// Why the lock keeps every change: each writer holds it (one byte of the
// account's lock file, an open-file-description lock, so threads, processes
// and hosts exclude each other alike) from before its read until after its
// rename; the next holder reads the file the previous one put in place.
// On a shared file system vs_read_file_current makes sure the read is of
// that file, not of a version the client still caches.
int vs_profile_lock(const char *root, const VsAccountPaths &acct, VsFd &lock, const char *prefix,
                    VsPin *pin) {
  if (vs_lock_account(root, acct.dir, VS_LOCK_PROFILE, lock, false, pin) == 0) return 0;
  // O_CREAT of the lock file never makes the account directory: a deleted
  // account stays deleted.
  if (errno == ENOENT || errno == ENOTDIR) return 1;
  vs_error_errno(errno, "%s: lock failed: %s/" VS_LOCK_NAME " (%s)", prefix, acct.dir,
           errno == EAGAIN ? "held by another writer too long" : strerror(errno));
  return -1;
}

int vs_profile_load(const char *root, const VsAccountPaths &acct, VsText &text, uint64_t *len, VsDoc &doc,
                    const char *prefix) {
  char *raw = nullptr;
  if (vs_read_file_current(root, acct.profile, &raw, len) != 0) {
    if (vs_read_absent(errno)) return 1;
    if (errno == ENOMEM)
      vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", prefix);
    else
      vs_error_errno(errno, "%s: cannot read %s (%s)", prefix, acct.profile, strerror(errno));
    return -1;
  }
  text.reset(raw);
  yyjson_read_err err;
  doc.reset(vs_parse(raw, (size_t)*len, &err));
  if (!doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", prefix);
    return -1;
  }
  if (!doc || !yyjson_is_obj(yyjson_doc_get_root(doc.get()))) {
    vs_error_code(VAULT_CORRUPT, 0, "%s: corrupt profile", prefix);
    return -1;
  }
  return 0;
}

// ---- the splice -------------------------------------------------------------------

size_t vs_skip_ws(const char *t, size_t i, size_t len) {
  while (i < len && (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r')) i++;
  return i;
}

// t[i] is the opening quote of a string: the index past its closing quote.
static size_t vs_skip_string(const char *t, size_t i, size_t len) {
  for (i++; i < len && t[i] != '"'; i++)
    if (t[i] == '\\') i++;
  return i < len ? i + 1 : len;
}

// The index past the value starting at t[i] (the text is strict JSON).
size_t vs_skip_value(const char *t, size_t i, size_t len) {
  if (t[i] == '"') return vs_skip_string(t, i, len);
  if (t[i] == '{' || t[i] == '[') {
    int depth = 0;
    while (i < len) {
      char c = t[i];
      if (c == '"') {
        i = vs_skip_string(t, i, len);
        continue;
      }
      if (c == '{' || c == '[') depth++;
      if (c == '}' || c == ']') depth--;
      i++;
      if (depth == 0) break;
    }
    return i;
  }
  while (i < len && !strchr(",}] \t\n\r", t[i])) i++;
  return i;
}

// Whether the key text t[a, b) (quotes included) names key. A key spelled
// with escapes is decoded by the parser.
static bool vs_key_is(const char *t, size_t a, size_t b, const char *key) {
  size_t n = strlen(key);
  if (!memchr(t + a, '\\', b - a)) return b - a == n + 2 && memcmp(t + a + 1, key, n) == 0;
  VsDoc doc(vs_parse(t + a, b - a));
  yyjson_val *v = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  return yyjson_is_str(v) && yyjson_get_len(v) == n && memcmp(yyjson_get_str(v), key, n) == 0;
}

int vs_json_splice(const char *t, size_t len, const VsMemberEdit *edits, size_t n,
                   VsText &out, size_t *out_len) {
  enum { VS_EDITS_MAX = 8 };
  if (n > VS_EDITS_MAX) return -1;
  size_t from[VS_EDITS_MAX], to[VS_EDITS_MAX];
  bool found[VS_EDITS_MAX] = {};
  size_t i = vs_skip_ws(t, 0, len) + 1;  // past '{'
  size_t close = 0;                      // index of the object's '}'
  bool members = false;
  for (;;) {
    i = vs_skip_ws(t, i, len);
    if (i >= len) return -1;
    if (t[i] == '}') {
      close = i;
      break;
    }
    if (t[i] == ',') {
      i++;
      continue;
    }
    size_t ka = i, kb = vs_skip_string(t, i, len);
    i = vs_skip_ws(t, kb, len) + 1;  // past ':'
    i = vs_skip_ws(t, i, len);
    size_t va = i, vb = vs_skip_value(t, i, len);
    members = true;
    for (size_t e = 0; e < n; e++)
      if (!found[e] && vs_key_is(t, ka, kb, edits[e].key)) {
        found[e] = true;
        from[e] = va;
        to[e] = vb;
      }
    i = vb;
  }
  size_t size = len + 1;
  for (size_t e = 0; e < n; e++)
    size += edits[e].len + (found[e] ? 0 : strlen(edits[e].key) + 4);
  char *p = static_cast<char *>(malloc(size));
  if (!p) return -1;
  out.reset(p);
  // The replaced spans in text order, then the appended members.
  size_t at = 0, o = 0;
  for (;;) {
    size_t next = n;
    for (size_t e = 0; e < n; e++)
      if (found[e] && from[e] >= at && (next == n || from[e] < from[next])) next = e;
    size_t stop = next == n ? close : from[next];
    memcpy(p + o, t + at, stop - at);
    o += stop - at;
    if (next == n) break;
    memcpy(p + o, edits[next].value, edits[next].len);
    o += edits[next].len;
    at = to[next];
  }
  for (size_t e = 0; e < n; e++) {
    if (found[e]) continue;
    if (members) p[o++] = ',';
    members = true;
    p[o++] = '"';
    size_t kn = strlen(edits[e].key);
    memcpy(p + o, edits[e].key, kn);
    o += kn;
    p[o++] = '"';
    p[o++] = ':';
    memcpy(p + o, edits[e].value, edits[e].len);
    o += edits[e].len;
  }
  memcpy(p + o, t + close, len - close);
  o += len - close;
  p[o] = '\0';
  *out_len = o;
  return 0;
}

int vs_profile_store(const char *root, const VsAccountPaths &acct, const char *text, size_t len,
                     const VsMemberEdit *edits, size_t n, const char *prefix) {
  VsText out;
  size_t out_len = 0;
  if (vs_json_splice(text, len, edits, n, out, &out_len) != 0) {
    vs_error_code(VAULT_NO_MEMORY, ENOMEM, "%s: out of memory", prefix);
    return -1;
  }
  if (out_len > VS_PROFILE_WRITE_MAX) {
    // A bad argument, as when a new value alone is too long: VAULT_TOO_LARGE
    // is for results that do not fit the caller's buffer.
    vs_error_code(VAULT_INVALID, 0, "%s: profile too large", prefix);
    return -1;
  }
  return vs_atomic_write(root, acct.profile, out.get(), out_len);
}

int vs_json_string(char *buf, size_t size, const char *text) {
  if (size < 3) return -1;
  size_t pos = 1;
  buf[0] = '"';
  if (vs_json_escape(buf, size - 1, &pos, text) != 0) return -1;
  // pos is past the escape's NUL: the closing quote takes its place.
  buf[pos - 1] = '"';
  buf[pos] = '\0';
  return (int)pos;
}

int vs_account_begin(const char *user_id, const char *prefix, VsAccountPaths &acct) {
  if (!s_root) {
    vs_error_code(VAULT_NO_ROOT, 0, "not initialized");
    return -1;
  }
  if (!vs_id_safe(user_id)) {
    vs_error_code(VAULT_INVALID, 0, "%s: bad user id", prefix);
    return -1;
  }
  if (vs_account_paths(acct, s_root, user_id) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "%s: path too long", prefix);
    return -1;
  }
  return 0;
}
