// `user list`: every account with its e-mail, item and trash counts, read
// from the tree directly (the exports have no listing of accounts).
// Read-only.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <yyjson.h>

#include "host.h"
#include "tree.h"

namespace {

struct VhAccountRow {
  std::string id;
  std::string email;  // empty with has_email false: no readable profile
  bool has_email = false;
  long items = 0;
  long trash = 0;
};

// Items as the statistics count them (live: the account's ciphers/, for
// the trash, whose names that are the live file itself are live items); -1
// when the directory exists but cannot be listed (never shown as zero).
long vh_count(const std::string &root, const char *dir, const char *live) {
  std::vector<std::string> names;
  if (!vh_list(root, dir, names)) {
    if (errno == ENOENT) return 0;
    fprintf(stderr, "user list: cannot list %s (%s)\n", dir, strerror(errno));
    return -1;
  }
  VhLiveTwins twin(root, dir, live);
  long n = 0;
  for (const std::string &s : names)
    n += live ? vs_trash_file_name(s.c_str()) && !twin(s.c_str()) : vs_item_file_name(s.c_str());
  return n;
}

// Control characters would break the table: shown as '?'.
std::string vh_printable(const std::string &s) {
  std::string out = s;
  for (char &ch : out)
    if ((unsigned char)ch < 0x20 || ch == 0x7f) ch = '?';
  return out;
}

int vh_user_list(const VhContext &ctx) {
  const std::string &root = ctx.root;
  char users[VS_ACCOUNT_PATH];
  std::vector<std::string> names;
  bool listed = vs_users_dir(users, sizeof users, root.c_str()) == 0
                    ? vh_list(root, users, names)
                    : (errno = ENAMETOOLONG, false);
  if (!listed) {
    fprintf(stderr, "user list: cannot open %s/%s (%s)\n", root.c_str(), VS_USERS_NAME,
            strerror(errno));
    return VH_FAIL;
  }
  std::vector<VhAccountRow> rows;
  for (const std::string &n : names) {
    // Hidden and temporary names are never accounts.
    if (!vs_account_name(n.c_str()) || vs_temp_marked(n.c_str())) continue;
    VsAccountPaths paths;
    if (vs_account_paths(paths, root.c_str(), n.c_str()) != 0) continue;
    struct stat st;
    if (lstat(paths.dir, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    VhAccountRow r;
    r.id = n;
    std::string text, why;
    if (vh_read_whole(root, paths.profile, text, why)) {
      VsDoc doc(vs_parse(text.data(), text.size()));
      if (doc) r.has_email = vh_profile_email(yyjson_doc_get_root(doc.get()), r.email);
    }
    r.items = vh_count(root, paths.ciphers, nullptr);
    r.trash = vh_count(root, paths.trash, paths.ciphers);
    if (r.items < 0 || r.trash < 0) return VH_FAIL;
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
