// The operator tool's own walk over the data tree, shared by `user list`
// and `check`. These commands never initialise the root (that could create
// directories or config.json), and no export lists accounts, so they read
// the tree directly: with the library's own rules (layout, identifiers,
// listing rules, temporary names, limits) and its link-safe listing and
// whole-file read, from the internal foundation library. Only the adapters
// to the tool's strings and its sorted listings live here.
#pragma once
#include <sys/stat.h>

#include <string>
#include <vector>

#include <yyjson.h>

#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/temp_names.h"
#include "foundation/text.h"

// Entry names of a directory below root, sorted, without "." and "..". No
// symbolic link below root is followed. False (errno set) when it cannot be
// listed.
bool vh_list(const std::string &root, const std::string &dir, std::vector<std::string> &out);
// "a directory", "a regular file", ... for messages.
const char *vh_kind_name(mode_t m);
// Reads a whole regular file below root, as the library reads documents.
// False with the reason otherwise.
bool vh_read_whole(const std::string &root, const std::string &path, std::string &out,
                   std::string &why);
// The first "email" member of a profile when it is an address a lookup can
// match (the library's one reader, vs_profile_email).
bool vh_profile_email(yyjson_val *root, std::string &email);
// Which trashed names of an account are its live file itself (a restore
// cut short: the item is live, counted and exported once), as the
// statistics tell them apart. Both directories are opened beneath root
// once; a directory that cannot be opened, or no live_dir (NULL: the
// listing is not of a trash), has no such names.
struct VhLiveTwins {
  VsFd trash, live;
  VhLiveTwins(const std::string &root, const char *trash_dir, const char *live_dir);
  bool operator()(const char *name) const;
};
