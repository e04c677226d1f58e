#include "BoardService.h"

#include <linux/i2c-dev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "BoardLink.h"
#include "Descriptor.h"
#include "Devices.h"
#include "IoctlWire.h"
#include "RealLibc.h"
#include "SimBoard.h"
#include "Timeline.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

struct RequestView {
    link::Request header;
    Bytes payload;
};

namespace {

constexpr int kLastSleepCall = static_cast<int>(SleepCall::ClockNanosleep);

void answer(BoardService::Peer& peer, int64_t result, int error, const Bytes& payload = {}, int64_t b = 0) {
    const link::Answer header{static_cast<uint32_t>(payload.size()), result < 0 ? error : 0, result, b};
    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    peer.output.insert(peer.output.end(), bytes, bytes + sizeof header);
    peer.output.insert(peer.output.end(), payload.begin(), payload.end());
    peer.lastAnswer = BoardService::Clock::now();
}

// Runs a device call and answers with its result and errno.
void answerCall(BoardService::Peer& peer, int64_t result, const Bytes& payload = {}, int64_t b = 0) {
    answer(peer, result, result < 0 ? errno : 0, payload, b);
}

std::string outline(const BoardService::Settings& settings) {
    const SimBoard& board = SimBoard::instance();
    link::Outline outline{.buses = {}, .gpioLines = -1, .fast = settings.fast, .endpoint = settings.endpoint,
                          .deviceApi = settings.deviceApi};
    for (const auto& [path, bus] : board.buses()) outline.buses.push_back(path);
    if (board.gpio().present()) outline.gpioLines = static_cast<int>(board.gpio().lineCount());
    return link::outlineText(outline);
}

bool owns(const BoardService::Peer& peer, int64_t fd) {
    return fd >= 0 && fd <= std::numeric_limits<int>::max() && peer.descriptors.count(static_cast<int>(fd)) != 0 &&
           SimBoard::instance().descriptor(static_cast<int>(fd)) != nullptr;
}

void open(BoardService::Peer& peer, const RequestView& request) {
    const std::string path(request.payload.begin(), request.payload.end());
    if (path.find('\0') != std::string::npos || !devices::simulatedPath(path.c_str())) return answer(peer, -1, ENOENT);
    if (peer.descriptors.size() >= BoardService::kMaxDescriptors) return answer(peer, -1, EMFILE);
    const int fd = devices::open(path.c_str(), static_cast<int>(request.header.a));
    if (fd < 0) return answer(peer, -1, errno);
    peer.descriptors.insert(fd);
    answer(peer, fd, 0, {}, static_cast<int64_t>(SimBoard::instance().descriptor(fd)->kind));
}

void close(BoardService::Peer& peer, int fd) {
    peer.descriptors.erase(fd);
    answerCall(peer, devices::close(fd));
}

void read(BoardService::Peer& peer, int fd, int64_t count) {
    if (count < 0) return answer(peer, -1, EINVAL);
    const auto size = static_cast<std::size_t>(std::min<int64_t>(count, link::kMaxPayload));
    // A program's read() always passes a buffer, even for no bytes: the
    // devices copy into it without asking.
    Bytes bytes(std::max<std::size_t>(size, 1));
    const ssize_t result = devices::read(fd, bytes.data(), size);
    const int error = errno;
    bytes.resize(result > 0 ? static_cast<std::size_t>(result) : 0);
    answer(peer, result, error, bytes);
}

void ioctl(BoardService::Peer& peer, int fd, const RequestView& request) {
    const auto code = static_cast<unsigned>(request.header.b);
    const SimBoard::Descriptor::Kind kind = SimBoard::instance().descriptor(fd)->kind;
    Bytes out;
    const int result = ioctlwire::serve(fd, kind, code, request.payload, out);
    const int error = errno;
    int made = -1;
    if (result >= 0 && ioctlwire::makesDescriptor(code)) {
        made = ioctlwire::madeDescriptor(code, out);
        if (made >= 0) peer.descriptors.insert(made);
    }
    answer(peer, result, error, out, made);
}

// Until when the bus of a transaction request is still busy with an earlier
// one; 0 when it is free, or the request is no transaction.
uint64_t busyUntil(const BoardService::Peer& peer, const link::Request& request) {
    const bool transaction =
        request.op == link::Op::Read || request.op == link::Op::Write ||
        (request.op == link::Op::Ioctl && (request.b == I2C_RDWR || request.b == I2C_SMBUS));
    if (!transaction || !owns(peer, request.a)) return 0;
    SimBoard& board = SimBoard::instance();
    const SimBoard::Descriptor* descriptor = board.descriptor(static_cast<int>(request.a));
    const SimBus* bus =
        descriptor->kind == SimBoard::Descriptor::Kind::I2c ? board.bus(descriptor->path) : nullptr;
    if (bus == nullptr || bus->freeAtUs() == 0) return 0;
    return bus->freeAtUs() > board.clock().nowUs() ? bus->freeAtUs() : 0;
}

// The answers from `from` on are given at `wakeUs`.
void holdAnswers(BoardService::Peer& peer, std::size_t from, uint64_t wakeUs) {
    peer.held.assign(peer.output.begin() + static_cast<std::ptrdiff_t>(from), peer.output.end());
    peer.output.resize(from);
    peer.sleeping = true;
    peer.wakeUs = wakeUs;
}

// The clock has moved to `nowUs`: the peer's waits due by then are over.
void endWaits(BoardService::Peer& peer, uint64_t nowUs) {
    if (peer.waits.empty() || *peer.waits.begin() > nowUs) return;
    peer.waits.erase(peer.waits.begin(), peer.waits.upper_bound(nowUs));
    peer.ring = true;
    peer.lastAnswer = BoardService::Clock::now();
}

void endWait(BoardService::Peer& peer, int64_t untilUs) {
    const auto found = peer.waits.find(static_cast<uint64_t>(untilUs));
    if (found != peer.waits.end()) peer.waits.erase(found);
    answer(peer, 0, 0);
}

// The run's clock stops at the latest time a Now answer can carry, where
// a wait "forever" (nanosleep of the largest tv_sec) takes it.
uint64_t wakeTime(uint64_t nowUs, uint64_t durationUs) {
    constexpr auto kLatestUs = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return nowUs >= kLatestUs || durationUs > kLatestUs - nowUs ? kLatestUs : nowUs + durationUs;
}

void wake(BoardService::Peer& peer) {
    peer.sleeping = false;
    if (peer.held.empty()) return;
    peer.output.insert(peer.output.end(), peer.held.begin(), peer.held.end());
    peer.held.clear();
    peer.lastAnswer = BoardService::Clock::now();
}

}  // namespace

BoardService::BoardService(Settings settings) : settings_(std::move(settings)) {
    SimBoard::instance().setServedOverLink(true);
}

bool BoardService::handle(Peer& peer, const RequestView& request) {
    if (settings_.timeline != nullptr) settings_.timeline->catchUp();
    const int64_t a = request.header.a;
    const int fd = static_cast<int>(a);
    const bool needsDescriptor = request.header.op >= link::Op::Close && request.header.op <= link::Op::Ioctl;
    if (needsDescriptor && !owns(peer, a)) {
        answer(peer, -1, EBADF);
        return true;
    }
    SimBoard& board = SimBoard::instance();
    switch (request.header.op) {
        case link::Op::Hello: {
            const std::string text = outline(settings_);
            answer(peer, 0, 0, Bytes(text.begin(), text.end()));
            return true;
        }
        case link::Op::Open:
            open(peer, request);
            return true;
        case link::Op::Close:
            close(peer, fd);
            return true;
        case link::Op::Read:
            read(peer, fd, request.header.b);
            return true;
        case link::Op::Write:
            answerCall(peer, devices::write(fd, request.payload.empty() ? static_cast<const void*>("")
                                                                        : request.payload.data(),
                                            request.payload.size()));
            return true;
        case link::Op::Ioctl:
            ioctl(peer, fd, request);
            return true;
        case link::Op::Sleep:
            return sleep(peer, request.header);
        case link::Op::WaitBegin:
            beginWait(peer, a);
            return true;
        case link::Op::WaitEnd:
            endWait(peer, a);
            return true;
        case link::Op::Now: {
            // Reading the clock is no work that the clock must wait for: a
            // program that polls it for time to pass would hold it still.
            const auto lastAnswer = peer.lastAnswer;
            answer(peer, static_cast<int64_t>(board.clock().nowUs()), 0, {},
                   static_cast<int64_t>(board.clock().advancedUs()));
            peer.lastAnswer = lastAnswer;
            return true;
        }
    }
    return false;
}

bool BoardService::sleep(Peer& peer, const link::Request& request) {
    if (request.a < 0 || request.a > kLastSleepCall || request.b < 0) return false;
    const auto call = static_cast<SleepCall>(request.a);
    const auto durationUs = static_cast<uint64_t>(request.b);
    SimBoard& board = SimBoard::instance();
    const std::size_t index = board.logSleep(call, durationUs);
    board.clock().recordSleep(call, durationUs, index, board.recording());
    if (!settings_.fast) {
        answer(peer, 1, 0);
        return true;
    }
    const std::size_t from = peer.output.size();
    answer(peer, 0, 0);
    holdAnswers(peer, from, wakeTime(board.clock().nowUs(), durationUs));
    return true;
}

// Its answer counts as work, so that the clock waits a moment for what the
// program finds among its descriptors (another of its threads may have just
// made one ready).
void BoardService::beginWait(Peer& peer, int64_t durationUs) {
    if (!settings_.fast || durationUs < 0) return answer(peer, -1, EINVAL);
    if (peer.waits.size() >= kMaxWaits) return answer(peer, -1, EAGAIN);
    const uint64_t untilUs =
        wakeTime(SimBoard::instance().clock().nowUs(), static_cast<uint64_t>(durationUs));
    peer.waits.insert(untilUs);
    answer(peer, static_cast<int64_t>(untilUs), 0);
}

bool BoardService::serve(Peer& peer) {
    std::size_t at = 0;
    bool kept = true;
    while (kept && !peer.sleeping && peer.input.size() - at >= sizeof(link::Request)) {
        RequestView request;
        std::memcpy(&request.header, peer.input.data() + at, sizeof request.header);
        if (request.header.size > link::kMaxPayload) {
            kept = false;
            break;
        }
        if (peer.input.size() - at - sizeof request.header < request.header.size) break;
        if (const uint64_t freeAtUs = busyUntil(peer, request.header); freeAtUs != 0) {
            holdAnswers(peer, peer.output.size(), freeAtUs);
            break;
        }
        const auto* payload = peer.input.data() + at + sizeof request.header;
        request.payload.assign(payload, payload + request.header.size);
        at += sizeof request.header + request.header.size;
        const std::size_t answered = peer.output.size();
        kept = handle(peer, request);
        FakeClock& clock = SimBoard::instance().clock();
        if (const uint64_t dueUs = SimBoard::instance().takeWireDue(); dueUs != 0 && dueUs > clock.nowUs()) {
            holdAnswers(peer, answered, dueUs);
        }
    }
    peer.input.erase(peer.input.begin(), peer.input.begin() + static_cast<std::ptrdiff_t>(at));
    return kept;
}

int BoardService::wakeDue(const std::vector<Peer*>& peers) {
    const uint64_t nowUs = SimBoard::instance().clock().nowUs();
    uint64_t nextUs = std::numeric_limits<uint64_t>::max();
    bool woke = false;
    for (Peer* peer : peers) {
        if (!peer->sleeping) continue;
        if (peer->wakeUs <= nowUs) {
            wake(*peer);
            woke = true;
        } else {
            nextUs = std::min(nextUs, peer->wakeUs);
        }
    }
    if (woke) return 0;
    if (nextUs == std::numeric_limits<uint64_t>::max()) return -1;
    // Rounded up: an answer comes no earlier than its time.
    return static_cast<int>(
        std::min<uint64_t>((nextUs - nowUs + 999) / 1000, std::numeric_limits<int>::max()));
}

namespace {

bool sleepEndsAt(const std::vector<BoardService::Peer*>& peers, uint64_t wakeUs) {
    return std::any_of(peers.begin(), peers.end(), [&](const BoardService::Peer* peer) {
        return peer->sleeping && peer->wakeUs == wakeUs;
    });
}

// Milliseconds until every peer but those whose wait ends at `wakeUs` has
// been quiet for kWaitQuietMs; 0 when they have.
int othersQuietIn(const std::vector<BoardService::Peer*>& peers, uint64_t wakeUs,
                  BoardService::Clock::time_point now) {
    for (const BoardService::Peer* peer : peers) {
        if (peer->sleeping || (!peer->waits.empty() && *peer->waits.begin() == wakeUs)) continue;
        const auto quietFor =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - peer->lastAnswer);
        if (quietFor.count() < BoardService::kWaitQuietMs) {
            return static_cast<int>(BoardService::kWaitQuietMs - quietFor.count());
        }
    }
    return 0;
}

}  // namespace

int BoardService::wakeSleepers(const std::vector<Peer*>& peers, Clock::time_point now) {
    if (!settings_.fast) return wakeDue(peers);
    uint64_t wakeUs = std::numeric_limits<uint64_t>::max();
    for (const Peer* peer : peers) {
        if (!peer->sleeping) {
            const auto quietFor = std::chrono::duration_cast<std::chrono::milliseconds>(now - peer->lastAnswer);
            if (quietFor.count() < kQuietMs) return static_cast<int>(kQuietMs - quietFor.count());
        } else {
            wakeUs = std::min(wakeUs, peer->wakeUs);
        }
        if (!peer->waits.empty()) wakeUs = std::min(wakeUs, *peer->waits.begin());
    }
    if (wakeUs == std::numeric_limits<uint64_t>::max()) return -1;
    if (!sleepEndsAt(peers, wakeUs)) {
        if (const int heldMs = othersQuietIn(peers, wakeUs, now); heldMs > 0) return heldMs;
    }
    FakeClock& clock = SimBoard::instance().clock();
    clock.setNowUs(std::max(clock.nowUs(), wakeUs));
    for (Peer* peer : peers) {
        if (peer->sleeping && peer->wakeUs == wakeUs) wake(*peer);
        endWaits(*peer, clock.nowUs());
    }
    return 0;
}

void BoardService::forget(Peer& peer) {
    for (int fd : peer.descriptors) devices::close(fd);
    peer.descriptors.clear();
    peer.sleeping = false;
    peer.held.clear();
    peer.waits.clear();
    peer.input.clear();
    peer.output.clear();
}

}  // namespace sim
