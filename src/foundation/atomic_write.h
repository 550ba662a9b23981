// The atomic whole-file write: every document of the tree is written
// through it, so a reader in any process sees either the old or the new
// file, never a part.
#ifndef VS_ATOMIC_WRITE_H
#define VS_ATOMIC_WRITE_H

#include <stddef.h>
#include <stdint.h>

#include "files.h"

// Writes len bytes to path (below root) through a fresh temporary file in
// the same directory, then renames it over the target. 0 written; -1 with
// "open failed: ...", "write failed: ...", "close failed: ..." or "rename
// failed: ..." recorded, the target untouched and the temporary removed.
int vs_atomic_write(const char *root, const char *path, const void *data, uint64_t len);

// The first half of it, for writers that put the file in place themselves:
// writes len bytes into a fresh temporary file next to path (dir: path's
// directory, opened with vs_open_parent) and flushes it to stable storage
// (unless flush is false: a writer that syncs many files at once later).
// tmp (size bytes) receives its path; its name within dir is
// tmp + (dir.name - path). 0 with fd open for writing; -1 with the message
// recorded and no temporary file left.
int vs_write_temp(const char *path, const VsDirName &dir, const void *data, uint64_t len,
                  char *tmp, size_t size, VsFd &fd, bool flush = true);

#endif
