#include "BoardLink.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "RealLibc.h"
#include "SharedArea.h"

namespace sim::link {

namespace {

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

// The control message that carries one descriptor.
union OneDescriptor {
    cmsghdr header;
    char room[CMSG_SPACE(sizeof(int))];
};

// The board's offer, and the area's descriptor when it came with one (-1).
bool receiveOffer(int socket, Answer& offer, int& fd) {
    fd = -1;
    iovec part{&offer, sizeof offer};
    OneDescriptor control{};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.room;
    message.msg_controllen = sizeof control.room;
    ssize_t got = -1;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    const cmsghdr* passed = got > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
    if (passed != nullptr && passed->cmsg_level == SOL_SOCKET && passed->cmsg_type == SCM_RIGHTS &&
        passed->cmsg_len == CMSG_LEN(sizeof(int))) {
        std::memcpy(&fd, CMSG_DATA(passed), sizeof fd);
    }
    const auto received = static_cast<std::size_t>(std::max<ssize_t>(got, 0));
    return got > 0 && receiveAll(socket, reinterpret_cast<char*>(&offer) + received, sizeof offer - received);
}

bool sendOffer(int socket, const Answer& offer, int fd) {
    iovec part{const_cast<Answer*>(&offer), sizeof offer};
    OneDescriptor control{};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (fd >= 0) {
        message.msg_control = control.room;
        message.msg_controllen = sizeof control.room;
        cmsghdr* passed = CMSG_FIRSTHDR(&message);
        passed->cmsg_level = SOL_SOCKET;
        passed->cmsg_type = SCM_RIGHTS;
        passed->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(passed), &fd, sizeof fd);
    }
    // A new connection's buffer takes the offer whole.
    return sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof offer);
}

// Maps the area the board offered on the new connection `socket`.
SharedArea* takeOffer(int socket) {
    Answer offer;
    int fd = -1;
    const bool received = receiveOffer(socket, offer, fd);
    SharedArea* area = nullptr;
    if (!received) {
        errno = ECONNRESET;
    } else if (offer.result < 0) {
        errno = offer.error;
    } else if (fd < 0) {
        errno = EPROTO;
    } else {
        area = mapArea(fd);
    }
    const int saved = errno;
    if (fd >= 0) real::close(fd);
    errno = saved;
    return area;
}

// Tells a board that blocks in poll() to look at the slot; a full socket
// holds bells enough.
bool ring(int socket) {
    const char bell = 1;
    ssize_t sent = -1;
    do {
        sent = send(socket, &bell, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == 1 || errno == EAGAIN || errno == EWOULDBLOCK;
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
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR) continue;
        const int saved = errno;
        real::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool connect(const std::string& socketPath, Channel& channel) {
    const int fd = connectTo(socketPath);
    if (fd < 0) return false;
    SharedArea* area = takeOffer(fd);
    if (area == nullptr) {
        const int saved = errno;
        real::close(fd);
        errno = saved;
        return false;
    }
    channel = Channel{.fd = fd, .area = area};
    return true;
}

void disconnect(Channel& channel) {
    unmapArea(channel.area);
    if (channel.fd >= 0) real::close(channel.fd);
    channel = Channel{};
}

bool takeBells(int socket) {
    for (;;) {
        char bells[64];
        const ssize_t got = recv(socket, bells, sizeof bells, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

bool exchange(Channel& channel, const Request& request, const void* payload, Answer& answer,
              std::vector<uint8_t>& answerPayload) {
    if (request.size > kMaxPayload) {
        errno = EMSGSIZE;
        return false;
    }
    const uint32_t sequence = ++channel.sequence;
    if (postRequest(*channel.area, sequence, request, payload) && !ring(channel.fd)) return false;
    return awaitAnswer(*channel.area, sequence, channel.fd, channel.spinner) && readAnswer(*channel.area, answer, answerPayload);
}

SharedArea* offerArea(int socket) {
    int fd = -1;
    SharedArea* area = createArea(fd);
    const Answer offer{0, area == nullptr ? errno : 0, area == nullptr ? -1 : 0,
                       static_cast<int64_t>(sizeof(SharedArea))};
    const bool sent = sendOffer(socket, offer, fd);
    if (fd >= 0) close(fd);
    if (sent) return area;
    removeArea(area);
    return nullptr;
}

}  // namespace sim::link
