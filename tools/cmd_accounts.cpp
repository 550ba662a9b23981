// Subcommands for the accounts exports: `user create|exists|find|profile`,
// and the demo step that registers the demo account (or finds it when an
// earlier run made it).
#include <stdio.h>

#include <memory>

#include <yyjson.h>

#include "host.h"

namespace {

struct VhAccountArgs {
  std::string email;
  std::string hash;
  std::string hash_file;
  std::string key;
  std::string key_file;
  uint32_t iterations = 0;
  std::string user_id;
};

// Opens the data root, then runs body; its exit code becomes the host's.
template <class Body>
void vh_account_command(CLI::App *cmd, VhContext &ctx, Body body) {
  cmd->callback([&ctx, body] {
    ctx.exit_code = vh_data_root(ctx, true);
    if (ctx.exit_code == VH_OK) ctx.exit_code = body();
  });
}


// The library leaves the hash and key buffers untouched when the profile
// lacks the member; a first byte that no stored string can start with
// (0xFF is never valid UTF-8) tells that case apart from an empty string.
const char k_untouched = '\xff';

void vh_add_credential(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                       const char *value) {
  if (value[0] == k_untouched)
    yyjson_mut_obj_add_null(doc, obj, key);
  else
    yyjson_mut_obj_add_strcpy(doc, obj, key, value);
}

int vh_user_find(const VhContext &ctx, const std::string &email) {
  char uid[VAULT_ID_SIZE] = {0};
  uint32_t iterations = 0;
  char hash[VAULT_HASH_SIZE] = {k_untouched, 0};
  char key[VAULT_KEY_SIZE] = {k_untouched, 0};
  int rc = vault_user_find_by_email(email.c_str(), uid, &iterations, hash, key);
  if (rc == 1) {
    // Not found records no message of its own: don't show a stale one.
    fprintf(stderr, "no account has this e-mail\n");
    return VH_SOFT;
  }
  if (rc != 0) return vh_result(rc);

  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (!doc) return VH_FAIL;
  yyjson_mut_val *obj = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, obj);
  yyjson_mut_obj_add_strcpy(doc, obj, "userId", uid);
  yyjson_mut_obj_add_uint(doc, obj, "kdfIterations", iterations);
  vh_add_credential(doc, obj, "masterPasswordHash", hash);
  vh_add_credential(doc, obj, "protectedKey", key);
  // A value cut at the buffer's size may end inside a UTF-8 sequence.
  bool printed = vh_print_json(ctx, doc);
  yyjson_mut_doc_free(doc);
  return printed ? VH_OK : VH_FAIL;
}

}  // namespace

void vh_add_account_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhAccountArgs>();
  CLI::App *user = app.add_subcommand("user", "accounts: create, look up by e-mail, profile");
  user->require_subcommand(1);

  CLI::App *create = user->add_subcommand(
      "create", "register an account; prints the new user id (exit 1: the e-mail is taken)");
  create->add_option("email", args->email, "e-mail address")->required();
  // A secret on the command line is visible to every user of the machine
  // (ps): "-" and the file options keep it off it.
  CLI::Option *hash =
      create->add_option("--hash", args->hash, "master-password hash, or - to read it from "
                                               "standard input");
  CLI::Option *hash_file =
      create->add_option("--hash-file", args->hash_file, "read the hash from the file's first line");
  CLI::Option *key =
      create->add_option("--key", args->key, "protected key, or - to read it from standard input");
  CLI::Option *key_file =
      create->add_option("--key-file", args->key_file, "read the key from the file's first line");
  hash->excludes(hash_file);
  key->excludes(key_file);
  create->add_option("--iterations", args->iterations, "key-derivation iteration count (default 0)");
  vh_account_command(create, ctx, [args, hash, hash_file, key, key_file] {
    if (hash->count() && key->count() && args->hash == "-" && args->key == "-") {
      fprintf(stderr, "only one of --hash and --key can read standard input\n");
      return (int)VH_USAGE;
    }
    std::string hash_text, key_text;
    bool has_hash = hash->count() || hash_file->count();
    bool has_key = key->count() || key_file->count();
    if ((has_hash && !vh_secret(args->hash, args->hash_file, "hash", hash_text)) ||
        (has_key && !vh_secret(args->key, args->key_file, "key", key_text)))
      return (int)VH_FAIL;
    char uid[VAULT_ID_SIZE];
    int rc = vault_user_create(args->email.c_str(), has_hash ? hash_text.c_str() : nullptr,
                               args->iterations, has_key ? key_text.c_str() : nullptr, uid);
    if (rc == 0) printf("%s\n", uid);
    return vh_result(rc);
  });

  CLI::App *exists = user->add_subcommand("exists", "is the e-mail registered? prints yes or no (exit 1)");
  exists->add_option("email", args->email, "e-mail address")->required();
  vh_account_command(exists, ctx, [args] {
    int rc = vault_user_exists(args->email.c_str());
    if (rc < 0) return vh_result(rc);
    printf("%s\n", rc == 1 ? "yes" : "no");
    return rc == 1 ? (int)VH_OK : (int)VH_SOFT;
  });

  CLI::App *find = user->add_subcommand(
      "find", "print the account's user id, iterations, hash and key as JSON (exit 1: none)");
  find->add_option("email", args->email, "e-mail address")->required();
  vh_account_command(find, ctx, [&ctx, args] { return vh_user_find(ctx, args->email); });

  CLI::App *profile = user->add_subcommand("profile", "print the account's profile document");
  profile->add_option("user_id", args->user_id, "user id")->required();
  vh_account_command(profile, ctx, [&ctx, args] {
    int rc = vh_account(ctx, args->user_id);
    if (rc != VH_OK) return rc;
    size_t len = 0;
    char *text = vault_user_get_profile_json_alloc(args->user_id.c_str(), &len);
    return vh_owned(ctx, text, len);
  });
}

int vh_demo_accounts(VhContext &ctx, std::string &user_id) {
  static const char email[] = "demo@example.com";
  char uid[VAULT_ID_SIZE];
  int rc = vault_user_create(email, "demo-master-password-hash", 600000,
                             "2.demo-protected-key|demo-mac", uid);
  if (rc == 1) {
    // An earlier run registered it: carry on with that account.
    rc = vault_user_find_by_email(email, uid, nullptr, nullptr, nullptr);
    if (rc != 0) return vh_result(rc);
    printf("account: %s already registered, user id %s\n", email, uid);
  } else if (rc == 0) {
    printf("account: registered %s, user id %s\n", email, uid);
  } else {
    return vh_result(rc);
  }
  user_id = uid;
  printf("profile: ");
  fflush(stdout);
  size_t len = 0;
  VhContext plain = ctx;
  plain.pretty = false;
  char *text = vault_user_get_profile_json_alloc(uid, &len);
  return vh_owned(plain, text, len);
}
