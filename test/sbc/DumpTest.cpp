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
    struct Call {
        const char* json;
        int indent;
        bool indentFirst;
        const char* title;
    };
    const Call calls[] = {
        {R"({"a":1,"b":[true,"x"],"c":{"d":null}})", 0, false, "cfg"},
        {"[]", 0, false, ""},
        {"5", 4, true, ""},
        {"\"x\"", 4, false, ""},
        {"false", 0, false, ""},
        {"3.14159265", 2, true, ""},
        {"null", 1, true, ""},
        {"4294967296", 0, false, ""},
        {"[1]", 0, false, "t"},
        {"7", 0, false, "t"},
        {"[[1]]", 0, false, ""},
        {R"([{"k":"v"}])", 0, false, ""},
    };
    std::string printed;
    for (const Call& call : calls) {
        json_object* value = json_tokener_parse(call.json);
        printed += "== " + std::string(call.json) + " " + std::to_string(call.indent) + " " +
                   std::to_string(call.indentFirst) + " " + call.title + "\n";
        printed += stdoutOf([&] { printJson(value, call.indent, call.indentFirst, call.title); });
        printed += "\n";
        json_object_put(value);
    }
    expectGolden("print-json.txt", printed);
}

}  // namespace
