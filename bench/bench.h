// Shared declarations of the benchmark program: the data sets every case
// works on, the hand-written floors, the SQLite-backed peer and the heap
// counter. The library rows call only the public vault_* exports.
#ifndef VS_BENCH_H
#define VS_BENCH_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include <yyjson.h>

#include "keldrune-vault-storage.h"
#include "vs_test_support.h"

// ---- data sets ----------------------------------------------------------------
enum : size_t {
  BN_ITEM_SIZE = 1024,      // every generated cipher document is this long
  BN_FOLDERS = 100,         // folders in the folder-save list
  BN_STATS_USERS = 64,      // accounts in the statistics tree
  BN_STATS_ITEMS = 100,     // items per account there
  BN_OUT_SIZE = 262144,     // result buffers as large as the library's
};

// One account of a generated tree.
struct BnAccount {
  std::string id;       // directory name, a version-4 UUID
  std::string email;
  std::string profile;  // the profile text, as account creation writes it
};

// One data root with its accounts, as the library and the floors see it,
// and the SQLite database holding the same data for the peer.
struct BnRoot {
  std::string dir;   // the data root
  std::string db;    // the peer's database file
  std::vector<BnAccount> accounts;
};

// A fresh version-4 UUID from the kernel's random source.
std::string bn_uuid(void);
// A 1 KiB cipher document; a non-NULL id is put first as its "id" member.
std::string bn_item(const char *id, unsigned seed);
// The same with a size of its own (at least 1 KiB): the notes take the rest.
std::string bn_item_sized(const char *id, unsigned seed, size_t size);
// A folder document {"id":..,"name":..,"revisionDate":..}.
std::string bn_folder_doc(const char *id, unsigned seed);
std::string bn_profile(const std::string &id, const std::string &email);

// Builds a root with n accounts (profile, "[]" folder list, empty ciphers and
// trash). Files are written without fsync: this is set-up, not measured.
// Fails the program on any error.
// Scratch files and trees otherwise go through the common test support
// (vts_slurp, vts_remove_tree, ...).
void bn_make_root(BnRoot &r, const std::string &dir, size_t accounts);
// A root for the indexed lookups: n accounts of a profile each (nothing
// else: a lookup reads nothing else), their e-mail index entries, and the
// index declared authoritative. Written directly, without fsync, so that
// 100,000 accounts take seconds.
void bn_make_index_root(BnRoot &r, const std::string &dir, size_t accounts);
void bn_put_file(const std::string &path, const std::string &text);
// Creates a directory (an existing one is accepted). Fails the program on
// any other error.
void bn_make_dir(const std::string &path);
// A file's text; empty when it cannot be read.
inline std::string bn_read_text(const std::string &path) { return vts_slurp(path, ""); }

// ---- floors (floors.cpp) ---------------------------------------------------
// Each does the system calls and yyjson work of its export on the same
// files, and nothing else. Same arguments and results as the export.
void fl_set_root(const char *root);
int fl_cipher_save(const char *user_id, const char *json, char *id_out);
const char *fl_cipher_get(const char *user_id, const char *cipher_id);
int fl_cipher_delete(const char *user_id, const char *cipher_id);
int fl_cipher_restore(const char *user_id, const char *cipher_id);
int fl_folder_save(const char *user_id, const char *json, char *id_out);
int fl_find_by_email(const char *email, char *user_id_out, uint32_t *iter,
                     char *hash_out, char *key_out);
int fl_index_find(const char *email, char *user_id_out, uint32_t *iter, char *hash_out,
                  char *key_out);
const char *fl_sync(const char *user_id);
int fl_revision(const char *user_id);
const char *fl_stats(void);
// Results of any size in a fresh heap text the caller frees (as the _alloc
// exports give them); NULL on failure.
char *fl_cipher_get_alloc(const char *user_id, const char *cipher_id, size_t *len);
char *fl_sync_alloc(const char *user_id, size_t *len);

// ---- the kernel's floor of the sync (kernel_floor.cpp) ------------------------
// Listing and reads of an account's cipher files only (no JSON, no output);
// the bytes read, or -1. Through the thread's ring (advise: with the
// fadvise step the library uses to refuse a FIFO), or plain
// (openat+fstat+read+close).
long long kf_sync_ring(const char *root, const char *user_id, bool advise);
long long kf_sync_plain(const char *root, const char *user_id);

// ---- SQLite peer (peer.cpp) ------------------------------------------------
struct PeerDb;
// Opens (creating the schema) with WAL and synchronous=FULL.
PeerDb *peer_open(const char *path);
void peer_close(PeerDb *db);
// Loads a generated root: accounts, their folder lists, and the given
// cipher documents of each account (id, text).
void peer_begin(PeerDb *db);
void peer_commit(PeerDb *db);
void peer_put_account(PeerDb *db, const BnAccount &a, const std::string &folders);
void peer_put_cipher(PeerDb *db, const char *user_id, const char *id,
                     const std::string &doc, int trashed);
int peer_cipher_save(PeerDb *db, const char *user_id, const char *json, char *id_out);
const char *peer_cipher_get(PeerDb *db, const char *user_id, const char *cipher_id);
int peer_cipher_delete(PeerDb *db, const char *user_id, const char *cipher_id);
int peer_cipher_restore(PeerDb *db, const char *user_id, const char *cipher_id);
int peer_folder_save(PeerDb *db, const char *user_id, const char *json, char *id_out);
int peer_find_by_email(PeerDb *db, const char *email, char *user_id_out,
                       uint32_t *iter, char *hash_out, char *key_out);
const char *peer_sync(PeerDb *db, const char *user_id);
// What a relational server reads for an account's revision: one column of its row.
int peer_revision(PeerDb *db, const char *user_id);
char *peer_cipher_get_alloc(PeerDb *db, const char *user_id, const char *cipher_id, size_t *len);
char *peer_sync_alloc(PeerDb *db, const char *user_id, size_t *len);
const char *peer_stats(PeerDb *db, const char *root);

// ---- shared by floor and peer (floors.cpp) ----------------------------------
// The identifier rule of the store: first "id" member, a non-empty string of
// at most 36 bytes of [A-Za-z0-9_-]; else a fresh UUID.
int bn_choose_id(yyjson_val *root, char out[VAULT_ID_SIZE]);
int bn_folder_input(const char *json, char id[VAULT_ID_SIZE], char name[512], char rev[128]);
char *bn_folder_edit(yyjson_mut_doc *md, const char *id, const char *name, const char *rev,
                     size_t *len);
// Appends the fixed tail of the sync document ("domains", "object").
extern const char k_sync_tail[];

// ---- heap counter (heap.cpp) -------------------------------------------------
// Between heap_track_begin and heap_track_end every allocation made by the
// process (library, yyjson, libc) is counted; the peak of bytes live above
// the starting point is returned by heap_track_end.
void heap_track_begin(void);
size_t heap_track_end(void);

// Times the replacement of a vault of 1,000 items of 1 KiB against 1,000
// saves of them under dir, and prints the ratio. False on a failure.
bool bn_run_replace(const std::string &dir);

#endif
