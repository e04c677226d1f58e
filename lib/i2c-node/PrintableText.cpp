#include "PrintableText.h"

#include <cstddef>

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kFirstC1 = 0x80;
constexpr unsigned char kLastC1 = 0x9F;
// U+0080..U+009F are C2 80..C2 9F in UTF-8.
constexpr unsigned char kC1Lead = 0xC2;

unsigned char byteAt(std::string_view text, size_t index) {
    return static_cast<unsigned char>(text[index]);
}

// The length of the well-formed UTF-8 character `text` starts with (the Unicode standard's
// table of well-formed byte sequences: no overlong forms, no surrogates, nothing past
// U+10FFFF), or 0 when it starts with none.
size_t characterLength(std::string_view text) {
    const unsigned char lead = byteAt(text, 0);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (text.size() < length || byteAt(text, 1) < low || byteAt(text, 1) > high) {
        return 0;
    }
    for (size_t index = 2; index < length; ++index) {
        if (byteAt(text, index) < 0x80 || byteAt(text, index) > 0xBF) {
            return 0;
        }
    }
    return length;
}

bool isC1(unsigned char byte) {
    return byte >= kFirstC1 && byte <= kLastC1;
}

// Whether the character (or the lone byte, `length` 0) at the start of `text` is a control.
bool isControl(std::string_view text, size_t length) {
    const unsigned char lead = byteAt(text, 0);
    switch (length) {
        case 0:
            return isC1(lead);
        case 1:
            return lead < kFirstPrintable || lead == kDelete;
        case 2:
            return lead == kC1Lead && isC1(byteAt(text, 1));
        default:
            return false;
    }
}

void appendEscaped(std::string& shown, std::string_view bytes) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        shown += "\\x";
        shown += kHexDigits[byte >> 4];
        shown += kHexDigits[byte & 0x0F];
    }
}

// Goes through `text` character by character (a byte that starts none on its own) and appends
// each as it is or escaped, as `escape(character, length)` decides.
template <typename Escape>
std::string rewritten(std::string_view text, Escape escape) {
    std::string shown;
    shown.reserve(text.size());
    while (!text.empty()) {
        const size_t length = characterLength(text);
        const std::string_view character = text.substr(0, length == 0 ? 1 : length);
        if (escape(text, length)) {
            appendEscaped(shown, character);
        } else {
            shown += character;
        }
        text.remove_prefix(character.size());
    }
    return shown;
}

}  // namespace

std::string printableText(std::string_view text) {
    return rewritten(text, isControl);
}

std::string utf8Text(std::string_view text) {
    return rewritten(text, [](std::string_view, size_t length) { return length == 0; });
}
