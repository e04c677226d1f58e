#pragma once

#include <string>
#include <utility>
#include <vector>

#include "TestAuthority.h"

// Ways the server can misbehave once TLS is up. Each gives up after kMisbehaviourSeconds, so a
// client without time limits of its own fails rather than hangs.
enum class ApiFault {
    None,
    Silent,          // accepts the request and never answers
    TrickleSlowly,   // answers one byte every two seconds
    TrickleForever,  // answers quickly enough, twenty bytes a second, but never ends
    FloodForever,    // answers megabytes without end, as fast as the client reads
};
constexpr int kMisbehaviourSeconds = 5;

// One request as the server received it.
struct RecordedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;

    // Every value sent under this header name, compared without regard to case.
    std::vector<std::string> headerValues(const std::string& name) const;
};

// An HTTPS server on 127.0.0.1 (any free port) that answers every request, whatever its method
// and path, with one configurable status and body, and records what it received. Its
// certificate is issued by `authority`; by default the authority this process trusts.
//
// The server runs in a child process of its own: the test process stays single-threaded, as
// the simulated devices of the simulated board require. Answer and records travel through files.
class DeviceApiServer {
  public:
    explicit DeviceApiServer(const TestAuthority& authority = trustedTestAuthority());
    ~DeviceApiServer();

    DeviceApiServer(const DeviceApiServer&) = delete;
    DeviceApiServer& operator=(const DeviceApiServer&) = delete;

    // Host and port, as a configuration's "endpoint" names them.
    std::string endpoint() const;
    int port() const { return _port; }

    // The answer to every request from now on; 200 and "[]" until this is called.
    void respondWith(int status, const std::string& body,
                     const std::string& contentType = "application/json");
    std::vector<RecordedRequest> requests() const;
    // How every request from now on is treated instead of the answer.
    void misbehave(ApiFault fault);

  private:
    std::string _directory;
    int _child;
    int _port;
};

// A local TCP port that accepts connections (the kernel completes them) but never reads or
// answers, so a TLS handshake never starts. It closes after kMisbehaviourSeconds.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();

    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    std::string endpoint() const;

  private:
    int _child;
    int _port;
};

// A local TCP port that is bound but never listens, so connecting to it is refused.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();

    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    std::string endpoint() const;

  private:
    int _socket;
    int _port;
};
