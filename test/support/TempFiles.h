#pragma once

// Temporary files and folders for tests, removed with everything in them.

#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

// An anonymous in-memory file; a forked child inherits it, and the reader gets
// back everything written to it whatever the write offset.
class MemFile {
  public:
    MemFile() : _fd(memfd_create("captured", 0)) {
        if (_fd < 0) {
            throw std::system_error(errno, std::generic_category(), "memfd_create");
        }
    }
    ~MemFile() { close(_fd); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    int fd() const { return _fd; }
    std::string contents() const {
        std::string text;
        char chunk[4096];
        off_t offset = 0;
        for (ssize_t n; (n = pread(_fd, chunk, sizeof chunk, offset)) > 0; offset += n) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

  private:
    int _fd;
};

// A private directory under the system's temporary directory.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestro-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        _path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return _path; }
    // The directory with a trailing slash, as a log directory is written.
    std::string withSlash() const { return _path.string() + "/"; }

  private:
    std::filesystem::path _path;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}
