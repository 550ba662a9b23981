// The claim every writer of accounts takes on an address before the
// account becomes visible: registration, import and reindex go through
// vs_claim_address, so that one address never gets two accounts and a
// lookup and a writer never disagree about whether an address is taken.
// Also the address book: every address on disk read in one pass, which
// writers of many accounts (import, reindex) consult in place of a scan
// per account.
#ifndef VS_ACCOUNTS_CLAIM_H
#define VS_ACCOUNTS_CLAIM_H

#include <stddef.h>

#include "foundation/email_index.h"
#include "foundation/identifiers.h"

// One account found on disk with a usable address (vs_profile_email).
struct VsKnownAddress {
  char key[VS_INDEX_KEY_BUF];  // vs_index_key of the address
  char id[VS_ID_MAX + 1];
  char *email;                 // as the profile stores it (malloc'ed)
  size_t order;                // place in the listing: the scan finds the first
};

// Every account's address, sorted by key and, within a key, in listing
// order. unreadable counts profiles that exist but could not be read.
struct VsAddressBook {
  VsKnownAddress *v = nullptr;
  size_t n = 0, cap = 0;
  long unreadable = 0;
  int unreadable_errno = 0;
  VsAddressBook() = default;
  VsAddressBook(const VsAddressBook &) = delete;
  VsAddressBook &operator=(const VsAddressBook &) = delete;
  ~VsAddressBook();
};

// Reads every account's profile once. 0; -1 with "<prefix>: cannot list
// <users> (<reason>)" or "<prefix>: out of memory". A missing users
// directory is an empty book.
int vs_address_book_read(const char *root, VsAddressBook &book, const char *prefix);
// The first account (in listing order) holding the address of key, and
// how many hold it (*count); NULL when none.
const VsKnownAddress *vs_address_book_find(const VsAddressBook &book, const char *key,
                                           size_t *count);

enum VsClaimResult {
  VS_CLAIM_MADE = 0,      // the entry now names user_id, held in hold
  VS_CLAIM_TAKEN = 1,     // another account holds the address (holder filled)
  VS_CLAIM_OURS = 2,      // the entry already named user_id, confirmed; held
  VS_CLAIM_FAILED = -1,   // "<prefix>: cannot check email (<reason>)" or a path message
  VS_CLAIM_UNSYNCED = -2, // "sync failed: ..."; an entry still held must be dropped
};

// Claims email for the account user_id (whose entry text is entry, len
// bytes). The steps:
//  1. make the entry with the link of vs_index_create; exactly one of
//     any number of writers of the address gets it. Unless the index is
//     authoritative, the address is then looked for among the accounts the
//     index does not know (copied in by hand): the scan, or the book when
//     one is given; found, the fresh entry goes again and the answer is
//     TAKEN.
//  2. an entry that exists is locked (a writer still running is waited
//     for) and read. When the profile of the account it names holds the
//     address, that account has it: TAKEN, or OURS when it is user_id.
//  3. an entry its profile does not confirm (garbage, a dead writer's
//     claim, an account removed or changed by hand) is taken over only
//     after the address is looked for as in 1, authoritative index or not,
//     exactly as a lookup does; found elsewhere: TAKEN.
// holder (VS_ID_MAX + 1 bytes) receives the holding account's id on TAKEN
// (empty when the scan found one whose id is too long to hand out). With
// sync VS_INDEX_DEFER the entry is not flushed (reindex).
int vs_claim_address(const char *root, const char *email, const char *user_id,
                     const char *entry, size_t len, const VsAddressBook *book,
                     VsIndexSync sync, VsIndexHold &hold, char *holder, const char *prefix);

// Removes a claim a failed writer made; the failing step's message stays
// the last error.
void vs_claim_drop(VsIndexHold &hold);

// Lets go of an address the account user_id no longer uses (its address
// changed, or it was deleted). The entry is locked (waiting for a writer of
// the address still running) and removed only when it names user_id and
// the profile at users/<user_id> does not hold the address: an entry that
// another account took over, or that an account of the same id (imported
// again) still uses, stays. Removing an entry whose profile does not
// confirm it changes no lookup's answer (such an entry is never trusted),
// so a crash before or after this step leaves every address found exactly
// where it was. 0 released or not ours to release; -1 with "<prefix>:
// cannot release email (<reason>)", the entry left in place.
int vs_claim_release(const char *root, const char *email, const char *user_id,
                     const char *prefix);

#endif
