#include "Program.h"

#include <elf.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "Launch.h"

extern char** environ;

namespace sim {

namespace {

std::vector<std::string> commandWords(const ProgramRun& run) {
    if (run.emulator.empty()) return run.command;
    std::vector<std::string> words = run.emulator;
    for (const auto& [name, value] : run.environment) {
        words.push_back("-E");
        words.push_back(name + "=" + value);
    }
    words.insert(words.end(), run.command.begin(), run.command.end());
    return words;
}

// The launcher's environment, with the settings added or replaced when the
// program runs directly (an emulator gets them as arguments instead).
std::vector<std::string> environmentOf(const ProgramRun& run) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const auto& [name, value] : run.environment) {
            replaced = replaced || (run.emulator.empty() && text.rfind(name + "=", 0) == 0);
        }
        if (!replaced) entries.push_back(text);
    }
    if (run.emulator.empty()) {
        for (const auto& [name, value] : run.environment) entries.push_back(name + "=" + value);
    }
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    return 128 + WTERMSIG(waitStatus);
}

volatile sig_atomic_t runningChild = 0;

void passOn(int signal) {
    if (runningChild > 0) kill(static_cast<pid_t>(runningChild), signal);
}

// While the program runs, the launcher stays to report and clean up after it:
// like system(), it leaves a Ctrl-C at the terminal to the program, which
// decides, and it passes a termination request on to the program.
class SignalsForTheProgram {
  public:
    SignalsForTheProgram() {
        struct sigaction ignore {}, forward{};
        ignore.sa_handler = SIG_IGN;
        forward.sa_handler = passOn;
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            sigaction(kSignals[i], i < 2 ? &ignore : &forward, &old_[i]);
        }
    }
    ~SignalsForTheProgram() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &old_[i], nullptr);
    }
    SignalsForTheProgram(const SignalsForTheProgram&) = delete;
    SignalsForTheProgram& operator=(const SignalsForTheProgram&) = delete;

  private:
    static constexpr std::array<int, 4> kSignals = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    std::array<struct sigaction, 4> old_{};
};

// Starts the program with the interrupt signals back at their defaults; the
// error number of a failed start, else 0.
int spawn(pid_t& child, std::vector<char*>& argv, std::vector<char*>& envp) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int error = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    return error;
}

// Where execvp finds `name`: itself when it names a path, else the first
// executable file of that name in PATH (the C library's default PATH when unset).
std::optional<std::string> resolvedProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/bin:/usr/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// `size` bytes of the file from `offset`; fewer at its end.
std::string bytesAt(std::ifstream& in, uint64_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

// An unsigned field of an ELF header, in the file's byte order.
uint64_t fieldAt(const std::string& bytes, std::size_t offset, std::size_t size, bool bigEndian) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < size && offset + size <= bytes.size(); ++i) {
        const auto byte = static_cast<uint8_t>(bytes[bigEndian ? offset + i : offset + size - 1 - i]);
        value = value << 8 | byte;
    }
    return value;
}

// True for an ELF executable without a program interpreter: no dynamic loader
// starts it, so nothing loads the preload library into it. Scripts, and
// files that are not ELF, are left to the system to start.
bool staticallyLinked(const std::string& program) {
    std::ifstream in(program, std::ios::binary);
    const std::string header = bytesAt(in, 0, sizeof(Elf64_Ehdr));
    if (header.size() < EI_NIDENT || header.compare(0, SELFMAG, ELFMAG) != 0) return false;
    const bool wide = header[EI_CLASS] == ELFCLASS64;
    const bool bigEndian = header[EI_DATA] == ELFDATA2MSB;
    const uint64_t tableOffset = fieldAt(header, wide ? 32 : 28, wide ? 8 : 4, bigEndian);
    const uint64_t entrySize = fieldAt(header, wide ? 54 : 42, 2, bigEndian);
    const uint64_t entries = fieldAt(header, wide ? 56 : 44, 2, bigEndian);
    const std::string table = bytesAt(in, tableOffset, entries * entrySize);
    for (uint64_t i = 0; i < entries; ++i) {
        if (fieldAt(table, i * entrySize, 4, bigEndian) == PT_INTERP) return false;
    }
    return entries > 0 && table.size() == entries * entrySize;
}

// The one line that refuses a program the simulated board cannot reach, or
// nothing when the program can be run against it.
std::optional<std::string> unreachable(const std::string& name) {
    const std::optional<std::string> program = resolvedProgram(name);
    if (!program || !staticallyLinked(*program)) return std::nullopt;
    return "i2c-kestro-sim: " + *program +
           " is statically linked, so the simulator's preload library cannot reach it; "
           "it would use the real devices";
}

}  // namespace

int runProgram(const ProgramRun& run) {
    if (const std::optional<std::string> refusal = unreachable(run.command.front())) {
        std::fprintf(stderr, "%s\n", refusal->c_str());
        return launch::kBadScenario;
    }
    std::vector<std::string> words = commandWords(run);
    std::vector<std::string> entries = environmentOf(run);
    std::vector<char*> argv = pointersTo(words);
    std::vector<char*> envp = pointersTo(entries);
    const SignalsForTheProgram signals;
    pid_t child = -1;
    if (const int error = spawn(child, argv, envp); error != 0) {
        std::fprintf(stderr, "i2c-kestro-sim: cannot run %s: %s\n", argv[0], std::strerror(error));
        return launch::kCannotRun;
    }
    runningChild = child;
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    runningChild = 0;
    return statusOf(waitStatus);
}

}  // namespace sim
