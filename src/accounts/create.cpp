// Account creation and the profile document.
#include "../foundation/vs_internal.h"

extern "C" int vault_user_create(const char *, const char *, uint32_t, const char *, char *) {
  vs_error("not initialized");
  return -1;
}
extern "C" const char *vault_user_get_profile_json(const char *) {
  s_profile_buf[0] = '\0';
  vs_error("profile: bad user id");
  return nullptr;
}
