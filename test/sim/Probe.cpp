// A small program that knows nothing of the simulator: it talks to a node,
// sleeps, reads the wall clock and drives GPIO line 7, the way the product
// does. The launcher's tests run it under i2c-kestro-sim. It ends with the
// status given as its argument.

#include <fcntl.h>
#include <gpiod.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "WireFrame.h"

namespace {

int64_t wallClockUs() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return int64_t{now.tv_sec} * 1000000 + now.tv_usec;
}

int64_t waitedUs = 0;

std::string identity() {
    const int fd = ::open("/dev/i2c-3", O_RDWR);
    if (fd < 0 || ::ioctl(fd, I2C_SLAVE, 0x10) != 0) return "no bus";
    const bed::Bytes request = bed::encodeFrame({0xE2});
    const bool sent = ::write(fd, request.data(), request.size()) == ssize_t(request.size());
    const int64_t before = wallClockUs();
    ::usleep(100000);
    waitedUs = wallClockUs() - before;
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

#if KESTRO_GPIOD_API == 2
bool driveLine() {
    gpiod_chip* chip = gpiod_chip_open("/dev/gpiochip0");
    if (chip == nullptr) return false;
    gpiod_line_settings* settings = gpiod_line_settings_new();
    gpiod_line_config* lines = gpiod_line_config_new();
    const unsigned offset = 7;
    gpiod_line_settings_set_direction(settings, GPIOD_LINE_DIRECTION_OUTPUT);
    gpiod_line_settings_set_output_value(settings, GPIOD_LINE_VALUE_ACTIVE);
    gpiod_line_config_add_line_settings(lines, &offset, 1, settings);
    gpiod_line_request* request = gpiod_chip_request_lines(chip, nullptr, lines);
    const bool driven = request != nullptr &&
                        gpiod_line_request_set_value(request, offset, GPIOD_LINE_VALUE_INACTIVE) == 0;
    if (request != nullptr) gpiod_line_request_release(request);
    gpiod_line_config_free(lines);
    gpiod_line_settings_free(settings);
    gpiod_chip_close(chip);
    return driven;
}
#else
bool driveLine() {
    gpiod_chip* chip = gpiod_chip_open_by_number(0);
    if (chip == nullptr) return false;
    gpiod_line* line = gpiod_chip_get_line(chip, 7);
    const bool driven = line != nullptr && gpiod_line_request_output(line, "probe", 1) == 0 &&
                        gpiod_line_set_value(line, 0) == 0;
    gpiod_chip_close(chip);
    return driven;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    std::printf("identity: %s\n", identity().c_str());
    std::printf("waited: %s\n", waitedUs >= 100000 ? "at least 100 ms" : "less than 100 ms");
    std::printf("gpio: %s\n", driveLine() ? "driven" : "absent");
    return argc > 1 ? std::atoi(argv[1]) : 0;
}
