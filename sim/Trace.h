#pragma once
// The bus trace of `i2c-kestro-sim --trace`: one line per event, read like a
// protocol analyser's log. A request frame is decoded (command, sub-operation,
// frame length, CRC) together with the node's answer and any injected fault:
//
//   0.000000 open /dev/i2c-3
//   0.000041 /dev/i2c-3 select 0x10
//   0.000052 /dev/i2c-3 write 0x10 getIdentity (0xE2) frame 7 crc ok -> OK
//   0.000060 usleep 100000
//   0.100071 /dev/i2c-3 read 0x10 3
//   0.100083 /dev/i2c-3 read 0x10 35
//   1.400102 /dev/i2c-3 write 0x10 sendFile (0x94) chunk frame 819 crc ok -> "NO" [fault not-ok]
//   2.000000 gpio set 7 1

#include <cstdint>
#include <string>

#include "Event.h"

namespace sim {

// The line of `event`, its time in seconds after `startUs`.
std::string traceLine(const Event& event, uint64_t startUs);

}  // namespace sim
