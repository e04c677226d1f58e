#include "ApiOnDemand.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace sim {

namespace {

// The abstract namespace needs no folder and has no path length limit to meet.
sockaddr_un abstractAddress(const std::string& name, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

int listenOn(const std::string& name) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t length = 0;
    const sockaddr_un address = abstractAddress(name, length);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || listen(fd, 8) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot listen for the device API's requests (" + reason + ")");
    }
    return fd;
}

std::string connectTo(const std::string& endpoint, int port) {
    const std::size_t colon = endpoint.find(':');
    const std::string host = endpoint.substr(0, colon);
    const std::string endpointPort =
        colon == std::string::npos ? "443" : endpoint.substr(colon + 1);
    return host + ":" + endpointPort + ":127.0.0.1:" + std::to_string(port);
}

void sendAll(int fd, const std::string& text) {
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t count = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (count <= 0 && errno != EINTR) return;
        if (count > 0) sent += static_cast<std::size_t>(count);
    }
}

}  // namespace

ApiOnDemand::ApiOnDemand(const LiveDeviceApi& api, const std::string& name,
                         const std::string& module)
    : api_(api), name_(name), module_(module), listener_(listenOn(name_)) {
    thread_ = std::thread([this] { answerRequests(); });
}

// Shutting the listening socket down ends the thread's accept().
ApiOnDemand::~ApiOnDemand() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
    running_.reset();
    if (handle_ != nullptr) dlclose(handle_);
}

std::vector<SeenRequest> ApiOnDemand::requests() const {
    const std::lock_guard<std::mutex> guard(mutex_);
    return running_ == nullptr ? std::vector<SeenRequest>{} : running_->requests();
}

void ApiOnDemand::start() {
    if (handle_ == nullptr) handle_ = dlopen(module_.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto startApi =
        handle_ == nullptr ? nullptr : reinterpret_cast<StartApi>(dlsym(handle_, kStartApiSymbol));
    if (startApi == nullptr) throw std::runtime_error(std::string("cannot load the device API: ") + dlerror());
    running_.reset(startApi(api_));
}

// The authority file and the CURLOPT_CONNECT_TO entry, the server started on the first call.
std::string ApiOnDemand::started() {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (running_ == nullptr) start();
    return running_->authorityFile() + "\n" + connectTo(api_.endpoint(), running_->port()) + "\n";
}

// A connection that gets no answer leaves PROGRAM's transfers to the real endpoint.
void ApiOnDemand::answerRequests() {
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (fd < 0) return;
        try {
            sendAll(fd, started());
        } catch (const std::exception& e) {
            std::cerr << "i2c-kestro-sim: " << e.what() << std::endl;
        }
        close(fd);
    }
}

}  // namespace sim
