// A plain in-memory model of the store: accounts with their e-mail, folder
// list text, live and trashed cipher documents. It predicts the result of
// every export from the current state and applies a call's effect, and can
// be read back from a data tree for comparison.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "rel_util.h"

struct VmAccount {
  std::string uid, email;
  bool has_folders = true;
  std::string folders = "[]";                 // exact text of folders.json
  std::map<std::string, std::string> live;    // cipher id -> stored text
  std::map<std::string, std::string> trash;
};

struct VmStore {
  std::map<std::string, VmAccount> acc;  // by user id

  const VmAccount *by_email(const std::string &email) const {
    for (auto &kv : acc) {
      const std::string &a = kv.second.email;
      if (a.size() == email.size() && strcasecmp(a.c_str(), email.c_str()) == 0) return &kv.second;
    }
    return nullptr;
  }

  // Expected int result of a delete / restore, without applying it.
  int predict_delete(const std::string &uid, const std::string &id, bool permanent) const {
    auto it = acc.find(uid);
    if (it == acc.end() || !it->second.live.count(id)) return 1;
    if (!permanent && it->second.trash.count(id)) return -1;
    return 0;
  }
  int predict_restore(const std::string &uid, const std::string &id) const {
    auto it = acc.find(uid);
    if (it == acc.end() || !it->second.trash.count(id)) return 1;
    return it->second.live.count(id) ? -1 : 0;
  }
  void apply_delete(const std::string &uid, const std::string &id, bool permanent) {
    if (predict_delete(uid, id, permanent) != 0) return;
    VmAccount &a = acc[uid];
    if (!permanent) a.trash[id] = a.live[id];
    a.live.erase(id);
  }
  void apply_restore(const std::string &uid, const std::string &id) {
    if (predict_restore(uid, id) != 0) return;
    VmAccount &a = acc[uid];
    a.live[id] = a.trash[id];
    a.trash.erase(id);
  }
};

// The folder list after saving entry (id, name, revision date): the first
// object whose first "id" is that string goes, the new entry is appended.
// Returns "" when the list is corrupt.
inline std::string vm_folder_save_text(const VmAccount &a, const std::string &id, const std::string &name,
                                       const std::string &rev) {
  std::string list = a.has_folders ? a.folders : "[]";
  yyjson_doc *d = yyjson_read(list.data(), list.size(), 0);
  if (!d || !yyjson_is_arr(yyjson_doc_get_root(d))) {
    yyjson_doc_free(d);
    return "";
  }
  yyjson_mut_doc *m = yyjson_doc_mut_copy(d, nullptr);
  yyjson_doc_free(d);
  yyjson_mut_val *arr = yyjson_mut_doc_get_root(m);
  size_t n = yyjson_mut_arr_size(arr);
  for (size_t i = 0; i < n; i++) {
    yyjson_mut_val *e = yyjson_mut_arr_get(arr, i);
    if (!yyjson_mut_is_obj(e)) continue;
    yyjson_mut_val *first = nullptr;
    yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(e);
    while (yyjson_mut_val *k = yyjson_mut_obj_iter_next(&it))
      if (yyjson_mut_equals_str(k, "id")) { first = yyjson_mut_obj_iter_get_val(k); break; }
    if (first && yyjson_mut_is_str(first) && id == yyjson_mut_get_str(first)) {
      yyjson_mut_arr_remove(arr, i);
      break;
    }
  }
  yyjson_mut_val *o = yyjson_mut_obj(m);
  yyjson_mut_obj_add_strncpy(m, o, "id", id.data(), id.size());
  if (!name.empty()) yyjson_mut_obj_add_strncpy(m, o, "name", name.data(), name.size());
  if (!rev.empty()) yyjson_mut_obj_add_strncpy(m, o, "revisionDate", rev.data(), rev.size());
  yyjson_mut_obj_add_str(m, o, "object", "folder");
  yyjson_mut_arr_append(arr, o);
  size_t len = 0;
  char *w = yyjson_mut_write(m, 0, &len);
  std::string out = w ? std::string(w, len) : "";
  free(w);
  yyjson_mut_doc_free(m);
  return out;
}

// The folder list after deleting id; rc receives the expected result
// (0 removed, 1 no list / not found, -1 corrupt).
inline std::string vm_folder_delete_text(const VmAccount &a, const std::string &id, int &rc) {
  if (!a.has_folders) { rc = 1; return ""; }
  yyjson_doc *d = yyjson_read(a.folders.c_str(), strlen(a.folders.c_str()), 0);
  if (!d || !yyjson_is_arr(yyjson_doc_get_root(d))) {
    yyjson_doc_free(d);
    rc = -1;
    return "";
  }
  yyjson_mut_doc *m = yyjson_doc_mut_copy(d, nullptr);
  yyjson_doc_free(d);
  yyjson_mut_val *arr = yyjson_mut_doc_get_root(m);
  size_t n = yyjson_mut_arr_size(arr);
  rc = 1;
  for (size_t i = 0; i < n; i++) {
    yyjson_mut_val *e = yyjson_mut_arr_get(arr, i);
    if (!yyjson_mut_is_obj(e)) continue;
    yyjson_mut_val *first = nullptr;
    yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(e);
    while (yyjson_mut_val *k = yyjson_mut_obj_iter_next(&it))
      if (yyjson_mut_equals_str(k, "id")) { first = yyjson_mut_obj_iter_get_val(k); break; }
    if (first && yyjson_mut_is_str(first) && id == yyjson_mut_get_str(first)) {
      yyjson_mut_arr_remove(arr, i);
      rc = 0;
      break;
    }
  }
  std::string out;
  if (rc == 0) {
    size_t len = 0;
    char *w = yyjson_mut_write(m, 0, &len);
    out = w ? std::string(w, len) : "";
    free(w);
  }
  yyjson_mut_doc_free(m);
  return out;
}

// Reads the state of a data tree into a model: accounts are directories of
// users with a profile whose first "email" is a string. Temporary files are
// skipped; anything else unexpected is reported in `odd`.
inline VmStore vm_read_tree(const std::string &root, std::vector<std::string> &odd) {
  VmStore s;
  for (auto &uid : vts_list(root + "/users")) {
    if (uid.find(".tmp.") != std::string::npos) continue;
    std::string d = root + "/users/" + uid, profile;
    if (!vts_read(d + "/profile.json", profile)) continue;  // not registered
    VmAccount a;
    a.uid = uid;
    yyjson_doc *p = vr_parse(profile);
    yyjson_val *em = p ? yyjson_obj_get(yyjson_doc_get_root(p), "email") : nullptr;
    if (!yyjson_is_str(em)) odd.push_back("torn or invalid profile: " + d + "/profile.json: " + profile);
    else a.email = yyjson_get_str(em);
    yyjson_doc_free(p);
    a.has_folders = vts_read(d + "/folders.json", a.folders);
    for (const char *place : {"ciphers", "trash"}) {
      for (auto &n : vts_list(d + "/" + place)) {
        if (n.find(".tmp.") != std::string::npos) continue;
        if (n.size() < 6 || n.compare(n.size() - 5, 5, ".json") != 0) {
          odd.push_back("unexpected entry " + d + "/" + place + "/" + n);
          continue;
        }
        std::string text;
        vts_read(d + "/" + place + "/" + n, text);
        (strcmp(place, "ciphers") == 0 ? a.live : a.trash)[n.substr(0, n.size() - 5)] = text;
      }
    }
    s.acc[uid] = a;
  }
  return s;
}

inline std::string vm_diff(const VmStore &want, const VmStore &got) {
  std::string d;
  for (auto &kv : want.acc) {
    auto it = got.acc.find(kv.first);
    if (it == got.acc.end()) { d += "missing account " + kv.first + "\n"; continue; }
    const VmAccount &w = kv.second, &g = it->second;
    if (w.email != g.email) d += kv.first + ": email " + w.email + " vs " + g.email + "\n";
    if (w.has_folders != g.has_folders || (w.has_folders && w.folders != g.folders))
      d += kv.first + ": folders " + w.folders + " vs " + g.folders + "\n";
    for (int t = 0; t < 2; t++) {
      auto &wm = t ? w.trash : w.live;
      auto &gm = t ? g.trash : g.live;
      const char *place = t ? "trash" : "live";
      for (auto &c : wm) {
        auto f = gm.find(c.first);
        if (f == gm.end()) d += kv.first + ": " + place + " " + c.first + " missing\n";
        else if (f->second != c.second) d += kv.first + ": " + place + " " + c.first + " differs: " + f->second.substr(0, 120) + "\n";
      }
      for (auto &c : gm)
        if (!wm.count(c.first)) d += kv.first + ": " + place + " " + c.first + " unexpected\n";
    }
  }
  for (auto &kv : got.acc)
    if (!want.acc.count(kv.first)) d += "unexpected account " + kv.first + " (" + kv.second.email + ")\n";
  return d;
}
