#include "IsolatedRun.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

MemFile::MemFile() : _fd(memfd_create("captured", 0)) {
    if (_fd < 0) {
        throw std::system_error(errno, std::generic_category(), "memfd_create");
    }
}

MemFile::~MemFile() {
    close(_fd);
}

std::string MemFile::contents() const {
    std::string text;
    char chunk[4096];
    off_t offset = 0;
    for (ssize_t n; (n = pread(_fd, chunk, sizeof chunk, offset)) > 0; offset += n) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestro-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    _path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}

ChildOutcome runIsolated(const std::function<void()>& scenario) {
    MemFile out;
    MemFile err;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (child == 0) {
        dup2(out.fd(), STDOUT_FILENO);
        dup2(err.fd(), STDERR_FILENO);
        scenario();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? kChildExpectationFailed : 0);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return {status, out.contents(), err.contents()};
}

ChildOutcome runWithPrivateLogDirectory(const TempDir& logDir,
                                        const std::vector<std::string>& command) {
    return runIsolated([&] {
        std::vector<const char*> argv = {"unshare", "--mount", "--propagation", "private"};
        if (geteuid() != 0) {
            argv.push_back("--map-root-user");
        }
        for (const char* arg : {"/bin/sh", "-c", "mount --bind \"$0\" /var/log && exec \"$@\"",
                                logDir.path().c_str()}) {
            argv.push_back(arg);
        }
        for (const std::string& word : command) {
            argv.push_back(word.c_str());
        }
        argv.push_back(nullptr);
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    });
}

std::vector<std::string> recordFields(const std::string& record) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (int i = 0; i < 5; ++i) {
        const std::size_t comma = record.find(',', start);
        if (comma == std::string::npos) {
            break;
        }
        fields.push_back(record.substr(start, comma - start));
        start = comma + 1;
    }
    fields.push_back(record.substr(start));
    return fields;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n') + 1);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}
