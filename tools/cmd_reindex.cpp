// `reindex`: the e-mail index rebuilt from the accounts on disk, by the
// library's reindex (admin/reindex.h); here only its arguments and report
// (a line of text, or with --json one object).
#include <stdio.h>

#include <memory>

#include "admin/reindex.h"
#include "admin/tree.h"
#include "host.h"

namespace {

int vh_reindex(VhContext &ctx, VsReindexMode mode) {
  int rc = vh_data_root(ctx, true);
  if (rc != VH_OK) return rc;
  VsReindexReport r;
  VhMeter shown;
  vh_meter_start(shown, ctx, "reindex", "accounts", -1);
  VsReindexProgress progress;
  progress.tick = [](void *ctx, long done, long total) {
    vh_meter_set(*static_cast<VhMeter *>(ctx), done, total);
  };
  progress.ctx = &shown;
  rc = vs_admin_reindex(vs_admin_root(), mode, r, &progress);
  vh_meter_end(shown);
  if (rc != 0) {
    fprintf(stderr, "%s", vault_storage_last_error());
    if (r.problems > 1) fprintf(stderr, " (and %ld more problems)", r.problems - 1);
    fputc('\n', stderr);
    if (mode == VS_REINDEX_AUTHORITATIVE && !r.authoritative)
      fprintf(stderr, "reindex: not marked authoritative: some accounts or entries could not "
                      "be handled\n");
  }
  if (ctx.json) {
    VsMutDoc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *o = doc ? yyjson_mut_obj(doc.get()) : nullptr;
    if (!o) return VH_FAIL;
    yyjson_mut_doc_set_root(doc.get(), o);
    yyjson_mut_obj_add_bool(doc.get(), o, "complete", rc == 0);
    yyjson_mut_obj_add_int(doc.get(), o, "accounts", r.accounts);
    yyjson_mut_obj_add_int(doc.get(), o, "written", r.written);
    yyjson_mut_obj_add_int(doc.get(), o, "kept", r.kept);
    yyjson_mut_obj_add_int(doc.get(), o, "removed", r.removed);
    yyjson_mut_obj_add_int(doc.get(), o, "deletionsFinished", r.remainders);
    yyjson_mut_obj_add_int(doc.get(), o, "replacementsFinished", r.replacements);
    yyjson_mut_obj_add_int(doc.get(), o, "problems", r.problems);
    yyjson_mut_obj_add_bool(doc.get(), o, "authoritative", r.authoritative);
    if (!vh_print_json(ctx, doc.get())) return VH_FAIL;
    return rc == 0 ? VH_OK : VH_FAIL;
  }
  if (r.replacements > 0)
    printf("reindex: %ld replacement%s of a vault cut short finished\n", r.replacements,
           r.replacements == 1 ? "" : "s");
  if (r.remainders > 0)
    printf("reindex: %ld deletion%s cut short finished\n", r.remainders,
           r.remainders == 1 ? "" : "s");
  printf("reindex: %ld account%s indexed (%ld entr%s written, %ld kept, %ld removed); "
         "index %s\n",
         r.accounts, r.accounts == 1 ? "" : "s", r.written, r.written == 1 ? "y" : "ies", r.kept,
         r.removed,
         r.authoritative ? "authoritative: a miss is not looked for further"
                         : "not authoritative: a miss is looked for in every profile");
  return rc == 0 ? VH_OK : VH_FAIL;
}

}  // namespace

void vh_add_reindex_command(CLI::App &app, VhContext &ctx) {
  auto mode = std::make_shared<VsReindexMode>(VS_REINDEX_KEEP);
  CLI::App *cmd = app.add_subcommand(
      "reindex", "build or repair the e-mail index from the accounts on disk");
  auto *on = cmd->add_flag_callback(
      "--authoritative", [mode] { *mode = VS_REINDEX_AUTHORITATIVE; },
      "then declare the index complete: a lookup of an address without an entry reads no "
      "profile (add accounts only through the library, or run reindex after copying one in)");
  cmd->add_flag_callback(
         "--not-authoritative", [mode] { *mode = VS_REINDEX_SCAN_MISSES; },
         "then withdraw that: a lookup without an entry scans every profile again")
      ->excludes(on);
  cmd->callback([&ctx, mode] { ctx.exit_code = vh_reindex(ctx, *mode); });
}
