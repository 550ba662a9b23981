// Export of whole accounts as a dump (the operator's `export`): JSON lines
// that hold every document of an account byte for byte, as JSON strings (a
// document that is not UTF-8 keeps its raw bytes inside the string):
//
//   {"format":"keldrune-vault-dump","version":1}
//   {"account":"<user id>","profile":"<text>"|null,"folders":"<text>"|null}
//   {"item":"<id>","trash":false|true,"document":"<text>"}   (of that account)
//   ...
//   {"end":true,"accounts":N,"items":M}
//
// Import (import.h) reads exactly this. Entries that sync passes over
// (FIFOs, sockets, directories or links under an item's name, names no
// identifier can address) are no items: they are reported on the sink and
// passed over. A document that is not strict JSON is exported as stored
// (a dump is a backup, and the round trip must give back every file) and
// reported too, since sync passes over it.
#ifndef VS_ADMIN_EXPORT_H
#define VS_ADMIN_EXPORT_H

#include <stddef.h>

// The header line's "format" and "version".
#define VS_DUMP_FORMAT "keldrune-vault-dump"
enum { VS_DUMP_VERSION = 1 };

struct VsExportReport {
  long accounts = 0, items = 0, noted = 0;
  long total = 0;  // accounts to export, known before the first is written
};

// What an export reports beside the dump; any member may be NULL.
struct VsExportSink {
  // An entry passed over, or (exported) one exported as stored although
  // sync passes over it; why says what it is.
  void (*note)(void *ctx, const char *path, const char *why, bool exported) = nullptr;
  // After every item and account: the counts so far.
  void (*progress)(void *ctx, const VsExportReport &so_far) = nullptr;
  void *ctx = nullptr;
};

// Writes the dump of the accounts ids (n of them; none: every account of
// the tree, sorted) to the descriptor fd. 0 written; 1 an account asked
// for is not there ("export: no account <id>", VAULT_NOT_FOUND), nothing
// written; -1 failure ("export: ..."), the dump cut where it failed.
int vs_admin_export(const char *root, const char *const *ids, size_t n, int fd,
                    const VsExportSink &sink, VsExportReport &r);

// The same into a new file path, created 0600 with O_EXCL (a dump holds
// every account's credentials; an existing file is never replaced: -1
// with VAULT_EXISTS). The file and its directory entry are on stable
// storage before 0 is returned; a dump that could not be finished is
// removed, so that no half dump is taken for a whole one.
int vs_admin_export_file(const char *root, const char *const *ids, size_t n,
                         const char *path, const VsExportSink &sink, VsExportReport &r);

#endif
