#pragma once
// How an ioctl's argument crosses the board link. Structures that hold
// pointers (I2C_SMBUS, I2C_RDWR) travel as their contents and are rebuilt on
// the board's side around its own buffers; a GPIO structure travels whole
// (its size is in the request code); the other i2c-dev requests take a number.
// The board never follows a pointer a program sent.

#include <cstdint>
#include <vector>

#include "Descriptor.h"

namespace sim::ioctlwire {

using Bytes = std::vector<uint8_t>;
using Kind = SimBoard::Descriptor::Kind;

// Program side: the request's payload, or an errno when the argument is
// refused before anything is sent (EFAULT, EINVAL), as the kernel refuses it.
int encode(Kind kind, unsigned request, void* argument, Bytes& payload);
// Program side: copies the answer into the caller's argument. `made` is the
// program's descriptor for one the board made (a GPIO line request).
void decode(Kind kind, unsigned request, void* argument, const Bytes& answer, int made);
// Whether a successful request made a descriptor (its number is in the structure).
bool makesDescriptor(unsigned request);
int madeDescriptor(unsigned request, const Bytes& answer);

// Board side: runs the request on the board's descriptor from a payload of
// any content; fills the answer payload. Returns what the ioctl returns.
int serve(int fd, Kind kind, unsigned request, const Bytes& payload, Bytes& answer);

}  // namespace sim::ioctlwire
