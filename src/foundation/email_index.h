// The e-mail index: one entry per registered address under the users
// directory, found by a hash of the address, so that a lookup reads one
// entry and one profile whatever the number of accounts. The entry is also
// the claim a registration takes on its address, so that one address never
// gets two accounts however many threads, processes and hosts register it.
//
//   <root>/users/.email-index/<key>            {"id":"<user id>","email":"<address>"}
//   <root>/users/.email-index/authoritative    marker: a miss needs no scan
//   <root>/users/.email-index/reindex.lock     held while the index is rebuilt
//
// <key> is the SHA-256 of the address with ASCII letters folded (as
// addresses compare), in 64 lower-case hexadecimal digits. The directory's
// name begins with '.', so every listing of accounts passes over it.
// Temporary files in it follow temp_names.h.
//
// An entry is a hint that the profile confirms: a lookup trusts it only
// when the named account's profile holds the same address. Without the
// marker an address with no entry is still looked for by the full scan
// (accounts copied in by hand need no entry); with it, no entry means no
// account.
#ifndef VS_EMAIL_INDEX_H
#define VS_EMAIL_INDEX_H

#include <stddef.h>
#include <stdint.h>

#include "files.h"
#include "holders.h"
#include "identifiers.h"
#include "layout.h"

#define VS_INDEX_NAME ".email-index"
#define VS_INDEX_MARKER_NAME "authoritative"
#define VS_INDEX_LOCK_NAME "reindex.lock"

enum : size_t {
  VS_INDEX_KEY_LEN = 64,
  VS_INDEX_KEY_BUF = VS_INDEX_KEY_LEN + 1,
  // An entry's text: the user id and the escaped address of a profile that
  // fits its 8191 bytes.
  VS_INDEX_ENTRY_MAX = 8320,
};

// "<root>/users/.email-index" and a file in it; 0, or -1 when it does not fit.
int vs_index_dir(char *buf, size_t size, const char *root);
int vs_index_file(char *buf, size_t size, const char *root, const char *name);

// The entry name of an address.
void vs_index_key(const char *email, char out[VS_INDEX_KEY_BUF]);
// 1 when name has the form of an entry name (64 lower-case hex digits).
int vs_index_entry_name(const char *name);

// Formats an entry into buf (VS_INDEX_ENTRY_MAX bytes): its length, or -1
// when it does not fit.
int vs_index_format(char *buf, const char *user_id, const char *email);
// The one reader of a stored address (a profile's or an entry's "email"):
// 1 when v is a non-empty string without a NUL byte (*email then points to
// it, and its C-string length is its whole length), 0 when it is absent or
// not a string, -1 when it is a string holding a NUL byte or empty. Only an
// address read as 1 matches anything: compared as C strings, an address
// with a NUL in it would match the part before the NUL.
int vs_stored_email(yyjson_val *v, const char **email);
// The same for the first "email" member of a profile's root.
int vs_profile_email(yyjson_val *profile_root, const char **email);

// Parses an entry's text. 0 with *id (a usable user id of at most 36
// characters) and *email (read by vs_stored_email) pointing into doc; -1
// when the text is not an entry.
int vs_index_parse(const char *text, size_t len, VsDoc &doc, const char **id,
                   const char **email);

// Reads the entry of an address without any lock (lookups). 0 it names an
// account for this very address (id_out filled); 1 there is none; 2 there is
// one but it is unusable (not an entry, or for another address); -1 it
// could not be read (errno tells why).
int vs_index_read(const char *root, const char *email, char id_out[VS_ID_BUF]);

// 1 the index is authoritative, 0 not, -1 cannot tell (errno).
int vs_index_authoritative(const char *root);

// An entry held under its lock by a writer (registration, reindex): the
// entry's open file, locked, and the entry's path and directory. Going out
// of scope lets go of the lock; the entry stays.
struct VsIndexHold {
  char path[VS_ENTRY_PATH];
  VsDirName dir;
  VsFd fd;
  VsIndexHold() = default;
  VsIndexHold(const VsIndexHold &) = delete;
  VsIndexHold &operator=(const VsIndexHold &) = delete;
  ~VsIndexHold() { release(); }
  void release();
};

// Whether a writer's change is on stable storage when it returns
// (registration: a claim that might not survive a power loss is no claim),
// or only after vs_index_sync_all (reindex, which writes thousands of
// entries; until then the index must not be authoritative).
enum VsIndexSync { VS_INDEX_SYNC, VS_INDEX_DEFER };

// Writers name an entry by its key (vs_index_key).
// Makes the entry of an address that has none, holding it: 0 made; 1 an
// entry exists; -1 failure with a message; VS_INDEX_UNSYNCED its directory
// could not be synced ("sync failed: ..."; the entry is taken back). The
// index directory is created when missing.
enum { VS_INDEX_UNSYNCED = -2 };
int vs_index_create(const char *root, const char *key, const char *text, size_t len,
                    VsIndexHold &hold, VsIndexSync sync = VS_INDEX_SYNC);
// Takes the lock on an address's existing entry, waiting (bounded) while
// another writer holds it, and reads it: 0 held, text (VS_INDEX_ENTRY_MAX
// bytes) holds its content (cut to fit, which no entry needs) with a NUL
// after it; 1 there is none; -1 failure with a message (EAGAIN: its
// holder did not let go in time).
int vs_index_lock(const char *root, const char *key, VsIndexHold &hold, char *text);
// Replaces the held entry with new content, which is held from then on:
// 0, -1 with a message, or VS_INDEX_UNSYNCED (the new entry is in place).
int vs_index_replace(VsIndexHold &hold, const char *text, size_t len,
                     VsIndexSync sync = VS_INDEX_SYNC);
// Removes the held entry. 0, or -1 with a message.
int vs_index_remove(VsIndexHold &hold, VsIndexSync sync = VS_INDEX_SYNC);
// Puts the deferred changes of the whole index on stable storage: the file
// system's dirty data at once (syncfs), then every entry and the directory
// one by one, which reaches the server also where syncfs does not (network
// and FUSE file systems), at little cost once the data is written. 0, or
// -1 with "sync failed: <path> (<reason>)".
int vs_index_sync_all(const char *root);

#endif
