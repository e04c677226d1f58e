#include "ApiServer.h"

#include <httplib.h>

#include <chrono>
#include <stdexcept>

namespace sim {

namespace {

constexpr const char* kDevicePath = "/api/v1/device";

}  // namespace

ApiServer::ApiServer(const LiveDeviceApi& api, const TestAuthority& authority) : api_(api) {
    const std::string host = api.endpoint().substr(0, api.endpoint().find(':'));
    const ServerIdentity identity = authority.issueServerIdentity(host);
    server_ = std::make_unique<httplib::SSLServer>(identity.certificate.get(), identity.key.get());
    if (!server_->is_valid()) throw std::runtime_error("the device API server cannot use its certificate");
    server_->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        answer(request, response);
        return httplib::Server::HandlerResponse::Handled;
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the device API server cannot listen on 127.0.0.1");
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listenEnded_ = true;
    });
}

ApiServer::~ApiServer() {
    stopping_ = true;
    // stop() does nothing until the thread has entered its accept loop; a program that ends
    // before then would leave the thread accepting for ever and the join below waiting on it.
    while (!server_->is_running() && !listenEnded_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server_->stop();
    thread_.join();
}

std::vector<SeenRequest> ApiServer::requests() const {
    const std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
}

// Waits in short steps, so that stopping the server never waits for a delay.
void ApiServer::pause(uint64_t ms) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ApiServer::serveEndlessBody(httplib::Response& response) {
    response.set_chunked_content_provider("application/json", [this](size_t, httplib::DataSink& sink) {
        pause(100);
        const std::string filler = "[ ";
        return !stopping_ && sink.write(filler.data(), filler.size());
    });
}

void ApiServer::answer(const httplib::Request& request, httplib::Response& response) {
    const DeviceApi api = api_.current();
    SeenRequest seen{.method = request.method, .path = request.path};
    seen.keyAccepted = api.apiKey.empty() || request.get_header_value("x-api-key") == api.apiKey;
    if (request.path != kDevicePath || request.method != "GET") {
        response.status = 404;
        response.set_content(R"({"error": "no such resource"})", "application/json");
    } else if (!seen.keyAccepted) {
        response.status = 401;
        response.set_content(R"({"error": "wrong api key"})", "application/json");
    } else {
        pause(api.delayMs);
        response.status = api.status;
        if (api.endlessBody) {
            serveEndlessBody(response);
        } else {
            response.set_content(api.body.value_or(api.devices), "application/json");
        }
    }
    seen.status = response.status;
    const std::lock_guard<std::mutex> guard(mutex_);
    requests_.push_back(seen);
}

}  // namespace sim
