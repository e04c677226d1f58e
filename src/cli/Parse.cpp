#include "Parse.h"

#include <algorithm>
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

constexpr std::string_view kAll = "all";

std::string notAnAddress(std::string_view text) {
    return "not a 7-bit address (0x00-0x7f): " + std::string(text);
}

// Adds one entry of a list, an address or a range FIRST-LAST; answers why it cannot, or "".
std::string addEntry(std::string_view entry, AddressList& list) {
    const size_t dash = entry.find('-');
    const std::string_view firstText = entry.substr(0, dash);
    const std::string_view lastText =
        dash == std::string_view::npos ? entry : entry.substr(dash + 1);
    const std::optional<uint8_t> first = parseAddress(firstText);
    const std::optional<uint8_t> last = parseAddress(lastText);
    if (!first || !last) {
        const std::string_view bad = !first ? firstText : lastText;
        return notAnAddress(bad.empty() ? entry : bad);
    }
    if (*first > *last) {
        return "not a range from low to high: " + std::string(entry);
    }
    for (unsigned address = *first; address <= *last; ++address) {
        if (std::ranges::count(list.addresses, address) == 0) {
            list.addresses.push_back(static_cast<uint8_t>(address));
        }
    }
    return "";
}

}  // namespace

AddressList parseAddressList(std::string_view text) {
    AddressList list;
    list.several = text.find_first_of(",-") != std::string_view::npos || text == kAll;
    if (text == kAll) {
        list.all = true;
        return list;
    }
    for (size_t start = 0; list.fault.empty() && start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view entry = text.substr(start, comma - start);
        list.fault = entry.empty() ? "empty entry in the address list: " + std::string(text)
                                   : addEntry(entry, list);
        start = comma + 1;
    }
    return list;
}

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
