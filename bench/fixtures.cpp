// Generated data sets of the benchmark: account trees written straight to
// disk in the layout the library uses (users/<id>/profile.json,
// folders.json, ciphers/, trash/), realistic 1 KiB cipher documents and
// folder documents. Set-up only: nothing here is timed.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench.h"
#include "foundation/email_index.h"

static void bn_die(const char *what, const std::string &path) {
  fprintf(stderr, "bench: %s: %s (%s)\n", what, path.c_str(), strerror(errno));
  exit(2);
}

std::string bn_uuid(void) {
  unsigned char b[16];
  if (getrandom(b, sizeof b, 0) != (ssize_t)sizeof b) bn_die("getrandom", "");
  b[6] = (unsigned char)((b[6] & 0x0f) | 0x40);
  b[8] = (unsigned char)((b[8] & 0x3f) | 0x80);
  char out[VAULT_ID_SIZE];
  snprintf(out, sizeof out,
           "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
           b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10],
           b[11], b[12], b[13], b[14], b[15]);
  return out;
}

// Deterministic base64 text standing in for the client's encrypted strings.
static std::string bn_b64(unsigned &state, size_t n) {
  static const char k_alpha[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s;
  s.reserve(n);
  for (size_t i = 0; i < n; i++) {
    state = state * 1103515245u + 12345u;
    s += k_alpha[(state >> 16) & 63];
  }
  return s;
}

// An encrypted string as clients send them: "2.<iv>|<data>|<mac>".
static std::string bn_enc(unsigned &state, size_t data_len) {
  return "2." + bn_b64(state, 24) + "|" + bn_b64(state, data_len) + "|" +
         bn_b64(state, 44);
}

std::string bn_item(const char *id, unsigned seed) { return bn_item_sized(id, seed, BN_ITEM_SIZE); }

std::string bn_item_sized(const char *id, unsigned seed, size_t size) {
  unsigned st = seed * 2654435761u + 1;
  std::string head = "{";
  if (id) head += std::string("\"id\":\"") + id + "\",";
  head += "\"organizationId\":null,\"folderId\":null,\"type\":1,\"name\":\"" +
          bn_enc(st, 24) + "\",\"notes\":\"2." + bn_b64(st, 24) + "|";
  std::string tail = "|" + bn_b64(st, 44) +
                     "\",\"favorite\":false,\"reprompt\":0,\"login\":{\"username\":\"" +
                     bn_enc(st, 24) + "\",\"password\":\"" + bn_enc(st, 44) +
                     "\",\"uris\":[{\"uri\":\"" + bn_enc(st, 44) +
                     "\",\"match\":null}],\"totp\":null},\"revisionDate\":"
                     "\"2024-05-01T12:00:00.000Z\",\"deletedDate\":null,"
                     "\"object\":\"cipher\"}";
  size_t fixed = head.size() + tail.size();
  if (fixed >= size) {
    fprintf(stderr, "bench: item template too long\n");
    exit(2);
  }
  std::string doc = head + bn_b64(st, size - fixed) + tail;
  return doc;
}

std::string bn_folder_doc(const char *id, unsigned seed) {
  unsigned st = seed * 2246822519u + 7;
  std::string doc = "{";
  if (id) doc += std::string("\"id\":\"") + id + "\",";
  doc += "\"name\":\"" + bn_enc(st, 24) +
         "\",\"revisionDate\":\"2024-05-01T12:00:00.000Z\"}";
  return doc;
}

std::string bn_profile(const std::string &id, const std::string &email) {
  unsigned st = (unsigned)std::hash<std::string>()(id);
  std::string hash = bn_b64(st, 43) + "=";
  std::string key = bn_enc(st, 128);
  char buf[8192];
  snprintf(buf, sizeof buf,
           "{\"email\":\"%s\",\"masterPasswordHash\":\"%s\",\"kdfAlgorithm\":"
           "\"PBKDF2_SHA256\",\"kdfIterations\":%u,\"protectedKey\":\"%s\","
           "\"securityStamp\":\"%s\",\"name\":\"Vault User\","
           "\"twoFactorEnabled\":false,\"keys\":{},\"folders\":[],"
           "\"createdAt\":\"2024-05-01T12:00:00Z\",\"object\":\"profile\"}",
           email.c_str(), hash.c_str(), 600000u, key.c_str(), id.c_str());
  return buf;
}

void bn_put_file(const std::string &path, const std::string &text) {
  if (!vts_write(path, text)) bn_die("write", path);
}

void bn_make_dir(const std::string &path) {
  if (!vts_mkdir(path)) bn_die("mkdir", path);
}

// The i-th account of a generated root: a fresh id, user<i>@example.com.
static BnAccount bn_account(size_t i) {
  BnAccount a;
  a.id = bn_uuid();
  char email[64];
  snprintf(email, sizeof email, "user%06zu@example.com", i);
  a.email = email;
  a.profile = bn_profile(a.id, a.email);
  return a;
}

void bn_make_index_root(BnRoot &r, const std::string &dir, size_t accounts) {
  r.dir = dir;
  r.db = dir + "/peer.db";
  r.accounts.clear();
  std::string index = dir + "/users/" VS_INDEX_NAME;
  bn_make_dir(dir);
  bn_make_dir(dir + "/users");
  bn_make_dir(index);
  for (size_t i = 0; i < accounts; i++) {
    BnAccount a = bn_account(i);
    bn_make_dir(dir + "/users/" + a.id);
    bn_put_file(dir + "/users/" + a.id + "/profile.json", a.profile);
    char key[VS_INDEX_KEY_BUF], entry[VS_INDEX_ENTRY_MAX];
    vs_index_key(a.email.c_str(), key);
    int n = vs_index_format(entry, a.id.c_str(), a.email.c_str());
    if (n < 0) bn_die("index entry", a.email);
    bn_put_file(index + "/" + key, std::string(entry, (size_t)n));
    r.accounts.push_back(a);
  }
  bn_put_file(index + "/" VS_INDEX_MARKER_NAME, "{\"authoritative\":true}");
}

void bn_make_root(BnRoot &r, const std::string &dir, size_t accounts) {
  r.dir = dir;
  r.db = dir + "/peer.db";
  r.accounts.clear();
  bn_make_dir(dir);
  bn_make_dir(dir + "/users");
  for (size_t i = 0; i < accounts; i++) {
    BnAccount a = bn_account(i);
    if (vts_make_account(dir, a.id, a.profile.c_str(), "[]").empty())
      bn_die("account", dir + "/users/" + a.id);
    r.accounts.push_back(a);
  }
}
