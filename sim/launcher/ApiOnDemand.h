#pragma once
// The device API started only when PROGRAM first makes a transfer to its
// endpoint: loading the HTTPS stack, making the run's certificates and
// starting the server cost more than most programs run under the launcher,
// which never use the API. The preload library asks for it over an abstract
// Unix socket (see Launch.h).

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DeviceApiModule.h"
#include "Scenario.h"

namespace sim {

class ApiOnDemand {
  public:
    // `name`: the socket's, unique on this host; `module`: libkestro-sim-api.so.
    ApiOnDemand(const LiveDeviceApi& api, const std::string& name, const std::string& module);
    ~ApiOnDemand();

    ApiOnDemand(const ApiOnDemand&) = delete;
    ApiOnDemand& operator=(const ApiOnDemand&) = delete;

    // The socket's name in the abstract namespace, without its leading zero byte.
    const std::string& socketName() const { return name_; }
    // What the server has seen; none when it was never started.
    std::vector<SeenRequest> requests() const;

  private:
    void answerRequests();
    std::string started();
    void start();

    const LiveDeviceApi& api_;
    std::string name_;
    std::string module_;
    void* handle_ = nullptr;
    int listener_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::unique_ptr<RunningApi> running_;
};

}  // namespace sim
