#include <gtest/gtest.h>

#include <string>

#include "PrintableText.h"

struct PrintableCase {
    const char* name;
    std::string text;
    std::string shown;
};

class PrintableTextTest : public testing::TestWithParam<PrintableCase> {};

TEST_P(PrintableTextTest, EscapesControlBytesAndKeepsEverythingElseByteForByte) {
    EXPECT_EQ(printableText(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Texts, PrintableTextTest,
                         testing::Values(PrintableCase{"Empty", "", ""},
                                         PrintableCase{"PlainText", "dev-1 ~!", "dev-1 ~!"},
                                         PrintableCase{"EscapeSequence", "\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},
                                         PrintableCase{"LineFeed", "id\nfound dev-9", "id\\x0afound dev-9"},
                                         PrintableCase{"Nul", std::string("a\0b", 3), "a\\x00b"},
                                         PrintableCase{"UnitSeparatorAndDel", "\x1f\x7f", "\\x1f\\x7f"},
                                         PrintableCase{"Backslashes", "back\\slash \\x41", "back\\slash \\x41"},
                                         PrintableCase{"Utf8AndInvalidBytes", "caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"}),
                         [](const auto& info) { return std::string(info.param.name); });
