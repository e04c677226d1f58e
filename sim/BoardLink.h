#pragma once
// The connection between a program's preload library and the launcher that
// holds the run's board: one Unix stream socket per process, one request and
// its answer at a time. Both ends are built from this tree for one machine,
// so the messages are the fixed-width structures below in the host's order.
//
//   request: Request, then `size` bytes of payload
//   answer:  Answer, then `size` bytes of payload
//
// When the board accepts a connection it offers the memory the two share
// (an Answer with the area's size in `b`, and its descriptor passed along;
// `result` -1 and `error` when it could make none): requests and answers
// then go through that area (see SharedArea.h) and the socket carries only
// doorbells and, by its end, the news that a side is gone.
//
// The board checks every request as if it came from a hostile peer (see
// BoardService.h).
//
// A program's wait in poll() and its kin is a wait on the run's clock that
// the program's own descriptors may end early (fast runs): the board rings
// the program's socket (one byte) when the clock reaches its end, so that
// the program can watch its descriptors and the socket in one poll().

#include <cstdint>
#include <string>
#include <vector>

#include "Spin.h"

namespace sim::link {

enum class Op : uint32_t {
    Hello = 1,  // answer payload: the outline (below)
    Open,       // payload: path; a = flags; answer: result = board descriptor; b = its Kind
    Close,      // a = board descriptor
    Read,       // a = board descriptor, b = count; answer payload: the bytes
    Write,      // a = board descriptor; payload: the bytes
    Ioctl,      // a = board descriptor, b = request; payloads: see IoctlWire.h; b = new descriptor
    Sleep,      // a = SleepCall, b = microseconds; answer result 1: sleep for real
    Now,        // answer: result = the run's wall clock in microseconds
    WaitBegin,  // a = microseconds; answer: result = the wait's end on the run's clock (fast runs)
    WaitEnd,    // a = that end: the wait is over before it (a descriptor became ready)
};

struct Request {
    uint32_t size = 0;
    Op op = Op::Hello;
    int64_t a = 0;
    int64_t b = 0;
};

struct Answer {
    uint32_t size = 0;
    int32_t error = 0;  // errno when result is -1
    int64_t result = 0;
    int64_t b = 0;
};

// Large enough for any transaction: an I2C_RDWR of 42 messages of 8 KiB
// each (i2c-dev's limits), with their headers; a sysfs read and a GPIO
// structure take less.
inline constexpr uint32_t kMaxPayload = 512 * 1024;

// The most a program spins for an answer before it sleeps: a little more than
// the board takes to answer a node command.
inline constexpr int kProgramSpinUs = 30;

// The outline a process learns when it connects, one "key value" per line:
// "bus PATH" for each bus, "gpio LINES" when the chip is present, "fast" when
// the clock is simulated, "endpoint HOST[:PORT]" and "device-api NAME".
struct Outline {
    std::vector<std::string> buses;
    int gpioLines = -1;  // -1: no chip
    bool fast = false;
    std::string endpoint;
    std::string deviceApi;
};
std::string outlineText(const Outline& outline);
Outline parseOutline(const std::string& text);

struct SharedArea;

// A process's connection to the board.
struct Channel {
    int fd = -1;
    SharedArea* area = nullptr;
    uint32_t sequence = 0;  // of the last request
    Spinner spinner{kProgramSpinUs};
};

// Connects to the board's socket, nothing more; -1 with errno when nobody
// serves it.
int connectTo(const std::string& socketPath);
// Connects and maps the area the board offers; false with errno.
bool connect(const std::string& socketPath, Channel& channel);
void disconnect(Channel& channel);
// Reads the bells the board rang for the program's waits; false when the
// board's end is gone.
bool takeBells(int socket);
// Sends a request and waits for its answer, resuming after signals; false
// when the connection is gone or the answer is malformed.
bool exchange(Channel& channel, const Request& request, const void* payload, Answer& answer,
              std::vector<uint8_t>& answerPayload);

// The board's side: makes a new peer's area and offers it on `socket`;
// nullptr when it could not (the peer is told why, if it can be).
SharedArea* offerArea(int socket);

}  // namespace sim::link
