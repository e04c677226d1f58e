#include "Trace.h"

#include <cstdio>
#include <cstring>

#include "SimNode.h"

namespace sim {

namespace {

std::string seconds(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%06llu", static_cast<unsigned long long>(us / 1'000'000),
                  static_cast<unsigned long long>(us % 1'000'000));
    return text;
}

std::string quoted(const Bytes& bytes) {
    std::string text = "\"";
    for (uint8_t byte : bytes) {
        if (byte == 0) break;
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, byte < 0x20 || byte >= 0x7F ? "\\x%02x" : "%c", byte);
        text += escaped;
    }
    return text + "\"";
}

std::string command(const Bytes& payload) {
    if (payload.empty()) return "empty request";
    char opcode[8];
    std::snprintf(opcode, sizeof opcode, "0x%02X", payload[0]);
    const std::string name = commandName(payload[0]);
    std::string text = (name.empty() ? "unknown command" : name) + " (" + opcode + ")";
    if (payload.size() > 1 && (payload[0] == 0x94 || payload[0] == 0x95)) {
        text += " " + transferStepName(payload[1]);
    }
    return text;
}

std::string answer(const Event& event) {
    if (event.reply.empty()) return "no answer";
    const DecodedFrame reply = decodeFrame(event.reply);
    if (!reply.ok) return "broken reply (" + reply.error + ")";
    const bool ok = reply.payload.size() >= 2 && reply.payload[0] == 'O' && reply.payload[1] == 'K';
    return ok ? std::string("OK") : quoted(reply.payload);
}

std::string request(const Event& event) {
    const DecodedFrame frame = decodeFrame(event.bytes);
    char address[8];
    std::snprintf(address, sizeof address, "0x%02X", static_cast<unsigned>(event.address) & 0xFFu);
    std::string text = std::string("write ") + address;
    text += frame.ok ? " " + command(frame.payload) : " unreadable request";
    text += " frame " + std::to_string(event.bytes.size());
    text += frame.ok ? " crc ok" : " " + frame.error;
    const char* error = strerrorname_np(event.error);
    text += event.result >= 0 ? " -> " + answer(event) : std::string(" ") + (error != nullptr ? error : "failed");
    if (!event.fault.empty()) text += " [fault " + event.fault + "]";
    return text;
}

// A read before the node's reply was ready, and the time of a transaction's
// bits on a bus that has a speed.
std::string timing(const Event& event) {
    std::string text = event.idle ? " [not ready: idle 0xFF]" : "";
    if (event.wireUs > 0) text += " [wire " + std::to_string(event.wireUs) + " us]";
    return text;
}

}  // namespace

std::string traceLine(const Event& event, uint64_t startUs) {
    const std::string time = seconds(event.timeUs > startUs ? event.timeUs - startUs : 0);
    switch (event.kind) {
        case EventKind::Write:
            return time + " " + event.path + " " + request(event) + timing(event);
        case EventKind::Probe:
        case EventKind::Read:
            return time + " " + event.path + " " + event.str() + timing(event);
        case EventKind::Select:
        case EventKind::Funcs:
            return time + " " + event.path + " " + event.str();
        default:
            return time + " " + event.str();
    }
}

}  // namespace sim
