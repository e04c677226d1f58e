// Entry of the preload library that `i2c-kestro-sim` puts into PROGRAM:
// connects the process to the launcher that holds the run's board when the
// library is loaded (see BoardClient.h). The launcher keeps the trace, the
// report and the node files for the whole run.

#include <unistd.h>

#include <cstdlib>

#include "BoardClient.h"
#include "Launch.h"

namespace {

__attribute__((constructor)) void reachBoard() {
    const char* socketPath = std::getenv(sim::launch::kBoard);
    if (socketPath == nullptr || *socketPath == '\0') return;
    if (!sim::client::start(socketPath)) _exit(sim::launch::kNoBoard);
}

}  // namespace
