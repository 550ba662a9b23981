// The SQLite peer: the same store as one SQLite database, the design a
// self-hoster would otherwise pick. Tables for accounts (e-mail with a
// case-insensitive index), ciphers (account, id, trashed flag, size,
// document) and folder lists; WAL journal with synchronous=FULL, so a
// committed write is on stable storage like the library's fsynced files.
// Every operation uses statements prepared once, and does the same JSON work
// as the floor where the export handles JSON (identifier choice, folder list
// edit, sync document assembly).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sqlite3.h>

#include "bench.h"

struct PeerDb {
  sqlite3 *db;
  sqlite3_stmt *put_account, *put_folders, *put_cipher;
  sqlite3_stmt *save, *get, *trash, *untrash;
  sqlite3_stmt *folders_get, *folders_set, *begin, *begin_imm, *commit;
  sqlite3_stmt *find, *profile, *ciphers;
  sqlite3_stmt *n_users, *n_live, *n_trash, *n_folders;
  sqlite3_stmt *revision;
};

static char s_peer_cipher[65536];
static char s_peer_sync[BN_OUT_SIZE];
static char s_peer_stats[4352];

static void peer_die(PeerDb *p, const char *what) {
  fprintf(stderr, "bench: sqlite %s: %s\n", what, sqlite3_errmsg(p->db));
  exit(2);
}

static void peer_exec(PeerDb *p, const char *sql) {
  char *err = nullptr;
  if (sqlite3_exec(p->db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    fprintf(stderr, "bench: sqlite: %s: %s\n", sql, err ? err : "?");
    exit(2);
  }
}

static sqlite3_stmt *peer_prep(PeerDb *p, const char *sql) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v3(p->db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK)
    peer_die(p, sql);
  return st;
}

PeerDb *peer_open(const char *path) {
  PeerDb *p = static_cast<PeerDb *>(calloc(1, sizeof(PeerDb)));
  if (sqlite3_open_v2(path, &p->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK)
    peer_die(p, "open");
  peer_exec(p, "PRAGMA journal_mode=WAL");
  peer_exec(p, "PRAGMA synchronous=FULL");
  peer_exec(p,
            "CREATE TABLE IF NOT EXISTS accounts("
            " id TEXT PRIMARY KEY, email TEXT NOT NULL, kdf_iterations INTEGER NOT NULL,"
            " hash TEXT NOT NULL, protected_key TEXT NOT NULL, profile TEXT NOT NULL);"
            "CREATE INDEX IF NOT EXISTS accounts_email ON accounts(email COLLATE NOCASE);"
            "CREATE TABLE IF NOT EXISTS ciphers("
            " account TEXT NOT NULL, id TEXT NOT NULL, trashed INTEGER NOT NULL,"
            " size INTEGER NOT NULL, doc TEXT NOT NULL, UNIQUE(account, id, trashed));"
            "CREATE INDEX IF NOT EXISTS ciphers_trashed ON ciphers(trashed, size);"
            "CREATE TABLE IF NOT EXISTS folders(account TEXT PRIMARY KEY, list TEXT NOT NULL);");
  p->put_account = peer_prep(p,
      "INSERT INTO accounts(id, email, kdf_iterations, hash, protected_key, profile)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  p->put_folders = peer_prep(p, "INSERT OR REPLACE INTO folders(account, list) VALUES(?1, ?2)");
  p->put_cipher = peer_prep(p,
      "INSERT INTO ciphers(account, id, trashed, size, doc) VALUES(?1, ?2, ?3, ?4, ?5)");
  p->save = peer_prep(p,
      "INSERT INTO ciphers(account, id, trashed, size, doc) VALUES(?1, ?2, 0, ?3, ?4)"
      " ON CONFLICT(account, id, trashed) DO UPDATE SET size = excluded.size, doc = excluded.doc");
  p->get = peer_prep(p, "SELECT doc FROM ciphers WHERE account = ?1 AND id = ?2 AND trashed = 0");
  p->trash = peer_prep(p,
      "UPDATE ciphers SET trashed = 1 WHERE account = ?1 AND id = ?2 AND trashed = 0");
  p->untrash = peer_prep(p,
      "UPDATE ciphers SET trashed = 0 WHERE account = ?1 AND id = ?2 AND trashed = 1");
  p->folders_get = peer_prep(p, "SELECT list FROM folders WHERE account = ?1");
  p->folders_set = peer_prep(p, "INSERT OR REPLACE INTO folders(account, list) VALUES(?1, ?2)");
  p->begin = peer_prep(p, "BEGIN");
  p->begin_imm = peer_prep(p, "BEGIN IMMEDIATE");
  p->commit = peer_prep(p, "COMMIT");
  p->find = peer_prep(p,
      "SELECT id, kdf_iterations, hash, protected_key FROM accounts"
      " WHERE email = ?1 COLLATE NOCASE LIMIT 1");
  p->profile = peer_prep(p, "SELECT profile FROM accounts WHERE id = ?1");
  p->ciphers = peer_prep(p, "SELECT doc FROM ciphers WHERE account = ?1 AND trashed = 0");
  p->n_users = peer_prep(p, "SELECT count(*) FROM accounts");
  p->n_live = peer_prep(p, "SELECT count(*), total(size) FROM ciphers WHERE trashed = 0");
  p->n_trash = peer_prep(p, "SELECT count(*) FROM ciphers WHERE trashed = 1");
  p->n_folders = peer_prep(p, "SELECT count(*), total(length(CAST(list AS BLOB))) FROM folders");
  p->revision = peer_prep(p, "SELECT kdf_iterations FROM accounts WHERE id = ?1");
  return p;
}

void peer_close(PeerDb *p) {
  sqlite3_stmt *all[] = {p->put_account, p->put_folders, p->put_cipher, p->save,
                         p->get, p->trash, p->untrash, p->folders_get, p->folders_set,
                         p->begin, p->begin_imm, p->commit, p->find, p->profile, p->ciphers,
                         p->n_users, p->n_live, p->n_trash, p->n_folders, p->revision};
  for (sqlite3_stmt *st : all) sqlite3_finalize(st);
  sqlite3_close(p->db);
  free(p);
}

void peer_begin(PeerDb *p) { peer_exec(p, "BEGIN"); }
void peer_commit(PeerDb *p) { peer_exec(p, "COMMIT"); }

// Runs a statement that returns no rows; the statement is reset.
static int peer_step_done(sqlite3_stmt *st) {
  int rc = sqlite3_step(st);
  sqlite3_reset(st);
  return rc == SQLITE_DONE ? 0 : -1;
}

void peer_put_account(PeerDb *p, const BnAccount &a, const std::string &folders) {
  yyjson_doc *doc = yyjson_read(a.profile.data(), a.profile.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  sqlite3_stmt *st = p->put_account;
  sqlite3_bind_text(st, 1, a.id.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, a.email.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(st, 3, (sqlite3_int64)yyjson_get_uint(yyjson_obj_get(root, "kdfIterations")));
  sqlite3_bind_text(st, 4, yyjson_get_str(yyjson_obj_get(root, "masterPasswordHash")), -1,
                    SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 5, yyjson_get_str(yyjson_obj_get(root, "protectedKey")), -1,
                    SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 6, a.profile.c_str(), (int)a.profile.size(), SQLITE_TRANSIENT);
  if (peer_step_done(st) != 0) peer_die(p, "insert account");
  yyjson_doc_free(doc);
  st = p->put_folders;
  sqlite3_bind_text(st, 1, a.id.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, folders.c_str(), (int)folders.size(), SQLITE_TRANSIENT);
  if (peer_step_done(st) != 0) peer_die(p, "insert folders");
}

void peer_put_cipher(PeerDb *p, const char *user_id, const char *id, const std::string &doc,
                     int trashed) {
  sqlite3_stmt *st = p->put_cipher;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, id, -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(st, 3, trashed);
  sqlite3_bind_int64(st, 4, (sqlite3_int64)doc.size());
  sqlite3_bind_text(st, 5, doc.c_str(), (int)doc.size(), SQLITE_TRANSIENT);
  if (peer_step_done(st) != 0) peer_die(p, "insert cipher");
}

int peer_cipher_save(PeerDb *p, const char *user_id, const char *json, char *id_out) {
  if (!user_id || !*user_id || !json || !*json) return -1;
  size_t len = strlen(json);
  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(json), len, 0, nullptr, nullptr);
  if (!doc) return -1;
  char id[VAULT_ID_SIZE];
  int r = bn_choose_id(yyjson_doc_get_root(doc), id);
  yyjson_doc_free(doc);
  if (r != 0) return -1;
  sqlite3_stmt *st = p->save;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, id, -1, SQLITE_STATIC);
  sqlite3_bind_int64(st, 3, (sqlite3_int64)len);
  sqlite3_bind_text(st, 4, json, (int)len, SQLITE_STATIC);
  if (peer_step_done(st) != 0) return -1;
  if (id_out) memcpy(id_out, id, strlen(id) + 1);
  return 0;
}

const char *peer_cipher_get(PeerDb *p, const char *user_id, const char *cipher_id) {
  s_peer_cipher[0] = '\0';
  sqlite3_stmt *st = p->get;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, cipher_id, -1, SQLITE_STATIC);
  const char *res = nullptr;
  if (sqlite3_step(st) == SQLITE_ROW) {
    const unsigned char *t = sqlite3_column_text(st, 0);
    int n = sqlite3_column_bytes(st, 0);
    if (t && n <= 65534) {
      memcpy(s_peer_cipher, t, (size_t)n);
      s_peer_cipher[n] = '\0';
      res = s_peer_cipher;
    }
  }
  sqlite3_reset(st);
  return res;
}

char *peer_cipher_get_alloc(PeerDb *p, const char *user_id, const char *cipher_id,
                            size_t *len) {
  sqlite3_stmt *st = p->get;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, cipher_id, -1, SQLITE_STATIC);
  char *res = nullptr;
  if (sqlite3_step(st) == SQLITE_ROW) {
    const unsigned char *t = sqlite3_column_text(st, 0);
    size_t n = (size_t)sqlite3_column_bytes(st, 0);
    if (t && (res = static_cast<char *>(malloc(n + 1)))) {
      memcpy(res, t, n);
      res[n] = '\0';
      if (len) *len = n;
    }
  }
  sqlite3_reset(st);
  return res;
}

static int peer_flag(PeerDb *p, sqlite3_stmt *st, const char *user_id, const char *cipher_id) {
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, cipher_id, -1, SQLITE_STATIC);
  if (peer_step_done(st) != 0) return -1;  // both places taken: the unique key refuses
  return sqlite3_changes(p->db) == 1 ? 0 : 1;
}

int peer_cipher_delete(PeerDb *p, const char *user_id, const char *cipher_id) {
  return peer_flag(p, p->trash, user_id, cipher_id);
}

int peer_cipher_restore(PeerDb *p, const char *user_id, const char *cipher_id) {
  return peer_flag(p, p->untrash, user_id, cipher_id);
}

// Read-modify-write of the list in one IMMEDIATE transaction, with the same
// yyjson steps as the store: parse, mutable copy, remove, append, write.
int peer_folder_save(PeerDb *p, const char *user_id, const char *json, char *id_out) {
  if (!user_id || !*user_id || !json || !*json) return -1;
  char id[VAULT_ID_SIZE], name[512], rev[128];
  if (bn_folder_input(json, id, name, rev) != 0) return -1;

  if (peer_step_done(p->begin_imm) != 0) return -1;
  int result = -1;
  yyjson_mut_doc *md = nullptr;
  sqlite3_stmt *st = p->folders_get;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  if (sqlite3_step(st) == SQLITE_ROW) {
    const char *t = (const char *)sqlite3_column_text(st, 0);
    yyjson_doc *list = yyjson_read_opts(const_cast<char *>(t), (size_t)sqlite3_column_bytes(st, 0),
                                        0, nullptr, nullptr);
    if (list && yyjson_is_arr(yyjson_doc_get_root(list))) md = yyjson_doc_mut_copy(list, nullptr);
    yyjson_doc_free(list);
  }
  sqlite3_reset(st);
  char *text = nullptr;
  size_t len = 0;
  if (md) text = bn_folder_edit(md, id, name, rev, &len);
  if (text) {
    st = p->folders_set;
    sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 2, text, (int)len, SQLITE_STATIC);
    result = peer_step_done(st);
    free(text);
  }
  if (result == 0) {
    result = peer_step_done(p->commit);
  } else {
    peer_exec(p, "ROLLBACK");
  }
  if (result == 0 && id_out) memcpy(id_out, id, strlen(id) + 1);
  return result;
}

int peer_find_by_email(PeerDb *p, const char *email, char *user_id_out, uint32_t *iter,
                       char *hash_out, char *key_out) {
  if (!email || !*email) return -1;
  sqlite3_stmt *st = p->find;
  sqlite3_bind_text(st, 1, email, -1, SQLITE_STATIC);
  int r = 1;
  if (sqlite3_step(st) == SQLITE_ROW) {
    r = 0;
    if (user_id_out) snprintf(user_id_out, VAULT_ID_SIZE, "%s", (const char *)sqlite3_column_text(st, 0));
    if (iter) *iter = (uint32_t)sqlite3_column_int64(st, 1);
    if (hash_out) snprintf(hash_out, VAULT_HASH_SIZE, "%s", (const char *)sqlite3_column_text(st, 2));
    if (key_out) snprintf(key_out, VAULT_KEY_SIZE, "%s", (const char *)sqlite3_column_text(st, 3));
  }
  sqlite3_reset(st);
  return r;
}

// The output of a sync: the static buffer with its 262142-byte limit, or
// (grow) a heap text that grows by half again whenever it is full.
struct PeerOut {
  char *buf;
  size_t pos, cap;
  bool grow;
};

// Appends one parsed-and-written JSON text; false once it does not fit.
static bool peer_put(PeerOut &o, const char *s, size_t n) {
  if (o.grow && o.pos + n + 1 > o.cap) {
    size_t cap = o.cap + o.cap / 2;
    if (cap < o.pos + n + 1) cap = o.pos + n + 1;
    char *b = static_cast<char *>(realloc(o.buf, cap));
    if (!b) return false;
    o.buf = b;
    o.cap = cap;
  }
  if (!o.grow && o.pos + n > BN_OUT_SIZE - 2) return false;
  memcpy(o.buf + o.pos, s, n);
  o.pos += n;
  return true;
}

static bool peer_put_json(PeerOut &o, const unsigned char *t, int n, bool want_arr) {
  yyjson_doc *doc = yyjson_read_opts((char *)t, (size_t)n, 0, nullptr, nullptr);
  if (!doc) return want_arr ? peer_put(o, "[]", 2) : false;
  if (want_arr && !yyjson_is_arr(yyjson_doc_get_root(doc))) {
    yyjson_doc_free(doc);
    return peer_put(o, "[]", 2);
  }
  size_t len;
  char *w = yyjson_val_write_opts(yyjson_doc_get_root(doc), 0, nullptr, &len, nullptr);
  yyjson_doc_free(doc);
  bool ok = w && peer_put(o, w, len);
  free(w);
  return ok;
}

static bool peer_sync_into(PeerDb *p, PeerOut &o, const char *user_id) {
  bool ok = peer_put(o, "{\"profile\":", 11);
  // One read transaction, so the three queries see one snapshot.
  peer_step_done(p->begin);
  sqlite3_stmt *st = p->profile;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  if (sqlite3_step(st) == SQLITE_ROW)
    ok = ok && peer_put_json(o, sqlite3_column_text(st, 0), sqlite3_column_bytes(st, 0), false);
  else
    ok = false;
  sqlite3_reset(st);
  ok = ok && peer_put(o, ",\"folders\":", 11);
  st = p->folders_get;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  if (ok && sqlite3_step(st) == SQLITE_ROW)
    ok = peer_put_json(o, sqlite3_column_text(st, 0), sqlite3_column_bytes(st, 0), true);
  else
    ok = ok && peer_put(o, "[]", 2);
  sqlite3_reset(st);
  ok = ok && peer_put(o, ",\"ciphers\":[", 12);
  st = p->ciphers;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  bool first = true;
  while (ok && sqlite3_step(st) == SQLITE_ROW) {
    if (!first) ok = peer_put(o, ",", 1);
    first = false;
    ok = ok && peer_put_json(o, sqlite3_column_text(st, 0), sqlite3_column_bytes(st, 0), false);
  }
  sqlite3_reset(st);
  peer_step_done(p->commit);
  ok = ok && peer_put(o, "]", 1);
  ok = ok && peer_put(o, k_sync_tail, strlen(k_sync_tail));
  if (ok) o.buf[o.pos] = '\0';
  return ok;
}

const char *peer_sync(PeerDb *p, const char *user_id) {
  PeerOut o{s_peer_sync, 0, sizeof s_peer_sync, false};
  if (peer_sync_into(p, o, user_id)) return s_peer_sync;
  s_peer_sync[0] = '\0';
  return nullptr;
}

char *peer_sync_alloc(PeerDb *p, const char *user_id, size_t *len) {
  PeerOut o{static_cast<char *>(malloc(65536)), 0, 65536, true};
  if (!o.buf) return nullptr;
  if (!peer_sync_into(p, o, user_id)) {
    free(o.buf);
    return nullptr;
  }
  if (len) *len = o.pos;
  return o.buf;
}

static sqlite3_int64 peer_count(sqlite3_stmt *st, sqlite3_int64 *sum) {
  sqlite3_int64 n = 0;
  if (sqlite3_step(st) == SQLITE_ROW) {
    n = sqlite3_column_int64(st, 0);
    if (sum) *sum = (sqlite3_int64)sqlite3_column_double(st, 1);
  }
  sqlite3_reset(st);
  return n;
}

const char *peer_stats(PeerDb *p, const char *root) {
  s_peer_stats[0] = '\0';
  sqlite3_int64 live_bytes = 0, folder_bytes = 0;
  peer_step_done(p->begin);
  sqlite3_int64 users = peer_count(p->n_users, nullptr);
  sqlite3_int64 live = peer_count(p->n_live, &live_bytes);
  sqlite3_int64 trash = peer_count(p->n_trash, nullptr);
  sqlite3_int64 folders = peer_count(p->n_folders, &folder_bytes);
  peer_step_done(p->commit);
  snprintf(s_peer_stats, sizeof s_peer_stats,
           "{\"users\":%lld,\"ciphers\":%lld,\"folders\":%lld,\"trash\":%lld,"
           "\"vault_bytes\":%lld,\"root\":\"%s\"}",
           (long long)users, (long long)live, (long long)folders, (long long)trash,
           (long long)(live_bytes + folder_bytes), root);
  return s_peer_stats;
}

int peer_revision(PeerDb *p, const char *user_id) {
  sqlite3_stmt *st = p->revision;
  sqlite3_bind_text(st, 1, user_id, -1, SQLITE_STATIC);
  int rc = sqlite3_step(st) == SQLITE_ROW ? 0 : -1;
  sqlite3_reset(st);
  return rc;
}
