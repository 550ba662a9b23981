// The sync document of one account: its profile, its folder list and every
// cipher file of its "ciphers" directory, re-serialised minified under one
// root object together with the fixed "domains" settings.
//
// The text is built in place in s_sync_buf: each parsed value is written by
// yyjson's minified writer and appended between fixed framing texts, which
// gives the same bytes as copying everything into one mutable document and
// writing that once. Only one parsed file is held at a time, and the call
// stops as soon as the text can no longer fit its limit.
#include <errno.h>
#include <string.h>

#include "keldrune-vault-storage.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/root.h"

namespace {

// Longest text handed out (the buffer keeps a NUL and one spare byte).
constexpr size_t VS_SYNC_MAX = VS_SYNC_BUF_SIZE - 2;

// The framing around the three copied parts. "folders" is written as one
// array value; "ciphers" element by element.
constexpr char k_head[] = "{\"profile\":";
constexpr char k_folders[] = ",\"folders\":";
constexpr char k_ciphers[] = ",\"ciphers\":[";
constexpr char k_tail[] =
    "],\"domains\":{\"disablePersonalOwner\":false,\"disableSend\":true,"
    "\"disableWebVault\":false,\"sshKeyHostDomains\":[],\"csp\":{}},"
    "\"object\":\"sync\"}";

template <size_t N>
constexpr size_t lit_len(const char (&)[N]) { return N - 1; }

// VS_SYNC_UNKNOWN: something could not be read for a passing reason; the
// message is recorded.
enum VsSyncRc { VS_SYNC_OK, VS_SYNC_TOO_LARGE, VS_SYNC_FAIL, VS_SYNC_UNKNOWN };

// The text written so far into s_sync_buf, and the framing text that is
// certain to follow it. len + reserve never exceeds VS_SYNC_MAX, so a text
// that is going to be too large is refused at the first piece that shows it.
struct VsSyncOut {
  size_t len;
  size_t reserve;
};

int vs_sync_put(VsSyncOut &o, const char *p, size_t n) {
  if (n > VS_SYNC_MAX - o.len - o.reserve) return VS_SYNC_TOO_LARGE;
  memcpy(s_sync_buf + o.len, p, n);
  o.len += n;
  return VS_SYNC_OK;
}

// Appends framing text that was counted in the reserve; it always fits.
int vs_sync_put_frame(VsSyncOut &o, const char *lit, size_t n) {
  o.reserve -= n;
  return vs_sync_put(o, lit, n);
}

// Appends one parsed value, minified. The writer fails only when memory runs
// out (the reader refuses the invalid UTF-8 it would also refuse).
int vs_sync_put_value(VsSyncOut &o, yyjson_val *val) {
  size_t n = 0;
  VsText text(yyjson_val_write_opts(val, 0, nullptr, &n, nullptr));
  if (!text) return VS_SYNC_FAIL;
  return vs_sync_put(o, text.get(), n);
}

enum VsLoad { VS_LOAD_OK, VS_LOAD_ABSENT, VS_LOAD_BAD_JSON, VS_LOAD_NO_MEMORY, VS_LOAD_UNKNOWN };

// Reads and strictly parses one document into doc. Only a file that is
// surely not there, or not a document, is VS_LOAD_ABSENT; one that cannot
// be read for a passing reason (VS_LOAD_UNKNOWN, message recorded) or for
// want of memory must fail the call: a client takes an item missing from
// the document for a deleted one.
// A cipher file is read relative to the listed directory (dir_fd, its path
// dir); the profile and the folder list by their paths (dir_fd < 0).
int vs_sync_load(int dir_fd, const char *dir, const char *path, VsDoc &doc) {
  char *raw = nullptr;
  uint64_t len = 0;
  int rc = dir_fd >= 0 ? vs_read_file_at(s_root, dir_fd, dir, path, &raw, &len)
                       : vs_read_file(s_root, path, &raw, &len);
  if (rc != 0) {
    if (errno == ENOMEM) return VS_LOAD_NO_MEMORY;
    if (vs_read_absent(errno)) return VS_LOAD_ABSENT;
    if (dir_fd >= 0)
      vs_error("sync: cannot read %s/%s (%s)", dir, path, strerror(errno));
    else
      vs_error("sync: cannot read %s (%s)", path, strerror(errno));
    return VS_LOAD_UNKNOWN;
  }
  VsText text(raw);
  yyjson_read_err err;
  doc.reset(vs_parse(raw, (size_t)len, &err));
  if (doc) return VS_LOAD_OK;
  return err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? VS_LOAD_NO_MEMORY : VS_LOAD_BAD_JSON;
}

// Appends the root array of the folder list, or the empty array when the
// list is missing, not JSON or not an array.
int vs_sync_put_folders(VsSyncOut &o, const char *path) {
  VsDoc doc;
  int loaded = vs_sync_load(-1, nullptr, path, doc);
  if (loaded == VS_LOAD_NO_MEMORY) return VS_SYNC_FAIL;
  if (loaded == VS_LOAD_UNKNOWN) return VS_SYNC_UNKNOWN;
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (yyjson_is_arr(root)) return vs_sync_put_value(o, root);
  return vs_sync_put(o, "[]", 2);
}

// Records that the cipher listing failed (errno) and says so.
int vs_sync_list_failed(const char *dir_path) {
  if (errno == ENOMEM) return VS_SYNC_FAIL;
  vs_error("sync: cannot read %s (%s)", dir_path, strerror(errno));
  return VS_SYNC_UNKNOWN;
}

// Appends the root value of every strictly parsed cipher file, in listing
// order, separated by commas. A listing that cannot be read must not pass
// for an empty "ciphers", nor one cut short for a shorter one.
int vs_sync_put_ciphers(VsSyncOut &o, const char *dir_path) {
  VsList dir;
  if (vs_list_open(dir, s_root, dir_path) != 0)
    return vs_read_absent(errno) ? VS_SYNC_OK : vs_sync_list_failed(dir_path);
  bool first = true;
  size_t dir_len = strlen(dir_path);
  for (;;) {
    const char *name = vs_list_next(dir);
    if (!name) return errno == 0 ? VS_SYNC_OK : vs_sync_list_failed(dir_path);
    if (!vs_item_file_name(name)) continue;
    // The entry's path ("%s/%s") must fit its buffer to be taken at all.
    if (dir_len + 1 + strlen(name) >= VS_ENTRY_PATH) continue;
    VsDoc doc;
    int loaded = vs_sync_load(dir.fd.fd, dir_path, name, doc);
    if (loaded == VS_LOAD_NO_MEMORY) return VS_SYNC_FAIL;
    if (loaded == VS_LOAD_UNKNOWN) return VS_SYNC_UNKNOWN;
    if (loaded != VS_LOAD_OK) continue;
    if (!first && vs_sync_put(o, ",", 1) != VS_SYNC_OK) return VS_SYNC_TOO_LARGE;
    first = false;
    int rc = vs_sync_put_value(o, yyjson_doc_get_root(doc.get()));
    if (rc != VS_SYNC_OK) return rc;
  }
}

const char *vs_sync_fail(const char *message) {
  s_sync_buf[0] = '\0';
  vs_error("%s", message);
  return nullptr;
}

// Fails with the message already recorded by what could not be read.
const char *vs_sync_unknown() {
  s_sync_buf[0] = '\0';
  return nullptr;
}

}  // namespace

extern "C" const char *vault_sync_generate_json(const char *user_id) {
  s_sync_buf[0] = '\0';
  if (!s_root || !vs_id_safe(user_id)) return vs_sync_fail("sync: bad user id");

  VsAccountPaths acct;
  if (vs_account_paths(acct, s_root, user_id) != 0) return vs_sync_fail("sync: path too long");

  VsDoc profile;
  int loaded = vs_sync_load(-1, nullptr, acct.profile, profile);
  if (loaded == VS_LOAD_ABSENT) return vs_sync_fail("sync: user not found");
  if (loaded == VS_LOAD_NO_MEMORY) return vs_sync_fail("sync: serialize fail");
  if (loaded == VS_LOAD_UNKNOWN) return vs_sync_unknown();
  if (!yyjson_is_obj(yyjson_doc_get_root(profile.get())))
    return vs_sync_fail("sync: corrupt profile");

  VsSyncOut out{0, lit_len(k_head) + lit_len(k_folders) + lit_len(k_ciphers) + lit_len(k_tail)};
  vs_sync_put_frame(out, k_head, lit_len(k_head));
  int rc = vs_sync_put_value(out, yyjson_doc_get_root(profile.get()));
  profile.reset();
  if (rc == VS_SYNC_OK) {
    vs_sync_put_frame(out, k_folders, lit_len(k_folders));
    rc = vs_sync_put_folders(out, acct.folders);
  }
  if (rc == VS_SYNC_OK) {
    vs_sync_put_frame(out, k_ciphers, lit_len(k_ciphers));
    rc = vs_sync_put_ciphers(out, acct.ciphers);
  }
  if (rc == VS_SYNC_UNKNOWN) return vs_sync_unknown();
  if (rc == VS_SYNC_TOO_LARGE) return vs_sync_fail("sync: payload too large");
  if (rc != VS_SYNC_OK) return vs_sync_fail("sync: serialize fail");
  vs_sync_put_frame(out, k_tail, lit_len(k_tail));
  s_sync_buf[out.len] = '\0';
  return s_sync_buf;
}
