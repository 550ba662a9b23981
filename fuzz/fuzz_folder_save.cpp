// vault_folder_save of a fuzzed folder document over a fuzzed existing
// folders.json (input: list bytes, separator, document; no separator: no
// list file). A save that succeeds leaves a strict JSON array whose last
// element is the new entry; one that fails leaves the list byte for byte.
#include "fuzz_common.h"

static std::string first_id(yyjson_val *obj) {
  yyjson_val *v = yyjson_obj_get(obj, "id");
  return yyjson_is_str(v) ? yyjson_get_str(v) : "";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz_setup({"fz"});
  std::vector<bool> has;
  auto parts = fz_split(data, size, 2, has);
  std::string list_path = fz_root + "/users/fz/folders.json";
  std::string list, doc;
  bool had_list = has[1];
  if (had_list) {
    list = parts[0];
    doc = parts[1].c_str();
    fz_write(list_path, list);
  } else {
    doc = parts[0].c_str();
    unlink(list_path.c_str());
  }
  yyjson_doc *old = had_list ? yyjson_read(list.data(), list.size(), 0) : nullptr;
  bool old_ok = !had_list || (old && yyjson_is_arr(yyjson_doc_get_root(old)));
  size_t old_n = old ? yyjson_arr_size(yyjson_doc_get_root(old)) : 0;

  char out[64];
  int rc = vault_folder_save("fz", doc.c_str(), out);
  FZ_CHECK(rc == 0 || rc == -1);
  std::string now;
  bool exists = vts_read(list_path, now);
  if (rc == 0) {
    FZ_CHECK(old_ok);
    FZ_CHECK(exists);
    yyjson_doc *d = yyjson_read(now.data(), now.size(), 0);
    FZ_CHECK(d && yyjson_is_arr(yyjson_doc_get_root(d)));
    yyjson_val *arr = yyjson_doc_get_root(d);
    size_t n = yyjson_arr_size(arr);
    FZ_CHECK(n == old_n || n == old_n + 1);
    yyjson_val *last = yyjson_arr_get_last(arr);
    FZ_CHECK(yyjson_is_obj(last) && first_id(last) == out);
    // Members: "id", then optional "name" and "revisionDate", then "object".
    yyjson_obj_iter it = yyjson_obj_iter_with(last);
    yyjson_val *k = yyjson_obj_iter_next(&it);
    FZ_CHECK(k && yyjson_equals_str(k, "id"));
    std::string prev = "id";
    while ((k = yyjson_obj_iter_next(&it))) prev = yyjson_get_str(k);
    FZ_CHECK(prev == "object");
    FZ_CHECK(yyjson_equals_str(yyjson_obj_get(last, "object"), "folder"));
    // No whitespace outside strings: the list is rewritten minified.
    size_t wlen = 0;
    char *w = yyjson_write(d, 0, &wlen);
    FZ_CHECK(w && now == std::string(w, wlen));
    free(w);
    yyjson_doc_free(d);
    const char *txt = vault_folders_get_json("fz");
    if (now.size() <= 16383) FZ_CHECK(txt && now == txt);
    FZ_CHECK(vault_folder_delete("fz", out) == 0);
  } else {
    FZ_CHECK(exists == had_list);
    if (had_list) FZ_CHECK(now == list);
  }
  yyjson_doc_free(old);
  FZ_CHECK(fz_no_tmp(fz_root + "/users/fz"));
  return 0;
}
