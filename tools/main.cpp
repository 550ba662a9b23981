// keldrune-vault: a command-line host for the storage library. It loads the
// library like any server would (linking the shared object) and exposes each
// export as a subcommand, plus a demo that walks through the whole system
// and the operator commands.
#include <stdio.h>
#include <stdlib.h>

#include "host.h"

namespace {

const char k_footer[] =
    "Options --root, --json and --pretty may stand before or after the subcommand.\n"
    "Only init and demo create a data root; every other command needs one.\n"
    "Exit codes: 0 done; 1 not found, already there, or check findings;\n"
    "2 usage (bad arguments, or input the library refuses); 3 failure.";

std::string vh_version() {
  // The tool's version is the header's it was built with; the library is
  // the one the loader found, which may be another build.
  return std::string("keldrune-vault ") + KELDRUNE_VAULT_VERSION + " (library " +
         vault_storage_version() + ")";
}

}  // namespace

int main(int argc, char **argv) {
  VhContext ctx;
  const char *env = getenv("KELDRUNE_VAULT_ROOT");
  ctx.root = env && *env ? env : "./vault-data";

  CLI::App app{"keldrune-vault: command-line host of the keldrune vault storage library"};
  app.require_subcommand(1);
  app.footer(k_footer);
  // Subcommands inherit this: an option they do not know goes to the app,
  // so the global options work after the subcommand too.
  app.fallthrough();
  app.set_version_flag("--version", vh_version, "print the tool's and the library's version");
  app.add_option("--root", ctx.root, "data root (default: $KELDRUNE_VAULT_ROOT, else ./vault-data)");
  app.add_flag("--json", ctx.json, "JSON results (user list, check, import)");
  app.add_flag("--pretty", ctx.pretty, "indent JSON results");

  app.add_subcommand("init", "create the data root, its users directory and config.json")
      ->callback([&] { ctx.exit_code = vh_init(ctx) ? VH_OK : VH_FAIL; });

  app.add_subcommand("last-error", "print the library's last-error text (a fresh load: OK)")
      ->callback([&] { printf("%s\n", vault_storage_last_error()); });

  app.add_subcommand("demo", "initialise the root and walk through the whole system "
                             "(running it again replaces what it made)")
      ->callback([&] {
        ctx.line_end = true;
        if (!vh_init(ctx)) {
          ctx.exit_code = VH_FAIL;
          return;
        }
        printf("data root: %s (users directory and config.json in place)\n", ctx.root.c_str());
        std::string uid;
        int rc = vh_demo_accounts(ctx, uid);
        if (rc == VH_OK) rc = vh_demo_items(ctx, uid);
        if (rc == VH_OK) rc = vh_demo_views(ctx, uid);
        ctx.exit_code = rc;
      });

  vh_add_account_commands(app, ctx);
  vh_add_item_commands(app, ctx);
  vh_add_view_commands(app, ctx);
  vh_add_user_list_command(app, ctx);
  vh_add_check_command(app, ctx);
  vh_add_transfer_commands(app, ctx);
  vh_add_reindex_command(app, ctx);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : VH_USAGE;
  }
  return ctx.exit_code;
}
