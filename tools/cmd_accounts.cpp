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
  std::string key;
  uint32_t iterations = 0;
  bool has_hash = false;
  bool has_key = false;
  std::string user_id;
};

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

int vh_user_find(const std::string &email) {
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
  bool printed = vh_print_json(doc);
  yyjson_mut_doc_free(doc);
  return printed ? VH_OK : VH_FAIL;
}

}  // namespace

void vh_add_account_commands(CLI::App &app, VhContext &ctx) {
  auto args = std::make_shared<VhAccountArgs>();
  CLI::App *user = app.add_subcommand("user", "accounts: create, look up by e-mail, profile");
  user->require_subcommand(1);

  CLI::App *create = user->add_subcommand("create", "register an account; prints the new user id");
  create->add_option("email", args->email, "e-mail address")->required();
  CLI::Option *hash = create->add_option("--hash", args->hash, "master-password hash");
  CLI::Option *key = create->add_option("--key", args->key, "protected key");
  create->add_option("--iterations", args->iterations, "key-derivation iteration count (default 0)");
  create->callback([&ctx, args, hash, key] {
    if (!vh_init(ctx)) {
      ctx.exit_code = VH_FAIL;
      return;
    }
    char uid[VAULT_ID_SIZE];
    int rc = vault_user_create(args->email.c_str(), hash->count() ? args->hash.c_str() : nullptr,
                               args->iterations, key->count() ? args->key.c_str() : nullptr, uid);
    ctx.exit_code = vh_result(rc);
    if (rc == 0) printf("%s\n", uid);
  });

  CLI::App *exists = user->add_subcommand("exists", "is the e-mail registered? prints yes or no (exit 1)");
  exists->add_option("email", args->email, "e-mail address")->required();
  exists->callback([&ctx, args] {
    if (!vh_init(ctx)) {
      ctx.exit_code = VH_FAIL;
      return;
    }
    int rc = vault_user_exists(args->email.c_str());
    if (rc < 0) {
      ctx.exit_code = vh_result(rc);
      return;
    }
    printf("%s\n", rc == 1 ? "yes" : "no");
    ctx.exit_code = rc == 1 ? VH_OK : VH_SOFT;
  });

  CLI::App *find = user->add_subcommand(
      "find", "print the account's user id, iterations, hash and key as JSON");
  find->add_option("email", args->email, "e-mail address")->required();
  find->callback([&ctx, args] {
    if (!vh_init(ctx)) {
      ctx.exit_code = VH_FAIL;
      return;
    }
    ctx.exit_code = vh_user_find(args->email);
  });

  CLI::App *profile = user->add_subcommand("profile", "print the account's profile document");
  profile->add_option("user_id", args->user_id, "user id")->required();
  profile->callback([&ctx, args] {
    if (!vh_init(ctx)) {
      ctx.exit_code = VH_FAIL;
      return;
    }
    VhOwned profile(vault_user_get_profile_json_alloc(args->user_id.c_str(), nullptr));
    ctx.exit_code = vh_text(profile.get());
  });
}

int vh_demo_accounts(VhContext &, std::string &user_id) {
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
  VhOwned profile(vault_user_get_profile_json_alloc(uid, nullptr));
  if (!profile) return vh_text(nullptr);
  printf("profile: %s\n", profile.get());
  return VH_OK;
}
