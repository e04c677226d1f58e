#pragma once
// Version 2 of the GPIO character-device uAPI on the simulated chip, beside
// version 1 in Devices.cpp: line info and line requests on the chip, set and
// get values on a line request. Every function returns what the ioctl would,
// setting errno. Internal to the simulated board.

#include <linux/gpio.h>

#include "Descriptor.h"

namespace sim::gpiov2 {

int lineInfo(gpio_v2_line_info* info);
int lineRequest(gpio_v2_line_request* request);
int requestIoctl(const SimBoard::Descriptor& lineRequest, unsigned long request, void* argument);

// libgpiod 2 takes a character device for a GPIO chip only when
// /sys/dev/char/MAJOR:MINOR/subsystem resolves to /sys/bus/gpio.
bool isSubsystemLink(const char* path);
// realpath() of that link: /sys/bus/gpio while the chip is present.
char* resolveSubsystemLink(char* resolved);

}  // namespace sim::gpiov2
