#pragma once
// The memory a process and the board share for the board link (see
// BoardLink.h): one request slot and one answer slot, each large enough for
// any message, so that a request and its answer cost no system call while
// both sides run. The board makes the area when it accepts a connection and
// passes it over the socket; the socket then carries only doorbells (any
// byte: "look at my slot"), the board's bells for the program's waits in
// poll() (BoardLink.h) and, by its end, the news that a side is gone.
//
// Each word below has one writer. A side that is about to block says so in
// its own word, and the other side wakes it only then: the program sleeps on
// a futex on `answerSequence`, the board in poll() over the sockets. Waits
// are bounded, so that a wake-up lost to a weaker memory order (a single-
// threaded program under qemu-user runs without fences) costs time, never
// a hang.

#include <cstdint>
#include <vector>

#include "BoardLink.h"
#include "Spin.h"

namespace sim::link {

// The most the board spins for a request before it blocks: a little more
// than a program takes between two calls of a node command.
inline constexpr int kBoardSpinUs = 50;
// A blocked side looks again after this long even unwoken.
inline constexpr int kWaitSliceMs = 10;

template <typename Header>
struct Slot {
    Header header;
    uint8_t payload[kMaxPayload];
};

struct SharedArea {
    // Written by the program only.
    alignas(64) uint32_t requestSequence;  // of the request in the slot
    uint32_t programSleeps;                // waits on answerSequence
    // Written by the board only.
    alignas(64) uint32_t answerSequence;   // of the request answered in the slot
    uint32_t boardSleeps;                  // blocks in poll(): ring the socket
    alignas(64) Slot<Request> request;
    alignas(64) Slot<Answer> answer;
};

// --- the board's side -------------------------------------------------------

// A new area, zeroed and sealed at its size, mapped; nullptr with errno. Its
// descriptor (to pass to the program) is left in `fd`.
SharedArea* createArea(int& fd);
void removeArea(SharedArea* area);

// The board's view of one peer's area. The peer may scribble on it at any
// time: each word is read once and the request is copied out before it is
// looked at.
struct BoardEnd {
    SharedArea* area = nullptr;
    uint32_t taken = 0;      // sequence of the last request taken
    bool answering = false;  // that request's answer is not posted yet

    bool hasRequest() const;
    // Appends a newly posted request (header and payload) to `input`; false
    // when it is malformed.
    bool take(std::vector<uint8_t>& input);
    // Posts the one answer in `output` (header and payload) and empties it,
    // waking the program if it said it sleeps.
    void deliver(std::vector<uint8_t>& output);
    void announceSleep(bool sleeps);
};

// --- the program's side -----------------------------------------------------

// Maps the area the board passed; nullptr with errno.
SharedArea* mapArea(int fd);
void unmapArea(SharedArea* area);
// Puts the request into the slot; true when the board said it sleeps, so
// that the doorbell must ring.
bool postRequest(SharedArea& area, uint32_t sequence, const Request& request, const void* payload);
// Waits for the answer to `sequence`: spins a little, then sleeps on the
// futex in slices; false when the board's end of `socket` is gone.
bool awaitAnswer(SharedArea& area, uint32_t sequence, int socket, Spinner& spinner);
// The answer in the slot, copied out; false when it is malformed.
bool readAnswer(const SharedArea& area, Answer& answer, std::vector<uint8_t>& payload);

}  // namespace sim::link
