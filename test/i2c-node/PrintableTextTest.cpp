#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "PrintableText.h"

// A text, as the console shows it (printableText) and as a JSON document holds it (utf8Text).
struct PrintableCase {
    const char* name;
    std::string text;
    std::string shown;
    std::string utf8;
};

void PrintTo(const PrintableCase& row, std::ostream* out) {
    *out << row.name;
}

class PrintableTextTest : public testing::TestWithParam<PrintableCase> {};

TEST_P(PrintableTextTest, EscapesControlsForTheConsoleAndBytesOutsideUtf8ForJson) {
    EXPECT_EQ(printableText(GetParam().text), GetParam().shown);
    EXPECT_EQ(utf8Text(GetParam().text), GetParam().utf8);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, PrintableTextTest, testing::Values(
    PrintableCase{"Empty", "", "", ""},
    PrintableCase{"Plain", "dev-1 ~!", "dev-1 ~!", "dev-1 ~!"},
    PrintableCase{"Escape", "\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H", "\x1b[2J\x1b[H"},
    PrintableCase{"LineEnd", "id\nfound dev-9", "id\\x0afound dev-9", "id\nfound dev-9"},
    PrintableCase{"Nul", std::string("a\0b", 3), "a\\x00b", std::string("a\0b", 3)},
    PrintableCase{"UnitSeparatorAndDelete", "\x1f\x7f", "\\x1f\\x7f", "\x1f\x7f"},
    PrintableCase{"Backslash", "back\\slash \\x41", "back\\slash \\x41", "back\\slash \\x41"},
    PrintableCase{"Latin1AndLoneByte", "caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff", "caf\xc3\xa9 \\xff"},
    // U+009B is a terminal's CSI, as is the lone byte 0x9B; U+00A0 is no control.
    PrintableCase{"C1Characters", "\xc2\x9b" "2J\xc2\x80\xc2\x9f\xc2\xa0",
                  "\\xc2\\x9b" "2J\\xc2\\x80\\xc2\\x9f\xc2\xa0", "\xc2\x9b" "2J\xc2\x80\xc2\x9f\xc2\xa0"},
    PrintableCase{"LoneC1Bytes", "\x9b" "31m \x80", "\\x9b" "31m \\x80", "\\x9b" "31m \\x80"},
    // Continuation bytes 0x80..0x9F of other characters stay.
    PrintableCase{"CharactersWithC1Continuations", "\xc3\x80 \xe2\x80\x9c \xf0\x9f\x98\x80",
                  "\xc3\x80 \xe2\x80\x9c \xf0\x9f\x98\x80", "\xc3\x80 \xe2\x80\x9c \xf0\x9f\x98\x80"},
    PrintableCase{"CutCharacter", "\xe2\x80", "\xe2\\x80", "\\xe2\\x80"},
    PrintableCase{"OverlongAndSurrogate", "\xc1\x81\xed\xa0\x80\xe0\x80\x80", "\xc1\\x81\xed\xa0\\x80\xe0\\x80\\x80",
                  "\\xc1\\x81\\xed\\xa0\\x80\\xe0\\x80\\x80"},
    PrintableCase{"PastU10FFFF", "\xf4\x90\x80\x80", "\xf4\\x90\\x80\\x80", "\\xf4\\x90\\x80\\x80"}),
    [](const testing::TestParamInfo<PrintableCase>& info) { return std::string(info.param.name); });
// clang-format on
