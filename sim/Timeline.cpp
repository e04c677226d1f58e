#include "Timeline.h"

#include "SimBoard.h"

namespace sim {

Timeline::Timeline(std::vector<TimelineEvent> events, LiveDeviceApi& api, bool fast)
    : events_(std::move(events)), api_(api), fast_(fast) {}

void Timeline::catchUp() {
    const auto guard = SimBoard::lock();
    while (next_ < events_.size() && events_[next_].atUs <= elapsedUs()) apply(events_[next_++]);
}

uint64_t Timeline::elapsedUs() const {
    if (fast_) return SimBoard::instance().clock().advancedUs();
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

void Timeline::apply(const TimelineEvent& event) {
    using Kind = TimelineEvent::Kind;
    switch (event.kind) {
        case Kind::Silent:
        case Kind::Answers:
            SimBoard::instance().busAt(event.bus).silence(event.address,
                                                          event.kind == Kind::Silent);
            return;
        case Kind::Identity:
            SimBoard::instance().busAt(event.bus).nodes().at(event.address)->state().identity =
                event.identity;
            return;
        case Kind::DeviceApiFails:
            return api_.change([&](DeviceApi& api) {
                api.status = event.status;
                api.body = R"({"error": "unavailable"})";
            });
        case Kind::DeviceApiAnswers:
            return api_.change([](DeviceApi& api) {
                api.status = 200;
                api.body.reset();
                api.delayMs = 0;
                api.endlessBody = false;
            });
        case Kind::DeviceApiDevices:
            return api_.change([&](DeviceApi& api) { api.devices = event.devices; });
    }
}

}  // namespace sim
