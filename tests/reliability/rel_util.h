// Helpers shared by the reliability tests on top of the common test support
// (scratch directories, files and trees): normalisation of generated
// identifiers and times in tree snapshots, their differences, and JSON
// helpers for checking documents.
#pragma once
#include <stdlib.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include <yyjson.h>

#include "keldrune-vault-storage.h"
#include "vs_test_support.h"

// ---- tree snapshots ------------------------------------------------------------
// Replaces generated identifiers and creation times so that two runs of
// the same call compare equal.
inline std::string vr_normalize(const std::string &s) {
  static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  static const std::regex when("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  return std::regex_replace(std::regex_replace(s, uuid, "<uuid>"), when, "<time>");
}

// Left out, as they hold no data: an account's lock file (made by the first
// change that needs it) and the e-mail index's directory (made by the first
// registration, whether or not it then lands; its entries are compared like
// any file).
inline VtsTree vr_normalized(const VtsTree &t) {
  VtsTree out;
  for (auto &kv : t) {
    const std::string &k = kv.first;
    if (k.size() >= 6 && k.compare(k.size() - 6, 6, "/.lock") == 0) continue;
    if (k == "users/.email-index") continue;
    out[vr_normalize(k)] = vr_normalize(kv.second);
  }
  return out;
}

// Human-readable difference of two trees (empty when equal).
inline std::string vr_tree_diff(const VtsTree &want, const VtsTree &got) {
  std::string d;
  auto cut = [](const std::string &s) { return s.size() > 160 ? s.substr(0, 160) + "..." : s; };
  for (auto &kv : want) {
    auto it = got.find(kv.first);
    if (it == got.end()) d += "  missing " + kv.first + "\n";
    else if (it->second != kv.second)
      d += "  changed " + kv.first + ": " + cut(kv.second) + " => " + cut(it->second) + "\n";
  }
  for (auto &kv : got)
    if (!want.count(kv.first)) d += "  extra   " + kv.first + ": " + cut(kv.second) + "\n";
  return d;
}

inline std::vector<std::string> vr_tmp_names(const VtsTree &t) {
  std::vector<std::string> out;
  for (auto &kv : t)
    if (kv.first.find(".tmp.") != std::string::npos) out.push_back(kv.first);
  return out;
}

// ---- JSON helpers ------------------------------------------------------------------
// Strict parse; NULL when not JSON.
inline yyjson_doc *vr_parse(const std::string &s) {
  return yyjson_read(s.data(), s.size(), 0);
}

inline bool vr_is_json(const std::string &s) {
  yyjson_doc *d = vr_parse(s);
  yyjson_doc_free(d);
  return d != nullptr;
}

// Minified form of a JSON text ("" when it is not JSON).
inline std::string vr_minify(const std::string &s) {
  yyjson_doc *d = vr_parse(s);
  if (!d) return "";
  size_t n = 0;
  char *w = yyjson_write(d, 0, &n);
  yyjson_doc_free(d);
  std::string out = w ? std::string(w, n) : "";
  free(w);
  return out;
}

inline std::string vr_val_text(yyjson_val *v) {
  size_t n = 0;
  char *w = yyjson_val_write(v, 0, &n);
  std::string out = w ? std::string(w, n) : "";
  free(w);
  return out;
}

// Text of the JSON string s, quoted and escaped as the library's writer does.
inline std::string vr_json_string(const std::string &s) {
  yyjson_mut_doc *d = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *v = yyjson_mut_strncpy(d, s.data(), s.size());
  yyjson_mut_doc_set_root(d, v);
  size_t n = 0;
  char *w = yyjson_mut_write(d, 0, &n);
  std::string out = w ? std::string(w, n) : "";
  free(w);
  yyjson_mut_doc_free(d);
  return out;
}

inline bool vr_is_uuid(const std::string &s) {
  static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  return std::regex_match(s, uuid);
}

inline std::string vr_last_error() { return vault_storage_last_error(); }
