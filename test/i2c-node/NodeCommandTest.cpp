#include <map>

#include "Golden.h"
#include "NodeTestSupport.h"

using enum bed::Fault;

class NodeCommand : public NodeTest {};

// Every command's exact request payload in one frame, and its writes, wait and reads; a failed
// exchange keeps its status, and leaves the output alone, until the next command resets it.
TEST_F(NodeCommand, EverySendsItsPayloadWaitsItsTimeAndReadsItsReplyAsTheGoldenFileShows) {
    sim().putFile("ab", bed::bytesOf("abc"));
    std::string text;
    const auto log = [&](const char* name, int32_t status) {
        text += std::string(name) + " " + std::to_string(status) + " " +
                std::to_string(node().getStatus()) + ":";
        for (const bed::Request& request : sim().requests()) {
            EXPECT_EQ(request.raw, bed::encodeFrame(request.payload)) << name;
            text += " [" + bed::hex(request.payload) + "]";
        }
        for (const std::string& transaction : transactions()) {
            text += ", " + transaction;
        }
        text += "\n";
        sim().clearRequests();
        bed().clearEvents();
    };
    std::string s1, s2, s3, s4;
    uint64_t u64 = 7;
    uint32_t v1, v2, v3, v4, v5;
    std::map<uint32_t, std::string> map;
    std::list<std::string> lines;
    uint8_t digest[32];
    RecordList records;
    NorvaneI2CNode& n = node();
    for (bed::Fault fault : {RefuseWrite, NoAnswer, BadCrc, NotOk}) {
        sim().failNext(fault);
        log("E0 failing", n.getTime(u64));
    }
    EXPECT_EQ(u64, 7u);
    stdoutOf([&] { log("C0", n.commandC0()); });
    log("C1", n.commandC1());
    log("C2", n.commandC2("ab"));
    log("C3", n.commandC3());
    log("E0", n.getTime(u64));
    log("F0", n.setTime(258));
    log("E1", n.getTextE1(s1));
    log("F1", n.setTextPairF1("ab", "c"));
    log("F1 empty texts keep their terminators", n.setTextPairF1("", ""));
    log("E2", n.getIdentity(s1, s2, s3, s4));
    log("F2", n.setTextByteF2("ab", 0xFE));
    log("E3", n.getTextE3(s1));
    log("F3", n.setTextF3("ab"));
    log("E4", n.getTextE4(s1));
    log("F4", n.setTextF4("ab"));
    log("E5", n.getTextE5(s1));
    log("F5", n.setTextF5("ab"));
    log("E6", n.getTextMap(map));
    log("A0", n.getValuesA0(v1, v2, v3, v4, v5));
    log("B0", n.setValuesB0(1, 2, 3, 4, 5));
    log("A1", n.getRecordsA1(0x01020304, records));
    log("A2", n.getRecordsA2(0x01020304, records));
    log("A3", n.getRecordsA3(0x01020304, records));
    log("A4", n.getRecordsA4(0x01020304, records));
    log("A5", n.getRecordsA5(0x01020304, records));
    log("90", n.getLines("ab", lines));
    log("91", n.textCommand91("ab"));
    log("92", n.textCommand92("ab"));
    log("93", n.getFileInfo("ab", v1, v2, digest));
    log("96", n.textCommand96("ab"));
    log("97", n.textPairCommand97("ab", "c"));
    log("98", n.textPairCommand98("ab", "c"));
    log("F3 too long for one frame", n.setTextF3(std::string(8186, 'x')));
    EXPECT_EQ(n.setTextF3(std::string(8185, 'x')), NODE_SUCCESS)
        << "opcode and text fill the frame";
    EXPECT_EQ(sim().lastRequest().payload.size(), 8186u);
    expectGolden("commands.txt", text);
}
