#include "Event.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

std::string errorName(int error) {
    const char* name = strerrorname_np(error);
    return name != nullptr ? name : "E" + std::to_string(error);
}

std::string hexAddress(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value) & 0xFFu);
    return text;
}

// " EIO" on failure, " -> n" when fewer bytes than asked moved, else "".
std::string transferOutcome(const Event& event) {
    if (event.result < 0) return " " + errorName(event.error);
    if (static_cast<std::size_t>(event.result) != event.requested) {
        return " -> " + std::to_string(event.result);
    }
    return "";
}

std::string failureSuffix(const Event& event) {
    return event.result < 0 ? " " + errorName(event.error) : "";
}

std::string gpioText(const Event& event) {
    const std::string line = std::to_string(event.address);
    switch (event.kind) {
        case EventKind::GpioRequest:
            if (event.result < 0) return "gpio request " + line + failureSuffix(event);
            return "gpio request " + line + " " + std::to_string(event.value);
        case EventKind::GpioSet:
            return "gpio set " + line + " " + std::to_string(event.value) + failureSuffix(event);
        default:
            return "gpio release " + line;
    }
}

}  // namespace

std::string Event::str() const {
    switch (kind) {
        case EventKind::Open:
            return "open " + path + failureSuffix(*this);
        case EventKind::Close:
            return "close " + path;
        case EventKind::Select:
            return "select " + hexAddress(address) + failureSuffix(*this);
        case EventKind::Funcs:
            return "funcs" + failureSuffix(*this);
        case EventKind::Probe:
            return "probe " + hexAddress(address) + (result < 0 ? " nack" : " ack");
        case EventKind::Write:
            return "write " + hexAddress(address) + " " + std::to_string(requested) +
                   transferOutcome(*this);
        case EventKind::Read:
            return "read " + hexAddress(address) + " " + std::to_string(requested) +
                   transferOutcome(*this);
        case EventKind::Sleep:
            return path + " " + std::to_string(requested);
        default:
            return gpioText(*this);
    }
}

}  // namespace sim
