// The program's side of the board subcommand: loads the board module and runs it (see
// BoardModule.h).
#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "BoardModule.h"
#include "ExitStatus.h"
#include "Json.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

// Beside the program in the build tree; in the installed layout, in the library folder named
// relative to the program's own folder, so that an install under any prefix finds its own.
fs::path boardModulePath() {
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    const fs::path beside = self / KESTRO_BOARD_MODULE;
    if (fs::exists(beside)) return beside;
    return (self / KESTRO_BOARD_MODULE_DIR / KESTRO_BOARD_MODULE).lexically_normal();
}

}  // namespace

// The module stays loaded until the process ends: libcurl and its TLS library keep process-wide
// state that they release only at exit. Loaded globally, libcurl is seen as when the program
// linked it: a preloaded library that wraps its functions (the simulator's, a tracer's) finds
// them with dlsym(RTLD_NEXT, ...).
int runBoard(Console& console, const Settings& settings, const BoardOptions& options) {
    const fs::path path = boardModulePath();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    auto* entry = module == nullptr ? nullptr
                                    : reinterpret_cast<BoardModuleEntry*>(dlsym(module, kBoardModuleEntry));
    if (entry == nullptr) {
        const char* why = dlerror();
        return console.fail(newObject().get(), "error", kBoardModuleMissing,
                            "cannot load the board module: " + std::string(why ? why : path.string()));
    }
    return entry(console, settings, options);
}

}  // namespace cli
