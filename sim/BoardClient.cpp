#include "BoardClient.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <linux/gpio.h>

#include "BoardLink.h"
#include "Descriptor.h"
#include "GpioLines.h"
#include "IoctlWire.h"
#include "RealLibc.h"

namespace sim::client {

namespace {

using Bytes = std::vector<uint8_t>;
using Kind = SimBoard::Descriptor::Kind;

// Far above the numbers a program opens first, so that the link stays out of
// its way.
constexpr int kLinkDescriptorFloor = 700;

struct Link {
    std::string socketPath;
    link::Channel channel;
    bool fast = false;
    bool gone = false;
};

// Never destroyed: calls are served until the very end of the process.
Link* theLink = nullptr;

int fail(int error) {
    errno = error;
    return -1;
}

int moveOutOfTheWay(int fd) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kLinkDescriptorFloor);
    if (moved < 0) return fd;
    real::close(fd);
    return moved;
}

void reportGone() {
    if (theLink->gone) return;
    theLink->gone = true;
    std::fprintf(stderr,
                 "i2c-kestro-sim: the simulated board at %s is gone (its launcher ended); "
                 "simulated devices now fail with EIO\n",
                 theLink->socketPath.c_str());
}

// The connection broke: the launcher ended, or the program closed the link's
// descriptor behind the C library's close() (close_range, dup2). The board
// closed what this process had open there.
void dropConnection() {
    link::disconnect(theLink->channel);
    SimBoard::instance().staleDescriptors();
}

// Requests that name none of the board's descriptors can go again on a new
// connection.
bool standsAlone(link::Op op) {
    return op == link::Op::Hello || op == link::Op::Open || op == link::Op::Sleep || op == link::Op::Now;
}

bool connected() {
    if (theLink->channel.fd >= 0) return true;
    if (theLink->gone) return false;
    if (!link::connect(theLink->socketPath, theLink->channel)) {
        reportGone();
        return false;
    }
    theLink->channel.fd = moveOutOfTheWay(theLink->channel.fd);
    return true;
}

struct Reply {
    link::Answer answer;
    Bytes payload;
};

// One request and its answer; false (errno EIO) when the board is gone.
bool call(link::Op op, int64_t a, int64_t b, const void* payload, std::size_t size, Reply& reply) {
    const link::Request request{static_cast<uint32_t>(size), op, a, b};
    for (int attempt = 0; attempt < 2 && connected(); ++attempt) {
        if (link::exchange(theLink->channel, request, payload, reply.answer, reply.payload)) return true;
        dropConnection();
        if (!standsAlone(op)) break;
    }
    errno = EIO;
    return false;
}

// What the board answered, with its errno.
int64_t outcome(const Reply& reply) {
    if (reply.answer.result < 0) errno = reply.answer.error;
    return reply.answer.result;
}

// In a child of fork() the board's descriptors and the shared area belong
// to the parent's connection: the inherited descriptors go stale, the area is
// left to the parent, and the child connects anew.
void forgetParentsConnection() {
    if (theLink == nullptr) return;
    dropConnection();
}

void takeOutline(const link::Outline& outline) {
    SimBoard& board = SimBoard::instance();
    for (const std::string& bus : outline.buses) board.addBus(bus);
    board.gpio().setPresent(outline.gpioLines >= 0);
    if (outline.gpioLines >= 0) board.gpio().setLineCount(static_cast<unsigned>(outline.gpioLines));
    theLink->fast = outline.fast;
}

SimBoard::Descriptor* descriptorOf(int fd) {
    SimBoard::Descriptor* descriptor = SimBoard::instance().descriptor(fd);
    return descriptor != nullptr && descriptor->kind != Kind::Stale ? descriptor : nullptr;
}

// A descriptor of this process standing for one of the board's.
int addLocal(Kind kind, const std::string& path, int64_t remote) {
    auto descriptor = std::make_unique<SimBoard::Descriptor>();
    descriptor->kind = kind;
    descriptor->path = path;
    descriptor->remote = static_cast<int>(remote);
    const int fd = SimBoard::instance().addDescriptor(std::move(descriptor));
    if (fd < 0) {
        Reply ignored;
        call(link::Op::Close, remote, 0, nullptr, 0, ignored);
    }
    return fd;
}

}  // namespace

bool start(const std::string& socketPath) {
    link::Channel channel;
    if (!link::connect(socketPath, channel)) {
        std::fprintf(stderr, "i2c-kestro-sim: cannot reach the simulated board at %s (%s); is its launcher running?\n",
                     socketPath.c_str(), std::strerror(errno));
        return false;
    }
    channel.fd = moveOutOfTheWay(channel.fd);
    theLink = new Link{.socketPath = socketPath, .channel = channel};
    Reply reply;
    if (!call(link::Op::Hello, 0, 0, nullptr, 0, reply)) return false;
    takeOutline(link::parseOutline(std::string(reply.payload.begin(), reply.payload.end())));
    pthread_atfork(nullptr, nullptr, forgetParentsConnection);
    return true;
}

bool active() {
    return theLink != nullptr;
}

bool ownsDescriptor(int fd) {
    return theLink != nullptr && fd >= 0 && fd == theLink->channel.fd;
}

int open(const std::string& path, int flags) {
    Reply reply;
    if (!call(link::Op::Open, flags, 0, path.data(), path.size(), reply)) return -1;
    const int64_t remote = outcome(reply);
    if (remote < 0) return -1;
    return addLocal(static_cast<Kind>(reply.answer.b), path, remote);
}

int close(int fd) {
    std::unique_ptr<SimBoard::Descriptor> descriptor = SimBoard::instance().removeDescriptor(fd);
    if (descriptor == nullptr) return fail(EBADF);
    if (descriptor->kind != Kind::Stale) {
        Reply ignored;
        call(link::Op::Close, descriptor->remote, 0, nullptr, 0, ignored);
    }
    return real::close(fd);
}

ssize_t read(int fd, void* buffer, std::size_t count) {
    const SimBoard::Descriptor* descriptor = descriptorOf(fd);
    if (descriptor == nullptr) return fail(EBADF);
    Reply reply;
    const auto asked = static_cast<int64_t>(std::min<std::size_t>(count, link::kMaxPayload));
    if (!call(link::Op::Read, descriptor->remote, asked, nullptr, 0, reply)) return -1;
    const int64_t result = outcome(reply);
    if (result < 0) return -1;
    const std::size_t n = std::min({reply.payload.size(), count, static_cast<std::size_t>(result)});
    if (n > 0) std::memcpy(buffer, reply.payload.data(), n);
    return static_cast<ssize_t>(n);
}

ssize_t write(int fd, const void* buffer, std::size_t count) {
    const SimBoard::Descriptor* descriptor = descriptorOf(fd);
    if (descriptor == nullptr) return fail(EBADF);
    Reply reply;
    const std::size_t size = std::min<std::size_t>(count, link::kMaxPayload);
    if (!call(link::Op::Write, descriptor->remote, 0, buffer, size, reply)) return -1;
    return static_cast<ssize_t>(outcome(reply));
}

int ioctl(int fd, unsigned request, void* argument) {
    const SimBoard::Descriptor* descriptor = descriptorOf(fd);
    if (descriptor == nullptr) return fail(EBADF);
    const Kind kind = descriptor->kind;
    Bytes payload;
    if (const int refused = ioctlwire::encode(kind, request, argument, payload); refused != 0) return fail(refused);
    Reply reply;
    if (!call(link::Op::Ioctl, descriptor->remote, request, payload.data(), payload.size(), reply)) return -1;
    const auto result = static_cast<int>(outcome(reply));
    if (result < 0) return -1;
    int made = -1;
    if (ioctlwire::makesDescriptor(request)) {
        const int remote = ioctlwire::madeDescriptor(request, reply.payload);
        const Kind madeKind = request == GPIO_GET_LINEHANDLE_IOCTL ? Kind::GpioHandle : Kind::GpioLineRequest;
        made = addLocal(madeKind, gpiolines::kLineHandlePath, remote);
        if (made < 0) return -1;
    }
    ioctlwire::decode(kind, request, argument, reply.payload, made);
    return result;
}

bool sleep(SleepCall kind, uint64_t durationUs) {
    Reply reply;
    if (!call(link::Op::Sleep, static_cast<int64_t>(kind), static_cast<int64_t>(durationUs), nullptr, 0,
                      reply)) {
        return !theLink->fast;
    }
    return reply.answer.result == 1;
}

bool fakeWallClock(uint64_t& nowUs) {
    uint64_t advancedUs = 0;
    return fakeClock(nowUs, advancedUs);
}

bool fakeClock(uint64_t& nowUs, uint64_t& advancedUs) {
    if (!theLink->fast) return false;
    Reply reply;
    if (!call(link::Op::Now, 0, 0, nullptr, 0, reply) || reply.answer.result < 0 || reply.answer.b < 0) {
        return false;
    }
    nowUs = static_cast<uint64_t>(reply.answer.result);
    advancedUs = static_cast<uint64_t>(reply.answer.b);
    return true;
}

bool fastClock() {
    return theLink->fast;
}

bool beginWait(uint64_t durationUs, uint64_t& untilUs, int& bell) {
    Reply reply;
    if (!theLink->fast ||
        !call(link::Op::WaitBegin, static_cast<int64_t>(durationUs), 0, nullptr, 0, reply) ||
        reply.answer.result < 0) {
        return false;
    }
    untilUs = static_cast<uint64_t>(reply.answer.result);
    bell = theLink->channel.fd;
    return true;
}

bool waitOver(uint64_t untilUs) {
    uint64_t nowUs = 0;
    return !fakeWallClock(nowUs) || nowUs >= untilUs;
}

void endWait(uint64_t untilUs) {
    Reply ignored;
    if (!call(link::Op::WaitEnd, static_cast<int64_t>(untilUs), 0, nullptr, 0, ignored)) return;
    // A bell the board rang as the wait ended is for nobody now.
    link::takeBells(theLink->channel.fd);
}

}  // namespace sim::client
