#pragma once
// The libgpiod calls the board makes, named after libgpiod 1's. GpioLineV1.cpp passes them
// straight through; GpioLineV2.cpp carries them out with libgpiod 2. The build compiles the one
// that matches the libgpiod it found. Failures return null or -1 with errno set, as libgpiod's do.

#include <string>

#include "SBC.h"

namespace gpioline {

gpiod_chip* openChip(unsigned number);
GpioLineHandle* getLine(gpiod_chip* chip, unsigned offset);
int requestOutput(GpioLineHandle* line, const char* consumer, int value);
// The label the line's holder requested it under; "" when libgpiod tells none.
std::string consumer(GpioLineHandle* line);
int setValue(GpioLineHandle* line, int value);
// Releases the line and closes the chip it came from.
void closeLineAndChip(GpioLineHandle* line);
void closeChip(gpiod_chip* chip);

}  // namespace gpioline
