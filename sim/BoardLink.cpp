#include "BoardLink.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "RealLibc.h"

namespace sim::link {

namespace {

bool sendAll(int fd, const Request& request, const void* payload) {
    iovec parts[2] = {{const_cast<Request*>(&request), sizeof request},
                      {const_cast<void*>(payload), payload == nullptr ? 0 : request.size}};
    std::size_t left = sizeof request + parts[1].iov_len;
    int first = 0;
    while (left > 0) {
        msghdr message{};
        message.msg_iov = parts + first;
        message.msg_iovlen = 2 - first;
        const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        left -= static_cast<std::size_t>(sent);
        for (auto moved = static_cast<std::size_t>(sent); moved > 0;) {
            const std::size_t step = std::min(moved, parts[first].iov_len);
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
            parts[first].iov_len -= step;
            moved -= step;
            if (parts[first].iov_len == 0 && first < 1) ++first;
        }
    }
    return true;
}

bool receiveAll(int fd, void* buffer, std::size_t size) {
    auto* at = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t got = real::read(fd, at, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// Room for the payloads of most answers, taken in the same call as their
// header: a node command's reply comes in one system call instead of two.
constexpr std::size_t kEarlyPayload = 512;

// Only one answer is ever on its way (one request at a time), so whatever
// arrives with the header is its payload.
bool receiveAnswer(int fd, Answer& answer, std::vector<uint8_t>& payload) {
    uint8_t early[kEarlyPayload];
    iovec parts[2] = {{&answer, sizeof answer}, {early, sizeof early}};
    ssize_t got = -1;
    do {
        got = readv(fd, parts, 2);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    const auto received = static_cast<std::size_t>(got);
    if (received < sizeof answer &&
        !receiveAll(fd, reinterpret_cast<char*>(&answer) + received, sizeof answer - received)) {
        return false;
    }
    const std::size_t arrived = received > sizeof answer ? received - sizeof answer : 0;
    if (answer.size > kMaxPayload || arrived > answer.size) return false;
    payload.assign(early, early + arrived);
    payload.resize(answer.size);
    return receiveAll(fd, payload.data() + arrived, answer.size - arrived);
}

}  // namespace

std::string outlineText(const Outline& outline) {
    std::string text;
    for (const std::string& bus : outline.buses) text += "bus " + bus + "\n";
    if (outline.gpioLines >= 0) text += "gpio " + std::to_string(outline.gpioLines) + "\n";
    if (outline.fast) text += "fast\n";
    if (!outline.endpoint.empty()) text += "endpoint " + outline.endpoint + "\n";
    if (!outline.deviceApi.empty()) text += "device-api " + outline.deviceApi + "\n";
    return text;
}

Outline parseOutline(const std::string& text) {
    Outline outline;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "bus") outline.buses.push_back(value);
        if (key == "gpio") outline.gpioLines = std::atoi(value.c_str());
        if (key == "fast") outline.fast = true;
        if (key == "endpoint") outline.endpoint = value;
        if (key == "device-api") outline.deviceApi = value;
    }
    return outline;
}

int connectTo(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    while (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR) continue;
        const int saved = errno;
        real::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool exchange(int fd, const Request& request, const void* payload, Answer& answer,
              std::vector<uint8_t>& answerPayload) {
    return sendAll(fd, request, payload) && receiveAnswer(fd, answer, answerPayload);
}

}  // namespace sim::link
