#pragma once

#include <chrono>
#include <string>

namespace agent {

// Tells the service manager how the agent is, through the datagram socket it names in
// NOTIFY_SOCKET; without one (run by hand) every call does nothing. The protocol is systemd's
// documented, stable one; speaking it directly spares the agent a library for one sendto().
class Notifier {
  public:
    Notifier();
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    void ready();
    void status(const std::string& text);
    void stopping();
    // WATCHDOG=1 at most every half of the watchdog's period (WATCHDOG_USEC); nothing when the
    // service has none.
    void keepAlive();

  private:
    void send(const std::string& message);

    int _fd = -1;
    std::string _address;
    std::chrono::microseconds _watchdogHalf{0};
    std::chrono::steady_clock::time_point _lastKeepAlive{};
};

}  // namespace agent
