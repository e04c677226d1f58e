#include "BoardServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <stdexcept>

#include "SimBoard.h"

namespace sim {

namespace {

// A peer that reads none of its answers is not read from beyond this.
constexpr std::size_t kMaxPendingOutput = 1 << 20;
constexpr std::size_t kReadChunk = 64 * 1024;

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
        if (!sameUser(fd)) {
            close(fd);
            continue;
        }
        connections.push_back(Connection{.fd = fd, .peer = {}});
    }
}

// False when the peer is gone.
bool receive(Connection& connection) {
    uint8_t buffer[kReadChunk];
    const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
    if (got == 0) return false;
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    connection.peer.input.insert(connection.peer.input.end(), buffer, buffer + got);
    return true;
}

// What to wait for: answers to send, and requests unless the peer already
// left a whole request unserved (it sleeps) or reads none of its answers.
short interest(const Connection& connection) {
    const BoardService::Peer& peer = connection.peer;
    const bool full = peer.input.size() > sizeof(link::Request) + link::kMaxPayload ||
                      peer.output.size() > kMaxPendingOutput;
    return static_cast<short>((full ? 0 : POLLIN) | (peer.output.empty() ? 0 : POLLOUT));
}

bool flush(Connection& connection) {
    std::vector<uint8_t>& output = connection.peer.output;
    while (!output.empty()) {
        const ssize_t sent = send(connection.fd, output.data(), output.size(), MSG_NOSIGNAL);
        if (sent < 0) return errno == EINTR || errno == EAGAIN;
        output.erase(output.begin(), output.begin() + sent);
    }
    return true;
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

// Serves what the peers sent, and again after each wake-up of sleepers,
// whose next requests may be waiting already. Drops the peers that broke the
// protocol or went away. Returns the poll timeout.
int BoardServer::settle(std::list<Connection>& connections) {
    for (;;) {
        std::vector<BoardService::Peer*> peers;
        for (auto it = connections.begin(); it != connections.end();) {
            if (!service_.serve(it->peer) || !flush(*it)) {
                drop(it->peer, it->fd);
                it = connections.erase(it);
                continue;
            }
            peers.push_back(&it->peer);
            ++it;
        }
        const int timeoutMs = service_.wakeSleepers(peers, BoardService::Clock::now());
        if (timeoutMs != 0) return timeoutMs;
    }
}

void BoardServer::drop(BoardService::Peer& peer, int fd) {
    service_.forget(peer);
    close(fd);
}

void BoardServer::serve() {
    std::list<Connection> connections;
    int timeoutMs = -1;
    for (;;) {
        std::vector<pollfd> watched{{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const Connection& connection : connections) watched.push_back({connection.fd, interest(connection), 0});
        if (poll(watched.data(), watched.size(), timeoutMs) < 0 && errno != EINTR) break;
        if (watched[0].revents != 0) break;
        const auto guard = SimBoard::lock();
        std::size_t index = 2;
        for (auto it = connections.begin(); it != connections.end(); ++index) {
            const bool readable = (watched[index].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
            if (readable && !receive(*it)) {
                drop(it->peer, it->fd);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        if (watched[1].revents != 0) acceptAll(listener_, connections);
        timeoutMs = settle(connections);
    }
    const auto guard = SimBoard::lock();
    for (Connection& connection : connections) drop(connection.peer, connection.fd);
}

}  // namespace sim
