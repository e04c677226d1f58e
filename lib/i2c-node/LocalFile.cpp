#include "LocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace {

constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;
constexpr const char* kPartialSuffix = ".part";

// What a file made by fopen(path, "w") would get: an existing destination's permissions,
// else the usual ones less the umask.
mode_t modeFor(const std::string& destination) {
    struct stat info {};
    if (::lstat(destination.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        return info.st_mode & kPermissionBits;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return kNewFileMode & ~mask;
}

FILE* streamOf(int fd, const char* mode) {
    FILE* stream = ::fdopen(fd, mode);
    if (stream == nullptr) {
        ::close(fd);
    }
    return stream;
}

bool isRegular(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

int openRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && !isRegular(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

FILE* openRegularStream(const std::string& path) {
    const int fd = openRegularFile(path);
    return fd < 0 ? nullptr : streamOf(fd, "r");
}

IncomingFile::IncomingFile(const std::string& destination, bool keepPartial)
    : destination_(destination), keep_(keepPartial) {
    if (!(keepPartial ? openPartial() : openTemporary()) && stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
}

IncomingFile::~IncomingFile() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
    }
    if (!keep_ && !path_.empty()) {
        ::unlink(path_.c_str());
    }
}

bool IncomingFile::refusesDestination(const std::string& destination) {
    struct stat info {};
    return ::lstat(destination.c_str(), &info) == 0 && !S_ISREG(info.st_mode) &&
           !S_ISLNK(info.st_mode);
}

int IncomingFile::unwritable(const std::string& destination) {
    const std::filesystem::path folder = std::filesystem::path(destination).parent_path();
    // "/." fails with ENOTDIR when the folder is a file.
    const std::string where = (folder.empty() ? "." : folder.string()) + "/.";
    if (::faccessat(AT_FDCWD, where.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return errno;
    }
    struct stat info {};
    if (::lstat(destination.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::faccessat(AT_FDCWD, destination.c_str(), W_OK, AT_EACCESS) != 0) {
        return errno;
    }
    return 0;
}

// Hidden and unique in the destination's folder, so that the rename stays on one file system.
bool IncomingFile::openTemporary() {
    const std::filesystem::path target(destination_);
    std::string name =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    path_ = name;
    if (::fchmod(fd, modeFor(destination_)) != 0) {
        ::close(fd);
        return false;
    }
    stream_ = streamOf(fd, "w+");
    return stream_ != nullptr;
}

bool IncomingFile::openPartial() {
    path_ = destination_ + kPartialSuffix;
    const int fd =
        ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kNewFileMode);
    if (fd < 0) {
        path_.clear();
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        ::fchmod(fd, modeFor(destination_)) != 0) {
        ::close(fd);
        return false;
    }
    stream_ = streamOf(fd, "r+");
    if (stream_ == nullptr || std::fseek(stream_, 0, SEEK_END) != 0) {
        return false;
    }
    length_ = static_cast<uint64_t>(info.st_size);
    return true;
}

void IncomingFile::restartIfLongerThan(uint64_t size) {
    if (length_ > size && ::ftruncate(::fileno(stream_), 0) == 0) {
        std::rewind(stream_);
        length_ = 0;
    }
}

bool IncomingFile::sync() {
    return std::fflush(stream_) == 0 && ::fsync(::fileno(stream_)) == 0;
}

bool IncomingFile::commit() {
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    if (!closed || std::rename(path_.c_str(), destination_.c_str()) != 0) {
        return false;
    }
    path_.clear();
    return true;
}

void IncomingFile::discard() {
    keep_ = false;
}
