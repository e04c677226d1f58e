#pragma once
// The scenario file: a JSON description of the simulated board (buses with
// their nodes, probe-only devices and faults; the GPIO chip; the device API)
// that `i2c-kestro-sim` and its preload library set the simulator up from.
// Every key is documented in docs/simulator.md.

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "SimBoard.h"

namespace sim {

// One line naming where the scenario is wrong and what is wrong there, e.g.
// `buses["/dev/i2c-3"].nodes[2].address: 0x91 is not a 7-bit address`.
class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the launcher serves as the device API.
struct DeviceApi {
    // Host (and ":port" when not 443) that the board's configuration names.
    std::string endpoint = "api.kestro.example";
    // The x-api-key a request must carry; empty: any key is accepted.
    std::string apiKey;
    // The answer: the device list as JSON text, unless a fault overrides it.
    std::string devices = "[]";
    int status = 200;
    std::optional<std::string> body;  // replaces the device list
    uint64_t delayMs = 0;             // before answering
    bool endlessBody = false;         // the body never ends
};

// The device API as it stands: the scenario's, changed by its timeline as
// the run goes. The launcher's server asks it for each answer.
class LiveDeviceApi {
  public:
    explicit LiveDeviceApi(DeviceApi api) : endpoint_(api.endpoint), api_(std::move(api)) {}

    // Brings the API up to date before each answer (the timeline); set before serving.
    void catchUpWith(std::function<void()> catchUp) { catchUp_ = std::move(catchUp); }
    const std::string& endpoint() const { return endpoint_; }
    DeviceApi current() const {
        if (catchUp_) catchUp_();
        const std::lock_guard<std::mutex> guard(mutex_);
        return api_;
    }
    void change(const std::function<void(DeviceApi&)>& how) {
        const std::lock_guard<std::mutex> guard(mutex_);
        how(api_);
    }

  private:
    const std::string endpoint_;
    std::function<void()> catchUp_;
    mutable std::mutex mutex_;
    DeviceApi api_;
};

// Something that happens to the board `atUs` after the launcher started
// (on the run's clock): a node falls silent or answers again, or takes
// another identity; the device API fails, answers again, or lists other devices.
struct TimelineEvent {
    enum class Kind {
        Silent,
        Answers,
        Identity,
        DeviceApiFails,
        DeviceApiAnswers,
        DeviceApiDevices
    };
    uint64_t atUs = 0;
    Kind kind = Kind::Silent;
    std::string bus;
    uint8_t address = 0;
    std::array<std::string, 4> identity;
    int status = 0;       // DeviceApiFails
    std::string devices;  // DeviceApiDevices: the list as JSON text
};

struct Scenario {
    DeviceApi deviceApi;
    std::vector<TimelineEvent> timeline;  // in the order of their times
    uint64_t seed = 1;
    // The largest file a node takes (sends) or the scenario gives it ("path").
    uint32_t maxFileSize = SimNode::kDefaultMaxFileSize;
};

// Reads the scenario at `path` and sets `board` up from it. Node clocks given as
// an offset are counted from `hostNowUs`; files named by "path" are read
// relative to the scenario's folder and must stay inside it. Throws ScenarioError.
Scenario loadScenario(const std::string& path, SimBoard& simBoard, uint64_t hostNowUs);

}  // namespace sim
