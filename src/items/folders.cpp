// Folder list.
#include "../foundation/vs_internal.h"

extern "C" const char *vault_folders_get_json(const char *) { s_folders_buf[0] = 0; vs_error("folders: bad user id"); return nullptr; }
extern "C" int vault_folder_save(const char *, const char *, char *) { vs_error("folder_save: bad user id"); return -1; }
extern "C" int vault_folder_delete(const char *, const char *) { vs_error("folder_delete: bad id"); return -1; }
