// Sync document.
#include "../foundation/vs_internal.h"

extern "C" const char *vault_sync_generate_json(const char *) { s_sync_buf[0] = 0; vs_error("sync: bad user id"); return nullptr; }
