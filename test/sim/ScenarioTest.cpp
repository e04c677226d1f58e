#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "Golden.h"
#include "Scenario.h"
#include "Sha256.h"
#include "SimBoardTest.h"
#include "TempFiles.h"

namespace sim {
namespace {

class ScenarioFile : public SimBoardTest {};

// Each line of bad-scenarios.txt breaks one rule; its error names the key and what is wrong,
// in one line. Beside the scenario: a FIFO, a file of 5 bytes, a link out of the folder, the
// reference node firmware and a firmware that lacks its main loop.
TEST_F(ScenarioFile, EachBadOneIsRefusedWithOneLineNamingTheKeyAndWhatIsWrong) {
    const TempDir folder;
    const std::string path = (folder.path() / "scenario.json").string();
    ASSERT_EQ(mkfifo((folder.path() / "fifo").c_str(), 0600), 0);
    writeFile(folder.path() / "five", "12345");
    ASSERT_EQ(symlink("/etc/passwd", (folder.path() / "link").c_str()), 0);
    ASSERT_EQ(symlink(KESTRO_REFERENCE_NODE, (folder.path() / "node.so").c_str()), 0);
    ASSERT_EQ(symlink(KESTRO_PARTIAL_FIRMWARE, (folder.path() / "partial.so").c_str()), 0);
    std::istringstream scenarios(readFile(KESTRO_TEST_SOURCE_DIR "/bad-scenarios.txt"));
    std::string errors;
    for (std::string scenario; std::getline(scenarios, scenario);) {
        writeFile(path, scenario);
        try {
            loadScenario(path, simBoard(), 0);
            errors += "accepted\n";
        } catch (const ScenarioError& e) {
            errors += e.what() + std::string("\n");
        }
    }
    expectGolden("bad-scenario-errors.txt", errors, {{path, "FILE"}, {folder.path().string(), "DIR"}});
}

// Send frames written straight to a node whose files may hold 1 KiB and whose end steps a
// fault refuses: what it answers to each, and that the refused send left no file behind.
TEST_F(ScenarioFile, MaxFileSizeBoundsWhatASendMayDeclareOrReachAndARefusedEndStoresNothing) {
    const TempDir folder;
    const std::string path = (folder.path() / "scenario.json").string();
    writeFile(path, R"({"version": 1, "max_file_size": 1024, "buses": {"/dev/i2c-3": {"nodes": [
        {"address": 16, "faults": [{"kind": "not-ok", "opcode": "0x94", "step": "end"}]}]}}})");
    loadScenario(path, simBoard(), 0);
    SimNode& node = *simBoard().busAt("/dev/i2c-3").node(0x10);
    const auto start = [](uint32_t size, const std::string& name) {
        Bytes payload = {0x94, 0xAA};
        putLe32(payload, size);
        const std::array<uint8_t, 32> digest = sha256(bytesOf("abcd"));
        payload.insert(payload.end(), digest.begin(), digest.end());
        payload.insert(payload.end(), name.begin(), name.end());
        return payload;
    };
    const auto chunk = [](uint32_t offset) {
        Bytes payload = {0x94, 0xCC};
        for (uint32_t field : {0x1000u, offset, 4u}) putLe32(payload, field);
        const Bytes data = bytesOf("abcd");
        payload.insert(payload.end(), data.begin(), data.end());
        return payload;
    };
    const Bytes frames[] = {
        start(1025, "a"), start(0xFFFFFFFF, "a"), start(4, ""), start(4, std::string(256, 'n')),
        start(4, "kept"), chunk(0xFFFFFF00),      chunk(1021),  chunk(0),
        Bytes{0x94, 0xEE}};
    std::string answers;
    for (const Bytes& payload : frames) {
        const Bytes frame = encodeFrame(payload);
        int error = 0;
        node.busWrite(frame.data(), frame.size(), error, {});
        const Bytes reply = decodeFrame(node.preparedReply()).payload;
        answers += std::string(reply.begin(), reply.begin() + 2) + " ";
    }
    EXPECT_EQ(answers, "NO NO NO NO OK NO NO OK NO ");
    EXPECT_EQ(node.file("kept"), nullptr);
}

}  // namespace
}  // namespace sim

namespace sim {
namespace {

// A node that runs the reference firmware answers a read before any request with the idle
// level, from its transmit interrupt, and a request with the frame the simulator's node builds.
TEST_F(ScenarioFile, AFirmwareNodeIsIdleUntilAskedAndThenAnswersAsTheSimulatorsNodeDoes) {
    const TempDir folder;
    const std::string path = (folder.path() / "scenario.json").string();
    writeFile(path, R"({"version": 1, "buses": {"/dev/i2c-3": {"nodes": [{"address": 16},
        {"address": 17, "firmware": ")" KESTRO_REFERENCE_NODE R"("}]}}})");
    loadScenario(path, simBoard(), 0);
    SimBus& bus = simBoard().busAt("/dev/i2c-3");
    Bytes header(3);
    int error = 0;
    bool idle = false;
    ASSERT_EQ(bus.nodeAt(0x11).busRead(header.data(), header.size(), ENXIO, error, 0, idle), 3);
    EXPECT_EQ(hex(header), "FF FF FF");
    const Bytes request = encodeFrame({0xE2});
    for (uint8_t address : {0x10, 0x11}) bus.nodeAt(address).busWrite(request.data(), request.size(), error, {});
    EXPECT_EQ(hex(bus.nodeAt(0x11).preparedReply()), hex(bus.nodeAt(0x10).preparedReply()));
}

}  // namespace
}  // namespace sim
