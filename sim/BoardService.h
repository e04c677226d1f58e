#pragma once
// The board's side of the board link (see BoardLink.h): serves the requests
// of every process of a run on the one board, SimBoard::instance(), one
// request at a time. Sockets are the caller's business (the launcher's
// BoardServer); this class takes the bytes a peer sent and leaves the bytes
// to send back, so that it can be fed anything.
//
// A peer is checked as if hostile: a request larger than kMaxPayload or of
// an unknown operation ends its connection; a descriptor it did not open is
// EBADF to it; it holds at most kMaxDescriptors. When a peer goes, its
// descriptors are closed (its GPIO lines are released) and the nodes keep
// their state, as real nodes keep an open transfer when the board stops.
//
// The simulated clock (fast runs) is one for the run. A sleep does not
// return at once: the sleeper waits until no other peer runs (every other
// peer sleeps too, or asked nothing but the time for kQuietMs of real time), then the
// clock moves to the earliest wake-up, and the sleepers due then wake.
// A program's wait in poll() and its kin is a wait of the same kind that
// does not hold the peer's next requests: it ends by the clock (the peer is
// rung, `ring`) or sooner by the peer's word (one of its descriptors became
// ready). Its end on the clock waits for the other peers' quiet a while
// longer (kWaitQuietMs).
//
// A transaction on a bus that has a speed holds its answer until its bits
// have left the wire (SimBus.h), on the run's clock: a fast clock moves there
// as for a sleep, a real one is waited for by the poll timeout, never by a
// sleep of the one thread that serves every process. A transaction that
// comes while its bus is still busy waits, unserved, until the bus is free.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "BoardLink.h"

namespace sim {

struct RequestView;
class Timeline;

class BoardService {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxDescriptors = 256;
    static constexpr int kQuietMs = 2;
    // A wait in poll() often waits for another process of the run (a client
    // for its server's answer): the clock ends it only once every other peer
    // has been quiet this long, so that a peer computing its answer between
    // two calls does not see the client's timeout run out.
    static constexpr int kWaitQuietMs = 25;
    // Waits in poll() at once per peer: one per thread is plenty.
    static constexpr std::size_t kMaxWaits = 256;

    struct Settings {
        bool fast = false;
        std::string endpoint;   // the device API, for the outline
        std::string deviceApi;  // its on-demand socket's name
        Timeline* timeline = nullptr;  // the scenario's, played as requests come
    };

    struct Peer {
        std::vector<uint8_t> input;   // received, not yet served
        std::vector<uint8_t> output;  // answers not yet sent
        std::set<int> descriptors;    // the board's descriptors it opened
        // Waits until wakeUs: a sleep, a transaction's wire time or a busy bus.
        bool sleeping = false;
        uint64_t wakeUs = 0;
        std::vector<uint8_t> held;  // answers given at wakeUs
        std::multiset<uint64_t> waits;  // ends of its waits in poll() and the like, one per thread
        bool ring = false;              // a wait ended by the clock: ring its socket
        Clock::time_point lastAnswer = Clock::now();
    };

    explicit BoardService(Settings settings);

    // Serves the whole requests in `peer.input` and appends their answers to
    // `peer.output`, up to a sleep that has to wait. False when the peer
    // broke the protocol: drop it (and forget it).
    bool serve(Peer& peer);
    // Wakes the sleepers that are due; returns the milliseconds after which
    // to ask again (-1: nobody sleeps; 0: someone woke, serve again).
    int wakeSleepers(const std::vector<Peer*>& peers, Clock::time_point now);
    // Closes what the peer left open.
    void forget(Peer& peer);

  private:
    Settings settings_;
    bool handle(Peer& peer, const RequestView& request);
    bool sleep(Peer& peer, const link::Request& request);
    void beginWait(Peer& peer, int64_t durationUs);
    // Real clock: wakes those whose time has come.
    int wakeDue(const std::vector<Peer*>& peers);
};

}  // namespace sim
