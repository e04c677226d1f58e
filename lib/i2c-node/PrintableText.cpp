#include "PrintableText.h"

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;

bool isControl(unsigned char byte) {
    return byte < kFirstPrintable || byte == kDelete;
}

}  // namespace

std::string printableText(std::string_view text) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (!isControl(byte)) {
            shown += c;
            continue;
        }
        shown += "\\x";
        shown += kHexDigits[byte >> 4];
        shown += kHexDigits[byte & 0x0F];
    }
    return shown;
}
