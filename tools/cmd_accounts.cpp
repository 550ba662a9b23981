// Subcommands for the accounts exports.
#include "host.h"

void vh_add_account_commands(CLI::App &, VhContext &) {}

int vh_demo_accounts(VhContext &, std::string &) { return VH_OK; }
