// The temporary-name grammar: every name the library gives a file that is
// not (yet, or any more) a document, and the classifier that tells them
// apart. All of them carry ".tmp." after the name they belong to, which is
// why every listing of documents and accounts skips names containing it.
//
//   <target>.tmp.<time>              first try of an atomic write
//   <target>.tmp.<time>.<pid>.<n>    retry when that name was taken
//   <name>.tmp.<pid>.<n>             a move source parked by the no-replace
//                                    move fallback (may be the only copy)
//
// <time> is the low 32 bits of the calendar time read as a signed number
// (so it may carry a '-'); <pid> and <n> are unsigned decimals.
#ifndef VS_TEMP_NAMES_H
#define VS_TEMP_NAMES_H

#include <stddef.h>

#define VS_TEMP_MARK ".tmp."
// First-try name from a target path (or name) and vs_temp_time().
#define VS_TEMP_WRITE_FMT "%s" VS_TEMP_MARK "%d"

enum VsTempKind {
  VS_TEMP_NONE = 0,         // not a name the library makes
  VS_TEMP_WRITE = 1,        // first try of an atomic write
  VS_TEMP_WRITE_RETRY = 2,  // retry of an atomic write
  VS_TEMP_PARKED = 3,       // parked source of a no-replace move
};

// The <time> of a first-try name for a write starting now.
int vs_temp_time(void);

// Each forms its name with the checked formatter: 0, or -1 when it does not
// fit (buf then holds the empty text). Retry and parked names take this
// process's id and a per-process sequence number, so no two writers or
// movers ever pick the same one.
int vs_temp_write_name(char *buf, size_t size, const char *target, int now);
int vs_temp_retry_name(char *buf, size_t size, const char *target, int now);
int vs_temp_parked_name(char *buf, size_t size, const char *name);

// 1 when name carries the temporary mark anywhere (the listing rule), else 0.
int vs_temp_marked(const char *name);

// Which of the forms above an entry name has. When it has one and
// target_len is not NULL, *target_len is the length of the name it belongs
// to (the file it replaces, or the parked file's own name).
VsTempKind vs_temp_kind(const char *name, size_t *target_len);

#endif
