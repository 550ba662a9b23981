// `reindex`: builds or repairs the e-mail index from the accounts on disk
// (accounts copied in by hand get their entries, entries their profiles do
// not confirm are removed), and with --authoritative declares it complete,
// so that lookups answer a miss without reading every profile.
//
// It goes through the same locked steps as registration (see
// foundation/email_index.cpp), so it may run while hosts register
// accounts: an entry a registration holds is waited for, never taken, and
// registrations made meanwhile keep their entries. A lock file keeps two
// reindex runs apart.
//
// Entries are written without a flush each (two per entry would make a
// run over 100,000 accounts take minutes); the whole index is put on stable
// storage once at the end, and only then marked authoritative. An index
// that is authoritative when the run starts is withdrawn first and marked
// again after that sync: a crash meanwhile leaves entries that may be
// missing or cut, in an index that is not authoritative, which lookups
// confirm against the profiles anyway and registrations take over.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/atomic_write.h"
#include "foundation/email_index.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/layout.h"
#include "foundation/locks.h"
#include "foundation/results.h"
#include "foundation/text.h"
#include "host.h"

namespace {

// One address found on disk: the accounts holding it, in listing order
// (the scan finds the first), and the address as the first one stores it.
struct VhIndexed {
  std::string email;
  std::vector<std::string> ids;
};

struct VhReindex {
  std::string root;
  std::map<std::string, VhIndexed> by_key;
  long accounts = 0, unreadable = 0, written = 0, kept = 0, removed = 0;
  VsIndexSync sync = VS_INDEX_SYNC;  // VS_INDEX_DEFER: vs_index_sync_all at the end
};

// The first "email" member of the account's profile when it is a string.
// 1 found, 0 the account has none (no profile, not JSON, no address), -1
// it could not be read.
int vh_account_email(const VhReindex &r, const VsList &users, const char *users_path,
                     const char *name, std::string &email) {
  std::string rel = std::string(name) + "/" VS_PROFILE_NAME;
  char *raw = nullptr;
  uint64_t len = 0;
  if (vs_read_file_at(r.root.c_str(), users.fd.fd, users_path, rel.c_str(), &raw, &len) != 0)
    return errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == EISDIR ||
                   errno == EINVAL
               ? 0
               : -1;
  VsText text(raw);
  VsDoc doc(vs_parse(text.get(), (size_t)len));
  const char *e = doc ? yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "email"))
                      : nullptr;
  if (!e || !*e) return 0;
  email = e;
  return 1;
}

// Lists every account with its address, as the library's scan sees them.
bool vh_collect(VhReindex &r) {
  char users[VS_ENTRY_PATH];
  VsList list;
  if (vs_users_dir(users, sizeof users, r.root.c_str()) != 0 ||
      vs_list_open(list, r.root.c_str(), users) != 0) {
    fprintf(stderr, "reindex: cannot list %s (%s)\n", users, strerror(errno));
    return false;
  }
  for (const char *name; (name = vs_list_next(list)) != nullptr;) {
    if (!vs_scan_candidate(name)) continue;
    std::string email;
    int rc = vh_account_email(r, list, users, name, email);
    if (rc < 0) {
      fprintf(stderr, "reindex: %s\n", vs_error_str());
      r.unreadable++;
      continue;
    }
    if (rc == 0 || !vs_utf8_valid(email.c_str())) continue;  // not an account a lookup finds
    r.accounts++;
    char key[VS_INDEX_KEY_BUF];
    vs_index_key(email.c_str(), key);
    VhIndexed &x = r.by_key[key];
    if (x.ids.empty()) x.email = email;
    x.ids.push_back(name);
  }
  if (errno != 0) {
    fprintf(stderr, "reindex: cannot list %s (%s)\n", users, strerror(errno));
    return false;
  }
  return true;
}

bool vh_names_one_of(const char *text, const VhIndexed &x) {
  VsDoc doc;
  const char *id = nullptr, *email = nullptr;
  if (vs_index_parse(text, strlen(text), doc, &id, &email) != 0 ||
      !vs_email_equal(email, x.email.c_str()))
    return false;
  for (const std::string &i : x.ids)
    if (i == id) return true;
  return false;
}

// Makes the entry of one address name the account a lookup would find,
// unless it already names one of the accounts holding the address.
bool vh_put_entry(VhReindex &r, const std::string &key, const VhIndexed &x) {
  char entry[VS_INDEX_ENTRY_MAX];
  int n = vs_index_format(entry, x.ids[0].c_str(), x.email.c_str());
  if (n < 0) return true;  // an address no registration could have made: scanned
  for (int round = 0; round < 16; round++) {
    VsIndexHold hold;
    char text[VS_INDEX_ENTRY_MAX];
    int rc = vs_index_lock(r.root.c_str(), key.c_str(), hold, text);
    if (rc == 0) {
      if (vh_names_one_of(text, x)) {
        r.kept++;
        return true;
      }
      if (vs_index_replace(hold, entry, (size_t)n, r.sync) != 0) break;
      r.written++;
      return true;
    }
    if (rc < 0) break;
    rc = vs_index_create(r.root.c_str(), key.c_str(), entry, (size_t)n, hold, r.sync);
    if (rc == 0) {
      r.written++;
      return true;
    }
    if (rc < 0) break;
  }
  fprintf(stderr, "reindex: %s\n", vs_error_str());
  return false;
}

// Whether an entry, read under its lock, is confirmed by the profile of
// the account it names (re-read now: it may have been registered since
// the accounts were listed).
bool vh_confirmed(const VhReindex &r, const char *text) {
  VsDoc doc;
  const char *id = nullptr, *email = nullptr;
  if (vs_index_parse(text, strlen(text), doc, &id, &email) != 0) return false;
  VsAccountPaths acct;
  if (vs_account_paths(acct, r.root.c_str(), id) != 0) return false;
  char *raw = nullptr;
  uint64_t len = 0;
  if (vs_read_file(r.root.c_str(), acct.profile, &raw, &len) != 0) return errno != ENOENT;
  VsText t(raw);
  VsDoc prof(vs_parse(t.get(), (size_t)len));
  const char *e =
      prof ? yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(prof.get()), "email")) : nullptr;
  return e && vs_email_equal(e, email);
}

// Removes entries of addresses no account holds (registrations that died,
// accounts removed by hand) and entries that are no entries.
bool vh_prune(VhReindex &r, const char *index_dir) {
  VsList list;
  if (vs_list_open(list, r.root.c_str(), index_dir) != 0) {
    fprintf(stderr, "reindex: cannot list %s (%s)\n", index_dir, strerror(errno));
    return false;
  }
  std::vector<std::string> stale;
  for (const char *name; (name = vs_list_next(list)) != nullptr;)
    if (vs_index_entry_name(name) && !r.by_key.count(name)) stale.push_back(name);
  bool ok = true;
  for (const std::string &key : stale) {
    VsIndexHold hold;
    char text[VS_INDEX_ENTRY_MAX];
    int rc = vs_index_lock(r.root.c_str(), key.c_str(), hold, text);
    if (rc == 1) continue;
    if (rc == 0 && vh_confirmed(r, text)) continue;
    if (rc == 0 && vs_index_remove(hold, r.sync) == 0) {
      r.removed++;
      continue;
    }
    fprintf(stderr, "reindex: %s\n", vs_error_str());
    ok = false;
  }
  return ok;
}

enum VhMode { VH_KEEP, VH_AUTHORITATIVE, VH_SCAN_MISSES };

// Withdraws the authoritative mark, for good before anything else is
// written.
bool vh_unmark(const char *marker) {
  if (unlink(marker) != 0 && errno != ENOENT) {
    fprintf(stderr, "reindex: cannot remove %s (%s)\n", marker, strerror(errno));
    return false;
  }
  if (vs_sync_parent(marker) != 0) {
    fprintf(stderr, "reindex: %s\n", vs_error_str());
    return false;
  }
  return true;
}

int vh_reindex(const std::string &root, VhMode mode) {
  VhReindex r;
  r.root = root;
  char dir[VS_ENTRY_PATH], lock_path[VS_ENTRY_PATH], marker[VS_ENTRY_PATH];
  if (vs_index_dir(dir, sizeof dir, root.c_str()) != 0 ||
      vs_index_file(lock_path, sizeof lock_path, root.c_str(), VS_INDEX_LOCK_NAME) != 0 ||
      vs_index_file(marker, sizeof marker, root.c_str(), VS_INDEX_MARKER_NAME) != 0) {
    fprintf(stderr, "reindex: path too long\n");
    return VH_FAIL;
  }
  char users[VS_ENTRY_PATH];
  vs_users_dir(users, sizeof users, root.c_str());
  if (access(users, F_OK) != 0) {
    fprintf(stderr, "reindex: no users directory under %s (%s)\n", root.c_str(), strerror(errno));
    return VH_FAIL;
  }
  if (vs_mkdir(root.c_str(), dir) != 0) {
    fprintf(stderr, "reindex: %s\n", vs_error_str());
    return VH_FAIL;
  }
  VsFd lock(vs_open_beneath(root.c_str(), lock_path, O_RDWR | O_CREAT, 0600));
  if (!lock.ok() || vs_lock_take(lock.fd, vs_lock_wait_ms()) != 0) {
    fprintf(stderr, "reindex: cannot lock %s (%s)\n", lock_path,
            errno == EAGAIN ? "another reindex is running" : strerror(errno));
    return VH_FAIL;
  }
  bool was = access(marker, F_OK) == 0;
  if (was && !vh_unmark(marker)) return VH_FAIL;
  bool authoritative = false;
  r.sync = VS_INDEX_DEFER;
  bool ok = vh_collect(r);
  if (ok) {
    ok = r.unreadable == 0;
    for (const auto &x : r.by_key) ok = vh_put_entry(r, x.first, x.second) && ok;
    ok = vh_prune(r, dir) && ok;
  }
  bool synced = vs_index_sync_all(root.c_str()) == 0;
  if (!synced) {
    fprintf(stderr, "reindex: %s\n", vs_error_str());
    ok = false;
  }
  if (mode == VH_AUTHORITATIVE && !ok)
    fprintf(stderr, "reindex: not marked authoritative: some accounts or entries could not be "
                    "handled (see above)\n");
  // An index that was authoritative stays so (its entries were kept or
  // repaired, never lost), unless withdrawn on purpose.
  bool mark = mode != VH_SCAN_MISSES && (was || (mode == VH_AUTHORITATIVE && ok));
  if (mark && synced) {
    static const char k_marker[] = "{\"authoritative\":true}";
    if (vs_atomic_write(root.c_str(), marker, k_marker, sizeof k_marker - 1) != 0) {
      fprintf(stderr, "reindex: %s\n", vs_error_str());
      ok = false;
    } else {
      authoritative = true;
    }
  }
  printf("reindex: %ld account%s indexed (%ld entr%s written, %ld kept, %ld removed); "
         "index %s\n",
         r.accounts, r.accounts == 1 ? "" : "s", r.written, r.written == 1 ? "y" : "ies", r.kept,
         r.removed,
         authoritative ? "authoritative: a miss is not looked for further"
                       : "not authoritative: a miss is looked for in every profile");
  return ok ? VH_OK : VH_FAIL;
}

}  // namespace

bool vh_index_account(const std::string &root, const std::string &uid) {
  VsAccountPaths acct;
  char *raw = nullptr;
  uint64_t len = 0;
  if (vs_account_paths(acct, root.c_str(), uid.c_str()) != 0 ||
      vs_read_file(root.c_str(), acct.profile, &raw, &len) != 0)
    return true;  // no profile: no address to index (check reports the account)
  VsText text(raw);
  VsDoc doc(vs_parse(text.get(), (size_t)len));
  const char *e = doc ? yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "email"))
                      : nullptr;
  if (!e || !*e || !vs_utf8_valid(e)) return true;
  VhReindex r;
  r.root = root;
  VhIndexed x;
  x.email = e;
  x.ids.push_back(uid);
  char key[VS_INDEX_KEY_BUF];
  vs_index_key(e, key);
  return vh_put_entry(r, key, x);
}

void vh_add_reindex_command(CLI::App &app, VhContext &ctx) {
  auto mode = std::make_shared<VhMode>(VH_KEEP);
  CLI::App *cmd = app.add_subcommand(
      "reindex", "build or repair the e-mail index from the accounts on disk");
  auto *on = cmd->add_flag_callback(
      "--authoritative", [mode] { *mode = VH_AUTHORITATIVE; },
      "then declare the index complete: a lookup of an address without an entry reads no "
      "profile (add accounts only through the library, or run reindex after copying one in)");
  cmd->add_flag_callback(
         "--not-authoritative", [mode] { *mode = VH_SCAN_MISSES; },
         "then withdraw that: a lookup without an entry scans every profile again")
      ->excludes(on);
  cmd->callback([&ctx, mode] { ctx.exit_code = vh_reindex(ctx.root, *mode); });
}
