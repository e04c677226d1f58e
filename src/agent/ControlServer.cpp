#include "ControlServer.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace agent {

namespace {

// A client that has sent part of a request, or nothing, for this long is closed.
constexpr auto kSilentLimit = std::chrono::seconds(60);
// A client that does not read its answers is dropped once this much waits for it.
constexpr size_t kMostUnread = 64 * 1024 * 1024;
// Descriptors taken in by one read; the kernel closes any beyond them.
constexpr size_t kMostFilesPerRead = 8;

// Reads what the client sent, and the descriptors that came with it into `files`.
ssize_t receive(int fd, char* buffer, size_t size, std::vector<cli::OwnedFd>& files) {
    iovec data{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostFilesPerRead)];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    for (cmsghdr* header = got < 0 ? nullptr : CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t index = 0; index < count; ++index) {
            int handed = -1;
            std::memcpy(&handed, CMSG_DATA(header) + index * sizeof(int), sizeof handed);
            files.emplace_back(handed);
        }
    }
    return got;
}

std::string errnoText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path " + path + " is longer than " +
                                 std::to_string(sizeof address.sun_path - 1) + " bytes");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A socket file left by an agent that died is removed; one that still answers belongs to an
// agent that runs, and is left alone.
void removeStale(const std::string& path, const sockaddr_un& address) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return;
    }
    if (!S_ISSOCK(info.st_mode)) {
        throw std::runtime_error(path +
                                 " exists and is not a socket; remove it or choose another "
                                 "socket path");
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answers =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (answers) {
        throw std::runtime_error("another agent already serves " + path);
    }
    ::unlink(path.c_str());
}

// The group only widens who may connect: when it cannot be given, the socket stays the agent's
// own and the agent says so.
void applyGroup(const AgentConfig& config) {
    if (config.socketGroup.empty()) {
        return;
    }
    const group* found = ::getgrnam(config.socketGroup.c_str());
    struct stat info {};
    if (found != nullptr && ::stat(config.socketPath.c_str(), &info) == 0 &&
        info.st_gid == found->gr_gid) {
        return;
    }
    if (found == nullptr ||
        ::chown(config.socketPath.c_str(), static_cast<uid_t>(-1), found->gr_gid) != 0) {
        std::cerr << "i2c-kestro-agent: " << config.socketPath
                  << " stays in the agent's own group: "
                  << (found == nullptr ? "there is no group " + config.socketGroup
                                       : "cannot give it to group " + config.socketGroup + " (" +
                                             std::strerror(errno) + ")")
                  << std::endl;
    }
}

void applyGroupAndMode(const AgentConfig& config) {
    applyGroup(config);
    if (::chmod(config.socketPath.c_str(), config.socketMode) != 0) {
        throw std::runtime_error(errnoText("cannot set the mode of", config.socketPath));
    }
}

}  // namespace

ControlServer::ControlServer(const AgentConfig& config, LineHandler onLine, GoneHandler onGone)
    : _path(config.socketPath), _onLine(std::move(onLine)), _onGone(std::move(onGone)) {
    const sockaddr_un address = addressOf(_path);
    removeStale(_path, address);
    _listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (_listen < 0 ||
        ::bind(_listen, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(_listen, 16) != 0) {
        const std::string why = errnoText("cannot listen on", _path);
        if (_listen >= 0) {
            ::close(_listen);
        }
        throw std::runtime_error(why);
    }
    try {
        applyGroupAndMode(config);
    } catch (...) {
        ::close(_listen);
        ::unlink(_path.c_str());
        throw;
    }
}

ControlServer::~ControlServer() {
    for (auto& [id, client] : _clients) {
        ::close(client.fd);
    }
    ::close(_listen);
    ::unlink(_path.c_str());
}

void ControlServer::addPollFds(std::vector<pollfd>& fds) const {
    fds.push_back({_listen, POLLIN, 0});
    for (const auto& [id, client] : _clients) {
        short events = 0;
        if (!client.open && !client.closing) {
            events |= POLLIN;
        }
        if (!client.out.empty()) {
            events |= POLLOUT;
        }
        fds.push_back({client.fd, events, 0});
    }
}

void ControlServer::handle(const std::vector<pollfd>& fds) {
    for (const pollfd& ready : fds) {
        if (ready.revents == 0) {
            continue;
        }
        if (ready.fd == _listen) {
            acceptClients();
            continue;
        }
        for (auto& [id, client] : _clients) {
            if (client.fd != ready.fd) {
                continue;
            }
            if ((ready.revents & POLLOUT) != 0 && !writeTo(client)) {
                client.closing = true;
                client.out.clear();
            }
            if ((ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !client.closing) {
                readFrom(id, client);
            }
            break;
        }
    }
    closeIdle();
}

void ControlServer::send(ClientId id, const std::string& line, bool last) {
    const auto found = _clients.find(id);
    if (found == _clients.end()) {
        return;
    }
    Client& client = found->second;
    client.out += line + "\n";
    if (client.out.size() > kMostUnread) {
        client.out.clear();
        client.closing = true;
        return;
    }
    if (last) {
        client.open = false;
        client.lastHeard = std::chrono::steady_clock::now();
        deliverLines(id, client);
    }
}

void ControlServer::flush() {
    for (auto& [id, client] : _clients) {
        writeTo(client);
    }
}

void ControlServer::acceptClients() {
    for (;;) {
        const int fd = ::accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        if (_clients.size() >= kMostClients) {
            ::close(fd);
            continue;
        }
        Client client;
        client.fd = fd;
        client.lastHeard = std::chrono::steady_clock::now();
        _clients.emplace(_nextId++, std::move(client));
    }
}

void ControlServer::readFrom(ClientId id, Client& client) {
    char buffer[4096];
    std::vector<cli::OwnedFd> files;
    const ssize_t got = receive(client.fd, buffer, sizeof buffer, files);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        // Gone: whatever it asked for is its owner's to stop.
        client.closing = true;
        client.out.clear();
        client.files.clear();
        if (client.open) {
            _onGone(id);
            client.open = false;
        }
        return;
    }
    // Kept no more than one line may have: a client handing over one descriptor after another
    // cannot fill the agent's table.
    for (size_t index = 0; index < files.size() && client.files.size() < kMostFilesPerLine;
         ++index) {
        client.files.emplace_back(client.inAt + client.in.size(), std::move(files[index]));
    }
    client.in.append(buffer, static_cast<size_t>(got));
    client.lastHeard = std::chrono::steady_clock::now();
    deliverLines(id, client);
}

// One line at a time: the next is delivered once the request before it has been answered.
void ControlServer::deliverLines(ClientId id, Client& client) {
    while (!client.open && !client.closing) {
        const size_t end = client.in.find('\n');
        if (end == std::string::npos) {
            if (client.in.size() > kLongestLine) {
                client.out += "{\"status\": 64, \"stderr\": \"a request is longer than " +
                              std::to_string(kLongestLine) + " bytes\\n\"}\n";
                client.closing = true;
            }
            return;
        }
        std::string line = client.in.substr(0, end);
        client.in.erase(0, end + 1);
        client.inAt += end + 1;
        Files files = filesUpTo(client, client.inAt);
        if (line.empty()) {
            continue;
        }
        client.open = true;
        _onLine(id, line, std::move(files));
    }
}

// The descriptors that came before `end`, at most kMostFilesPerLine (the others closed).
ControlServer::Files ControlServer::filesUpTo(Client& client, uint64_t end) {
    Files files;
    auto it = client.files.begin();
    for (; it != client.files.end() && it->first < end; ++it) {
        if (files.size() < kMostFilesPerLine) {
            files.push_back(std::move(it->second));
        }
    }
    client.files.erase(client.files.begin(), it);
    return files;
}

bool ControlServer::writeTo(Client& client) {
    while (!client.out.empty()) {
        const ssize_t wrote = ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
        if (wrote < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        client.out.erase(0, static_cast<size_t>(wrote));
    }
    return true;
}

void ControlServer::closeIdle() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<ClientId> gone;
    for (auto& [id, client] : _clients) {
        const bool silent = !client.open && now - client.lastHeard > kSilentLimit;
        if ((client.closing && client.out.empty()) || silent) {
            gone.push_back(id);
        }
    }
    for (ClientId id : gone) {
        drop(id);
    }
}

void ControlServer::drop(ClientId id) {
    const auto found = _clients.find(id);
    if (found->second.open) {
        _onGone(id);
    }
    ::close(found->second.fd);
    _clients.erase(found);
}

}  // namespace agent
