#include "BoardServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <stdexcept>

#include "SimBoard.h"

namespace sim {

namespace {

// While requests keep coming through the areas, the sockets (new peers,
// peers gone) are still looked at this often.
constexpr auto kSocketsEvery = std::chrono::milliseconds(1);

int listenOn(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error(path + ": socket path too long");
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const mode_t previous = umask(0177);
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    umask(previous);
    if (!bound || listen(fd, 64) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot serve the board on " + path + " (" + reason + ")");
    }
    return fd;
}

bool sameUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           (credentials.uid == geteuid() || credentials.uid == 0);
}

void acceptAll(int listener, std::list<Connection>& connections) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        link::SharedArea* area = sameUser(fd) ? link::offerArea(fd) : nullptr;
        if (area == nullptr) {
            close(fd);
            continue;
        }
        connections.push_back(Connection{.fd = fd, .end = {.area = area}, .peer = {}});
    }
}

// Doorbells are read and forgotten; false when the peer is gone.
bool drainDoorbells(int fd) {
    char bells[256];
    const ssize_t got = recv(fd, bells, sizeof bells, 0);
    if (got == 0) return false;
    return got > 0 || errno == EINTR || errno == EAGAIN;
}

bool anyRequest(const std::list<Connection>& connections) {
    return std::any_of(connections.begin(), connections.end(),
                       [](const Connection& connection) { return connection.end.hasRequest(); });
}

// A program that runs posts its next request sooner than poll() would
// return: spins over the areas of the peers that may post one.
bool spinForRequests(const std::list<Connection>& connections, link::Spinner& spinner) {
    const bool anyMayPost = std::any_of(connections.begin(), connections.end(),
                                        [](const Connection& connection) { return !connection.end.answering; });
    return anyMayPost && spinner.spin([&] { return anyRequest(connections); });
}

// Tells each program whose wait in poll() the clock ended (BoardLink.h); a
// full socket holds bells enough.
void ringWaiters(std::list<Connection>& connections) {
    for (Connection& connection : connections) {
        if (!connection.peer.ring) continue;
        connection.peer.ring = false;
        const char bell = 1;
        (void)!send(connection.fd, &bell, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

}  // namespace

BoardServer::BoardServer(std::string socketPath, BoardService::Settings settings)
    : socketPath_(std::move(socketPath)), service_(std::move(settings)), listener_(listenOn(socketPath_)) {
    if (pipe2(stop_, O_CLOEXEC) != 0) {
        close(listener_);
        throw std::runtime_error("cannot serve the board (" + std::string(std::strerror(errno)) + ")");
    }
    thread_ = std::thread([this] { serve(); });
}

BoardServer::~BoardServer() {
    const char stop = 1;
    (void)!write(stop_[1], &stop, 1);
    thread_.join();
    close(stop_[0]);
    close(stop_[1]);
    close(listener_);
    unlink(socketPath_.c_str());
}

// Serves the requests taken, and again after each wake-up of sleepers, whose
// next requests may be waiting already. Drops the peers that broke the
// protocol. Returns the poll timeout.
int BoardServer::settle(std::list<Connection>& connections) {
    for (;;) {
        std::vector<BoardService::Peer*> peers;
        for (auto it = connections.begin(); it != connections.end();) {
            if (!service_.serve(it->peer)) {
                drop(*it);
                it = connections.erase(it);
                continue;
            }
            it->end.deliver(it->peer.output);
            peers.push_back(&it->peer);
            ++it;
        }
        const int timeoutMs = service_.wakeSleepers(peers, BoardService::Clock::now());
        ringWaiters(connections);
        if (timeoutMs != 0) return timeoutMs;
    }
}

void BoardServer::drop(Connection& connection) {
    service_.forget(connection.peer);
    link::removeArea(connection.end.area);
    close(connection.fd);
}

// Blocks until a socket or an area needs the board, the areas telling their
// programs to ring meanwhile; a doorbell lost to a weak memory order costs a
// slice at most. False when asked to stop.
bool BoardServer::wait(std::list<Connection>& connections, std::vector<pollfd>& watched, int timeoutMs) {
    watched = {{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (Connection& connection : connections) {
        watched.push_back({connection.fd, POLLIN, 0});
        connection.end.announceSleep(true);
    }
    if (anyRequest(connections)) {
        timeoutMs = 0;
    } else if (!connections.empty()) {
        timeoutMs = timeoutMs < 0 ? link::kWaitSliceMs : std::min(timeoutMs, link::kWaitSliceMs);
    }
    const int ready = poll(watched.data(), watched.size(), timeoutMs);
    for (Connection& connection : connections) connection.end.announceSleep(false);
    return (ready >= 0 || errno == EINTR) && watched[0].revents == 0;
}

void BoardServer::answerSockets(std::list<Connection>& connections, const std::vector<pollfd>& watched) {
    std::size_t index = 2;
    for (auto it = connections.begin(); it != connections.end(); ++index) {
        const bool readable = (watched[index].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        if (readable && !drainDoorbells(it->fd)) {
            drop(*it);
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
    if (watched[1].revents != 0) acceptAll(listener_, connections);
}

// Moves each newly posted request to its peer's input; true when there was one.
bool BoardServer::takeRequests(std::list<Connection>& connections) {
    bool took = false;
    for (auto it = connections.begin(); it != connections.end();) {
        const bool posted = it->end.hasRequest();
        if (!it->end.take(it->peer.input)) {
            drop(*it);
            it = connections.erase(it);
            continue;
        }
        took = took || posted;
        ++it;
    }
    return took;
}

void BoardServer::serve() {
    std::list<Connection> connections;
    std::vector<pollfd> watched;
    int timeoutMs = -1;
    bool worked = false;
    link::Spinner spinner(link::kBoardSpinUs);
    auto socketsSeen = BoardService::Clock::now();
    for (;;) {
        const bool busy = worked && spinForRequests(connections, spinner);
        const auto now = BoardService::Clock::now();
        watched.clear();
        if (!busy || now - socketsSeen >= kSocketsEvery) {
            if (!wait(connections, watched, busy ? 0 : timeoutMs)) break;
            socketsSeen = now;
        }
        const auto guard = SimBoard::lock();
        if (!watched.empty()) answerSockets(connections, watched);
        worked = takeRequests(connections);
        timeoutMs = settle(connections);
    }
    const auto guard = SimBoard::lock();
    for (Connection& connection : connections) drop(connection);
}

}  // namespace sim
