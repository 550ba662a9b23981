/*
 * A host that loads the library with dlopen, calls it from several threads,
 * and unloads it with dlclose while some of those threads are still alive:
 * their per-thread state is released when they end, after the unload, and
 * that must not crash. Then it loads the library again and uses it from a
 * fresh thread.
 *
 *   threads_host LIBRARY_PATH DATA_ROOT
 */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

typedef int (*init_fn)(const char *);
typedef void (*cleanup_fn)(void);
typedef const char *(*last_error_fn)(void);
typedef const char *(*get_fn)(const char *, const char *);
typedef char *(*get_alloc_fn)(const char *, const char *, size_t *);
typedef char *(*stats_alloc_fn)(size_t *);
typedef void (*free_fn)(void *);

static struct {
  init_fn init;
  cleanup_fn cleanup;
  last_error_fn last_error;
  get_fn cipher_get;
  get_alloc_fn cipher_get_alloc;
  stats_alloc_fn stats_alloc;
  free_fn release;
} vault;

static int resolve(void *lib, const char *name, void *slot, size_t size) {
  void *sym = dlsym(lib, name);
  if (!sym) {
    fprintf(stderr, "threads_host: missing %s\n", name);
    return -1;
  }
  memcpy(slot, &sym, size);
  return 0;
}

#define RESOLVE(field, name) resolve(lib, name, &vault.field, sizeof vault.field)

static void *load(const char *path) {
  void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "threads_host: %s\n", dlerror());
    return NULL;
  }
  if (RESOLVE(init, "vault_storage_init") | RESOLVE(cleanup, "vault_storage_cleanup") |
      RESOLVE(last_error, "vault_storage_last_error") | RESOLVE(cipher_get, "vault_cipher_get") |
      RESOLVE(cipher_get_alloc, "vault_cipher_get_alloc") |
      RESOLVE(stats_alloc, "vault_storage_get_stats_json_alloc") | RESOLVE(release, "vault_free"))
    return NULL;
  return lib;
}

static pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t s_cond = PTHREAD_COND_INITIALIZER;
static int s_called, s_go;
static int s_linger = 1;  /* worker argument: wait to be told to end */
static int s_failures;

static void fail(const char *what) {
  pthread_mutex_lock(&s_lock);
  fprintf(stderr, "threads_host: %s\n", what);
  s_failures++;
  pthread_mutex_unlock(&s_lock);
}

/* Uses the library (its per-thread error text and result buffers), then
 * waits until told to end: by then the library may be unloaded. */
static void *worker(void *arg) {
  int linger = arg != NULL;
  size_t len = 0;
  char *stats = vault.stats_alloc(&len);
  if (!stats || len == 0) fail("stats_alloc failed");
  vault.release(stats);
  if (vault.cipher_get("nobody", "x") != NULL || strcmp(vault.last_error(), "cipher_get: not found") != 0)
    fail("cipher_get of a missing item");
  if (vault.cipher_get_alloc("nobody", "x", &len) != NULL) fail("cipher_get_alloc of a missing item");
  pthread_mutex_lock(&s_lock);
  s_called++;
  pthread_cond_broadcast(&s_cond);
  while (linger && !s_go) pthread_cond_wait(&s_cond, &s_lock);
  pthread_mutex_unlock(&s_lock);
  return NULL;
}

int main(int argc, char **argv) {
  pthread_t early[2], late[2], again;
  int i;
  if (argc != 3) {
    fprintf(stderr, "usage: %s LIBRARY_PATH DATA_ROOT\n", argv[0]);
    return 2;
  }
  void *lib = load(argv[1]);
  if (!lib) return 2;
  if (vault.init(argv[2]) != 0) {
    fprintf(stderr, "threads_host: init: %s\n", vault.last_error());
    return 2;
  }
  /* Two threads end while the library is loaded, two after it is gone. */
  for (i = 0; i < 2; i++) pthread_create(&early[i], NULL, worker, NULL);
  for (i = 0; i < 2; i++) pthread_create(&late[i], NULL, worker, &s_linger);
  for (i = 0; i < 2; i++) pthread_join(early[i], NULL);
  pthread_mutex_lock(&s_lock);
  while (s_called < 4) pthread_cond_wait(&s_cond, &s_lock);
  pthread_mutex_unlock(&s_lock);

  vault.cleanup();
  if (dlclose(lib) != 0) fail("dlclose");
  pthread_mutex_lock(&s_lock);
  s_go = 1;
  pthread_cond_broadcast(&s_cond);
  pthread_mutex_unlock(&s_lock);
  for (i = 0; i < 2; i++) pthread_join(late[i], NULL);

  /* Loaded again, the library works from a fresh thread. */
  lib = load(argv[1]);
  if (!lib || vault.init(argv[2]) != 0) return 2;
  s_go = 1;
  pthread_create(&again, NULL, worker, NULL);
  pthread_join(again, NULL);
  if (strcmp(vault.last_error(), "OK") != 0) fail("the main thread saw another thread's error");
  vault.cleanup();
  dlclose(lib);
  printf("%s: %d failure(s)\n", s_failures ? "FAILED" : "passed", s_failures);
  return s_failures ? 1 : 0;
}
