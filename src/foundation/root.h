// The data root the host set with vault_storage_init, or NULL. Only the
// exports read it; everything below them takes the root as an argument.
#ifndef VS_ROOT_H
#define VS_ROOT_H

extern char *s_root;

#endif
