#pragma once
// The device API's HTTPS stack (OpenSSL and cpp-httplib) in a module of its
// own, libkestro-sim-api.so, that the launcher loads only when the program
// first uses the API: loading that stack, even unused, would cost every run
// several times the rest of the launcher's start-up.

#include <string>
#include <vector>

#include "Scenario.h"

namespace sim {

// One request as the server saw it.
struct SeenRequest {
    std::string method;
    std::string path;
    bool keyAccepted = false;
    int status = 0;
};

// The run's authority and its HTTPS server on 127.0.0.1, serving until deleted.
class RunningApi {
  public:
    virtual ~RunningApi() = default;
    virtual const std::string& authorityFile() const = 0;
    virtual int port() const = 0;
    virtual std::vector<SeenRequest> requests() const = 0;
};

// The module's entry: makes the authority and starts the server; throws std::exception.
using StartApi = RunningApi* (*)(const LiveDeviceApi& api);
inline constexpr const char* kStartApiSymbol = "kestroSimStartApi";

}  // namespace sim
