#pragma once
// The simulated chip's lines as both versions of the GPIO character-device
// uAPI see them: looking a line up, granting a request, driving and releasing
// lines. Each version's ioctls translate their structures into these calls,
// which keep the chip's state and write the event log. Internal to the simulated board.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "Descriptor.h"

namespace sim::gpiolines {

// What the simulated board calls a descriptor of requested lines, whichever uAPI version
// asked for it, so that traces and leak reports read the same with both.
inline constexpr const char* kLineHandlePath = "anon_inode:gpio-linehandle";

// What line info reports of one line.
struct LineDescription {
    std::string name;
    std::string consumer;
    bool used = false;
    bool output = false;
};

// One line of a request, in the request's order.
struct RequestedLine {
    unsigned offset = 0;
    bool output = false;
    int value = 0;  // initial value of an output
};

struct LineRequest {
    std::vector<RequestedLine> lines;
    std::string consumer;  // "" is shown as "?"
    SimBoard::Descriptor::Kind kind = SimBoard::Descriptor::Kind::GpioHandle;
    const char* path = "";  // what the granted descriptor is called
};

// 0 and the line's description, or the errno its info ioctl fails with.
int describe(unsigned offset, LineDescription& description);
// The new descriptor, or -1 with errno (EINVAL, EBUSY or an injected error).
int request(const LineRequest& request);
// Drives the handle's lines at the given indexes; -1 with errno when refused.
int drive(const SimBoard::Descriptor& handle, const std::vector<std::pair<std::size_t, int>>& values);
// The line's value as read back: 1 or 0.
int readBack(unsigned offset);
void release(const SimBoard::Descriptor& handle);

// Copies a text into a fixed uAPI name field, cut to fit and NUL-terminated.
void copyText(char* out, std::size_t size, const std::string& text);

}  // namespace sim::gpiolines
