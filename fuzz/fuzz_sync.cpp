// vault_sync_generate_json over a fuzzed profile, folder list and three
// cipher files (input parts joined by the separator). A document is strict
// JSON with its five members in order and one cipher per cipher file that
// is strict JSON; NULL only for a profile that is not an object, or a
// document over the size limit. The statistics run over the same tree.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz_setup({"fz"});
  std::vector<bool> has;
  auto parts = fz_split(data, size, 5, has);
  std::string d = fz_root + "/users/fz";
  fz_write(d + "/profile.json", parts[0]);
  if (has[1]) fz_write(d + "/folders.json", parts[1]);
  else unlink((d + "/folders.json").c_str());
  fz_clear(d + "/ciphers");
  size_t want = 0;
  for (int i = 2; i < 5; i++) {
    if (!has[i]) continue;
    fz_write(d + "/ciphers/c" + std::to_string(i) + ".json", parts[i]);
    if (fz_strict_json(parts[i])) want++;
  }
  yyjson_doc *p = yyjson_read(parts[0].data(), parts[0].size(), 0);
  bool profile_ok = p && yyjson_is_obj(yyjson_doc_get_root(p));
  yyjson_doc_free(p);

  const char *t = vault_sync_generate_json("fz");
  if (t) {
    FZ_CHECK(profile_ok);
    size_t len = strlen(t);
    FZ_CHECK(len <= 262142);
    yyjson_doc *s = yyjson_read(t, len, 0);
    FZ_CHECK(s);
    yyjson_val *r = yyjson_doc_get_root(s);
    static const char *order[] = {"profile", "folders", "ciphers", "domains", "object"};
    size_t i = 0;
    yyjson_obj_iter it = yyjson_obj_iter_with(r);
    while (yyjson_val *k = yyjson_obj_iter_next(&it)) FZ_CHECK(i < 5 && yyjson_equals_str(k, order[i++]));
    FZ_CHECK(i == 5);
    FZ_CHECK(yyjson_arr_size(yyjson_obj_get(r, "ciphers")) == want);
    yyjson_doc_free(s);
  } else {
    std::string e = vault_storage_last_error();
    FZ_CHECK(e == "sync: corrupt profile" || e == "sync: payload too large");
    if (e == "sync: corrupt profile") FZ_CHECK(!profile_ok);
  }
  const char *st = vault_storage_get_stats_json();
  FZ_CHECK(st && fz_strict_json(st));
  return 0;
}
