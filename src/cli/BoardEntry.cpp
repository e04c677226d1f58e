// The board module's entry (see BoardModule.h). The module is built with hidden visibility, so
// the runBoard called here is the module's own, never the program's loader of the same name.
#include <type_traits>

#include "BoardModule.h"

extern "C" __attribute__((visibility("default"))) int kestro_cli_run_board(
    cli::Console& console, const cli::Settings& settings, const cli::BoardOptions& options) {
    return cli::runBoard(console, settings, options);
}

static_assert(std::is_same_v<decltype(kestro_cli_run_board), cli::BoardModuleEntry>);
