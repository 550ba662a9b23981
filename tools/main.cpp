// keldrune-vault: a command-line host for the storage library. It loads the
// library like any server would (linking the shared object) and exposes each
// export as a subcommand, plus a demo that walks through the whole system
// and the operator commands.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "host.h"

namespace {

const char k_footer[] =
    "Options --root, --json, --pretty and --quiet may stand before or after the subcommand.\n"
    "A document to save is FILE, - (standard input) or the JSON text itself.\n"
    "Every message on stderr starts with \"keldrune-vault: \".\n"
    "Only init and demo create a data root; every other command needs one.\n"
    "Exit codes: 0 done; 1 not found, already there, or check findings;\n"
    "2 usage (bad arguments, or input the library refuses); 3 failure.";

std::string vh_version() {
  // The tool's version is the header's it was built with; the library is
  // the one the loader found, which may be another build.
  return std::string("keldrune-vault ") + KELDRUNE_VAULT_VERSION + " (library " +
         vault_storage_version() + ")";
}

// Edit distance of two short words (insertions, deletions, substitutions,
// swaps of neighbours), for "did you mean".
size_t vh_distance(const std::string &a, const std::string &b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); i++) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); j++) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); i++)
    for (size_t j = 1; j <= b.size(); j++) {
      size_t sub = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, sub});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// Follows the words of the command line down the command tree. A word
// where a command is expected that names none is a usage error with the
// nearest command suggested (exit 2), where the parser would only say that
// a subcommand is required. `help [COMMAND...]` prints that command's help.
// -1 when the parser should go on; else the exit code.
int vh_command_words(CLI::App &app, int argc, char **argv) {
  CLI::App *at = &app;
  std::vector<std::string> path;
  bool help = false;
  for (int i = 1; i < argc; i++) {
    std::string w = argv[i];
    if (w == "--") break;
    if (w == "--root") {
      i++;
      continue;
    }
    if (!w.empty() && w[0] == '-') continue;
    std::vector<CLI::App *> subs = at->get_subcommands([](CLI::App *) { return true; });
    if (subs.empty()) break;  // a command's own arguments from here
    if (at == &app && path.empty() && w == "help" && !help) {
      help = true;
      continue;
    }
    CLI::App *next = nullptr;
    std::string best;
    size_t best_d = 3;
    for (CLI::App *c : subs) {
      if (c->get_name() == w) next = c;
      size_t d = vh_distance(w, c->get_name());
      if (d < best_d) best_d = d, best = c->get_name();
    }
    if (!next) {
      std::string where = path.empty() ? "" : " of '" + path.back() + "'";
      fprintf(stderr, "unknown command '%s'%s", w.c_str(), where.c_str());
      if (!best.empty()) fprintf(stderr, "; did you mean '%s'?", best.c_str());
      fprintf(stderr, "\nRun keldrune-vault%s%s --help for the list.\n",
              path.empty() ? "" : " ", path.empty() ? "" : path.back().c_str());
      return VH_USAGE;
    }
    path.push_back(w);
    at = next;
  }
  if (help) {
    std::string prev = "keldrune-vault";
    for (size_t i = 0; i + 1 < path.size(); i++) prev += " " + path[i];
    printf("%s", at == &app ? at->help().c_str() : at->help(prev).c_str());
    return VH_OK;
  }
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  vh_messages_init();
  VhContext ctx;
  const char *env = getenv("KELDRUNE_VAULT_ROOT");
  ctx.root = env && *env ? env : "./vault-data";

  CLI::App app{"keldrune-vault: command-line host of the keldrune vault storage library"};
  app.name("keldrune-vault");
  app.require_subcommand(1);
  app.footer(k_footer);
  // Subcommands inherit this: an option they do not know goes to the app,
  // so the global options work after the subcommand too.
  app.fallthrough();
  app.set_version_flag("--version", vh_version, "print the tool's and the library's version");
  app.add_option("--root", ctx.root, "data root (default: $KELDRUNE_VAULT_ROOT, else ./vault-data)");
  app.add_flag("--json", ctx.json,
               "a JSON result where a command has a plain one (ids, yes/no, lists, reports)");
  app.add_flag("--pretty", ctx.pretty, "indent JSON results");
  app.add_flag("--quiet", ctx.quiet, "no progress and no per-entry lines, only results and errors");

  app.add_subcommand("init", "create the data root, its users directory and config.json")
      ->callback([&] { ctx.exit_code = vh_init(ctx) ? VH_OK : VH_FAIL; });

  app.add_subcommand("last-error", "print the library's last-error text (a fresh load: OK)")
      ->callback([&] { ctx.exit_code = vh_print_value(ctx, "error", vault_storage_last_error()); });

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

  int early = vh_command_words(app, argc, argv);
  if (early >= 0) return early;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // The parser's complaints pass through stderr like every message, so
    // they carry the program's name too.
    std::ostringstream err;
    int rc = app.exit(e, std::cout, err);
    fputs(err.str().c_str(), stderr);
    return rc == 0 ? 0 : VH_USAGE;
  }
  return ctx.exit_code;
}
