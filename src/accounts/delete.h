// What a deletion of an account leaves when it is cut short (crash, power
// cut, a failing step): a hidden remainder in users/ (layout.h). The
// deletion itself (vault_user_delete) and the operator's check and reindex
// finish it here.
#ifndef VS_ACCOUNTS_DELETE_H
#define VS_ACCOUNTS_DELETE_H

// Finishes every remainder in users/ (only those of user_id when it is not
// NULL): users/ is synced first (the rename is on disk before the address
// goes), then the remainder's address is released if its entry still names
// the account, then its files are removed. *removed counts the remainders
// removed. 0; -1 with "<prefix>: ..." when one could not be finished (the
// others are).
int vs_user_delete_remainders(const char *root, const char *user_id, long *removed,
                              const char *prefix);

#endif
