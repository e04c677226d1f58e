#include <gtest/gtest.h>

#include <sstream>

#include "BoardTestSupport.h"

namespace {

std::string dumpOf(const SBC& board) {
    std::ostringstream out;
    out << board;
    return out.str();
}

std::string printed(const char* json, int indent, bool indentFirst, const std::string& title) {
    json_object* value = json_tokener_parse(json);
    const Console console = captureConsole([&] { printJson(value, indent, indentFirst, title); });
    json_object_put(value);
    return console.out;
}

TEST(BoardDump, BoardWithoutNetworksOrDevicesIsFiveLines) {
    BoardPtr board = idleBoard();
    board->_endpoint = "api.example.test";
    board->_api_key = "key-1";

    EXPECT_EQ(dumpOf(*board),
              "SBC << overload \n"
              "_endpoint: api.example.test\n"
              "_api_key: key-1\n"
              "_wifis\n"
              "SBC devices \n");
}

TEST(BoardDump, NetworksAndDevicesAreWrittenInClearAndInKeyOrder) {
    BoardPtr board = idleBoard();
    board->_endpoint = "e";
    board->_api_key = "k";
    board->_wifis = {Wifi{"home", "secret"}, Wifi{"", ""}};
    board->_devices["b"] = json_tokener_parse(R"({"id": "b", "config": {"addr": 80}})");
    board->_devices["a"] = nullptr;

    EXPECT_EQ(dumpOf(*board),
              "SBC << overload \n"
              "_endpoint: e\n"
              "_api_key: k\n"
              "_wifis\n"
              "\tssid: home pass: secret\n"
              "\tssid:  pass: \n"
              "SBC devices \n"
              "\tid: a\n"
              "\t\tjson: null\n"
              "\tid: b\n"
              "\t\tjson: { \"id\": \"b\", \"config\": { \"addr\": 80 } }\n");
}

TEST(BoardDump, InsertionReturnsTheSameStreamForChaining) {
    BoardPtr board = idleBoard();
    std::ostringstream out;

    (out << *board) << "tail";

    EXPECT_TRUE(out.str().ends_with("SBC devices \ntail"));
}

TEST(JsonDump, TitledObjectIsFramedByStartAndEndLines) {
    EXPECT_EQ(printed(R"({"a":1,"b":[true,"x"],"c":{"d":null}})", 0, false, "cfg"),
              "cfg--START---------------------\n"
              "{\n"
              " obj : \"a\": int : 1,\n"
              " obj : \"b\": arr : [\n"
              "    bool: 1,\n"
              "    str : x,\n"
              "  ],\n"
              " obj : \"c\": {\n"
              "   obj : \"d\": NULL: ,\n"
              "},\n"
              "}\n"
              "cfg--END---------------------\n");
}

TEST(JsonDump, EmptyArrayAtTopLevelEndsWithANewline) {
    EXPECT_EQ(printed("[]", 0, false, ""), "arr : [\n]\n");
}

TEST(JsonDump, IndentedIntegerHasItsLeadAndNoNewline) {
    EXPECT_EQ(printed("5", 4, true, ""), "    int : 5");
}

TEST(JsonDump, LeadIsOmittedWhenTheFirstLineIsNotIndented) {
    EXPECT_EQ(printed("\"x\"", 4, false, ""), "str : x");
}

TEST(JsonDump, ScalarsUseTheirTagsAndStreamFormats) {
    EXPECT_EQ(printed("false", 0, false, ""), "bool: 0");
    EXPECT_EQ(printed("3.14159265", 2, true, ""), "  doub: 3.14159");
    EXPECT_EQ(printed("null", 1, true, ""), " NULL: ");
    EXPECT_EQ(printed("4294967296", 0, false, ""), "int : 2147483647");
}

TEST(JsonDump, TitledArrayOrScalarGetsAStartLineButNoEndLine) {
    EXPECT_EQ(printed("[1]", 0, false, "t"),
              "t--START---------------------\narr : [\n  int : 1,\n]\n");
    EXPECT_EQ(printed("7", 0, false, "t"), "t--START---------------------\nint : 7");
}

TEST(JsonDump, NestedArrayClosesAtItsOwnIndentWhateverTheLead) {
    EXPECT_EQ(printed("[[1]]", 0, false, ""),
              "arr : [\n"
              "arr : [\n"
              "    int : 1,\n"
              "  ],\n"
              "]\n");
}

TEST(JsonDump, NestedObjectInAnArrayIsLedByItsIndent) {
    EXPECT_EQ(printed(R"([{"k":"v"}])", 0, false, ""),
              "arr : [\n"
              "  {\n"
              "   obj : \"k\": str : v,\n"
              "  },\n"
              "]\n");
}

}  // namespace
