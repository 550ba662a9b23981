// Batched reads of many small files below one open directory through an
// io_uring ring: one ring per thread, set up on first use and kept, with
// its read buffers. Each file is opened link-safe (openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS, as the plain read below a listed
// directory), told from a FIFO, read once and closed, all in the ring, a
// batch at a time. The sync reads its cipher files so, the e-mail scan its
// profiles.
//
// The ring only serves the plain case: a file opened, read whole into its
// slot and not empty. Everything else (an error, a file that fills its
// slot, a ring that cannot be set up or fails) is left "not read", and the
// caller reads that entry with its plain read (vs_read_file_at_buf), which
// gives every entry the treatment it always had. So both paths hand out
// the same bytes and the same answers.
#ifndef VS_RING_H
#define VS_RING_H

#include <stddef.h>
#include <stdint.h>

#include <yyjson.h>

// Files per batch, and the room of each file's slot. A file of
// VS_RING_SLOT - YYJSON_PADDING_SIZE bytes or more is left to the plain read.
enum { VS_RING_BATCH = 64, VS_RING_SLOT = 16384 };

// One batch: names in, texts out. A text lies in the thread's ring buffer,
// followed by YYJSON_PADDING_SIZE NUL bytes (parse it in place), and stays
// valid until the thread's next vs_ring_read.
struct VsRingBatch {
  int n = 0;
  char names[VS_RING_BATCH][256];
  bool ring[VS_RING_BATCH];   // to be read in the ring at all
  char *text[VS_RING_BATCH];  // NULL: not read, read it the plain way
  size_t len[VS_RING_BATCH];
};

// Adds a name to the batch; ring false leaves it to the plain read (a name
// whose listing did not say it is a regular file). False: the batch is
// full, or the name is too long to take.
bool vs_ring_add(VsRingBatch &b, const char *name, bool ring);
// Reads the batch's files below dir_fd; sets text/len of each. Without a
// ring (none can be set up in this thread, or it is turned off) every
// entry is left not read. Returns the number of files read.
int vs_ring_read(VsRingBatch &b, int dir_fd);

// Whether the ring is used at all; vs_ring_set_enabled(0) turns it off for
// the process (tests of the plain path), 1 back on.
int vs_ring_enabled(void);
void vs_ring_set_enabled(int on);

#endif
