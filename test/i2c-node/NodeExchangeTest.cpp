#include <functional>

#include "NodeTestSupport.h"

using bed::Fault;

class NodeExchange : public NodeTest {};

TEST_F(NodeExchange, ACommandWritesItsFrameWaits100msThenReadsHeaderAndRest) {
    EXPECT_EQ(node().setTime(258), 0);
    EXPECT_EQ(transactions(), (std::vector<std::string>{"write 0x10 15", "usleep 100000",
                                                        "read 0x10 3", "read 0x10 5"}));
}

TEST_F(NodeExchange, TheLinesQueryWaits500ms) {
    std::list<std::string> lines;
    EXPECT_EQ(node().getLines("log", lines), 0);
    EXPECT_EQ(waits(), std::vector<uint64_t>{500000});
}

TEST_F(NodeExchange, ARequestThatCannotBeSentEndsTheCommandWith10WithoutWaitOrRead) {
    sim().failNext(Fault::RefuseWrite);
    uint64_t value = 7;
    EXPECT_EQ(node().getTime(value), 10);
    EXPECT_EQ(node().getStatus(), 10);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(transactions(), std::vector<std::string>{"write 0x10 7 EIO"});
}

TEST_F(NodeExchange, AReplyThatDoesNotArriveGives10) {
    sim().failNext(Fault::NoAnswer);
    EXPECT_EQ(node().commandC1(), 10);
    sim().failNext(Fault::BadCrc);
    EXPECT_EQ(node().commandC1(), 10);
}

TEST_F(NodeExchange, TheStatusKeepsAFailureUntilTheNextCommandResetsIt) {
    sim().failNext(Fault::NotOk);
    EXPECT_EQ(node().commandC3(), 11);
    EXPECT_EQ(node().getStatus(), 11);
    EXPECT_EQ(node().commandC3(), 0);
    EXPECT_EQ(node().getStatus(), 0);
}

TEST_F(NodeExchange, OnlyTheFirstTwoReplyBytesAreTestedForOk) {
    reply(bed::bytesOf("OKAY"));
    EXPECT_EQ(node().commandC1(), 0);
    reply(bed::bytesOf("ok"));
    EXPECT_EQ(node().commandC1(), 11);
    reply(bed::bytesOf("KO"));
    EXPECT_EQ(node().commandC1(), 11);
    reply(bed::bytesOf("O"));
    EXPECT_EQ(node().commandC1(), 11);
}

TEST_F(NodeExchange, ARefusedC0ReplyIsPrintedUpToItsFirstNul) {
    reply(bed::bytesOf("KO") + text0("busy") + bed::bytesOf("zz"));
    int32_t status = 0;
    std::string out = stdoutOf([&] { status = node().commandC0(); });
    EXPECT_EQ(status, 11);
    EXPECT_NE(out.find("\nError revice is KObusy\n"), std::string::npos) << out;
}

TEST_F(NodeExchange, ControlBytesOfARefusedC0ReplyArePrintedEscaped) {
    reply(bed::bytesOf("KO\x1b[2J\r\nfound x"));
    std::string out = stdoutOf([&] { node().commandC0(); });
    EXPECT_NE(out.find("\nError revice is KO\\x1b[2J\\x0d\\x0afound x\n"), std::string::npos) << out;
}

TEST_F(NodeExchange, AnAcceptedC0ReplyPrintsNoError) {
    int32_t status = -1;
    std::string out = stdoutOf([&] { status = node().commandC0(); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.find("Error revice is"), std::string::npos) << out;
}

TEST_F(NodeExchange, ATextTooLongForOneFrameGives5AndSendsNothing) {
    EXPECT_EQ(node().setTextF3(std::string(8186, 'x')), 5);
    EXPECT_TRUE(sim().requests().empty());
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(node().setTextF3(std::string(8185, 'x')), 0) << "opcode and text fill the frame";
    EXPECT_EQ(sim().lastRequest().payload.size(), 8186u);
}

TEST_F(NodeExchange, StepsCanBeRunOneByOneWithTheCallersOwnWait) {
    EXPECT_EQ(node().setTimeRequest(9), 0);
    EXPECT_EQ(node().readOkReply(), 0);
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(sim().state().clockMs, 9u);
}

// Every command: its exact request payload and its wait.
struct CommandCase {
    const char* name;
    std::function<int32_t(NorvaneI2CNode&)> run;
    const char* payload;
    uint64_t waitUs;
};

void PrintTo(const CommandCase& command, std::ostream* out) { *out << command.name; }

class NodeRequestBytes : public NodeTest, public testing::WithParamInterface<CommandCase> {};

TEST_P(NodeRequestBytes, SendsExactlyThePayloadInOneFrameAndWaitsItsTime) {
    const CommandCase& command = GetParam();
    testing::internal::CaptureStdout();
    command.run(node());
    testing::internal::GetCapturedStdout();

    ASSERT_EQ(sim().requests().size(), 1u);
    const bed::Request& request = sim().lastRequest();
    EXPECT_EQ(bed::hex(request.payload), command.payload);
    EXPECT_EQ(request.raw, bed::encodeFrame(request.payload));
    EXPECT_EQ(waits(), std::vector<uint64_t>{command.waitUs});
}

namespace {

std::string s1, s2, s3, s4;
uint64_t u64;
uint32_t v1, v2, v3, v4, v5;
std::map<uint32_t, std::string> textMap;
std::list<std::string> lines;
uint8_t digest[32];

int32_t records(NorvaneI2CNode& node,
                int32_t (NorvaneI2CNode::*query)(uint32_t, std::list<NodeRecord>&)) {
    RecordList list;
    return (node.*query)(0x01020304, list.records);
}

const CommandCase kCommands[] = {
    {"C0", [](auto& n) { return n.commandC0(); }, "C0", 100000},
    {"C1", [](auto& n) { return n.commandC1(); }, "C1", 100000},
    {"C2", [](auto& n) { return n.commandC2("ab"); }, "C2 61 62", 100000},
    {"C3", [](auto& n) { return n.commandC3(); }, "C3", 100000},
    {"E0", [](auto& n) { return n.getTime(u64); }, "E0", 100000},
    {"F0", [](auto& n) { return n.setTime(258); }, "F0 02 01 00 00 00 00 00 00", 100000},
    {"E1", [](auto& n) { return n.getTextE1(s1); }, "E1", 100000},
    {"F1", [](auto& n) { return n.setTextPairF1("ab", "c"); }, "F1 61 62 00 63 00", 100000},
    {"E2", [](auto& n) { return n.getIdentity(s1, s2, s3, s4); }, "E2", 100000},
    {"F2", [](auto& n) { return n.setTextByteF2("ab", 0xFE); }, "F2 61 62 00 FE", 100000},
    {"E3", [](auto& n) { return n.getTextE3(s1); }, "E3", 100000},
    {"F3", [](auto& n) { return n.setTextF3("ab"); }, "F3 61 62", 100000},
    {"E4", [](auto& n) { return n.getTextE4(s1); }, "E4", 100000},
    {"F4", [](auto& n) { return n.setTextF4("ab"); }, "F4 61 62", 100000},
    {"E5", [](auto& n) { return n.getTextE5(s1); }, "E5", 100000},
    {"F5", [](auto& n) { return n.setTextF5("ab"); }, "F5 61 62", 100000},
    {"E6", [](auto& n) { return n.getTextMap(textMap); }, "E6", 100000},
    {"A0", [](auto& n) { return n.getValuesA0(v1, v2, v3, v4, v5); }, "A0", 100000},
    {"B0", [](auto& n) { return n.setValuesB0(1, 2, 3, 4, 5); },
     "B0 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00", 100000},
    {"A1", [](auto& n) { return records(n, &NorvaneI2CNode::getRecordsA1); }, "A1 04 03 02 01",
     100000},
    {"A2", [](auto& n) { return records(n, &NorvaneI2CNode::getRecordsA2); }, "A2 04 03 02 01",
     100000},
    {"A3", [](auto& n) { return records(n, &NorvaneI2CNode::getRecordsA3); }, "A3 04 03 02 01",
     100000},
    {"A4", [](auto& n) { return records(n, &NorvaneI2CNode::getRecordsA4); }, "A4 04 03 02 01",
     100000},
    {"A5", [](auto& n) { return records(n, &NorvaneI2CNode::getRecordsA5); }, "A5 04 03 02 01",
     100000},
    {"90", [](auto& n) { return n.getLines("ab", lines); }, "90 61 62", 500000},
    {"91", [](auto& n) { return n.textCommand91("ab"); }, "91 61 62", 100000},
    {"92", [](auto& n) { return n.textCommand92("ab"); }, "92 61 62", 100000},
    {"93", [](auto& n) { return n.getFileInfo("ab", v1, v2, digest); }, "93 61 62", 100000},
    {"96", [](auto& n) { return n.textCommand96("ab"); }, "96 61 62", 100000},
    {"97", [](auto& n) { return n.textPairCommand97("ab", "c"); }, "97 61 62 00 63", 100000},
    {"98", [](auto& n) { return n.textPairCommand98("ab", "c"); }, "98 61 62 00 63", 100000},
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(EveryCommand, NodeRequestBytes, testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string("Opcode") + info.param.name; });
