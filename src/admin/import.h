// Import of whole accounts into a data root (the operator's `import`): an
// account is built under a hidden temporary name, claimed and renamed into
// place in one step, so no reader, no writer of the same address and no
// crash ever sees part of it, or two accounts for one address.
//
// The steps of one account, and why each is safe:
//  1. stage: mkdir users/.<id>.tmp.<time>.<pid>.<n> with ciphers/ and
//     trash/ (hidden and marked: no listing, count or scan takes it);
//  2. write every document into it, each with O_EXCL (an id twice fails)
//     and fsync before the next;
//  3. fsync ciphers/, trash/ and the staged directory, checked: all of
//     the account is on stable storage before its name exists;
//  4. claim the profile's address with vs_claim_address, the claim of
//     registration, holding the index entry (written and synced, naming
//     the account) until the account is in place: a registration or
//     another import of the address waits for it and then finds the
//     account, and an address another account holds refuses this one;
//  5. rename onto users/<id> without replacing (or, with --replace,
//     exchange with the existing account), then fsync users/, checked;
//  6. let go of the entry; with --replace remove the old tree (now under
//     the temporary name) and fsync users/ again, checked.
// A crash before 5 leaves a hidden directory (`check`: import-leftover)
// and perhaps an entry naming an account that does not exist, which no
// lookup trusts and the next claim takes over after looking for the
// address: a re-run of the import makes the account. A crash after 5
// leaves the account whole and indexed.
#ifndef VS_ADMIN_IMPORT_H
#define VS_ADMIN_IMPORT_H

#include <stddef.h>

#include "accounts/claim.h"
#include "foundation/holders.h"
#include "foundation/layout.h"

enum VsStageDir { VS_STAGE_ACCOUNT = 0, VS_STAGE_CIPHERS = 1, VS_STAGE_TRASH = 2 };

struct VsStaged {
  char uid[VS_ID_BUF] = "";
  char dir[VS_TMP_PATH] = "";  // the staged directory (and, after a replace, the old tree)
  VsAccountPaths paths;        // of the final account
  VsFd fd[3];                  // the staged directory, its ciphers/ and trash/
  bool replace = false;        // an account of this id exists and is replaced
  bool placed = false;         // renamed into place (also when a later step failed)
  char *email = nullptr;       // the profile's address (vs_profile_email), malloc'ed
  long items = 0;
  VsStaged() = default;
  VsStaged(const VsStaged &) = delete;
  VsStaged &operator=(const VsStaged &) = delete;
  ~VsStaged();
};

// Messages are recorded with vs_error, prefixed "import: ".
// Starts an account: 0 staged; 1 refused (reason, of reason_size bytes,
// says why: the account exists and replace is not set, or its name is
// taken by something that is no account); -1 failure.
int vs_import_begin(const char *root, const char *uid, bool replace, VsStaged &s,
                    char *reason, size_t reason_size);
// Writes one document of the staged account: the profile or the folder
// list (VS_STAGE_ACCOUNT, with its file name), or an item (in ciphers/ or
// trash/, name "<id>.json"). 0, or -1.
int vs_import_write(VsStaged &s, VsStageDir where, const char *name, const char *data,
                    size_t len);
// Steps 3 to 6. 0 in place; 1 refused (reason: its address belongs to
// another account, or an account of this id appeared meanwhile), nothing
// of it visible; -1 failure. book: the addresses on disk when the import
// began (vs_address_book_read). Accounts an import puts in place need not
// be added to it: their index entries, confirmed, answer every later claim.
int vs_import_commit(const char *root, VsStaged &s, const VsAddressBook *book, char *reason,
                     size_t reason_size);
// Removes what is staged (after a failure or a refusal).
void vs_import_drop(VsStaged &s);

#endif
