// The operator tool's own reading of the data tree, shared by `user list`
// and `check`: the naming rules of the tree's entries, listing a directory
// and reading a whole file without following a link. These commands never
// initialise the root (that could create directories or config.json), so
// they read the tree here rather than through the exports.
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
// The names the library gives files that are not documents:
//   <target>.tmp.<time>              first try of an atomic write
//   <target>.tmp.<time>.<pid>.<n>    retry when that name was taken
//   <name>.tmp.<pid>.<n>             a move source parked aside by the
//                                    link-and-unlink move (may be the only
//                                    copy of a newer save)
// <time> may carry a '-'. *target_len, when given, is set to the length of
// the name the file belongs to.
enum VhTempKind { VH_TEMP_NONE, VH_TEMP_WRITE, VH_TEMP_RETRY, VH_TEMP_PARKED };
VhTempKind vh_temp_kind(const std::string &s, size_t *target_len = nullptr);

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
