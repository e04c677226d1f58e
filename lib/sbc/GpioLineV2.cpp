#include <cerrno>
#include <memory>

#include "GpioLine.h"

// libgpiod 2 has no line object outside a request: the board's handle remembers where its line
// is and holds the request once one was granted.
struct GpiodV2Line {
    gpiod_chip* chip;
    unsigned offset;
    gpiod_line_request* request;
};

namespace gpioline {

namespace {

struct Release {
    void operator()(gpiod_line_info* info) const { gpiod_line_info_free(info); }
    void operator()(gpiod_line_settings* settings) const { gpiod_line_settings_free(settings); }
    void operator()(gpiod_line_config* config) const { gpiod_line_config_free(config); }
    void operator()(gpiod_request_config* config) const { gpiod_request_config_free(config); }
};

template <typename T>
using Owned = std::unique_ptr<T, Release>;

gpiod_line_value lineValue(int value) {
    return value != 0 ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
}

bool describeOutput(gpiod_line_config* lines, unsigned offset, int value) {
    Owned<gpiod_line_settings> settings(gpiod_line_settings_new());
    return settings != nullptr &&
           gpiod_line_settings_set_direction(settings.get(), GPIOD_LINE_DIRECTION_OUTPUT) == 0 &&
           gpiod_line_settings_set_output_value(settings.get(), lineValue(value)) == 0 &&
           gpiod_line_config_add_line_settings(lines, &offset, 1, settings.get()) == 0;
}

}  // namespace

gpiod_chip* openChip(unsigned number) {
    return gpiod_chip_open(("/dev/gpiochip" + std::to_string(number)).c_str());
}

// Reading the line's info is what tells, as libgpiod 1's line lookup does, whether the chip
// has the line and answers for it.
GpioLineHandle* getLine(gpiod_chip* chip, unsigned offset) {
    const Owned<gpiod_line_info> info(gpiod_chip_get_line_info(chip, offset));
    if (info == nullptr) return nullptr;
    return new GpiodV2Line{chip, offset, nullptr};
}

int requestOutput(GpioLineHandle* line, const char* consumer, int value) {
    const Owned<gpiod_line_config> lines(gpiod_line_config_new());
    const Owned<gpiod_request_config> config(gpiod_request_config_new());
    if (lines == nullptr || config == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    if (!describeOutput(lines.get(), line->offset, value)) return -1;
    gpiod_request_config_set_consumer(config.get(), consumer);
    line->request = gpiod_chip_request_lines(line->chip, config.get(), lines.get());
    return line->request != nullptr ? 0 : -1;
}

std::string consumer(GpioLineHandle* line) {
    const Owned<gpiod_line_info> info(gpiod_chip_get_line_info(line->chip, line->offset));
    const char* holder = info != nullptr ? gpiod_line_info_get_consumer(info.get()) : nullptr;
    return holder != nullptr ? holder : "";
}

// Like libgpiod 1, a line that was never granted cannot be driven.
int setValue(GpioLineHandle* line, int value) {
    if (line->request == nullptr) {
        errno = EPERM;
        return -1;
    }
    return gpiod_line_request_set_value(line->request, line->offset, lineValue(value));
}

void closeLineAndChip(GpioLineHandle* line) {
    if (line->request != nullptr) gpiod_line_request_release(line->request);
    gpiod_chip_close(line->chip);
    delete line;
}

void closeChip(gpiod_chip* chip) {
    gpiod_chip_close(chip);
}

}  // namespace gpioline
