// vault_cipher_save with fuzzed document text: a stored cipher is the input
// byte for byte under a usable identifier, reads back whole, and is strict
// JSON; a refused one leaves nothing behind.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz_setup({"fz"});
  std::string doc((const char *)data, size);
  doc = doc.c_str();  // the C interface ends the text at the first NUL
  std::string dir = fz_root + "/users/fz/ciphers";
  char out[64];
  memset(out, 'Z', sizeof out);
  int rc = vault_cipher_save("fz", doc.c_str(), out);
  FZ_CHECK(rc == 0 || rc == -1);
  if (rc == 0) {
    size_t n = strnlen(out, VAULT_ID_SIZE);
    FZ_CHECK(n >= 1 && n <= 36);
    for (size_t i = 0; i < n; i++) FZ_CHECK(isalnum((unsigned char)out[i]) || out[i] == '-' || out[i] == '_');
    FZ_CHECK(fz_strict_json(doc));
    std::string stored;
    FZ_CHECK(vts_read(dir + "/" + out + ".json", stored));
    FZ_CHECK(stored == doc);
    const char *got = vault_cipher_get("fz", out);
    if (doc.size() <= 65534) FZ_CHECK(got && doc == got);
    else FZ_CHECK(!got);
    FZ_CHECK(vault_cipher_delete("fz", out, 1) == 0);
  } else {
    std::string e = vault_storage_last_error();
    FZ_CHECK(e == "cipher_save: empty json" || e == "cipher_save: invalid json");
    FZ_CHECK(doc.empty() || !fz_strict_json(doc));
  }
  FZ_CHECK(vts_list(dir).empty());
  return 0;
}
