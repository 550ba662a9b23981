// `check`: the library's consistency check of a data root (admin/check.h);
// here its arguments, the report and the exit code. Read-only; the one
// exception is `check --remove-stale-temp MINUTES`, which removes leftover
// temporary files of the atomic write older than that, and nothing else.
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include <yyjson.h>

#include "admin/check.h"
#include "admin/tree.h"
#include "host.h"

namespace {

struct VhFinding {
  std::string kind, path, detail;
  long long age = -1;
};

struct VhCheckOut {
  const char *root = nullptr;
  int opened = 0;  // the library on root: 0 not yet, 1 open, -1 it failed
  std::vector<VhFinding> findings, removed;
  VhMeter progress;
};

void vh_keep(std::vector<VhFinding> &to, const VsFinding &f) {
  to.push_back(VhFinding{f.kind, f.path, f.detail, f.age});
}

void vh_on_finding(void *ctx, const VsFinding &f) {
  vh_keep(static_cast<VhCheckOut *>(ctx)->findings, f);
}

void vh_on_removed(void *ctx, const VsFinding &f) {
  vh_keep(static_cast<VhCheckOut *>(ctx)->removed, f);
}

// The fixed-size export asked itself; the library is opened on the root
// at the first account (the check asks only where that creates nothing).
bool vh_sync_too_large(void *ctx, const char *user_id) {
  VhCheckOut &out = *static_cast<VhCheckOut *>(ctx);
  if (out.opened == 0) out.opened = vault_storage_init(out.root) == 0 ? 1 : -1;
  return out.opened == 1 && !vault_sync_generate_json(user_id) &&
         vault_storage_last_error_code() == VAULT_TOO_LARGE;
}

yyjson_mut_val *vh_finding_json(yyjson_mut_doc *doc, const VhFinding &f) {
  yyjson_mut_val *o = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_strncpy(doc, o, "kind", f.kind.data(), f.kind.size());
  yyjson_mut_obj_add_strncpy(doc, o, "path", f.path.data(), f.path.size());
  yyjson_mut_obj_add_strncpy(doc, o, "detail", f.detail.data(), f.detail.size());
  if (f.age >= 0) yyjson_mut_obj_add_int(doc, o, "age_seconds", f.age);
  return o;
}

int vh_print_check(const VhContext &ctx, const VhCheckOut &c, const VsCheckReport &r) {
  if (ctx.json) {
    VsMutDoc doc(yyjson_mut_doc_new(nullptr));
    if (!doc) return VH_FAIL;
    yyjson_mut_val *root = yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    yyjson_mut_obj_add_strncpy(doc.get(), root, "root", ctx.root.data(), ctx.root.size());
    yyjson_mut_obj_add_bool(doc.get(), root, "clean", c.findings.empty());
    yyjson_mut_obj_add_int(doc.get(), root, "accounts", r.accounts);
    yyjson_mut_obj_add_int(doc.get(), root, "documents", r.documents);
    yyjson_mut_val *arr = yyjson_mut_obj_add_arr(doc.get(), root, "findings");
    for (const VhFinding &f : c.findings) yyjson_mut_arr_append(arr, vh_finding_json(doc.get(), f));
    arr = yyjson_mut_obj_add_arr(doc.get(), root, "removed");
    for (const VhFinding &f : c.removed) yyjson_mut_arr_append(arr, vh_finding_json(doc.get(), f));
    if (!vh_print_json(ctx, doc.get())) return VH_FAIL;
  } else {
    for (const VhFinding &f : c.removed)
      printf("removed  %s  (age %llds)\n", f.path.c_str(), f.age);
    for (const VhFinding &f : c.findings)
      printf("%s  %s  %s\n", f.kind.c_str(), f.path.c_str(), f.detail.c_str());
    const char *as = r.accounts == 1 ? "" : "s";
    const char *ds = r.documents == 1 ? "" : "s";
    if (c.findings.empty())
      printf("check: clean (%ld account%s, %ld document%s)\n", r.accounts, as, r.documents, ds);
    else
      printf("check: %zu finding%s (%ld account%s, %ld document%s)\n", c.findings.size(),
             c.findings.size() == 1 ? "" : "s", r.accounts, as, r.documents, ds);
  }
  if (r.removal_failed) return VH_FAIL;
  return c.findings.empty() ? VH_OK : VH_SOFT;
}

struct VhCheckArgs {
  long long stale_minutes = -1;
};

}  // namespace

void vh_add_check_command(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhCheckArgs>();
  CLI::App *check = app.add_subcommand(
      "check", "read-only consistency check of the data root (--json: one JSON object); exit 0 "
               "clean, 1 findings");
  check->add_option("--remove-stale-temp", args->stale_minutes,
                    "remove leftover temporary files at least MINUTES old (nothing else)")
      ->check(CLI::Range(1LL, 52560000LL))
      ->type_name("MINUTES");
  check->callback([&ctx, args] {
    VhCheckOut out;
    VsCheckSink sink;
    sink.finding = vh_on_finding;
    sink.removed = vh_on_removed;
    sink.sync_too_large = vh_sync_too_large;
    out.root = ctx.root.c_str();
    vh_meter_start(out.progress, ctx, "check", "entries", -1);
    sink.progress = [](void *ctx, long done, long total) {
      vh_meter_set(static_cast<VhCheckOut *>(ctx)->progress, done, total);
    };
    sink.ctx = &out;
    VsCheckReport r;
    int rc = vs_admin_check(ctx.root.c_str(), args->stale_minutes, sink, r);
    vh_meter_end(out.progress);
    if (rc != 0) {
      fprintf(stderr, "%s\n", vault_storage_last_error());
      ctx.exit_code = VH_FAIL;
      return;
    }
    ctx.exit_code = vh_print_check(ctx, out, r);
  });
}
