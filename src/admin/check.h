// The consistency check of a data root (the operator's `check`): a walk
// over the whole tree with the library's rules that reports every entry
// the library would pass over, refuse or misread, each as a finding of one
// kind with its path and what it means. Read-only; the one exception is a
// stale_minutes limit, with which leftover temporary files of the atomic
// write at least that old are removed (and nothing else).
#ifndef VS_ADMIN_CHECK_H
#define VS_ADMIN_CHECK_H

struct VsFinding {
  const char *kind;    // "permissions", "wrong-kind", "temp-file", ...
  const char *path;
  const char *detail;
  long long age;       // seconds, for temporary files; else -1
};

// Where findings go, in the order of the walk; any member may be NULL.
struct VsCheckSink {
  void (*finding)(void *ctx, const VsFinding &f) = nullptr;
  // A temporary file removed (stale_minutes): detail "removed".
  void (*removed)(void *ctx, const VsFinding &f) = nullptr;
  // Whether the sync document of an account (its id) is too large for the
  // fixed-size vault_sync_generate_json: asked of the host, which holds
  // the library open on this root (the check itself calls no export).
  // Asked only on a complete root, where opening the library creates
  // nothing; NULL: not checked.
  bool (*sync_too_large)(void *ctx, const char *user_id) = nullptr;
  // After each entry of users/: how many of them are done.
  void (*progress)(void *ctx, long done, long total) = nullptr;
  void *ctx = nullptr;
};

struct VsCheckReport {
  long accounts = 0, documents = 0, findings = 0, removed = 0;
  bool removal_failed = false;  // a stale temporary file could not be removed
};

// Checks the tree at root (stale_minutes < 0: removes nothing). 0 walked
// (findings, if any, went to the sink); 1 nothing of a data root is there
// ("no data root at <root>; run `keldrune-vault init`"); -1 the root
// cannot be listed ("check: cannot ...").
int vs_admin_check(const char *root, long long stale_minutes, const VsCheckSink &sink,
                   VsCheckReport &r);

#endif
