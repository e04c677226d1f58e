#include "Notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace agent {

namespace {

// WATCHDOG_USEC is meant for this process only when WATCHDOG_PID is absent or names it.
std::chrono::microseconds watchdogPeriod() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec == nullptr || (pid != nullptr && std::atol(pid) != ::getpid())) {
        return std::chrono::microseconds(0);
    }
    return std::chrono::microseconds(std::strtoull(usec, nullptr, 10));
}

}  // namespace

Notifier::Notifier() : _watchdogHalf(watchdogPeriod() / 2) {
    const char* address = std::getenv("NOTIFY_SOCKET");
    if (address == nullptr || address[0] == '\0' ||
        std::strlen(address) >= sizeof(sockaddr_un::sun_path)) {
        return;
    }
    _address = address;
    _fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

Notifier::~Notifier() {
    if (_fd >= 0) {
        ::close(_fd);
    }
}

void Notifier::ready() { send("READY=1"); }

void Notifier::status(const std::string& text) { send("STATUS=" + text); }

void Notifier::stopping() { send("STOPPING=1"); }

void Notifier::keepAlive() {
    const auto now = std::chrono::steady_clock::now();
    if (_watchdogHalf.count() == 0 || now - _lastKeepAlive < _watchdogHalf) {
        return;
    }
    _lastKeepAlive = now;
    send("WATCHDOG=1");
}

// An address starting with '@' is in the abstract namespace: a leading NUL byte instead.
void Notifier::send(const std::string& message) {
    if (_fd < 0) {
        return;
    }
    sockaddr_un target{};
    target.sun_family = AF_UNIX;
    std::memcpy(target.sun_path, _address.data(), _address.size());
    if (_address[0] == '@') {
        target.sun_path[0] = '\0';
    }
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + _address.size());
    ::sendto(_fd, message.data(), message.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&target), length);
}

}  // namespace agent
