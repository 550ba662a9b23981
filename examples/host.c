/*
 * A minimal host in plain C that loads keldrune-vault-storage the way a
 * server written in any language does: dlopen() by path, then dlsym() of the
 * exports it uses by name. It needs no header and does not link the library.
 *
 * It walks through one account: register, look up, store two items, trash
 * one, restore it, keep a folder list, build the sync document and read the
 * statistics, checking every result and printing the last-error text when
 * something fails. Texts come from the _alloc functions: of any size, owned
 * by the host, and released with vault_free().
 *
 *   cc -o host examples/host.c -ldl
 *   ./host build/libkeldrune-vault-storage.so.0 /tmp/vault-example
 *
 * DATA_ROOT should be a fresh directory: the e-mail address is registered
 * only once.
 */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* Sizes of the output buffers a host lends, as the public header names them
 * (VAULT_ID_SIZE, VAULT_HASH_SIZE, VAULT_KEY_SIZE). */
enum { VAULT_ID_SIZE = 37, VAULT_HASH_SIZE = 128, VAULT_KEY_SIZE = 512 };

/* The exports used, as function pointer types. */
typedef int (*storage_init_fn)(const char *root);
typedef void (*storage_cleanup_fn)(void);
typedef const char *(*last_error_fn)(void);
typedef int (*user_exists_fn)(const char *email);
typedef int (*user_find_fn)(const char *email, char *user_id_out, uint32_t *iterations_out,
                            char *hash_out, char *key_out);
typedef int (*user_create_fn)(const char *email, const char *hash, uint32_t iterations,
                              const char *protected_key, char *user_id_out);
typedef char *(*profile_fn)(const char *user_id, size_t *len_out);
typedef int (*cipher_save_fn)(const char *user_id, const char *json, char *id_out);
typedef char *(*cipher_get_fn)(const char *user_id, const char *cipher_id, size_t *len_out);
typedef int (*cipher_delete_fn)(const char *user_id, const char *cipher_id, int permanent);
typedef int (*cipher_restore_fn)(const char *user_id, const char *cipher_id);
typedef char *(*folders_get_fn)(const char *user_id, size_t *len_out);
typedef int (*folder_save_fn)(const char *user_id, const char *json, char *id_out);
typedef int (*folder_delete_fn)(const char *user_id, const char *folder_id);
typedef char *(*sync_fn)(const char *user_id, size_t *len_out);
typedef char *(*stats_fn)(size_t *len_out);
typedef void (*free_fn)(void *text);
typedef const char *(*version_fn)(void);

static struct {
  storage_init_fn storage_init;
  storage_cleanup_fn storage_cleanup;
  last_error_fn last_error;
  user_exists_fn user_exists;
  user_find_fn user_find_by_email;
  user_create_fn user_create;
  profile_fn user_get_profile_json;
  cipher_save_fn cipher_save;
  cipher_get_fn cipher_get;
  cipher_delete_fn cipher_delete;
  cipher_restore_fn cipher_restore_from_trash;
  folders_get_fn folders_get_json;
  folder_save_fn folder_save;
  folder_delete_fn folder_delete;
  sync_fn sync_generate_json;
  stats_fn storage_get_stats_json;
  free_fn release;
  version_fn version;
} vault;

/* dlsym returns void *; copying through memcpy avoids the object-to-function
 * pointer cast that ISO C leaves undefined. */
static int resolve(void *lib, const char *name, void *slot, size_t size) {
  void *sym = dlsym(lib, name);
  if (!sym) {
    fprintf(stderr, "host: missing export %s: %s\n", name, dlerror());
    return -1;
  }
  memcpy(slot, &sym, size);
  return 0;
}

#define RESOLVE(field, name) resolve(lib, name, &vault.field, sizeof vault.field)

static int load(void *lib) {
  int bad = 0;
  bad |= RESOLVE(storage_init, "vault_storage_init");
  bad |= RESOLVE(storage_cleanup, "vault_storage_cleanup");
  bad |= RESOLVE(last_error, "vault_storage_last_error");
  bad |= RESOLVE(user_exists, "vault_user_exists");
  bad |= RESOLVE(user_find_by_email, "vault_user_find_by_email");
  bad |= RESOLVE(user_create, "vault_user_create");
  bad |= RESOLVE(user_get_profile_json, "vault_user_get_profile_json_alloc");
  bad |= RESOLVE(cipher_save, "vault_cipher_save");
  bad |= RESOLVE(cipher_get, "vault_cipher_get_alloc");
  bad |= RESOLVE(cipher_delete, "vault_cipher_delete");
  bad |= RESOLVE(cipher_restore_from_trash, "vault_cipher_restore_from_trash");
  bad |= RESOLVE(folders_get_json, "vault_folders_get_json_alloc");
  bad |= RESOLVE(folder_save, "vault_folder_save");
  bad |= RESOLVE(folder_delete, "vault_folder_delete");
  bad |= RESOLVE(sync_generate_json, "vault_sync_generate_json_alloc");
  bad |= RESOLVE(storage_get_stats_json, "vault_storage_get_stats_json_alloc");
  bad |= RESOLVE(release, "vault_free");
  bad |= RESOLVE(version, "vault_storage_version");
  return bad ? -1 : 0;
}

static int failures;

/* Records one check; on failure prints what was expected and the library's
 * last-error text, which explains every -1, 1 and NULL. */
static void check(int ok, const char *what) {
  if (ok) {
    printf("ok    %s\n", what);
  } else {
    printf("FAIL  %s (last error: %s)\n", what, vault.last_error());
    failures++;
  }
}

static int contains(const char *text, const char *part) {
  return text != NULL && strstr(text, part) != NULL;
}

/* Keeps the latest text the host was given and releases the one before:
 * every text from an _alloc function is the host's to vault_free(). */
static char *text;

static const char *hold(char *fresh) {
  if (text) vault.release(text);
  text = fresh;
  return text;
}

int main(int argc, char **argv) {
  const char *email = "alice@example.org";
  char user_id[VAULT_ID_SIZE], found_id[VAULT_ID_SIZE], cipher_id[VAULT_ID_SIZE];
  char login_id[VAULT_ID_SIZE], folder_id[VAULT_ID_SIZE];
  char hash[VAULT_HASH_SIZE], key[VAULT_KEY_SIZE];
  uint32_t iterations = 0;
  size_t len = 0;
  void *lib;

  if (argc != 3) {
    fprintf(stderr, "usage: %s LIBRARY_PATH DATA_ROOT\n", argv[0]);
    return 2;
  }
  lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "host: %s\n", dlerror());
    return 2;
  }
  if (load(lib) != 0) return 2;

  check(strcmp(vault.last_error(), "OK") == 0, "a fresh load reports OK");
  printf("      library version %s\n", vault.version());
  check(vault.storage_init(argv[2]) == 0, "init the data root");

  /* Register, then find the account by its address in other letter case. */
  check(vault.user_create(email, "hash-of-master-password", 600000, "protected-key", user_id) == 0,
        "register alice");
  check(strlen(user_id) == 36, "the user id is a 36-character UUID");
  check(vault.user_create("ALICE@example.org", NULL, 1, NULL, NULL) == 1,
        "a second registration of the address is refused (1)");
  check(vault.user_exists("Alice@Example.org") == 1, "alice exists");
  check(vault.user_exists("bob@example.org") == 0, "bob does not");
  memset(hash, 0, sizeof hash);
  memset(key, 0, sizeof key);
  check(vault.user_find_by_email(email, found_id, &iterations, hash, key) == 0 &&
            strcmp(found_id, user_id) == 0 && iterations == 600000 &&
            strcmp(hash, "hash-of-master-password") == 0 && strcmp(key, "protected-key") == 0,
        "find alice with her credentials");
  hold(vault.user_get_profile_json(user_id, &len));
  check(contains(text, "\"email\":\"alice@example.org\"") && len == strlen(text), "read the profile");

  /* Items: one with its own id, one that gets a generated id. */
  check(vault.cipher_save(user_id, "{\"id\":\"note-1\",\"type\":2,\"name\":\"2.enc\"}", cipher_id) == 0 &&
            strcmp(cipher_id, "note-1") == 0,
        "save an item under its own id");
  check(vault.cipher_save(user_id, "{\"type\":1,\"name\":\"2.enc-login\"}", login_id) == 0 &&
            strlen(login_id) == 36,
        "save an item without an id (a UUID is chosen)");
  hold(vault.cipher_get(user_id, "note-1", &len));
  check(text != NULL && strcmp(text, "{\"id\":\"note-1\",\"type\":2,\"name\":\"2.enc\"}") == 0,
        "read the item back byte for byte");
  check(vault.cipher_save(user_id, "{\"id\":\"x\",}", NULL) == -1 &&
            strcmp(vault.last_error(), "cipher_save: invalid json") == 0,
        "refuse a document that is not strict JSON");

  /* Trash and restore. */
  check(vault.cipher_delete(user_id, "note-1", 0) == 0, "move the item to the trash");
  check(hold(vault.cipher_get(user_id, "note-1", NULL)) == NULL, "a trashed item is not found");
  check(vault.cipher_restore_from_trash(user_id, "note-1") == 0, "restore it");
  check(vault.cipher_restore_from_trash(user_id, "note-1") == 1, "a second restore finds nothing (1)");
  check(hold(vault.cipher_get(user_id, "note-1", NULL)) != NULL, "the restored item is back");
  check(vault.cipher_delete(user_id, login_id, 1) == 0, "delete the other item for good");

  /* Folders. */
  check(vault.folder_save(user_id, "{\"name\":\"2.enc-work\"}", folder_id) == 0, "add a folder");
  check(vault.folder_save(user_id, "{\"id\":\"f-home\",\"name\":\"2.enc-home\"}", NULL) == 0,
        "add a folder with its own id");
  hold(vault.folders_get_json(user_id, NULL));
  check(contains(text, folder_id) && contains(text, "\"id\":\"f-home\""), "list both folders");
  check(vault.folder_delete(user_id, "f-home") == 0, "delete one folder");
  check(vault.folder_delete(user_id, "f-home") == 1, "a second delete finds nothing (1)");

  /* The sync document and the statistics. */
  hold(vault.sync_generate_json(user_id, NULL));
  check(contains(text, "\"object\":\"sync\"") && contains(text, "\"id\":\"note-1\"") &&
            contains(text, folder_id) && !contains(text, login_id),
        "build the sync document");
  hold(vault.storage_get_stats_json(NULL));
  check(contains(text, "\"users\":1,\"ciphers\":1,\"folders\":1,\"trash\":0,"), "read the statistics");
  if (text) printf("      %s\n", text);

  vault.storage_cleanup();
  check(hold(vault.cipher_get(user_id, "note-1", NULL)) == NULL &&
            strcmp(vault.last_error(), "cipher_get: bad id") == 0,
        "after cleanup no root is set");
  hold(NULL);
  dlclose(lib);

  printf("%s: %d failure(s)\n", failures ? "FAILED" : "passed", failures);
  return failures ? 1 : 0;
}
