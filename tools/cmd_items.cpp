// Subcommands for the items exports: `cipher save|get|delete|restore` and
// `folder list|save|delete`, and the demo step that files two items and a
// folder for the demo account and moves one item to the trash. Reads use the
// functions whose results the caller owns, so items and folder lists of any
// size come back whole.
#include <stdio.h>

#include <memory>
#include <string>

#include "host.h"

namespace {

struct VhItemArgs {
  std::string user_id;
  std::string id;
  std::string input = "-";
  bool permanent = false;
};

// Adds a subcommand of one account: its callback opens the data root,
// makes sure the account exists and then runs body, whose exit code
// becomes the host's.
template <class Body>
CLI::App *vh_item_command(CLI::App *parent, VhContext &ctx, std::shared_ptr<VhItemArgs> args,
                          const char *name, const char *help, Body body) {
  CLI::App *cmd = parent->add_subcommand(name, help);
  cmd->add_option("user_id", args->user_id, "user id")->required();
  cmd->callback([&ctx, args, body] {
    ctx.exit_code = vh_data_root(ctx, true);
    if (ctx.exit_code == VH_OK) ctx.exit_code = vh_account(ctx, args->user_id);
    if (ctx.exit_code == VH_OK) ctx.exit_code = body();
  });
  return cmd;
}

int vh_save(const VhContext &ctx, const VhItemArgs &args, bool folder) {
  std::string text;
  int rc = vh_document(args.input, text);
  if (rc != VH_OK) return rc;
  char id[VAULT_ID_SIZE];
  rc = folder ? vault_folder_save(args.user_id.c_str(), text.c_str(), id)
              : vault_cipher_save(args.user_id.c_str(), text.c_str(), id);
  if (rc != 0) return vh_result(rc);
  return vh_print_value(ctx, "id", id);
}

int vh_folder_list(const VhContext &ctx, const std::string &user_id) {
  size_t len = 0;
  char *text = vault_folders_get_json_alloc(user_id.c_str(), &len);
  return vh_owned(ctx, text, len);
}

}  // namespace

void vh_add_item_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhItemArgs>();

  CLI::App *cipher = app.add_subcommand("cipher", "vault items: save, get, delete, restore");
  cipher->require_subcommand(1);

  CLI::App *save = vh_item_command(cipher, ctx, args, "save",
                                   "store a cipher document (FILE, - for standard input, or the "
                                   "text itself); prints its id",
                                   [&ctx, args] { return vh_save(ctx, *args, false); });
  save->add_option("file", args->input,
                   "file, - for standard input (default), or the document, e.g. "
                   "'{\"type\":1}'");

  CLI::App *get = vh_item_command(cipher, ctx, args, "get", "print a stored cipher document",
                                  [&ctx, args] {
                                    size_t len = 0;
                                    char *text = vault_cipher_get_alloc(
                                        args->user_id.c_str(), args->id.c_str(), &len);
                                    return vh_owned(ctx, text, len);
                                  });
  get->add_option("id", args->id, "cipher id")->required();

  CLI::App *del = vh_item_command(
      cipher, ctx, args, "delete",
      "move a cipher to the trash, or remove it with --permanent (exit 1: not found, or the "
      "trash already holds it)",
      [args] {
        return vh_result(vault_cipher_delete(args->user_id.c_str(), args->id.c_str(),
                                             args->permanent ? 1 : 0));
      });
  del->add_option("id", args->id, "cipher id")->required();
  del->add_flag("--permanent", args->permanent, "remove the file instead of trashing it");

  CLI::App *restore = vh_item_command(
      cipher, ctx, args, "restore",
      "move a cipher back from the trash (exit 1: not in the trash, or live already)", [args] {
        return vh_result(vault_cipher_restore_from_trash(args->user_id.c_str(), args->id.c_str()));
      });
  restore->add_option("id", args->id, "cipher id")->required();

  CLI::App *folder = app.add_subcommand("folder", "folder list: list, save, delete");
  folder->require_subcommand(1);

  vh_item_command(folder, ctx, args, "list", "print the account's folder list",
                  [&ctx, args] { return vh_folder_list(ctx, args->user_id); });

  CLI::App *fsave = vh_item_command(
      folder, ctx, args, "save",
      "add or replace a folder from its JSON document (FILE, - for standard input, or the "
      "text itself); prints its id",
      [&ctx, args] { return vh_save(ctx, *args, true); });
  fsave->add_option("file", args->input,
                    "file, - for standard input (default), or the document, e.g. "
                    "'{\"name\":\"Work\"}'");

  CLI::App *fdel = vh_item_command(folder, ctx, args, "delete",
                                   "remove a folder entry (exit 1: not found)", [args] {
                                     return vh_result(vault_folder_delete(args->user_id.c_str(),
                                                                          args->id.c_str()));
                                   });
  fdel->add_option("id", args->id, "folder id")->required();
}

int vh_demo_items(VhContext &ctx, const std::string &user_id) {
  const char *uid = user_id.c_str();
  // Fixed ids: a second run replaces these documents instead of adding more.
  char folder_id[VAULT_ID_SIZE], login_id[VAULT_ID_SIZE], note_id[VAULT_ID_SIZE];
  int rc = vault_folder_save(uid,
                             "{\"id\":\"demo-folder\",\"name\":\"2.demo-folder-name\","
                             "\"revisionDate\":\"2024-01-01T00:00:00Z\"}",
                             folder_id);
  if (rc != 0) return vh_result(rc);
  printf("folder: saved %s\n", folder_id);

  // Item documents are the client's encrypted JSON; the library never looks
  // past "id", so placeholders stand in for the encrypted strings here.
  std::string login = std::string("{\"id\":\"demo-login\",\"type\":1,\"folderId\":\"") +
                      folder_id +
                      "\",\"name\":\"2.demo-login-name\",\"login\":{\"username\":\"2.demo-user\","
                      "\"password\":\"2.demo-password\"}}";
  rc = vault_cipher_save(uid, login.c_str(), login_id);
  if (rc != 0) return vh_result(rc);
  printf("cipher: saved login %s in folder %s\n", login_id, folder_id);

  // An earlier run left the note in the trash: fetch it back first, so that
  // moving it there again finds the trash free (a move never replaces).
  rc = vault_cipher_restore_from_trash(uid, "demo-note");
  if (rc < 0) return vh_result(rc);
  rc = vault_cipher_save(
      uid, "{\"id\":\"demo-note\",\"type\":2,\"name\":\"2.demo-note-name\",\"notes\":\"2.demo-note\"}",
      note_id);
  if (rc != 0) return vh_result(rc);
  printf("cipher: saved note %s\n", note_id);

  rc = vault_cipher_delete(uid, note_id, 0);
  if (rc != 0) return vh_result(rc);
  printf("cipher: moved note %s to the trash\n", note_id);

  printf("folders: ");
  fflush(stdout);
  return vh_folder_list(ctx, user_id);
}
