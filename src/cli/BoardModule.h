#pragma once

#include "Board.h"
#include "Console.h"

namespace cli {

// The board subcommand is a module of its own, which the tool loads only when the subcommand
// runs. Bringing the board up needs the board library and, through it, the device API's HTTPS
// stack (libcurl with its TLS, Kerberos and LDAP libraries): linked into the program, loading
// them would cost every run of the tool, a node command or --version as much as the board.
// The module takes the rest of the tool (console, JSON, scan and node helpers) from the program,
// which exports its namespace cli for it (exported-to-board-module.list).

// The module's one entry, looked up by this name.
inline constexpr const char* kBoardModuleEntry = "kestro_cli_run_board";
using BoardModuleEntry = int(Console& console, const Settings& settings,
                             const BoardOptions& options);

}  // namespace cli
