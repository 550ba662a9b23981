// Internal interface shared by every part of the library: the last-error
// text and result buffers, the file primitives, the data root with its path
// builders, identifiers and listing rules, and small RAII holders.
#ifndef VS_INTERNAL_H
#define VS_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>

#include <yyjson.h>

#include "keldrune-vault-storage.h"

// Buffer sizes of the interface and of the path templates.
enum : size_t {
  VS_ERROR_SIZE = 1024,
  VS_PROFILE_BUF_SIZE = 16384,
  VS_CIPHER_BUF_SIZE = 65536,
  VS_FOLDERS_BUF_SIZE = 16384,
  VS_SYNC_BUF_SIZE = 262144,
  VS_STATS_BUF_SIZE = 4352,
  VS_ACCOUNT_PATH = 4300,  // "%s/users/%s", "%s/users", "%s/config.json"
  VS_FILE_PATH = 4600,     // a file or directory inside an account
  VS_ENTRY_PATH = 4900,    // "%s/%s": an entry of a listed directory
  VS_SCAN_USERS_PATH = 4420,
  VS_TMP_PATH = 4300,
  VS_ID_BUF = 37,
  VS_ID_MAX = 64,
  VS_UUID_LEN = 36,
};

// ---- errors and results ----------------------------------------------------
extern char s_error[VS_ERROR_SIZE];
extern char s_profile_buf[VS_PROFILE_BUF_SIZE];
extern char s_cipher_buf[VS_CIPHER_BUF_SIZE];
extern char s_folders_buf[VS_FOLDERS_BUF_SIZE];
extern char s_sync_buf[VS_SYNC_BUF_SIZE];
extern char s_stats_buf[VS_STATS_BUF_SIZE];

// Formats a message into the last-error text (cut at 1023 bytes).
void vs_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
const char *vs_error_str(void);

// Copies text into a result buffer up to its first NUL and at most size-1
// bytes; always terminates.
void vs_copy_text(char *dst, size_t size, const char *src);

// ---- file primitives ---------------------------------------------------------
int vs_mkdir(const char *path);
int vs_rename_replace(const char *from, const char *to);
// Moves a file, failing with EEXIST (errno) when the destination exists.
// No message; errno tells why. Both directories are synced after a move.
int vs_rename_noreplace(const char *from, const char *to);
int vs_atomic_write(const char *path, const void *data, uint64_t len);
int vs_read_file(const char *path, char **out, uint64_t *len_out);
// The same for the file rel below an open directory dir_fd (whose path is
// dir, used in messages); no symbolic link is followed below dir_fd.
int vs_read_file_at(int dir_fd, const char *dir, const char *rel, char **out,
                    uint64_t *len_out);
// -1 with errno ELOOP when a directory between the data root and the final
// name of path is a symbolic link; 0 otherwise.
int vs_check_beneath(const char *path);
// open(2) for a path of the tree that never goes through a symbolic link
// below the data root (the final name included). -1 with errno on failure.
int vs_open_beneath(const char *path, int flags, mode_t mode);

// A directory listing read straight from the kernel into a fixed buffer
// (no heap). Entry names come in the platform's order, "." and ".."
// included; vs_list_next gives NULL at the end (errno 0) or on an error.
struct VsList {
  int fd = -1;
  size_t pos = 0, end = 0;
  alignas(8) char buf[8192];
  VsList() = default;
  VsList(const VsList &) = delete;
  VsList &operator=(const VsList &) = delete;
  ~VsList() { if (fd >= 0) close(fd); }
};
int vs_list_open(VsList &list, const char *path);
const char *vs_list_next(VsList &list);
// fsync of a directory, and of the directory holding a path (best effort).
void vs_sync_dir(const char *dir);
void vs_sync_parent(const char *path);

// ---- data root, layout, identifiers -----------------------------------------
extern char *s_root;

// Checked path formatter: 0 when the whole text fit, else -1 and the buffer
// holds the empty text. A cut path is never handed out.
int vs_path(char *buf, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

int vs_user_dir(char *buf, size_t size, const char *user_id);
int vs_profile_path(char *buf, size_t size, const char *user_id);
int vs_folders_path(char *buf, size_t size, const char *user_id);
int vs_cipher_path(char *buf, size_t size, const char *user_id,
                   const char *cipher_id, int trash);

int vs_id_safe(const char *id);
// 0 filled with a fresh version-4 UUID; -1 when no random bytes could be had
// (the buffer then holds the empty text).
int vs_uuid_generate(char *out);
int vs_email_equal(const char *a, const char *b);

// Length of the valid UTF-8 sequence at p (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when p starts none.
size_t vs_utf8_seq(const unsigned char *p);
int vs_utf8_valid(const char *text);
// Appends text as the inside of a JSON string at out[*pos]: '"', '\\' and
// control bytes escaped, valid UTF-8 kept, any other byte written as
// \ufffd; then a NUL, and *pos moves past it. -1 when it does not fit.
int vs_json_escape(char *out, size_t size, size_t *pos, const char *text);

// Listing rules for entry names.
int vs_item_file_name(const char *name);   // a cipher file in "ciphers"
int vs_trash_file_name(const char *name);  // counted in "trash"

// Picks the identifier of a submitted document: the first "id" member of an
// object when it is a non-empty string of at most 36 bytes passing
// vs_id_safe, else a fresh UUID. 0 done, -1 no random bytes.
int vs_choose_id(yyjson_val *root, char out[VS_ID_BUF]);

// ---- accounts (src/accounts/lookup.cpp) ---------------------------------------
// The e-mail scan over the users directory. 0 an account matched (the wanted
// outputs are filled), 1 none did; records no message. The results below
// write no output: the users path does not fit its buffer; the matching
// directory's name is longer than a user id buffer holds (only when the
// user id is wanted); no match, but the listing or some entry could not be
// examined for a passing reason (I/O, memory, descriptors, permission), so
// the address may be registered after all (errno tells why).
enum { VS_SCAN_PATH_TOO_LONG = -1, VS_SCAN_ID_TOO_LONG = -2, VS_SCAN_UNSURE = -3 };
int vs_user_scan(const char *email, char *user_id_out, uint32_t *iterations_out,
                 char *hash_out, char *key_out);

// ---- RAII holders -----------------------------------------------------------
struct VsFree { void operator()(void *p) const { free(p); } };
struct VsDocFree { void operator()(yyjson_doc *d) const { yyjson_doc_free(d); } };
struct VsMutDocFree { void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); } };
using VsText = std::unique_ptr<char, VsFree>;
using VsDoc = std::unique_ptr<yyjson_doc, VsDocFree>;
using VsMutDoc = std::unique_ptr<yyjson_mut_doc, VsMutDocFree>;

// Strict parse with the library's default options. err, when given, tells
// bad JSON apart from the parser running out of memory.
inline yyjson_doc *vs_parse(const char *text, size_t len,
                            yyjson_read_err *err = nullptr) {
  return yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, err);
}

#endif
