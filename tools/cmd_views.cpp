// Subcommands for the views exports.
#include "host.h"

void vh_add_view_commands(CLI::App &, VhContext &) {}

int vh_demo_views(VhContext &, const std::string &) { return VH_OK; }
