// kestro-many-nodes: file transfers and commands to many nodes on one bus through one
// BusSchedule, against their targets (`make bench`).
//
// Run without arguments it writes the board into a scratch folder and runs itself on it under
// `i2c-kestro-sim --fast`, where the simulated clock moves by the protocol's waits and by each
// transaction's time on the wire, so simulated minutes take seconds; it then says how long the
// whole run took in real time. `--measure FOLDER` is that inner run.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "ManyNodes.h"

extern char** environ;

namespace {

int runUnderSimulator(const std::string& folder) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string board = folder + "/" + many_nodes::kBoardFile;
    std::string launcher = KESTRO_SIM_LAUNCHER;
    std::string fast = "--fast", scenario = "--scenario", end = "--", measure = "--measure";
    std::string program = self, scenarioPath = board, scratch = folder;
    char* argv[] = {launcher.data(),     fast.data(),    scenario.data(),
                    scenarioPath.data(), end.data(),     program.data(),
                    measure.data(),      scratch.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "kestro-many-nodes: cannot start %s\n", argv[0]);
        return 1;
    }
    int status = -1;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return 1;
    }
    return WEXITSTATUS(status);
}

int drive() {
    std::string folder =
        (std::filesystem::temp_directory_path() / "kestro-many-nodes-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::fprintf(stderr, "kestro-many-nodes: no scratch folder: %s\n", std::strerror(errno));
        return 1;
    }
    int status = 1;
    const auto started = std::chrono::steady_clock::now();
    if (many_nodes::writeBoard(folder)) {
        std::fflush(stdout);
        status = runUnderSimulator(folder);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    std::filesystem::remove_all(folder);
    std::printf("The whole many-nodes run took %.1f s of real time%s\n", took.count(),
                status == 0 ? "" : " and FAILED");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        return drive();
    }
    if (argc == 3 && std::strcmp(argv[1], "--measure") == 0) {
        return many_nodes::measure(argv[2]);
    }
    std::fprintf(stderr, "usage: kestro-many-nodes\n");
    return 2;
}
