// Account lookup by e-mail: the scan over the users directory.
#include "../foundation/vs_internal.h"

extern "C" int vault_user_exists(const char *) { vs_error("not initialized"); return -1; }
extern "C" int vault_user_find_by_email(const char *, char *, uint32_t *, char *, char *) {
  vs_error("not initialized");
  return -1;
}
