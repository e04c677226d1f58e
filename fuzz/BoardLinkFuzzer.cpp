// Feeds arbitrary bytes to the board's side of the board link, as the
// launcher feeds what a process sends on its socket, on the example board.
//
// Input: three bytes of set-up, then the bytes a peer sends.
//   byte 0: the size of the pieces the bytes arrive in (0: all at once)
//   byte 1: bit 0 set: the pieces alternate between two peers;
//           bits 1-7: from this piece on, the board serves as under --fast:
//           a sleep waits for the other peers instead of being left to
//           the peer
//   byte 2: bit 0 set: sleepers wake only after the last piece, so that
//           the peers' sleeps overlap;
//           bit 1 set: the bytes are cut into requests (by their headers),
//           each laid into its peer's slot of shared memory as a program
//           posts it, taken from there and answered there as the launcher
//           does (a header of any size included); the piece size is unused
// A request that names a descriptor (Close, Read, Write, Ioctl) by a number
// below kRanks means the descriptor handed out that many places after the
// board's first one: descriptor numbers are the process's own, and a corpus
// must replay the same in the fuzzer and in the test suite.
//
// Whatever the peers sent: every answer is whole and no larger than a peer
// takes; a failure carries an errno; another peer that then speaks the
// protocol gets the right answers (its node command included); and once the
// peers are gone, no simulated descriptor stays open.
#include <fcntl.h>
#include <linux/i2c-dev.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "BoardLink.h"
#include "BoardService.h"
#include "Descriptor.h"
#include "FuzzCheck.h"
#include "Scenario.h"
#include "SharedArea.h"
#include "SimBoard.h"
#include "WireFrame.h"

namespace {

using sim::BoardService;
using sim::Bytes;
using Peer = BoardService::Peer;
namespace link = sim::link;

constexpr const char* kBus = "/dev/i2c-3";
constexpr uint8_t kAddress = 0x10;
constexpr uint64_t kStartUs = sim::FakeClock::kDefaultStartUs;
constexpr int64_t kRanks = 64;
constexpr uint8_t kGetIdentity = 0xE2;

BoardService& service(bool fast) {
    static BoardService slow({.fast = false, .endpoint = "api.kestro.example", .deviceApi = "fuzz"});
    static BoardService quick({.fast = true, .endpoint = "api.kestro.example", .deviceApi = "fuzz"});
    return fast ? quick : slow;
}

// Long after every peer's last answer: the sleepers wake, one wake-up time
// after another.
BoardService::Clock::time_point quietLater() {
    return BoardService::Clock::now() + std::chrono::hours(1);
}

void checkAnswer(const link::Answer& answer) {
    require(answer.size <= link::kMaxPayload, "an answer is no larger than a peer takes");
    require(answer.result < 0 ? answer.error > 0 : answer.error == 0, "a failure carries an errno");
}

// Takes the answers out as the peer would read them, checking each.
std::vector<std::pair<link::Answer, Bytes>> takeAnswers(Peer& peer) {
    std::vector<std::pair<link::Answer, Bytes>> answers;
    std::size_t at = 0;
    while (at < peer.output.size()) {
        link::Answer answer;
        require(peer.output.size() - at >= sizeof answer, "answers are whole");
        std::memcpy(&answer, peer.output.data() + at, sizeof answer);
        at += sizeof answer;
        checkAnswer(answer);
        require(peer.output.size() - at >= answer.size, "answers are whole");
        const auto* payload = peer.output.data() + at;
        answers.emplace_back(answer, Bytes(payload, payload + answer.size));
        at += answer.size;
    }
    peer.output.clear();
    return answers;
}

// --- peers that post through shared memory -------------------------------------

// The areas of up to two peers, made once: an area is larger than a
// megabyte. Each input starts them afresh (see `reset`).
link::SharedArea& area(std::size_t peer) {
    static auto* areas = new link::SharedArea[2]();
    return areas[peer];
}

void reset(link::BoardEnd& end) {
    end.taken = end.area->requestSequence;
    end.answering = false;
}

// Moves the answer the peer's output holds into its slot, as the launcher
// does, and reads it back as the program would.
void deliver(Peer& peer, link::BoardEnd& end) {
    require(end.answering || peer.output.empty(), "a peer of the area is answered only what it asked");
    if (peer.output.empty()) return;
    const uint32_t before = end.area->answerSequence;
    end.deliver(peer.output);
    require(peer.output.empty() && !end.answering, "the answer goes into the slot whole");
    require(end.area->answerSequence == end.taken && end.taken != before, "the answer names its request");
    link::Answer answer;
    Bytes payload;
    require(link::readAnswer(*end.area, answer, payload), "an answer in the slot is whole");
    checkAnswer(answer);
}

// Serves, drops a peer that broke the protocol (it connects anew), and
// wakes sleepers until none can be woken, as the launcher's event loop does
// (`patient`: only those whose peers are all quiet now). Peers with an area
// in `ends` get their answers there.
void settle(std::vector<Peer>& peers, bool fast, bool patient = false, std::vector<link::BoardEnd>* ends = nullptr) {
    for (;;) {
        std::vector<Peer*> all;
        for (std::size_t i = 0; i < peers.size(); ++i) {
            Peer& peer = peers[i];
            link::BoardEnd* end = ends != nullptr && i < ends->size() ? &(*ends)[i] : nullptr;
            if (!service(fast).serve(peer)) {
                service(fast).forget(peer);
                peer = Peer{};
                if (end != nullptr) reset(*end);
            }
            if (end != nullptr) {
                deliver(peer, *end);
            } else {
                takeAnswers(peer);
            }
            all.push_back(&peer);
        }
        const int now = service(fast).wakeSleepers(all, BoardService::Clock::now());
        require(now >= -1 && now <= BoardService::kQuietMs, "sleepers wait no longer than the quiet time");
        const int later = patient ? -1 : service(fast).wakeSleepers(all, quietLater());
        if (now != 0 && later != 0) return;
    }
}

// The first descriptor number the board hands out now.
int firstDescriptor() {
    Peer probe;
    const link::Request open{static_cast<uint32_t>(std::strlen(kBus)), link::Op::Open, O_RDWR, 0};
    const auto* header = reinterpret_cast<const uint8_t*>(&open);
    probe.input.assign(header, header + sizeof open);
    probe.input.insert(probe.input.end(), kBus, kBus + std::strlen(kBus));
    service(false).serve(probe);
    const auto answers = takeAnswers(probe);
    require(answers.size() == 1 && answers[0].first.result >= 0, "the bus opens");
    service(false).forget(probe);
    return static_cast<int>(answers[0].first.result);
}

void nameDescriptorsByRank(Bytes& stream) {
    const int first = firstDescriptor();
    link::Request header;
    for (std::size_t at = 0; at <= stream.size() && stream.size() - at >= sizeof header;
         at += sizeof header + header.size) {
        std::memcpy(&header, stream.data() + at, sizeof header);
        if (header.size > link::kMaxPayload) return;
        const bool namesDescriptor = header.op >= link::Op::Close && header.op <= link::Op::Ioctl;
        if (namesDescriptor && header.a >= 0 && header.a < kRanks) {
            header.a += first;
            std::memcpy(stream.data() + at, &header, sizeof header);
        }
    }
}

struct Setup {
    std::size_t pieceSize;
    bool twoPeers;
    std::size_t fastFrom;
    bool wakeAtEnd;
    bool throughAreas;
};
constexpr std::size_t kSetupSize = 3;

Setup setupOf(const uint8_t* data) {
    return {data[0] == 0 ? std::numeric_limits<std::size_t>::max() : data[0], (data[1] & 1) != 0,
            static_cast<std::size_t>(data[1] >> 1), (data[2] & 1) != 0, (data[2] & 2) != 0};
}

// The bytes arrive on the socket in pieces, as they were sent.
void sendAll(const Bytes& stream, const Setup& setup, std::vector<Peer>& peers) {
    std::size_t piece = 0;
    for (std::size_t at = 0; at < stream.size(); at += setup.pieceSize, ++piece) {
        Peer& peer = peers[setup.twoPeers ? piece % 2 : 0];
        const std::size_t n = std::min(setup.pieceSize, stream.size() - at);
        peer.input.insert(peer.input.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                          stream.begin() + static_cast<std::ptrdiff_t>(at + n));
        settle(peers, piece >= setup.fastFrom, setup.wakeAtEnd);
    }
    settle(peers, true);
}

// Lays the request of `stream` at `at` into the peer's slot as a program
// posts it (a payload the stream cuts short is padded with zeros) and has
// the board take it from there; returns where the next request starts.
std::size_t post(const Bytes& stream, std::size_t at, Peer& peer, link::BoardEnd& end) {
    link::SharedArea& shared = *end.area;
    link::Request header;
    std::memcpy(&header, stream.data() + at, sizeof header);
    at += sizeof header;
    const std::size_t size = std::min<std::size_t>(header.size, link::kMaxPayload);
    const std::size_t present = std::min(size, stream.size() - at);
    shared.request.header = header;
    std::memcpy(shared.request.payload, stream.data() + at, present);
    std::memset(shared.request.payload + present, 0, size - present);
    ++shared.requestSequence;
    require(end.hasRequest(), "a posted request is seen");
    if (!end.take(peer.input)) {
        require(header.size > link::kMaxPayload, "the slot refuses only a request larger than it");
        service(true).forget(peer);
        peer = Peer{};
        reset(end);
    }
    return at + present;
}

// A program posts its next request once the last one is answered.
void postAll(const Bytes& stream, const Setup& setup, std::vector<Peer>& peers) {
    std::vector<link::BoardEnd> ends(peers.size());
    for (std::size_t i = 0; i < ends.size(); ++i) {
        ends[i].area = &area(i);
        reset(ends[i]);
    }
    std::size_t piece = 0;
    for (std::size_t at = 0; stream.size() - at >= sizeof(link::Request); ++piece) {
        const std::size_t index = setup.twoPeers ? piece % 2 : 0;
        if (ends[index].answering) settle(peers, true, false, &ends);
        require(!ends[index].answering, "a taken request is answered");
        at = post(stream, at, peers[index], ends[index]);
        settle(peers, piece >= setup.fastFrom, setup.wakeAtEnd, &ends);
    }
    settle(peers, true, false, &ends);
}

// --- a peer that speaks the protocol -----------------------------------------

struct Witness {
    std::string outline;
    Bytes identityReply;
};

link::Answer ask(std::vector<Peer>& peers, link::Op op, int64_t a, int64_t b, const Bytes& payload = {},
                 Bytes* answerPayload = nullptr) {
    Peer& peer = peers.back();
    const link::Request request{static_cast<uint32_t>(payload.size()), op, a, b};
    const auto* header = reinterpret_cast<const uint8_t*>(&request);
    peer.input.insert(peer.input.end(), header, header + sizeof request);
    peer.input.insert(peer.input.end(), payload.begin(), payload.end());
    require(service(true).serve(peer), "a well-formed request keeps the connection");
    if (peer.sleeping) {
        std::vector<Peer*> all;
        for (Peer& other : peers) all.push_back(&other);
        while (peer.sleeping) require(service(true).wakeSleepers(all, quietLater()) == 0, "a sleeper wakes");
    }
    const auto answers = takeAnswers(peer);
    require(answers.size() == 1, "one answer per request");
    if (answerPayload != nullptr) *answerPayload = answers[0].second;
    return answers[0].first;
}

Bytes littleEndian(uint64_t value) {
    Bytes bytes;
    sim::putLe64(bytes, value);
    return bytes;
}

// A process's greeting and one node command; the last of `peers` speaks.
Witness speak(std::vector<Peer>& peers) {
    Witness heard;
    Bytes outline;
    require(ask(peers, link::Op::Hello, 0, 0, {}, &outline).result == 0, "Hello is answered");
    heard.outline.assign(outline.begin(), outline.end());
    const link::Answer open = ask(peers, link::Op::Open, O_RDWR, 0, sim::bytesOf(kBus));
    require(open.result >= 0 && open.b == static_cast<int64_t>(sim::SimBoard::Descriptor::Kind::I2c),
            "the bus opens as an i2c-dev descriptor");
    const int64_t fd = open.result;
    require(ask(peers, link::Op::Ioctl, fd, I2C_SLAVE, littleEndian(kAddress)).result == 0, "the node is selected");
    const Bytes frame = sim::encodeFrame({kGetIdentity});
    require(ask(peers, link::Op::Write, fd, 0, frame).result == static_cast<int64_t>(frame.size()),
            "the request frame is written whole");
    require(ask(peers, link::Op::Sleep, static_cast<int64_t>(sim::SleepCall::Usleep), 100000).result == 0,
            "the wait ends");
    Bytes head;
    Bytes rest;
    require(ask(peers, link::Op::Read, fd, 3, {}, &head).result == 3 && head.size() == 3, "the reply's head is read");
    const int64_t left = ((int64_t{head[1]} << 8) | head[2]) + 3;
    require(ask(peers, link::Op::Read, fd, left, {}, &rest).result == left, "the reply's rest is read");
    heard.identityReply = head;
    heard.identityReply.insert(heard.identityReply.end(), rest.begin(), rest.end());
    require(ask(peers, link::Op::Close, fd, 0).result == 0, "the bus closes");
    return heard;
}

// --- the board ----------------------------------------------------------------

struct Board {
    std::vector<std::pair<sim::SimNode*, sim::SimNode>> nodes;  // each node as loaded
    sim::SimGpioChip chip;
    Witness expected;
};

// Each input on the board as the scenario made it, so that it replays alike.
void restore(const Board& board) {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    for (const auto& [node, loaded] : board.nodes) *node = loaded;
    simBoard.gpio() = board.chip;
    simBoard.clock().setNowUs(kStartUs);
}

const Board& theBoard() {
    static const Board* board = [] {
        sim::SimBoard& simBoard = sim::SimBoard::instance();
        sim::loadScenario(KESTRO_EXAMPLE_BOARD, simBoard, kStartUs);
        simBoard.setRecording(false);
        simBoard.clock().useFake(kStartUs);
        auto* loaded = new Board;
        for (const auto& [path, bus] : simBoard.buses()) {
            for (const auto& [address, node] : bus->nodes()) loaded->nodes.emplace_back(node.get(), *node);
        }
        loaded->chip = simBoard.gpio();
        std::vector<Peer> alone(1);
        loaded->expected = speak(alone);
        service(true).forget(alone.back());
        return loaded;
    }();
    return *board;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kSetupSize) return 0;
    const Board& board = theBoard();
    restore(board);
    const Setup setup = setupOf(data);
    Bytes stream(data + kSetupSize, data + size);
    nameDescriptorsByRank(stream);

    std::vector<Peer> peers(setup.twoPeers ? 2 : 1);
    if (setup.throughAreas) {
        postAll(stream, setup, peers);
    } else {
        sendAll(stream, setup, peers);
    }

    peers.emplace_back();
    const Witness heard = speak(peers);
    require(heard.outline == board.expected.outline, "another peer is greeted with the board's outline");
    require(heard.identityReply == board.expected.identityReply, "another peer's node command is answered right");

    for (Peer& peer : peers) service(true).forget(peer);
    require(sim::SimBoard::instance().openDescriptors() == 0, "no descriptor outlives its peers");
    return 0;
}
