#include <chrono>
#include <functional>

#include "NodeTestSupport.h"

using bed::Fault;

class NodeExchange : public NodeTest {};

TEST_F(NodeExchange, ACommandWritesItsFrameWaits100msThenReadsHeaderAndRest) {
    EXPECT_EQ(node().setTime(258), NODE_SUCCESS);
    EXPECT_EQ(transactions(), (std::vector<std::string>{"write 0x10 15", "usleep 100000",
                                                        "read 0x10 3", "read 0x10 5"}));
}

// A failed exchange leaves the output alone and its status until the next command resets it.
struct ExchangeFailure {
    const char* name;
    Fault fault;
    int32_t status;
    std::vector<std::string> transactions;
};

const auto kRowName = [](const auto& info) { return std::string(info.param.name); };

class NodeExchangeFailure : public NodeTest, public testing::WithParamInterface<ExchangeFailure> {};

TEST_P(NodeExchangeFailure, GivesItsStatusUntilTheNextCommand) {
    sim().failNext(GetParam().fault);
    uint64_t value = 7;
    EXPECT_EQ(node().getTime(value), GetParam().status);
    EXPECT_EQ(node().getStatus(), GetParam().status);
    EXPECT_EQ(value, 7u);
    if (!GetParam().transactions.empty()) {
        EXPECT_EQ(transactions(), GetParam().transactions);
    }
    EXPECT_EQ(node().commandC3(), NODE_SUCCESS);
    EXPECT_EQ(node().getStatus(), NODE_SUCCESS);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, NodeExchangeFailure,
    testing::Values(
        // A request that cannot be sent is neither waited for nor answered.
        ExchangeFailure{"RequestUnwritten", Fault::RefuseWrite, NODE_TRANSPORT_FAILURE,
                        {"write 0x10 7 EIO"}},
        ExchangeFailure{"ReplyMissing", Fault::NoAnswer, NODE_TRANSPORT_FAILURE, {}},
        ExchangeFailure{"ReplyDamaged", Fault::BadCrc, NODE_TRANSPORT_FAILURE, {}},
        ExchangeFailure{"ReplyRefused", Fault::NotOk, NODE_REPLY_NOT_OK, {}}),
    kRowName);
// clang-format on

struct C0Reply {
    const char* name;
    bed::Bytes payload;
    int32_t status;
    std::string printed;
};

class NodeC0Reply : public NodeTest, public testing::WithParamInterface<C0Reply> {};

TEST_P(NodeC0Reply, PrintsOnlyARefusal) {
    reply(GetParam().payload);
    int32_t status = -1;
    const std::string out = stdoutOf([&] { status = node().commandC0(); });
    EXPECT_EQ(status, GetParam().status);
    const size_t error = out.find("Error revice is");
    EXPECT_EQ(error == std::string::npos ? "" : out.substr(error), GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, NodeC0Reply,
    testing::Values(C0Reply{"Accepted", ok(), NODE_SUCCESS, ""},
                    C0Reply{"RefusedUpToItsFirstNul",
                            bed::bytesOf("KO") + text0("busy") + bed::bytesOf("zz"),
                            NODE_REPLY_NOT_OK, "Error revice is KObusy\n"},
                    C0Reply{"RefusedWithControlBytesPrintedEscaped",
                            bed::bytesOf("KO\x1b[2J\r\nfound x"), NODE_REPLY_NOT_OK,
                            "Error revice is KO\\x1b[2J\\x0d\\x0afound x\n"}),
    kRowName);

TEST_F(NodeExchange, ATextTooLongForOneFrameGives5AndSendsNothing) {
    EXPECT_EQ(node().setTextF3(std::string(8186, 'x')), NODE_NO_REQUEST_FRAME);
    EXPECT_TRUE(sim().requests().empty());
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(node().setTextF3(std::string(8185, 'x')), NODE_SUCCESS)
        << "opcode and text fill the frame";
    EXPECT_EQ(sim().lastRequest().payload.size(), 8186u);
}

TEST_F(NodeExchange, StepsCanBeRunOneByOneWithTheCallersOwnWait) {
    EXPECT_EQ(node().setTimeRequest(9), NODE_SUCCESS);
    EXPECT_EQ(node().readOkReply(), NODE_SUCCESS);
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(sim().state().clockMs, 9u);
}

// The wait must really pass on the real clock, not just be asked of it.
class NodeRealTime : public NodeTest {
  protected:
    NodeRealTime() : NodeTest(bed::ClockMode::Real) {}
};

TEST_F(NodeRealTime, AnOrdinaryCommandReallyWaitsAtLeast100ms) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(node().commandC1(), NODE_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

// Every command: its exact request payload and its wait.
struct CommandCase {
    const char* name;
    std::function<int32_t(NorvaneI2CNode&)> run;
    const char* payload;
    uint64_t waitUs;
};

void PrintTo(const CommandCase& command, std::ostream* out) {
    *out << command.name;
}

class NodeRequestBytes : public NodeTest, public testing::WithParamInterface<CommandCase> {};

TEST_P(NodeRequestBytes, SendsExactlyThePayloadInOneFrameWaitsItsTimeAndSucceeds) {
    const CommandCase& command = GetParam();
    sim().putFile("ab", bed::bytesOf("abc"));
    int32_t status = -1;
    stdoutOf([&] { status = command.run(node()); });
    EXPECT_EQ(status, NODE_SUCCESS);

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
    // An empty text still carries its terminator.
    {"F1Empty", [](auto& n) { return n.setTextPairF1("", ""); }, "F1 00 00", 100000},
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
