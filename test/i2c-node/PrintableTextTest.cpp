#include <gtest/gtest.h>

#include <string>

#include "PrintableText.h"

struct PrintableCase {
    std::string text;
    std::string shown;
};

class PrintableTextTest : public testing::TestWithParam<PrintableCase> {};

TEST_P(PrintableTextTest, EscapesControlBytesAndKeepsEverythingElseByteForByte) {
    EXPECT_EQ(printableText(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PrintableTextTest,
    testing::Values(PrintableCase{"", ""}, PrintableCase{"dev-1 ~!", "dev-1 ~!"},
                    PrintableCase{"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},
                    PrintableCase{"id\nfound dev-9", "id\\x0afound dev-9"},
                    PrintableCase{std::string("a\0b", 3), "a\\x00b"},
                    PrintableCase{"\x1f\x7f", "\\x1f\\x7f"},
                    PrintableCase{"back\\slash \\x41", "back\\slash \\x41"},
                    PrintableCase{"caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"}));
