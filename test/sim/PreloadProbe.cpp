// A small program that knows nothing of the bed: it talks to a node, sleeps,
// reads the wall clock and drives GPIO line 7, the way the product does. The
// preload self-test runs it under kestro-sim-preload.

#include <fcntl.h>
#include <gpiod.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "WireFrame.h"

namespace {

std::string identity() {
    const int fd = ::open("/dev/i2c-3", O_RDWR);
    if (fd < 0 || ::ioctl(fd, I2C_SLAVE, 0x10) != 0) return "no bus";
    const bed::Bytes request = bed::encodeFrame({0xE2});
    const bool sent = ::write(fd, request.data(), request.size()) == ssize_t(request.size());
    ::usleep(100000);
    uint8_t header[3] = {};
    uint8_t rest[8192] = {};
    const bool headed = sent && ::read(fd, header, 3) == 3;
    const std::size_t length = (std::size_t{header[1]} << 8) | header[2];
    const bool received = headed && ::read(fd, rest, length + 3) == ssize_t(length + 3);
    ::close(fd);
    if (!received) return "no answer";
    std::string texts;
    for (std::size_t i = 2; i < length; ++i)
        texts += rest[i] == 0 ? ' ' : static_cast<char>(rest[i]);
    return texts;
}

bool driveLine() {
    gpiod_chip* chip = gpiod_chip_open_by_number(0);
    if (chip == nullptr) return false;
    gpiod_line* line = gpiod_chip_get_line(chip, 7);
    const bool driven = line != nullptr && gpiod_line_request_output(line, "probe", 1) == 0 &&
                        gpiod_line_set_value(line, 0) == 0;
    gpiod_chip_close(chip);
    return driven;
}

}  // namespace

int main() {
    std::printf("identity: %s\n", identity().c_str());
    std::printf("time: %lld\n", static_cast<long long>(std::time(nullptr)));
    std::printf("gpio: %s\n", driveLine() ? "driven" : "absent");
    return 0;
}
