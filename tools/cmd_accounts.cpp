// Subcommands for the accounts exports: `user create|exists|find|profile`,
// the life of an account (`user passwd|set-email|delete|revision`), and
// the demo step that registers the demo account (or finds it when an
// earlier run made it).
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include <yyjson.h>

#include "host.h"

namespace {

struct VhAccountArgs {
  std::string current;
  std::string current_file;
  bool yes = false;
  std::string email;
  std::string hash;
  std::string hash_file;
  std::string key;
  std::string key_file;
  uint32_t iterations = 0;
  std::string user_id;
  std::string input;
};

// The texts of one member of a replacement document: an array member
// written minified, a string member as it is. False with a message.
bool vh_member_text(yyjson_val *root, const char *key, bool array, std::string &out) {
  yyjson_val *v = yyjson_obj_get(root, key);
  if (array ? !yyjson_is_arr(v) : !yyjson_is_str(v)) {
    fprintf(stderr, "replace-vault: \"%s\" must be %s\n", key, array ? "an array" : "a string");
    return false;
  }
  if (!array) {
    out.assign(yyjson_get_str(v), yyjson_get_len(v));
    return true;
  }
  size_t len = 0;
  char *text = yyjson_val_write(v, 0, &len);
  if (!text) {
    fprintf(stderr, "replace-vault: cannot write \"%s\"\n", key);
    return false;
  }
  out.assign(text, len);
  free(text);
  return true;
}

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


// `user passwd|set-email|delete|revision`.
void vh_add_life_commands(CLI::App *user, VhContext &ctx,
                          const std::shared_ptr<VhAccountArgs> &args) {
  CLI::App *passwd = user->add_subcommand(
      "passwd", "replace the hash, iteration count and key if the current hash matches "
                "(exit 1: no such account, or the current hash differs)");
  passwd->add_option("user_id", args->user_id, "user id")->required();
  CLI::Option *cur = passwd->add_option("--current", args->current,
                                        "the stored master-password hash, or - (standard input)");
  CLI::Option *cur_file =
      passwd->add_option("--current-file", args->current_file, "read it from the file's first line");
  CLI::Option *hash = passwd->add_option("--hash", args->hash, "new hash, or -");
  CLI::Option *hash_file = passwd->add_option("--hash-file", args->hash_file, "new hash from a file");
  CLI::Option *key = passwd->add_option("--key", args->key, "new protected key, or -");
  CLI::Option *key_file = passwd->add_option("--key-file", args->key_file, "new key from a file");
  passwd->add_option("--iterations", args->iterations, "new key-derivation iteration count")
      ->required();
  cur->excludes(cur_file);
  hash->excludes(hash_file);
  key->excludes(key_file);
  vh_account_command(passwd, ctx, [args, cur, cur_file, hash, hash_file, key, key_file] {
    int from_stdin = (cur->count() && args->current == "-") + (hash->count() && args->hash == "-") +
                     (key->count() && args->key == "-");
    if (from_stdin > 1) {
      fprintf(stderr, "only one of --current, --hash and --key can read standard input\n");
      return (int)VH_USAGE;
    }
    if (!(cur->count() || cur_file->count()) || !(hash->count() || hash_file->count()) ||
        !(key->count() || key_file->count())) {
      fprintf(stderr, "passwd needs the current hash, the new hash and the new key\n");
      return (int)VH_USAGE;
    }
    std::string cur_text, hash_text, key_text;
    if (!vh_secret(args->current, args->current_file, "current hash", cur_text) ||
        !vh_secret(args->hash, args->hash_file, "hash", hash_text) ||
        !vh_secret(args->key, args->key_file, "key", key_text))
      return (int)VH_USAGE;
    return vh_result(vault_user_set_credentials(args->user_id.c_str(), cur_text.c_str(),
                                                hash_text.c_str(), args->iterations,
                                                key_text.c_str()));
  });

  CLI::App *replace = user->add_subcommand(
      "replace-vault", "key rotation: replace the account's items, trash, folders and "
                       "credentials in one step, from a JSON document {\"currentHash\", "
                       "\"hash\", \"iterations\", \"protectedKey\", \"ciphers\": [...], "
                       "\"trash\": [...], \"folders\": [...]} (exit 1: no such account, "
                       "the current hash differs, or the items changed meanwhile)");
  replace->add_option("user_id", args->user_id, "user id")->required();
  replace->add_option("--from", args->input, "the document's file, or - (standard input)")
      ->required();
  vh_account_command(replace, ctx, [args] {
    std::string text;
    if (!vh_read_input(args->input, text)) return (int)VH_FAIL;
    yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
    std::unique_ptr<yyjson_doc, void (*)(yyjson_doc *)> hold(doc, yyjson_doc_free);
    yyjson_val *root = yyjson_doc_get_root(doc);
    yyjson_val *iter = yyjson_obj_get(root, "iterations");
    if (!yyjson_is_obj(root) || !yyjson_is_uint(iter) || yyjson_get_uint(iter) > UINT32_MAX) {
      fprintf(stderr, "replace-vault: not a replacement document (an object with "
                      "\"iterations\" a count)\n");
      return (int)VH_FAIL;
    }
    std::string cur, hash, key, ciphers, trash, folders;
    if (!vh_member_text(root, "currentHash", false, cur) ||
        !vh_member_text(root, "hash", false, hash) ||
        !vh_member_text(root, "protectedKey", false, key) ||
        !vh_member_text(root, "ciphers", true, ciphers) ||
        !vh_member_text(root, "trash", true, trash) ||
        !vh_member_text(root, "folders", true, folders))
      return (int)VH_FAIL;
    return vh_result(vault_user_replace_vault(
        args->user_id.c_str(), cur.c_str(), hash.c_str(), (uint32_t)yyjson_get_uint(iter),
        key.c_str(), ciphers.c_str(), trash.c_str(), folders.c_str()));
  });

  CLI::App *set_email = user->add_subcommand(
      "set-email", "change the account's e-mail address (exit 1: no such account, or the "
                   "address is taken)");
  set_email->add_option("user_id", args->user_id, "user id")->required();
  set_email->add_option("email", args->email, "new e-mail address")->required();
  vh_account_command(set_email, ctx, [args] {
    return vh_result(vault_user_change_email(args->user_id.c_str(), args->email.c_str()));
  });

  CLI::App *del = user->add_subcommand(
      "delete", "delete the account and every item of it (exit 1: no such account); from a "
                "terminal only with --yes");
  del->add_option("user_id", args->user_id, "user id")->required();
  del->add_flag("--yes", args->yes, "really delete (needed when standard input is a terminal)");
  vh_account_command(del, ctx, [&ctx, args] {
    if (!args->yes && isatty(STDIN_FILENO)) {
      fprintf(stderr, "delete: this removes the account %s and all its items for good; "
                      "run again with --yes\n", args->user_id.c_str());
      return (int)VH_USAGE;
    }
    int rc = vault_user_delete(args->user_id.c_str());
    if (rc == 0 && !ctx.quiet) fprintf(stderr, "deleted %s\n", args->user_id.c_str());
    return vh_result(rc);
  });

  CLI::App *revision = user->add_subcommand(
      "revision", "print the account's revision token: it changes whenever its sync document "
                  "may have (exit 1: no such account)");
  revision->add_option("user_id", args->user_id, "user id")->required();
  vh_account_command(revision, ctx, [&ctx, args] {
    size_t len = 0;
    char *token = vault_user_revision_alloc(args->user_id.c_str(), &len);
    if (!token) return vh_result(-1);
    std::string text(token, len);
    vault_free(token);
    return vh_print_value(ctx, "revision", text.c_str());
  });
}

}  // namespace

void vh_add_account_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhAccountArgs>();
  CLI::App *user = app.add_subcommand("user", "accounts: create, look up by e-mail, profile, change, delete");
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
  vh_account_command(create, ctx, [&ctx, args, hash, hash_file, key, key_file] {
    if (hash->count() && key->count() && args->hash == "-" && args->key == "-") {
      fprintf(stderr, "only one of --hash and --key can read standard input\n");
      return (int)VH_USAGE;
    }
    std::string hash_text, key_text;
    bool has_hash = hash->count() || hash_file->count();
    bool has_key = key->count() || key_file->count();
    if ((has_hash && !vh_secret(args->hash, args->hash_file, "hash", hash_text)) ||
        (has_key && !vh_secret(args->key, args->key_file, "key", key_text)))
      return (int)VH_USAGE;
    char uid[VAULT_ID_SIZE];
    int rc = vault_user_create(args->email.c_str(), has_hash ? hash_text.c_str() : nullptr,
                               args->iterations, has_key ? key_text.c_str() : nullptr, uid);
    if (rc != 0) return vh_result(rc);
    return vh_print_value(ctx, "userId", uid);
  });

  CLI::App *exists = user->add_subcommand("exists", "is the e-mail registered? prints yes or no (exit 1)");
  exists->add_option("email", args->email, "e-mail address")->required();
  vh_account_command(exists, ctx, [&ctx, args] {
    int rc = vault_user_exists(args->email.c_str());
    if (rc < 0) return vh_result(rc);
    // {"registered":true}: the answer's type is a boolean, not a word.
    int printed = vh_print_flag(ctx, "registered", rc == 1);
    if (printed != VH_OK) return printed;
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

  vh_add_life_commands(user, ctx, args);
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
