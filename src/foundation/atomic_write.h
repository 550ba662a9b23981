// The atomic whole-file write: every document of the tree is written
// through it, so a reader in any process sees either the old or the new
// file, never a part.
#ifndef VS_ATOMIC_WRITE_H
#define VS_ATOMIC_WRITE_H

#include <stdint.h>

// Writes len bytes to path (below root) through a fresh temporary file in
// the same directory, then renames it over the target. 0 written; -1 with
// "open failed: ...", "write failed: ...", "close failed: ..." or "rename
// failed: ..." recorded, the target untouched and the temporary removed.
int vs_atomic_write(const char *root, const char *path, const void *data, uint64_t len);

#endif
