#include "Parse.h"

#include <charconv>
#include <cstdio>

namespace cli {

namespace {

constexpr uint8_t kLastAddress = 0x7F;
constexpr std::string_view kBusPrefix = "/dev/i2c-";
// i2c-dev numbers its devices by their minor numbers, which have 20 bits.
constexpr uint64_t kLastBus = (1u << 20) - 1;

bool isDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || fault != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint8_t> parseAddress(std::string_view text) {
    const std::optional<uint64_t> value = parseNumber(text, kLastAddress);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*value);
}

// Leading zeros go, so that "00003" names /dev/i2c-3, the device that is there.
std::optional<std::string> parseBus(std::string_view text) {
    if (text.starts_with(kBusPrefix)) {
        text.remove_prefix(kBusPrefix.size());
    }
    if (!isDigits(text)) {
        return std::nullopt;
    }
    const std::optional<uint64_t> number = parseNumber(text, kLastBus);
    if (!number) {
        return std::nullopt;
    }
    return std::string(kBusPrefix) + std::to_string(*number);
}

std::string addressText(unsigned address) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", address);
    return text;
}

}  // namespace cli
