#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// An anonymous in-memory file that a forked child inherits; the parent reads
// back everything written to it.
class MemFile {
  public:
    MemFile();
    ~MemFile();
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    int fd() const { return _fd; }
    std::string contents() const;

  private:
    int _fd;
};

// A private directory under the system's temporary directory, removed with
// everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return _path; }
    // The directory with a trailing slash, as a log directory is written.
    std::string withSlash() const { return _path.string() + "/"; }

  private:
    std::filesystem::path _path;
};

struct ChildOutcome {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Exit status of a child in which a GoogleTest expectation failed.
constexpr int kChildExpectationFailed = 97;

// Runs a scenario in a forked child so that it starts from the logger's
// initial process-wide state, capturing its standard output and error.
// Expectations may be checked inside the scenario: a failed one makes the
// child end with kChildExpectationFailed and its report lands in `out`.
ChildOutcome runIsolated(const std::function<void()>& scenario);

// Runs `command` with `logDir` mounted over /var/log, in a mount namespace that
// dies with it, so the host's /var/log is never touched.
ChildOutcome runWithPrivateLogDirectory(const TempDir& logDir,
                                        const std::vector<std::string>& command);

// Splits a record line into its six CSV fields; the message may hold commas.
std::vector<std::string> recordFields(const std::string& record);

// The first line of a text, line feed included.
std::string firstLine(const std::string& text);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);
