#pragma once

#include <unistd.h>

#include <utility>

namespace cli {

// A descriptor with one owner, closed when the owner lets it go.
class OwnedFd {
  public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : _fd(fd) {}
    ~OwnedFd() { reset(); }
    OwnedFd(OwnedFd&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) {
            reset();
            _fd = std::exchange(other._fd, -1);
        }
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;

    int get() const { return _fd; }
    void reset() {
        if (_fd >= 0) {
            ::close(_fd);
        }
        _fd = -1;
    }

  private:
    int _fd = -1;
};

}  // namespace cli
