// Subcommands for the views exports: `sync USER_ID` and `stats`, and the
// demo step that shows the demo account's sync document and the
// statistics. Both use the functions whose results the caller owns: a sync
// document of any size, and statistics over every account. The library
// returns minified text; --pretty indents it here.
#include <stdio.h>

#include <memory>
#include <string>

#include "host.h"

namespace {

struct VhViewArgs {
  std::string user_id;
};

int vh_sync(const VhContext &ctx, const std::string &user_id) {
  size_t len = 0;
  char *text = vault_sync_generate_json_alloc(user_id.c_str(), &len);
  return vh_owned(ctx, text, len);
}

int vh_stats(const VhContext &ctx) {
  size_t len = 0;
  char *text = vault_storage_get_stats_json_alloc(&len);
  return vh_owned(ctx, text, len);
}

}  // namespace

void vh_add_view_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhViewArgs>();

  CLI::App *sync = app.add_subcommand("sync", "print an account's sync document");
  sync->add_option("USER_ID", args->user_id, "user id")->required();
  sync->callback([&ctx, args] {
    ctx.exit_code = vh_data_root(ctx, true);
    if (ctx.exit_code == VH_OK) ctx.exit_code = vh_account(ctx, args->user_id);
    if (ctx.exit_code == VH_OK) ctx.exit_code = vh_sync(ctx, args->user_id);
  });

  CLI::App *stats = app.add_subcommand(
      "stats", "print the storage statistics of the data root (every account)");
  stats->callback([&ctx] {
    ctx.exit_code = vh_data_root(ctx, true);
    if (ctx.exit_code == VH_OK) ctx.exit_code = vh_stats(ctx);
  });
}

int vh_demo_views(VhContext &ctx, const std::string &user_id) {
  VhContext pretty = ctx;
  pretty.pretty = true;
  printf("sync document of %s:\n", user_id.c_str());
  int rc = vh_sync(pretty, user_id);
  if (rc != VH_OK) return rc;
  printf("storage statistics:\n");
  return vh_stats(pretty);
}
