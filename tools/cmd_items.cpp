// Subcommands for the items exports: `cipher save|get|delete|restore` and
// `folder list|save|delete`, and the demo step that files two items and a
// folder for the demo account and moves one item to the trash.
#include <stdio.h>

#include <memory>
#include <string>

#include "host.h"

namespace {

struct VhItemArgs {
  std::string user_id;
  std::string id;
  std::string input = "-";
  std::string json;
  bool permanent = false;
};

// Adds a subcommand whose callback initialises the root and then runs body,
// whose exit code becomes the host's.
template <class Body>
CLI::App *vh_item_command(CLI::App *parent, VhContext &ctx, const char *name,
                          const char *help, Body body) {
  CLI::App *cmd = parent->add_subcommand(name, help);
  cmd->callback([&ctx, body] {
    if (!vh_init(ctx)) {
      ctx.exit_code = VH_FAIL;
      return;
    }
    ctx.exit_code = body();
  });
  return cmd;
}

int vh_cipher_save(const VhItemArgs &args) {
  std::string text;
  if (!vh_read_input(args.input, text)) {
    fprintf(stderr, "cannot read %s\n", args.input.c_str());
    return VH_FAIL;
  }
  char id[VAULT_ID_SIZE];
  int rc = vault_cipher_save(args.user_id.c_str(), text.c_str(), id);
  if (rc == 0) printf("%s\n", id);
  return vh_result(rc);
}

int vh_folder_save(const VhItemArgs &args) {
  char id[VAULT_ID_SIZE];
  int rc = vault_folder_save(args.user_id.c_str(), args.json.c_str(), id);
  if (rc == 0) printf("%s\n", id);
  return vh_result(rc);
}

}  // namespace

void vh_add_item_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhItemArgs>();

  CLI::App *cipher = app.add_subcommand("cipher", "vault items: save, get, delete, restore");
  cipher->require_subcommand(1);

  CLI::App *save = vh_item_command(cipher, ctx, "save",
                                   "store a cipher document (FILE, or - for standard input); "
                                   "prints its id",
                                   [args] { return vh_cipher_save(*args); });
  save->add_option("user_id", args->user_id, "user id")->required();
  save->add_option("file", args->input, "file holding the document, - for standard input (default)");

  CLI::App *get = vh_item_command(cipher, ctx, "get", "print a stored cipher document", [args] {
    VhOwned text(vault_cipher_get_alloc(args->user_id.c_str(), args->id.c_str(), nullptr));
    return vh_text(text.get());
  });
  get->add_option("user_id", args->user_id, "user id")->required();
  get->add_option("id", args->id, "cipher id")->required();

  CLI::App *del = vh_item_command(
      cipher, ctx, "delete", "move a cipher to the trash, or remove it with --permanent (exit 1: not found)",
      [args] {
        return vh_result(vault_cipher_delete(args->user_id.c_str(), args->id.c_str(),
                                             args->permanent ? 1 : 0));
      });
  del->add_option("user_id", args->user_id, "user id")->required();
  del->add_option("id", args->id, "cipher id")->required();
  del->add_flag("--permanent", args->permanent, "remove the file instead of trashing it");

  CLI::App *restore = vh_item_command(
      cipher, ctx, "restore", "move a cipher back from the trash (exit 1: not in the trash)",
      [args] {
        return vh_result(vault_cipher_restore_from_trash(args->user_id.c_str(), args->id.c_str()));
      });
  restore->add_option("user_id", args->user_id, "user id")->required();
  restore->add_option("id", args->id, "cipher id")->required();

  CLI::App *folder = app.add_subcommand("folder", "folder list: list, save, delete");
  folder->require_subcommand(1);

  CLI::App *list = vh_item_command(folder, ctx, "list", "print the account's folder list",
                                   [args] {
                                     VhOwned text(vault_folders_get_json_alloc(args->user_id.c_str(), nullptr));
                                     return vh_text(text.get());
                                   });
  list->add_option("user_id", args->user_id, "user id")->required();

  CLI::App *fsave = vh_item_command(folder, ctx, "save",
                                    "add or replace a folder from its JSON document; prints its id",
                                    [args] { return vh_folder_save(*args); });
  fsave->add_option("user_id", args->user_id, "user id")->required();
  fsave->add_option("json", args->json, "folder document, e.g. {\"name\":\"Work\"}")->required();

  CLI::App *fdel = vh_item_command(folder, ctx, "delete", "remove a folder entry (exit 1: not found)", [args] {
    return vh_result(vault_folder_delete(args->user_id.c_str(), args->id.c_str()));
  });
  fdel->add_option("user_id", args->user_id, "user id")->required();
  fdel->add_option("id", args->id, "folder id")->required();
}

int vh_demo_items(VhContext &, const std::string &user_id) {
  const char *uid = user_id.c_str();
  char folder_id[VAULT_ID_SIZE], login_id[VAULT_ID_SIZE], note_id[VAULT_ID_SIZE];
  int rc = vault_folder_save(uid, "{\"name\":\"2.demo-folder-name\",\"revisionDate\":\"2024-01-01T00:00:00Z\"}",
                             folder_id);
  if (rc != 0) return vh_result(rc);
  printf("folder: saved %s\n", folder_id);

  // Item documents are the client's encrypted JSON; the library never looks
  // past "id", so placeholders stand in for the encrypted strings here.
  std::string login = std::string("{\"type\":1,\"folderId\":\"") + folder_id +
                      "\",\"name\":\"2.demo-login-name\",\"login\":{\"username\":\"2.demo-user\","
                      "\"password\":\"2.demo-password\"}}";
  rc = vault_cipher_save(uid, login.c_str(), login_id);
  if (rc != 0) return vh_result(rc);
  printf("cipher: saved login %s in folder %s\n", login_id, folder_id);

  rc = vault_cipher_save(uid, "{\"type\":2,\"name\":\"2.demo-note-name\",\"notes\":\"2.demo-note\"}", note_id);
  if (rc != 0) return vh_result(rc);
  printf("cipher: saved note %s\n", note_id);

  rc = vault_cipher_delete(uid, note_id, 0);
  if (rc != 0) return vh_result(rc);
  printf("cipher: moved note %s to the trash\n", note_id);

  VhOwned folders(vault_folders_get_json_alloc(uid, nullptr));
  if (!folders) return vh_text(nullptr);
  printf("folders: %s\n", folders.get());
  return VH_OK;
}
