#pragma once
// The device API of the simulated board: a real HTTPS server on 127.0.0.1
// that answers GET /api/v1/device as the scenario says, with a certificate
// for the configured endpoint's host from the launcher's per-run authority.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DeviceApiModule.h"
#include "Scenario.h"
#include "TestAuthority.h"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace sim {

class ApiServer {
  public:
    ApiServer(const LiveDeviceApi& api, const TestAuthority& authority);
    ~ApiServer();

    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    int port() const { return port_; }
    std::vector<SeenRequest> requests() const;

  private:
    void answer(const httplib::Request& request, httplib::Response& response);
    void serveEndlessBody(httplib::Response& response);
    void pause(uint64_t ms) const;

    const LiveDeviceApi& api_;
    std::unique_ptr<httplib::SSLServer> server_;
    int port_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listenEnded_{false};
    mutable std::mutex mutex_;
    std::vector<SeenRequest> requests_;
};

}  // namespace sim
