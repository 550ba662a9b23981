// Moves of one file: the replacing rename, and the move that never
// replaces (cipher to trash and back).
#ifndef VS_MOVES_H
#define VS_MOVES_H

int vs_rename_replace(const char *from, const char *to);
// Moves a file, failing with EEXIST (errno) when the destination exists.
// No message; errno tells why. Both directories are synced after a move.
// Where the file system refuses a no-replace rename, the fallback parks
// the source under a parked temporary name for a moment (temp_names.h).
int vs_rename_noreplace(const char *root, const char *from, const char *to);

#endif
