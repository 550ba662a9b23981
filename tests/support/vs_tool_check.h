// The operator's `check` over a data root, run as the tool (its --json
// form), read back for tests: each finding as "kind path; ", those that
// skip(kind, path) accepts left out. A tool that gives no findings list
// is a finding too.
#pragma once
#include <stdio.h>

#include <functional>
#include <string>

#include <yyjson.h>

inline std::string vts_check_findings(const std::string &tool, const std::string &root,
                                      const std::function<bool(const char *, const char *)> &skip = nullptr) {
  std::string cmd = tool + " --root '" + root + "' --json check 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return "cannot run check";
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  yyjson_doc *d = yyjson_read(out.data(), out.size(), 0);
  yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(d), "findings");
  std::string found = yyjson_is_arr(list) ? "" : "no findings list: " + out;
  size_t i, max;
  yyjson_val *f;
  yyjson_arr_foreach(list, i, max, f) {
    const char *kind = yyjson_get_str(yyjson_obj_get(f, "kind"));
    const char *path = yyjson_get_str(yyjson_obj_get(f, "path"));
    if (skip && skip(kind ? kind : "", path ? path : "")) continue;
    found += std::string(kind ? kind : "?") + " " + (path ? path : "") + "; ";
  }
  yyjson_doc_free(d);
  return found;
}
