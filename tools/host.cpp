// Pieces every subcommand of the command-line host shares: initialising
// the data root, turning the library's results into output and exit codes,
// reading a document to hand to the library, and printing a JSON result.
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "host.h"

bool vh_init(VhContext &ctx) {
  if (vault_storage_init(ctx.root.c_str()) != 0) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return false;
  }
  return true;
}

int vh_result(int rc) {
  if (rc == 0) return VH_OK;
  fprintf(stderr, "%s\n", vault_storage_last_error());
  return rc == 1 ? VH_SOFT : VH_FAIL;
}

int vh_text(const char *text) {
  if (!text) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return VH_FAIL;
  }
  printf("%s\n", text);
  return VH_OK;
}

bool vh_read_input(const std::string &path, std::string &out) {
  std::stringstream ss;
  if (path == "-") {
    ss << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    ss << in.rdbuf();
  }
  out = ss.str();
  return true;
}

bool vh_print_json(yyjson_mut_doc *doc) {
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  if (!text) return false;
  printf("%s\n", text);
  free(text);
  return true;
}
