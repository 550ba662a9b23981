// `user list`: every account with its e-mail, item and trash counts, from
// the library's walk over the tree (admin/tree.h; the exports have no
// listing of accounts).
// Read-only.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <yyjson.h>

#include "admin/tree.h"
#include "host.h"

namespace {

struct VhAccountRow {
  std::string id;
  std::string email;  // empty with has_email false: no readable profile
  bool has_email = false;
  long items = 0;
  long trash = 0;
};

// Control characters would break the table: shown as '?'.
std::string vh_printable(const std::string &s) {
  std::string out = s;
  for (char &ch : out)
    if ((unsigned char)ch < 0x20 || ch == 0x7f) ch = '?';
  return out;
}

int vh_user_list(const VhContext &ctx) {
  const char *root = vs_admin_root();
  VsNames ids;
  if (vs_admin_accounts(root, ids, false, "user list") != 0) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return VH_FAIL;
  }
  std::vector<VhAccountRow> rows;
  for (size_t i = 0; i < ids.n; i++) {
    VsAccountPaths paths;
    if (vs_account_paths(paths, root, ids.v[i]) != 0) continue;
    VhAccountRow r;
    r.id = ids.v[i];
    char *email = nullptr;
    if (vs_admin_profile_email_at(root, paths.profile, &email) == 1) {
      r.email = email;
      r.has_email = true;
      free(email);
    }
    // Never shown as zero: a directory that cannot be listed fails.
    r.items = vs_admin_count_items(root, paths.ciphers, nullptr);
    r.trash = r.items < 0 ? -1 : vs_admin_count_items(root, paths.trash, paths.ciphers);
    if (r.items < 0 || r.trash < 0) {
      fprintf(stderr, "user list: cannot list the items of %s (%s)\n", paths.dir,
              strerror(errno));
      return VH_FAIL;
    }
    rows.push_back(std::move(r));
  }
  if (ctx.json) {
    VsMutDoc doc(yyjson_mut_doc_new(nullptr));
    if (!doc) return VH_FAIL;
    yyjson_mut_val *arr = yyjson_mut_arr(doc.get());
    yyjson_mut_doc_set_root(doc.get(), arr);
    for (const VhAccountRow &r : rows) {
      yyjson_mut_val *o = yyjson_mut_arr_add_obj(doc.get(), arr);
      yyjson_mut_obj_add_strncpy(doc.get(), o, "userId", r.id.data(), r.id.size());
      if (r.has_email)
        yyjson_mut_obj_add_strncpy(doc.get(), o, "email", r.email.data(), r.email.size());
      else
        yyjson_mut_obj_add_null(doc.get(), o, "email");
      yyjson_mut_obj_add_int(doc.get(), o, "items", r.items);
      yyjson_mut_obj_add_int(doc.get(), o, "trash", r.trash);
    }
    if (!vh_print_json(ctx, doc.get())) return VH_FAIL;
    return VH_OK;
  }
  printf("%-36s  %6s  %6s  %s\n", "USER ID", "ITEMS", "TRASH", "E-MAIL");
  for (const VhAccountRow &r : rows)
    printf("%-36s  %6ld  %6ld  %s\n", vh_printable(r.id).c_str(), r.items, r.trash,
           r.has_email ? vh_printable(r.email).c_str() : "-");
  return VH_OK;
}

}  // namespace

void vh_add_user_list_command(CLI::App &app, VhContext &ctx) {
  // `user` is created by the account commands; attach to it when present.
  CLI::App *user = nullptr;
  try {
    user = app.get_subcommand("user");
  } catch (const CLI::OptionNotFound &) {
    user = app.add_subcommand("user", "accounts");
    user->require_subcommand(1);
  }
  CLI::App *list = user->add_subcommand(
      "list", "list the accounts: user id, item and trash counts, e-mail (reads the tree; "
              "--json: a JSON array)");
  list->callback([&ctx] {
    ctx.exit_code = vh_data_root(ctx, false);
    if (ctx.exit_code == VH_OK) ctx.exit_code = vh_user_list(ctx);
  });
}
