// vault_user_find_by_email over two fuzzed profiles (input: e-mail,
// separator, profile A, separator, profile B). The answer must agree with
// a direct reading of the profiles: an account matches when its profile is
// a strict JSON object whose first "email" member is a string equal to the
// address up to ASCII letter case; outputs are bounded and terminated.
#include <strings.h>

#include "fuzz_common.h"

static bool matches(const std::string &profile, const char *email) {
  yyjson_doc *d = yyjson_read(profile.data(), profile.size(), 0);
  yyjson_val *r = d ? yyjson_doc_get_root(d) : nullptr;
  bool m = false;
  if (yyjson_is_obj(r)) {
    const char *e = yyjson_get_str(yyjson_obj_get(r, "email"));
    m = e && strlen(e) == strlen(email) && strcasecmp(e, email) == 0;
  }
  yyjson_doc_free(d);
  return m;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz_setup({"fa", "fb"});
  std::vector<bool> has;
  auto parts = fz_split(data, size, 3, has);
  std::string email = parts[0].c_str();
  const char *names[2] = {"fa", "fb"};
  bool match[2];
  for (int i = 0; i < 2; i++) {
    std::string p = fz_root + "/users/" + names[i] + "/profile.json";
    if (has[i + 1]) fz_write(p, parts[i + 1]);
    else unlink(p.c_str());
    match[i] = has[i + 1] && !email.empty() && matches(parts[i + 1], email.c_str());
  }
  char uid[VAULT_ID_SIZE], hash[VAULT_HASH_SIZE], key[VAULT_KEY_SIZE];
  memset(hash, 'H', sizeof hash - 1);
  hash[127] = 0;
  memset(key, 'K', sizeof key - 1);
  key[511] = 0;
  uint32_t it = 0;
  int rc = vault_user_find_by_email(email.c_str(), uid, &it, hash, key);
  int ex = vault_user_exists(email.c_str());
  if (email.empty()) {
    FZ_CHECK(rc == -1 && ex == -1);
    return 0;
  }
  FZ_CHECK(rc == ((match[0] || match[1]) ? 0 : 1));
  FZ_CHECK(ex == (rc == 0 ? 1 : 0));
  if (rc == 0) {
    FZ_CHECK((strcmp(uid, "fa") == 0 && match[0]) || (strcmp(uid, "fb") == 0 && match[1]));
    FZ_CHECK(strnlen(hash, VAULT_HASH_SIZE) <= 127 && strnlen(key, VAULT_KEY_SIZE) <= 511);
  }
  return 0;
}
