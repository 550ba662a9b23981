// Storage statistics.
#include "../foundation/vs_internal.h"

extern "C" const char *vault_storage_get_stats_json(void) { s_stats_buf[0] = 0; vs_error("stats: not initialized"); return nullptr; }
