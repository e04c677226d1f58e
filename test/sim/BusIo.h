#pragma once
// What a master does on i2c-dev, written out plainly for the bed's own tests.

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "WireFrame.h"

namespace bed::selftest {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

inline int openAt(const std::string& bus, uint8_t address) {
    const int fd = ::open(bus.c_str(), O_RDWR);
    if (fd >= 0 && ::ioctl(fd, I2C_SLAVE, address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline ssize_t sendFrame(int fd, const Bytes& payload) {
    const Bytes frame = encodeFrame(payload);
    return ::write(fd, frame.data(), frame.size());
}

// Reads a reply as the board does: 3 bytes, then length + 3.
inline Bytes receiveFrame(int fd) {
    uint8_t header[3] = {};
    if (::read(fd, header, sizeof header) != 3) return {};
    const std::size_t rest = ((std::size_t{header[1]} << 8) | header[2]) + 3;
    Bytes frame(header, header + 3);
    uint8_t tail[8192];
    const ssize_t n = ::read(fd, tail, rest);
    if (n > 0) frame.insert(frame.end(), tail, tail + n);
    return frame;
}

inline Bytes exchange(int fd, const Bytes& payload) {
    if (sendFrame(fd, payload) < 0) return {};
    return decodeFrame(receiveFrame(fd)).payload;
}

}  // namespace bed::selftest
