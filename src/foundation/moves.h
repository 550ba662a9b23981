// Moves of one file: the replacing rename, and the move that never
// replaces (cipher to trash and back).
#ifndef VS_MOVES_H
#define VS_MOVES_H

int vs_rename_replace(const char *from, const char *to);

enum VsMove {
  VS_MOVED = 0,         // moved; both directories synced
  VS_MOVE_GONE = 1,     // nothing at the source (errno ENOENT): another
                        // process moved or removed it first
  VS_MOVE_FAILED = -1,  // nothing moved; errno tells why (EEXIST: the
                        // destination exists; ESTALE: it is only this
                        // client's cached view, see moves.cpp); no message
  VS_MOVE_UNSYNCED = -2,  // moved, but a directory sync failed: "sync
                          // failed: <dir> (<reason>)" is recorded
};
// Moves a file without ever replacing one at the destination. lock_dir is
// the account directory whose lock serialises moves where the file system
// refuses a no-replace rename (locks.h). dst_only_moved: nothing but a move
// ever makes the destination's name (true for the trash), which lets that
// fallback move in one rename. The fallback parks a source under a parked
// temporary name for a moment (temp_names.h).
VsMove vs_rename_noreplace(const char *root, const char *from, const char *to,
                           const char *lock_dir, bool dst_only_moved);

// Whether the trashed name `name` (in the directory trash_fd) and the live
// name of the same item (in live_fd) are one file: a restore cut short,
// whose item is live. Every view that lists the trash passes such a name
// over. False when live_fd < 0 or either name cannot be examined.
bool vs_live_twin(int trash_fd, int live_fd, const char *name);

// One file under both the live and the trash name of an item is a restore
// cut short between its two steps (the fallback's link, then the drop of the
// trashed name): the item is live. The next move of the item finishes it
// either way; a removal for good calls this first, so that the trashed name
// does not outlive the item. Drops the trash name when it is still that
// file, under the moves lock (lock_dir as above). 0 (nothing to drop
// included), -1 with errno and no message, -2 dropped but the trash's
// directory sync failed ("sync failed: ..." recorded).
int vs_drop_cut_restore(const char *root, const char *live, const char *trash,
                        const char *lock_dir);

#endif
