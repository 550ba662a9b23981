// The e-mail index rebuilt from the accounts on disk (the operator's
// `reindex`): accounts copied in by hand get their entries, entries their
// profiles do not confirm are removed, and the authoritative mark is set,
// kept or withdrawn. Deletions cut short (users/.deleted.*) are finished
// first.
//
// Every entry goes through vs_claim_address, the claim of registration and
// import, so a reindex may run while hosts register accounts: an entry a
// writer holds is waited for, never taken, and entries written meanwhile
// are kept. A lock file keeps two reindex runs apart.
//
// Entries are written without a flush each (two per entry would make a run
// over 100,000 accounts take minutes); the whole index is put on stable
// storage once at the end, and only then marked authoritative. The mark of
// an index that is authoritative when the run starts is withdrawn (and that
// synced) before anything is written: a crash meanwhile leaves an index
// that is not authoritative, whose entries lookups confirm against the
// profiles anyway; a re-run finishes the work (a re-run in VS_REINDEX_KEEP
// finds no mark, so marking it again takes VS_REINDEX_AUTHORITATIVE).
#ifndef VS_ADMIN_REINDEX_H
#define VS_ADMIN_REINDEX_H

enum VsReindexMode {
  VS_REINDEX_KEEP,           // authoritative afterwards when it was before
  VS_REINDEX_AUTHORITATIVE,  // then declare the index complete
  VS_REINDEX_SCAN_MISSES,    // then withdraw that
};

struct VsReindexReport {
  long accounts = 0, written = 0, kept = 0, removed = 0;
  long remainders = 0;        // deletions cut short, finished
  long replacements = 0;      // replacements of a vault cut short, finished
  long problems = 0;          // accounts or entries that could not be handled
  bool authoritative = false;
};

// Called before each account with an address: how many are done.
struct VsReindexProgress {
  void (*tick)(void *ctx, long done, long total) = nullptr;
  void *ctx = nullptr;
};

// 0 done; -1 some of it failed: the first reason is the last error
// ("reindex: ..."), the rest was done.
int vs_admin_reindex(const char *root, VsReindexMode mode, VsReindexReport &r,
                     const VsReindexProgress *progress = nullptr);

#endif
