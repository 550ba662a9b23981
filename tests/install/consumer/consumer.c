/* A tiny consumer of an installed keldrune-vault-storage: links the library
 * by name, registers an account, stores an item and prints the statistics.
 * Usage: vault_consumer DATA_ROOT */
#include <stdio.h>
#include <string.h>

#include <keldrune-vault-storage.h>

int main(int argc, char **argv) {
  char user_id[VAULT_ID_SIZE], cipher_id[VAULT_ID_SIZE];
  if (argc != 2) {
    fprintf(stderr, "usage: %s DATA_ROOT\n", argv[0]);
    return 2;
  }
  if (vault_storage_init(argv[1]) != 0 ||
      vault_user_create("consumer@example.org", "hash", 600000, "key", user_id) != 0 ||
      vault_cipher_save(user_id, "{\"id\":\"c1\",\"type\":1}", cipher_id) != 0 ||
      strcmp(cipher_id, "c1") != 0) {
    fprintf(stderr, "consumer: %s\n", vault_storage_last_error());
    return 1;
  }
  const char *stats = vault_storage_get_stats_json();
  if (!stats) {
    fprintf(stderr, "consumer: %s\n", vault_storage_last_error());
    return 1;
  }
  printf("%s\n", stats);
  vault_storage_cleanup();
  return 0;
}
