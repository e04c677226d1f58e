#include <gtest/gtest.h>

#include <sstream>

#include "BoardTestSupport.h"
#include "Golden.h"

namespace {

TEST(BoardDump, WritesNetworksAndDevicesInClearAndInKeyOrder) {
    BoardPtr board = idleBoard();
    std::ostringstream out;
    board->_endpoint = "api.example.test";
    board->_api_key = "key-1";
    (out << *board) << "(chained)\n";
    board->_wifis = {Wifi{"home", "secret"}, Wifi{"", ""}};
    board->_devices["b"] = json_tokener_parse(R"({"id": "b", "config": {"addr": 80}})");
    board->_devices["a"] = nullptr;
    out << *board;

    expectGolden("board-dump.txt", out.str());
}

// Each value printed alone, as "json indent indentFirst title" then what printJson wrote.
TEST(JsonDump, PrintsEveryKindOfValueAsAnIndentedTree) {
    const std::tuple<const char*, int, bool, const char*> calls[] = {
        {R"({"a":1,"b":[true,"x",[[2]],{"k":"v"}],"c":{"d":null},"e":3.14159265,"f":4294967296})", 0, false, "cfg"},
        {"[[1],[]]", 0, false, ""}, {"[1]", 2, true, "t"}, {"5", 4, true, ""}, {"\"x\"", 4, false, ""},
        {"false", 0, false, "t"}, {"null", 1, true, ""},
    };
    std::string printed;
    for (const auto& [json, indent, indentFirst, title] : calls) {
        json_object* value = json_tokener_parse(json);
        printed += "== " + std::string(json) + " " + std::to_string(indent) + " " + std::to_string(indentFirst) +
                   " " + title + "\n" + stdoutOf([&] { printJson(value, indent, indentFirst, title); }) + "\n";
        json_object_put(value);
    }
    expectGolden("print-json.txt", printed);
}

}  // namespace
