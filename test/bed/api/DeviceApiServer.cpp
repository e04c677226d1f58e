#include "DeviceApiServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

// libcurl would send loopback traffic through a proxy named in the environment.
void bypassProxies() {
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

}  // namespace

std::vector<std::string> RecordedRequest::headerValues(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) {
            values.push_back(value);
        }
    }
    return values;
}

struct DeviceApiServer::State {
    ServerIdentity identity;
    httplib::SSLServer server;
    int port = 0;
    std::thread listener;

    mutable std::mutex mutex;
    int status = 200;
    std::string body = "[]";
    std::string contentType = "application/json";
    std::vector<RecordedRequest> requests;

    explicit State(ServerIdentity id)
        : identity(std::move(id)),
          server(identity.certificate.get(), identity.key.get()) {}

    httplib::Server::HandlerResponse answer(const httplib::Request& request,
                                            httplib::Response& response) {
        std::lock_guard<std::mutex> lock(mutex);
        RecordedRequest recorded{request.method, request.path, {}};
        for (const auto& header : request.headers) {
            recorded.headers.emplace_back(header.first, header.second);
        }
        requests.push_back(std::move(recorded));
        response.status = status;
        response.set_content(body, contentType.c_str());
        return httplib::Server::HandlerResponse::Handled;
    }
};

DeviceApiServer::DeviceApiServer(const TestAuthority& authority)
    : _state(std::make_unique<State>(authority.issueServerIdentity())) {
    bypassProxies();
    if (!_state->server.is_valid()) {
        throw std::runtime_error("device API server: TLS set-up failed");
    }
    _state->server.set_pre_routing_handler(
        [state = _state.get()](const httplib::Request& request, httplib::Response& response) {
            return state->answer(request, response);
        });
    _state->port = _state->server.bind_to_any_port("127.0.0.1");
    if (_state->port <= 0) {
        throw std::runtime_error("device API server: cannot bind 127.0.0.1");
    }
    _state->listener = std::thread([state = _state.get()] { state->server.listen_after_bind(); });
}

// stop() only takes effect once the accept loop runs, so wait for it before stopping.
DeviceApiServer::~DeviceApiServer() {
    while (!_state->server.is_running()) {
        std::this_thread::yield();
    }
    _state->server.stop();
    _state->listener.join();
}

std::string DeviceApiServer::endpoint() const {
    return "127.0.0.1:" + std::to_string(_state->port);
}

int DeviceApiServer::port() const { return _state->port; }

void DeviceApiServer::respondWith(int status, const std::string& body,
                                  const std::string& contentType) {
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->status = status;
    _state->body = body;
    _state->contentType = contentType;
}

std::vector<RecordedRequest> DeviceApiServer::requests() const {
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->requests;
}

RefusingPort::RefusingPort() : _socket(socket(AF_INET, SOCK_STREAM, 0)), _port(0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (_socket < 0 || bind(_socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("refusing port: cannot bind 127.0.0.1");
    }
    _port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() { close(_socket); }

std::string RefusingPort::endpoint() const { return "127.0.0.1:" + std::to_string(_port); }
