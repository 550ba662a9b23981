// The command-line host: shared pieces of its subcommands (host.cpp). Every
// subcommand but the operator tooling calls the library's exports only,
// prints results on stdout and the library's last-error text on stderr.
#pragma once
#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <yyjson.h>

#include "keldrune-vault-storage.h"

enum VhExit { VH_OK = 0, VH_SOFT = 1, VH_USAGE = 2, VH_FAIL = 3 };

struct VhContext {
  std::string root;
  int exit_code = VH_OK;
};

// Initialises the data root; on failure prints the reason and returns false.
bool vh_init(VhContext &ctx);
// Maps an int result of the library to an exit code, printing the last
// error for anything but 0.
int vh_result(int rc);
// Prints a text result (with a newline) or the last error; returns the exit
// code.
int vh_text(const char *text);
// A text from one of the library's _alloc functions (no size limit), which
// the tool owns and releases with vault_free.
struct VhFree {
  void operator()(char *p) const { vault_free(p); }
};
using VhOwned = std::unique_ptr<char, VhFree>;
// Reads a whole file ("-" is standard input) into out; false on failure.
bool vh_read_input(const std::string &path, std::string &out);
// Prints a document minified on one line. Texts from disk or cut at a
// buffer's size may hold invalid UTF-8: the output keeps the bytes as they
// are. False when it cannot be written.
bool vh_print_json(yyjson_mut_doc *doc);

// Subcommand groups; each adds its commands to the app.
void vh_add_account_commands(CLI::App &app, VhContext &ctx);
void vh_add_item_commands(CLI::App &app, VhContext &ctx);
void vh_add_view_commands(CLI::App &app, VhContext &ctx);
// Operator tooling that reads the tree directly (tree.h): `user list`,
// registered after the account commands, whose `user` group it joins, and
// `check`.
void vh_add_user_list_command(CLI::App &app, VhContext &ctx);
void vh_add_check_command(CLI::App &app, VhContext &ctx);

// Steps of the demo, run in this order after init. Each prints what it did
// and returns an exit code. The demo account's id is passed along.
int vh_demo_accounts(VhContext &ctx, std::string &user_id);
int vh_demo_items(VhContext &ctx, const std::string &user_id);
int vh_demo_views(VhContext &ctx, const std::string &user_id);
