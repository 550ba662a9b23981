// Subcommands for the items exports.
#include "host.h"

void vh_add_item_commands(CLI::App &, VhContext &) {}

int vh_demo_items(VhContext &, const std::string &) { return VH_OK; }
