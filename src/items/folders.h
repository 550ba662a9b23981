// The folder list's reduction of submitted folders, for writers of a whole
// list (a replacement of an account's vault).
#ifndef VS_ITEMS_FOLDERS_H
#define VS_ITEMS_FOLDERS_H

#include <stddef.h>

#include "foundation/holders.h"

// The list text stored for json, a JSON array of folders as a client sends
// them: each reduced to the entry vault_folder_save stores for it, in
// order, a later one of an identifier replacing an earlier one as saves
// would. 0 with the minified text in out (*len bytes); -1 with
// "<prefix>: ..." recorded (VAULT_INVALID for a text that is no such
// array).
int vs_folder_list_reduce(const char *json, VsText &out, size_t *len, const char *prefix);

#endif
