#include "GpioLine.h"

namespace gpioline {

gpiod_chip* openChip(unsigned number) {
    return gpiod_chip_open_by_number(number);
}

GpioLineHandle* getLine(gpiod_chip* chip, unsigned offset) {
    return gpiod_chip_get_line(chip, offset);
}

int requestOutput(GpioLineHandle* line, const char* consumer, int value) {
    return gpiod_line_request_output(line, consumer, value);
}

std::string consumer(GpioLineHandle* line) {
    const char* holder = gpiod_line_consumer(line);
    return holder != nullptr ? holder : "";
}

int setValue(GpioLineHandle* line, int value) {
    return gpiod_line_set_value(line, value);
}

void closeLineAndChip(GpioLineHandle* line) {
    gpiod_line_close_chip(line);
}

void closeChip(gpiod_chip* chip) {
    gpiod_chip_close(chip);
}

}  // namespace gpioline
