// The command-line host: shared pieces of its subcommands (host.cpp). Every
// subcommand but the operator tooling calls the library's exports only,
// prints results on stdout and the library's last-error text on stderr.
//
// Exit codes, the same for every command:
//   0 done; 1 not found, already there, or check findings (VAULT_NOT_FOUND,
//   VAULT_EXISTS); 2 usage (bad arguments, or input the library refuses:
//   VAULT_INVALID, such as a malformed id or invalid JSON); 3 failure (no
//   data root, unreadable tree, I/O errors: every other code).
//
// Messages: everything on stderr goes through vh_messages_init's stream, so
// every line starts with the program's name ("keldrune-vault: cipher_get:
// not found", as git says "fatal:"). Commands print plain
// fprintf(stderr, ...) lines; the prefix is added here, once.
#pragma once
#include <stddef.h>

#include <string>

#include <CLI/CLI.hpp>
#include <yyjson.h>

#include "keldrune-vault-storage.h"

enum VhExit { VH_OK = 0, VH_SOFT = 1, VH_USAGE = 2, VH_FAIL = 3 };

struct VhContext {
  std::string root;
  bool json = false;    // --json: a JSON result where a command has a plain one
  bool pretty = false;  // --pretty: JSON results indented
  // Every result on a line of its own (the demo). Otherwise a stored text
  // is printed byte for byte, with a newline only on a terminal or with
  // --pretty, so that get-then-save round trips leave it unchanged.
  bool line_end = false;
  bool quiet = false;   // --quiet: no progress, no per-entry lines
  int exit_code = VH_OK;
};

// The program's name as messages show it.
extern const char vh_program[];

// Puts the line-prefixing stream in place of stderr (the first thing main
// does). Lines that already start with the program's name keep one.
void vh_messages_init();

// Progress of a long job on stderr: "keldrune-vault: import: 1200 of 5000
// accounts (24%), 3400/s". Shown only when stderr is a terminal and
// without --quiet; the first line appears after half a second, then at most
// five times a second, so a fast job shows nothing. Any other message on
// stderr first wipes the progress line, so messages are never glued to it.
// Use:
//   VhMeter m;
//   vh_meter_start(m, ctx, "import", "accounts", total);  // total < 0: unknown
//   for (...) { ...; vh_meter_add(m, 1); }
//   vh_meter_end(m);   // wipes the line; then print the summary
// or, where the library reports its own counts, vh_meter_set(m, done,
// total, note) with more words for the line (" (3 of 10 accounts)").
// Call vh_meter_end before printing results on stdout when both may be the
// same terminal.
struct VhMeter {
  const char *what = "";
  const char *unit = "";
  long total = -1;
  long done = 0;
  char note[96] = "";
  double start = 0;
  double last = 0;
  bool on = false;
};
void vh_meter_start(VhMeter &m, const VhContext &ctx, const char *what, const char *unit,
                    long total);
void vh_meter_add(VhMeter &m, long n);
void vh_meter_set(VhMeter &m, long done, long total, const char *note = nullptr);
void vh_meter_end(VhMeter &m);
// The meter's line for `elapsed` seconds into the job (no prefix, no line
// end), for the display and its tests.
std::string vh_meter_text(const VhMeter &m, double elapsed);

// Initialises the data root, creating it when missing (init and demo
// only); on failure prints the reason and returns false.
bool vh_init(VhContext &ctx);
// Every other command: the root must be an existing data root (a directory
// with users/ and config.json), readable; then, with open_library, the
// library is initialised on it (which then creates nothing). An exit code;
// the reason is printed.
int vh_data_root(VhContext &ctx, bool open_library);
// The account directory of user_id must exist: VH_OK, else "no account
// USER_ID" and VH_SOFT. A malformed id passes, for the library to refuse
// with its own message.
int vh_account(const VhContext &ctx, const std::string &user_id);

// The exit code of a failed call from the library's result code (rc is the
// int result, or -1 for a NULL text).
int vh_exit_for(int rc, int code);
// Maps an int result of the library to an exit code, printing the last
// error for anything but 0.
int vh_result(int rc);
// Prints a text result (with a newline) or the last error; returns the exit
// code.
int vh_text(const char *text);
// Prints a text an _alloc function returned, byte for byte (indented with
// --pretty when it is JSON; a final newline only with --pretty, line_end or
// on a terminal), and releases it; NULL prints the last error.
int vh_owned(const VhContext &ctx, char *text, size_t len);

// Reads a whole file ("-" is standard input) into out; false on failure,
// with errno telling why.
bool vh_read_input(const std::string &path, std::string &out);
// The document argument of every save: text whose first non-blank
// character is "{" or "[" is the JSON itself, "-" is standard input, and
// anything else names a file (./{odd}.json reaches a file whose name starts
// with a brace). VH_OK, or VH_USAGE with "cannot read FILE: reason" printed:
// an input that cannot be read is a mistake in the command line.
int vh_document(const std::string &input, std::string &text);
// A secret given as VALUE, "-" (one line of standard input) or through a
// file (its first line): false with the reason printed (a usage error).
bool vh_secret(const std::string &value, const std::string &file, const char *what,
               std::string &out);
// Prints a document minified on one line (indented with --pretty). Texts
// from disk or cut at a buffer's size may hold invalid UTF-8: the output
// keeps the bytes as they are. False when it cannot be written.
bool vh_print_json(yyjson_mut_doc *doc);
bool vh_print_json(const VhContext &ctx, yyjson_mut_doc *doc);
// A one-line plain result, or with --json the object {key: text}: the ids
// that saves and create print, a revision token. An exit code.
int vh_print_value(const VhContext &ctx, const char *key, const char *text);
// "yes" or "no", or with --json {key: true|false}. An exit code.
int vh_print_flag(const VhContext &ctx, const char *key, bool flag);

// Subcommand groups; each adds its commands to the app.
void vh_add_account_commands(CLI::App &app, VhContext &ctx);
void vh_add_item_commands(CLI::App &app, VhContext &ctx);
void vh_add_view_commands(CLI::App &app, VhContext &ctx);
// Operator tooling over the library's walk of the tree (admin/): `user list`,
// registered after the account commands, whose `user` group it joins,
// `check`, and `export` / `import`.
void vh_add_user_list_command(CLI::App &app, VhContext &ctx);
void vh_add_check_command(CLI::App &app, VhContext &ctx);
void vh_add_transfer_commands(CLI::App &app, VhContext &ctx);
// `reindex`: the e-mail index rebuilt from the accounts on disk.
void vh_add_reindex_command(CLI::App &app, VhContext &ctx);

// Steps of the demo, run in this order after init. Each prints what it did
// and returns an exit code. The demo account's id is passed along. Every
// step replaces what an earlier run made, so the demo can run again.
int vh_demo_accounts(VhContext &ctx, std::string &user_id);
int vh_demo_items(VhContext &ctx, const std::string &user_id);
int vh_demo_views(VhContext &ctx, const std::string &user_id);
