// Subcommands for the views exports: `sync USER_ID [--pretty]` and
// `stats [--pretty]`, and the demo step that shows the demo account's sync
// document and the statistics. The library returns minified text; indenting
// is done here, by reading it back and writing it with yyjson's pretty flag.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include <yyjson.h>

#include "host.h"

namespace {

struct VhViewArgs {
  std::string user_id;
  bool pretty = false;
};

// Prints a JSON text result of the library, indented when asked; a NULL
// result prints the last error instead.
int vh_json(const VhOwned &owned, bool pretty) {
  const char *text = owned.get();
  if (!text || !pretty) return vh_text(text);
  yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
  char *out = doc ? yyjson_write(doc, YYJSON_WRITE_PRETTY, nullptr) : nullptr;
  yyjson_doc_free(doc);
  if (!out) {
    fprintf(stderr, "cannot pretty-print the result\n");
    return VH_FAIL;
  }
  printf("%s\n", out);
  free(out);
  return VH_OK;
}

}  // namespace

void vh_add_view_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhViewArgs>();

  CLI::App *sync = app.add_subcommand("sync", "print an account's sync document");
  sync->add_option("USER_ID", args->user_id, "user id")->required();
  sync->add_flag("--pretty", args->pretty, "indent the document");
  sync->callback([&ctx, args] {
    if (!vh_init(ctx)) {
      ctx.exit_code = VH_FAIL;
      return;
    }
    ctx.exit_code =
        vh_json(VhOwned(vault_sync_generate_json_alloc(args->user_id.c_str(), nullptr)), args->pretty);
  });

  CLI::App *stats = app.add_subcommand("stats", "print the storage statistics of the data root");
  stats->add_flag("--pretty", args->pretty, "indent the document");
  stats->callback([&ctx, args] {
    if (!vh_init(ctx)) {
      ctx.exit_code = VH_FAIL;
      return;
    }
    ctx.exit_code = vh_json(VhOwned(vault_storage_get_stats_json_alloc(nullptr)), args->pretty);
  });
}

int vh_demo_views(VhContext &, const std::string &user_id) {
  printf("sync document of %s:\n", user_id.c_str());
  int rc = vh_json(VhOwned(vault_sync_generate_json_alloc(user_id.c_str(), nullptr)), true);
  if (rc != VH_OK) return rc;
  printf("storage statistics:\n");
  return vh_json(VhOwned(vault_storage_get_stats_json_alloc(nullptr)), true);
}
