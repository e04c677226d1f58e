// Requests of the agent's socket run through startRequest on a bus schedule of the simulated
// board in this process, as the agent runs them: each good one replies exactly what the tool
// prints and ends with when it is run directly on the same board; each bad one gets status 64
// and one line. Every reply is written to one golden transcript.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>

#include "Golden.h"
#include "IsolatedRun.h"
#include "NorvaneI2CNode.h"
#include "Requests.h"
#include "Scenario.h"
#include "SimBoardTest.h"
#include "TargetCommand.h"

namespace {

struct RequestRun {
    std::string request;            // the request line; @ stands for the test's folder
    std::vector<std::string> tool;  // the same call on the tool's command line; none: bad
    bool cancelled = false;         // the client goes away before the work starts
    // Files handed over with the request: "<@/x" opened to be read, ">@/x" made to be written
    // (that one must end up as the tool's own fetched file, its last word).
    std::vector<std::string> handed = {};
};

const std::string kHuge(100000, 'x');

// clang-format off
const RequestRun kRuns[] = {
    {R"({"id": 7, "command": "node", "nodes": "0x10", "name": "get-identity"})",
     {"node", "0x10", "get-identity"}},
    {R"({"command": "node", "nodes": "0x10-0x12,0x14", "name": "get-text-e1", "json": true})",
     {"--json", "node", "0x10-0x12,0x14", "get-text-e1"}},
    {R"({"command": "node", "nodes": "0x12,0x10", "name": "set-text-f3", "args": ["hi"],
         "poll_ms": 2})",
     {"node", "--poll", "0x12,0x10", "set-text-f3", "hi"}},
    {R"({"command": "node", "nodes": "0x14", "name": "get-identity", "quiet": true})",
     {"-q", "node", "0x14", "get-identity"}},
    {R"({"command": "node", "nodes": "0x50", "name": "get-identity", "json": true})",
     {"--json", "node", "0x50", "get-identity"}},
    {R"({"command": "node", "nodes": "0x11", "name": "get-file-info", "args": ["log.txt"],
         "verbose": true})",
     {"-v", "node", "0x11", "get-file-info", "log.txt"}},
    {R"({"command": "put", "nodes": "0x10", "local": "@/put.bin", "remote": "k.bin"})",
     {"put", "0x10", "@/put.bin", "k.bin"}},
    {R"({"command": "put", "nodes": "0x10,0x11", "local": "@/put.bin", "json": true})",
     {"--json", "put", "0x10,0x11", "@/put.bin"}},
    {R"({"command": "node", "nodes": "all", "name": "get-text-e1"})",
     {"-y", "node", "all", "get-text-e1"}},
    {R"({"command": "put", "nodes": "all", "local": "@/put.bin", "remote": "a.bin"})",
     {"-y", "put", "all", "@/put.bin", "a.bin"}},
    {R"({"command": "get", "nodes": "0x10,0x11", "remote": "log.txt", "local": "@/fetched",
         "retries": 0})",
     {"get", "--retries", "0", "0x10,0x11", "log.txt", "@/fetched"}},
    {R"({"command": "get", "nodes": "0x11", "remote": "log.txt", "local": "@/one.txt",
         "resume": true, "json": true})",
     {"--json", "get", "--resume", "0x11", "log.txt", "@/one.txt"}},
    {R"({"command": "get", "nodes": "0x11", "remote": "log.txt", "local": "@/none/one.txt"})",
     {"get", "0x11", "log.txt", "@/none/one.txt"}},
    {R"({"command": "put", "nodes": "0x10", "local": "@/put.bin", "local_fd": true,
         "remote": "k.bin"})",
     {"put", "0x10", "@/put.bin", "k.bin"}, false, {"<@/put.bin"}},
    {R"({"command": "get", "nodes": "0x11", "remote": "log.txt", "local": "@/fd.txt",
         "local_fd": true})",
     {"get", "0x11", "log.txt", "@/fd.txt"}, false, {">@/handed.txt"}},
    {R"({"command": "put", "nodes": "0x10", "local": "@/put.bin"})", {}, true},
    {R"({"command": "put", "nodes": "0x10", "local": "put.bin", "local_fd": true})", {}},
    {R"({"command": "put", "nodes": "0x10", "local": "put.bin", "local_fd": true})", {}, false,
     {">@/put.bin"}},
    {R"({"command": "get", "nodes": "0x11", "remote": "log.txt", "local": "x", "local_fd": true,
         "resume": true})", {}, false, {">@/h.txt"}},
    {R"({"command": "get", "nodes": "0x10,0x11", "remote": "log.txt", "local": "x",
         "local_fd": true})", {}, false, {">@/h.txt"}},
    {R"([1, 2])", {}},
    {R"({"nodes": "0x10"})", {}},
    {R"({"command": "frob"})", {}},
    {R"({"command": "status"})", {}},
    {R"({"command": "node", "name": "get-time"})", {}},
    {R"({"command": "node", "nodes": 16, "name": "get-time"})", {}},
    {R"({"command": "node", "nodes": "0x10-0x80", "name": "get-time"})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": "get-tim"})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": ")" + kHuge + R"("})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": "set-text-f3"})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": "set-text-byte-f2", "args": ["a", "256"]})",
     {}},
    {R"({"command": "node", "nodes": "0x10", "name": "set-text-f3", "args": "hi"})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": "set-text-f3", "args": [3]})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": "set-text-f3", "args": ["a\u0000b"]})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": "get-time", "json": "yes"})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": "get-time", "poll_ms": 5000})", {}},
    {R"({"command": "node", "nodes": "0x10", "name": "get-time", "frob": 1})", {}},
    {R"({"command": "put", "nodes": "0x10", "local": "put.bin"})", {}},
    {R"({"command": "put", "nodes": "0x10", "local": "@/put.bin", "retries": -1})", {}},
    {R"({"command": "get", "nodes": "0x10", "local": "@/x"})", {}},
    {R"({"command": "get", "nodes": "0x10,0x11", "remote": "a/log.txt", "local": "@"})", {}},
};
// clang-format on

std::string escapedForRegex(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// What changes from run to run: durations, the test's folder, descriptor numbers.
std::string steady(const std::string& text, const std::string& folder) {
    static const std::regex varying(R"(\d+\.\d+ s\b|"seconds": [0-9.e-]+|fd -?[0-9]+)");
    return std::regex_replace(std::regex_replace(text, varying, "#"),
                              std::regex(escapedForRegex(folder)), "@");
}

// The library's lines as a node is opened or closed: the agent opens its nodes outside any
// request, so under "verbose" only the tool shows them.
std::string withoutOpenAndClose(const std::string& text) {
    static const std::regex lines(R"((NorvaneI2CNode\(|HERE |Close Master)[^\n]*\n)");
    return std::regex_replace(text, lines, "");
}

std::string inFolder(std::string text, const std::string& folder) {
    return std::regex_replace(text, std::regex("@"), folder);
}

class RequestsTest : public sim::SimBoardTest {
  protected:
    void SetUp() override {
        sim::SimBoardTest::SetUp();
        sim::loadScenario(scenario(), simBoard(), 0);
    }

    static std::string scenario() {
        return std::string(KESTRO_TEST_SOURCE_DIR) + "/scenarios/several-nodes.json";
    }

    // The agent's nodes: one per address, opened when first asked for.
    cli::NodeProvider provider() {
        return [this](uint8_t address, std::string& fault) -> NorvaneI2CNode* {
            auto& node = nodes_[address];
            if (!node) {
                node = std::make_unique<NorvaneI2CNode>(address, "/dev/i2c-3");
            }
            const std::optional<std::string> why = cli::channelFault(*node, "/dev/i2c-3", address);
            fault = why.value_or("");
            return why ? nullptr : node.get();
        };
    }

    std::map<uint8_t, std::unique_ptr<NorvaneI2CNode>> nodes_;
};

std::string replyText(const cli::Reply& reply) {
    return "status " + std::to_string(reply.status) + "\n" + reply.out + "stderr:\n" + reply.err;
}

std::vector<cli::OwnedFd> handedFiles(const RequestRun& row, const std::string& folder) {
    std::vector<cli::OwnedFd> files;
    for (const std::string& file : row.handed) {
        const std::string path = inFolder(file.substr(1), folder);
        files.emplace_back(file[0] == '<'
                               ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC)
                               : ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    return files;
}

cli::Reply run(const RequestRun& row, json_object* request, BusSchedule& schedule,
               const cli::NodeProvider& nodes, const std::string& folder) {
    const std::string spool = folder + "/spool";
    auto started = cli::startRequest(request, schedule, nodes, {"/dev/i2c-3", spool},
                                     handedFiles(row, folder));
    if (std::holds_alternative<cli::Reply>(started)) {
        return std::move(std::get<cli::Reply>(started));
    }
    cli::PendingRequest& pending = *std::get<std::unique_ptr<cli::PendingRequest>>(started);
    if (row.cancelled) {
        pending.cancel();
    }
    while (!pending.done()) {
        schedule.run();
    }
    cli::Reply reply = pending.finish();
    reply.err +=
        "progress: " + std::string(json_object_to_json_string(pending.progress().get())) + "\n";
    return reply;
}

TEST_F(RequestsTest, EachRequestRepliesWhatTheToolPrintsOrOneLineWhyNot) {
    const TempDir folder;
    const std::string at = folder.path().string();
    writeFile(folder.path() / "put.bin", std::string(1600, 'k'));
    std::string transcript;
    for (const RequestRun& row : kRuns) {
        const JsonDocument request(json_tokener_parse(inFolder(row.request, at).c_str()));
        ASSERT_TRUE(request) << row.request;
        cli::Reply reply;
        {
            BusSchedule schedule;
            reply = run(row, request.get(), schedule, provider(), at);
        }
        nodes_.clear();
        if (reply.result) {
            EXPECT_EQ(
                std::string(json_object_to_json_string_ext(
                    reply.result.get(), JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE)) +
                    "\n",
                reply.out);
        }
        const std::string replied = steady(replyText(reply), at);
        transcript += row.request.substr(0, 160) + "\n" + replied + "\n";
        if (row.tool.empty()) {
            EXPECT_EQ(reply.status, row.cancelled ? 12 : 64) << row.request;
            continue;
        }
        std::vector<std::string> words = {KESTRO_CLI_PATH};
        for (const std::string& word : row.tool) words.push_back(inFolder(word, at));
        const ChildOutcome tool =
            runProgram(kestro::test::simCommand({"--fast", "--scenario", scenario()}, words));
        const std::string printed =
            steady(replyText({tool.status, tool.out, tool.err, nullptr}), at);
        // The progress line is the reply's alone.
        EXPECT_EQ(replied.substr(0, replied.rfind("progress: ")), withoutOpenAndClose(printed))
            << row.request;
        if (!row.handed.empty() && row.handed[0][0] == '>') {
            EXPECT_EQ(readFile(inFolder(row.handed[0].substr(1), at)),
                      readFile(inFolder(row.tool.back(), at)));
        }
    }
    // The agent's copies of handed files go with their requests.
    EXPECT_TRUE(std::filesystem::is_empty(folder.path() / "spool"));
    expectGolden("requests.txt", transcript);
}

}  // namespace
