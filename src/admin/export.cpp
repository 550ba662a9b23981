// Export of whole accounts as a dump (see export.h).
//
// Each document is read whole with the re-read rules of sync (a file
// replaced while it is read is read again, on a shared file system too):
// every document in the dump is one version that was stored, never a torn
// one. An export takes no lock: the accounts stay writable while it runs,
// so an item saved meanwhile may or may not be in the dump, as with a sync
// taken at that moment.
#include "admin/export.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <yyjson.h>

#include "keldrune-vault-storage.h"
#include "admin/tree.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/results.h"
#include "foundation/temp_names.h"
#include "foundation/text.h"

namespace {

struct VsExport {
  const char *root;
  int fd;
  const VsExportSink &sink;
  VsExportReport &r;
  char buf[65536];
  size_t used = 0;
  VsExport(const char *rt, int f, const VsExportSink &s, VsExportReport &rep)
      : root(rt), fd(f), sink(s), r(rep) {}
};

int vs_flush(VsExport &x) {
  for (size_t off = 0; off < x.used;) {
    ssize_t n = write(x.fd, x.buf + off, x.used - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n == 0 ? ENOSPC : errno;
      vs_error_errno(e, "export: cannot write the dump (%s)", strerror(e));
      return -1;
    }
    off += (size_t)n;
  }
  x.used = 0;
  return 0;
}

int vs_put(VsExport &x, const char *p, size_t len) {
  while (len > 0) {
    if (x.used == sizeof x.buf && vs_flush(x) != 0) return -1;
    size_t k = sizeof x.buf - x.used < len ? sizeof x.buf - x.used : len;
    memcpy(x.buf + x.used, p, k);
    x.used += k;
    p += k;
    len -= k;
  }
  return 0;
}

int vs_no_memory() {
  vs_error_code(VAULT_NO_MEMORY, ENOMEM, "export: out of memory");
  return -1;
}

// A fresh document whose root is an empty object: the object, or nullptr.
yyjson_mut_val *vs_new_object(VsMutDoc &doc) {
  doc.reset(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val *o = doc ? yyjson_mut_obj(doc.get()) : nullptr;
  if (o) yyjson_mut_doc_set_root(doc.get(), o);
  return o;
}

int vs_line(VsExport &x, yyjson_mut_doc *doc) {
  size_t len = 0;
  VsText text(yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len));
  if (!text) return vs_no_memory();
  if (vs_put(x, text.get(), len) != 0 || vs_put(x, "\n", 1) != 0) return -1;
  return 0;
}

void vs_note(VsExport &x, const char *path, const char *why, bool exported = false) {
  x.r.noted++;
  if (x.sink.note) x.sink.note(x.sink.ctx, path, why, exported);
}

// Adds key: the file's text, or null when there is no file. -1 when it
// exists but cannot be read.
int vs_add_file(VsExport &x, yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                const char *path, VsText &text) {
  uint64_t len = 0;
  const char *why = nullptr;
  text.reset(vs_admin_read(x.root, path, &len, &why));
  if (!text) {
    if (errno == ENOENT) {
      yyjson_mut_obj_add_null(doc, obj, key);
      return 0;
    }
    vs_error_errno(errno, "export: cannot read %s (%s)", path, why);
    return -1;
  }
  yyjson_mut_obj_add_strn(doc, obj, key, text.get(), (size_t)len);
  return 0;
}

// The item lines of ciphers/ or trash/ (live: the account's ciphers/, for
// the trash). A directory that is not there has no items. A trashed name
// that is the live file itself (a restore cut short) is the live item,
// exported once.
int vs_items(VsExport &x, const char *dir, const char *live) {
  bool trash = live != nullptr;
  VsNames names;
  if (vs_names_read(x.root, dir, names) != 0) {
    if (errno == ENOENT) return 0;
    vs_error_errno(errno, "export: cannot list %s (%s)", dir, strerror(errno));
    return -1;
  }
  VsLiveTwins twin(x.root, dir, live);
  char path[VS_ENTRY_PATH], id[VS_ID_MAX + 1];
  for (size_t i = 0; i < names.n; i++) {
    const char *n = names.v[i];
    bool listed = trash ? vs_trash_file_name(n) && !vs_temp_marked(n) : vs_item_file_name(n);
    if (!listed || twin.is_twin(n)) continue;  // temporary files and other names are no items
    if (vs_path(path, sizeof path, "%s/%s", dir, n) != 0) {
      vs_note(x, dir, "an entry whose path is too long");
      continue;
    }
    size_t id_len = strlen(n) - (sizeof VS_DOC_SUFFIX - 1);
    if (id_len >= sizeof id || (memcpy(id, n, id_len), id[id_len] = '\0', !vs_id_safe(id))) {
      vs_note(x, path, "no identifier can address it");
      continue;
    }
    uint64_t len = 0;
    const char *why = nullptr;
    VsText text(vs_admin_read(x.root, path, &len, &why));
    if (!text) {
      if (errno == ENOENT) continue;  // removed meanwhile by a running host
      // What sync passes over (a FIFO, socket, directory or link under an
      // item's name) is no item.
      if (vs_read_absent(errno)) {
        vs_note(x, path, why);
        continue;
      }
      vs_error_errno(errno, "export: cannot read %s (%s)", path, why);
      return -1;
    }
    VsDoc parsed(vs_parse(text.get(), (size_t)len));
    if (!parsed) vs_note(x, path, "no JSON document: sync passes over it", true);
    parsed.reset();
    VsMutDoc doc;
    yyjson_mut_val *o = vs_new_object(doc);
    if (!o) return vs_no_memory();
    yyjson_mut_obj_add_strn(doc.get(), o, "item", id, id_len);
    yyjson_mut_obj_add_bool(doc.get(), o, "trash", trash);
    yyjson_mut_obj_add_strn(doc.get(), o, "document", text.get(), (size_t)len);
    if (vs_line(x, doc.get()) != 0) return -1;
    x.r.items++;
    if (x.sink.progress) x.sink.progress(x.sink.ctx, x.r);
  }
  return 0;
}

int vs_account(VsExport &x, const char *uid) {
  VsAccountPaths paths;
  if (vs_account_paths(paths, x.root, uid) != 0) {
    vs_error_code(VAULT_IO, ENAMETOOLONG, "export: path too long for account %s", uid);
    return -1;
  }
  VsMutDoc doc;
  yyjson_mut_val *o = vs_new_object(doc);
  if (!o) return vs_no_memory();
  yyjson_mut_obj_add_str(doc.get(), o, "account", uid);
  VsText profile, folders;  // live until the line is written
  if (vs_add_file(x, doc.get(), o, "profile", paths.profile, profile) != 0 ||
      vs_add_file(x, doc.get(), o, "folders", paths.folders, folders) != 0 ||
      vs_line(x, doc.get()) != 0)
    return -1;
  x.r.accounts++;
  if (x.sink.progress) x.sink.progress(x.sink.ctx, x.r);
  if (vs_items(x, paths.ciphers, nullptr) != 0) return -1;
  return vs_items(x, paths.trash, paths.ciphers);
}

}  // namespace

int vs_admin_export(const char *root, const char *const *ids, size_t n, int fd,
                    const VsExportSink &sink, VsExportReport &r) {
  r = VsExportReport();
  VsNames all;
  if (n == 0) {
    if (vs_admin_accounts(root, all, true, "export") != 0) return -1;
    ids = all.v;
    n = all.n;
  } else {
    // Every account asked for must be there before a line is written; an
    // id no account can have is a mistake of the caller, not a missing one.
    for (size_t i = 0; i < n; i++) {
      if (!vs_id_safe(ids[i])) {
        vs_error_code(VAULT_INVALID, 0, "export: bad user id %s", ids[i]);
        return -1;
      }
      if (!vs_admin_is_account(root, ids[i], true)) {
        vs_error_code(VAULT_NOT_FOUND, 0, "export: no account %s", ids[i]);
        return 1;
      }
    }
  }
  r.total = (long)n;
  VsExport *x = new (std::nothrow) VsExport(root, fd, sink, r);
  if (!x) return vs_no_memory();
  std::unique_ptr<VsExport> hold(x);

  VsMutDoc head;
  yyjson_mut_val *h = vs_new_object(head);
  if (!h) return vs_no_memory();
  yyjson_mut_obj_add_str(head.get(), h, "format", VS_DUMP_FORMAT);
  yyjson_mut_obj_add_int(head.get(), h, "version", VS_DUMP_VERSION);
  if (vs_line(*x, head.get()) != 0) return -1;
  for (size_t i = 0; i < n; i++)
    if (vs_account(*x, ids[i]) != 0) {
      vs_flush(*x);  // what was written stays written; the dump has no end line
      return -1;
    }
  VsMutDoc end;
  yyjson_mut_val *e = vs_new_object(end);
  if (!e) return vs_no_memory();
  yyjson_mut_obj_add_true(end.get(), e, "end");
  yyjson_mut_obj_add_int(end.get(), e, "accounts", r.accounts);
  yyjson_mut_obj_add_int(end.get(), e, "items", r.items);
  if (vs_line(*x, end.get()) != 0) return -1;
  return vs_flush(*x);
}

int vs_admin_export_file(const char *root, const char *const *ids, size_t n,
                         const char *path, const VsExportSink &sink, VsExportReport &r) {
  VsFd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.ok()) {
    if (errno == EEXIST)
      vs_error_code(VAULT_EXISTS, EEXIST, "export: cannot create %s (%s): a dump never "
                    "replaces a file", path, strerror(EEXIST));
    else
      vs_error_errno(errno, "export: cannot create %s (%s)", path, strerror(errno));
    return -1;
  }
  int rc = vs_admin_export(root, ids, n, fd.fd, sink, r);
  if (rc == 0 && fsync(fd.fd) != 0) {
    vs_error_errno(errno, "export: cannot write %s (%s)", path, strerror(errno));
    rc = -1;
  }
  if (fd.close_now() != 0 && rc == 0) {
    vs_error_errno(errno, "export: cannot write %s (%s)", path, strerror(errno));
    rc = -1;
  }
  if (rc != 0) {
    VsErrorSave failed;
    vs_error_save(failed);
    unlink(path);
    vs_error_restore(failed);
    return rc;
  }
  // The file's name too: a dump reported written survives a power loss.
  if (vs_sync_parent(path) != 0) {
    char why[VS_ERROR_SIZE];
    vs_copy_text(why, sizeof why, vs_error_str());
    vs_error("export: %s", why);
    return -1;
  }
  return 0;
}
