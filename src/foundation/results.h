// The last-error text with its code and errno, and the result buffers of
// the text-returning exports, all per thread: the only state a call leaves
// behind besides the data root and the files.
#ifndef VS_RESULTS_H
#define VS_RESULTS_H

#include <stddef.h>

#include "keldrune-vault-storage.h"

enum : size_t {
  VS_ERROR_SIZE = 1024,
  VS_PROFILE_BUF_SIZE = 16384,
  VS_CIPHER_BUF_SIZE = 65536,
  VS_FOLDERS_BUF_SIZE = 16384,
  VS_SYNC_BUF_SIZE = 262144,
  VS_STATS_BUF_SIZE = 4352,
};

// Largest documents the read exports hand back whole.
enum : size_t {
  VS_PROFILE_MAX = VS_PROFILE_BUF_SIZE - 1,
  VS_FOLDERS_MAX = VS_FOLDERS_BUF_SIZE - 1,
  VS_CIPHER_MAX = VS_CIPHER_BUF_SIZE - 2,
};
// The limits the public header promises are these buffers'.
static_assert(VS_PROFILE_MAX == VAULT_PROFILE_MAX && VS_FOLDERS_MAX == VAULT_FOLDERS_MAX &&
                  VS_CIPHER_MAX == VAULT_CIPHER_MAX && VS_SYNC_BUF_SIZE - 2 == VAULT_SYNC_MAX &&
                  VS_STATS_BUF_SIZE - 1 == VAULT_STATS_MAX && VS_ERROR_SIZE - 1 == VAULT_ERROR_MAX,
              "a result buffer disagrees with the public header's limit");

// The result buffers of the five exports that return a text of fixed size.
enum VsResult { VS_RES_PROFILE, VS_RES_CIPHER, VS_RES_FOLDERS, VS_RES_SYNC, VS_RES_STATS,
                VS_RESULT_COUNT };

// Formats a message into this thread's last-error text (cut at 1023 bytes)
// with the code VAULT_IO and no errno: for failures no code says better.
void vs_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The same with the code (a VAULT_* value) and errno (0 for none) given.
void vs_error_code(int code, int err, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The same with the code that err stands for (vs_code_for_errno).
void vs_error_errno(int err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Sets this thread's code and errno, leaving the text as it is (a soft
// result that records no message).
void vs_error_set_code(int code, int err);
// The code a system error number stands for: missing (ENOENT, ENOTDIR),
// present (EEXIST, ENOTEMPTY), full (ENOSPC, EDQUOT), memory, a lock held
// elsewhere (EAGAIN, EWOULDBLOCK, EBUSY), a stale handle (ESTALE), a file
// too large for the system (EFBIG); VAULT_IO else.
int vs_code_for_errno(int err);
// This thread's last-error text ("OK" until something failed in it), code
// and errno.
const char *vs_error_str(void);
int vs_error_code_now(void);
int vs_error_errno_now(void);

// A copy of this thread's text, code and errno, for a step that may record
// a message of its own where the earlier one must stay.
struct VsErrorSave {
  char text[VS_ERROR_SIZE];
  int code, err;
};
void vs_error_save(VsErrorSave &saved);
void vs_error_restore(const VsErrorSave &saved);

// Export boundaries. Every export but the readers of this state starts with
// vs_call_begin() and ends with vs_call_end(ok) (vs_call does both around
// the export's body): a success sets VAULT_OK
// and errno 0; a failure or soft result keeps the code of the message it
// recorded (VAULT_IO when it recorded none). Skipped reads inside a
// successful call therefore never leave a code behind.
void vs_call_begin(void);
void vs_call_end(bool ok);
// An export's whole call: its body between the two. Success is 0 for an int
// result and a text for a text result.
inline bool vs_call_ok(int rc) { return rc == 0; }
inline bool vs_call_ok(const char *text) { return text != nullptr; }
template <typename R, typename... Args, typename... Given>
R vs_call(R (*body)(Args...), Given... args) {
  vs_call_begin();
  R r = body(args...);
  vs_call_end(vs_call_ok(r));
  return r;
}

// This thread's buffer of one export (VS_*_BUF_SIZE bytes), allocated on
// the thread's first use of it; NULL when there is no memory for it.
char *vs_result_buf(VsResult which);
// The first step of such an export: this thread's buffer, emptied; NULL
// with "<prefix>: out of memory" when there is none.
char *vs_result_begin(VsResult which, const char *prefix);
// Number of result buffers all threads hold together (for tests).
size_t vs_result_blocks(void);

// Copies text into a result buffer up to its first NUL and at most size-1
// bytes; always terminates.
void vs_copy_text(char *dst, size_t size, const char *src);

#endif
