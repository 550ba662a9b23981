// `reindex`: the e-mail index rebuilt from the accounts on disk, by the
// library's reindex (admin/reindex.h); here only its arguments and report.
#include <stdio.h>

#include <memory>

#include "admin/reindex.h"
#include "foundation/results.h"
#include "host.h"

namespace {

int vh_reindex(VhContext &ctx, VsReindexMode mode) {
  int rc = vh_data_root(ctx, true);
  if (rc != VH_OK) return rc;
  VsReindexReport r;
  rc = vs_admin_reindex(ctx.root.c_str(), mode, r);
  if (rc != 0) {
    fprintf(stderr, "%s", vs_error_str());
    if (r.problems > 1) fprintf(stderr, " (and %ld more problems)", r.problems - 1);
    fputc('\n', stderr);
    if (mode == VS_REINDEX_AUTHORITATIVE && !r.authoritative)
      fprintf(stderr, "reindex: not marked authoritative: some accounts or entries could not "
                      "be handled\n");
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
