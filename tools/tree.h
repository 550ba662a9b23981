// The operator tool's own reading of the data tree, shared by `user list`
// and `check`: the naming rules of the tree's entries, listing a directory,
// reading a whole file without following a link, and printing a JSON
// result. These commands never initialise the root (that could create
// directories or config.json), so they read the tree here rather than
// through the exports.
#pragma once
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <yyjson.h>

struct VhDocFree {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
struct VhMutDocFree {
  void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using VhDoc = std::unique_ptr<yyjson_doc, VhDocFree>;
using VhMutDoc = std::unique_ptr<yyjson_mut_doc, VhMutDocFree>;

// ---- naming rules, as the library's listings apply them ----------------------
bool vh_id_safe(const std::string &s);
// A name the library's listings take as a document ("<id>.json" without
// ".tmp."), and the weaker rule of the trash count.
bool vh_item_file_name(const std::string &s);
bool vh_trash_file_name(const std::string &s);
// A temporary file of the atomic write.
bool vh_temp_name(const std::string &s);

// ---- reading -----------------------------------------------------------------------
// Entry names of a directory, sorted, without "." and "..". False (errno
// set) when it cannot be listed.
bool vh_list(const std::string &dir, std::vector<std::string> &out);
// "a directory", "a regular file", ... for messages.
const char *vh_kind_name(mode_t m);
// Reads a whole regular file without following a link or blocking on a
// FIFO. False with a reason otherwise.
bool vh_read_whole(const std::string &path, std::string &out, std::string &why);
// The first "email" member of a profile when it is a string.
bool vh_profile_email(yyjson_val *root, std::string &email);

// Prints a document minified on one line. Names on disk may hold any bytes:
// the output keeps them as they are. False when it cannot be written.
bool vh_print_json(yyjson_mut_doc *doc);
