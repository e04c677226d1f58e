// Answers one node command with arbitrary bytes over the simulated bus and
// checks what the node decoded. The first input byte picks the command, the
// second whether the rest is the reply's payload (framed correctly by the
// simulated node) or the whole reply frame as it comes off the bus.
//
// Every decoder must end with one of the node's status codes, write nothing
// when the reply is refused, and produce no more, and no longer, texts and
// records than the payload holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <string>

#include "SimBoard.h"
#include "FrameParser.h"
#include "FuzzCheck.h"
#include "NorvaneI2CNode.h"
#include "RealLibc.h"
#include "ReplyPayload.h"
#include "Sha256.h"

namespace {

constexpr uint8_t kAddress = 0x10;
constexpr const char* kBus = "/dev/i2c-3";

using sim::Bytes;

// What the node was sent back. With a whole frame the payload is not known
// here, so only the frame's size bounds what may be decoded.
struct Reply {
    Bytes bytes;
    bool isPayload = true;

    size_t bound() const { return bytes.size(); }
    // A payload too large for a frame fails in transport instead.
    bool refused() const { return isPayload && bytes.size() <= FrameParser::kMaxPayload && !beginsWithOk(); }
    bool beginsWithOk() const { return bytes.size() >= 2 && bytes[0] == 'O' && bytes[1] == 'K'; }
    // The text from the first field up to the first NUL or the end.
    std::string firstText() const {
        const size_t start = bytes.size() < kReplyFieldsOffset ? bytes.size() : kReplyFieldsOffset;
        const auto* text = reinterpret_cast<const char*>(bytes.data() + start);
        return std::string(text, strnlen(text, bytes.size() - start));
    }
    uint64_t littleEndianAt(size_t offset, size_t width) const {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
        }
        return value;
    }
};

bool isNodeStatus(int32_t status) {
    return status == 0 || status == 8 || status == 10 || status == 11;
}

NorvaneI2CNode* openNode = nullptr;

// Closed before the bus registries and the simulated board go away at exit, as a board's
// teardown would, so that the registry's tables are released.
void closeNode() {
    delete openNode;
    openNode = nullptr;
}

// Opened once: the node and its channel live for the whole run, as on a board.
NorvaneI2CNode& theNode() {
    if (openNode == nullptr) {
        sim::SimBoard& simBoard = sim::SimBoard::instance();
        simBoard.reset();
        simBoard.clock().useFake(sim::real::wallClockUs());
        simBoard.addBus(kBus).addNode(kAddress);
        openNode = new NorvaneI2CNode(kAddress, kBus);
        std::atexit(closeNode);
    }
    return *openNode;
}

sim::SimNode& theSimulatedNode() { return *sim::SimBoard::instance().busAt(kBus).node(kAddress); }

void forgetHistory() {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    theSimulatedNode().clearRequests();
    theSimulatedNode().clearFaults();
    simBoard.clearEvents();
    simBoard.clock().clearSleeps();
    // libFuzzer times its runs by the wall clock, which the simulated board fakes.
    simBoard.clock().setNowUs(sim::real::wallClockUs());
}

void checkStatus(const NorvaneI2CNode& node, int32_t status) {
    require(isNodeStatus(status), "a command ends with a node status code");
    require(node.getStatus() == status, "the status returned is the status kept");
}

void checkText(const std::string& text, const Reply& reply) {
    require(text.size() <= reply.bound(), "a text is no longer than the reply");
    require(text.find('\0') == std::string::npos, "a text stops at its NUL");
}

void runPlain(NorvaneI2CNode& node, const Reply& reply) {
    const int32_t status = node.commandC1();
    checkStatus(node, status);
    require(!reply.refused() || status == 11, "a reply without OK is refused");
}

void runC0(NorvaneI2CNode& node, const Reply& reply) {
    const int32_t status = node.commandC0();
    checkStatus(node, status);
    require(!reply.refused() || status == 11, "a reply without OK is refused");
}

void runTime(NorvaneI2CNode& node, const Reply& reply) {
    constexpr uint64_t kUntouched = 0x5A5A5A5A5A5A5A5AULL;
    uint64_t value = kUntouched;
    const int32_t status = node.getTime(value);
    checkStatus(node, status);
    if (status != 0) {
        require(value == kUntouched, "a refused clock reply writes nothing");
    } else if (reply.isPayload) {
        require(reply.bytes.size() == 10 && reply.beginsWithOk(), "a clock reply is OK + 8 bytes");
        require(value == reply.littleEndianAt(kReplyFieldsOffset, 8), "the clock is little-endian");
    }
}

void runText(NorvaneI2CNode& node, const Reply& reply) {
    std::string text = "untouched";
    const int32_t status = node.getTextE1(text);
    checkStatus(node, status);
    if (status != 0) {
        require(text == "untouched", "a refused text reply writes nothing");
        return;
    }
    checkText(text, reply);
    if (reply.isPayload) {
        require(text == reply.firstText(), "the text is the payload after OK up to its NUL");
    }
}

void runIdentity(NorvaneI2CNode& node, const Reply& reply) {
    const std::string untouched[4] = {"u1", "u2", "u3", "u4"};
    std::string texts[4] = {untouched[0], untouched[1], untouched[2], untouched[3]};
    const int32_t status = node.getIdentity(texts[0], texts[1], texts[2], texts[3]);
    checkStatus(node, status);
    if (status == 10 || reply.refused()) {
        for (int i = 0; i < 4; ++i) {
            require(texts[i] == untouched[i], "a refused identity writes nothing");
        }
        return;
    }
    size_t total = 0;
    for (int i = 0; i < 4; ++i) {
        if (status == 0 || texts[i] != untouched[i]) {
            checkText(texts[i], reply);
            total += texts[i].size();
        }
    }
    require(total <= reply.bound(), "the texts together fit in the reply");
}

void runTextMap(NorvaneI2CNode& node, const Reply& reply) {
    const std::map<uint32_t, std::string> untouched{{7, "untouched"}};
    std::map<uint32_t, std::string> map = untouched;
    const int32_t status = node.getTextMap(map);
    checkStatus(node, status);
    if (status == 10 || reply.refused()) {
        require(map == untouched, "a refused map reply leaves the map");
        return;
    }
    if (status == 11 && map == untouched) {
        return;  // a raw frame whose payload lacks the OK
    }
    // Each entry takes at least its key and a NUL.
    require(map.size() <= reply.bound() / 5, "no more entries than the reply holds");
    for (const auto& [key, text] : map) {
        checkText(text, reply);
    }
}

void runValues(NorvaneI2CNode& node, const Reply& reply) {
    uint32_t values[5] = {1, 2, 3, 4, 5};
    const int32_t status = node.getValuesA0(values[0], values[1], values[2], values[3], values[4]);
    checkStatus(node, status);
    if (status != 0) {
        require(values[0] == 1 && values[4] == 5, "a refused values reply writes nothing");
    } else if (reply.isPayload) {
        require(reply.bytes.size() == 22, "a values reply is OK + five 4-byte slots");
    }
}

void runRecords(NorvaneI2CNode& node, const Reply& reply, uint8_t opcode) {
    std::list<NodeRecord> records;
    const int32_t status = node.getRecords(0x01020304, records, opcode);
    checkStatus(node, status);
    if (status == 10 || reply.refused()) {
        require(records.empty(), "a refused records reply adds nothing");
    }
    // Each record takes at least its tag and its length.
    require(records.size() <= reply.bound() / 8, "no more records than the reply holds");
    size_t total = 0;
    for (NodeRecord& record : records) {
        require(record.data != nullptr, "every record has its data block");
        require(record.length <= reply.bound(), "a record is no longer than the reply");
        require(record.data[record.length] == 0, "a record's data ends in a NUL");
        total += record.length;
        std::free(record.data);
    }
    require(total <= reply.bound(), "the records together fit in the reply");
}

void runLines(NorvaneI2CNode& node, const Reply& reply) {
    std::list<std::string> lines{"kept"};
    const int32_t status = node.getLines("log.txt", lines);
    checkStatus(node, status);
    require(lines.front() == "kept", "lines already held stay");
    lines.pop_front();
    if (status == 10 || reply.refused()) {
        require(lines.empty(), "a refused lines reply adds nothing");
    }
    size_t total = 0;
    for (const std::string& line : lines) {
        checkText(line, reply);
        require(line.find('\n') == std::string::npos, "a line holds no line break");
        total += line.size() + 1;
    }
    require(total <= reply.bound(), "the lines and their breaks fit in the reply");
}

void runFileInfo(NorvaneI2CNode& node, const Reply& reply) {
    uint32_t size = 0xAAAAAAAA;
    uint32_t extra = 0xBBBBBBBB;
    uint8_t digest[kSha256DigestSize];
    std::memset(digest, 0xCC, sizeof digest);
    const int32_t status = node.getFileInfo("log.txt", size, extra, digest);
    checkStatus(node, status);
    if (status != 0) {
        require(size == 0xAAAAAAAA && extra == 0xBBBBBBBB && digest[0] == 0xCC,
                "a refused file information reply writes nothing");
    } else if (reply.isPayload) {
        require(reply.bytes.size() >= 42, "file information is OK + 40 bytes");
        require(size == reply.littleEndianAt(2, 4) && extra == reply.littleEndianAt(6, 4),
                "size and extra are little-endian");
        require(std::memcmp(digest, reply.bytes.data() + 10, kSha256DigestSize) == 0,
                "the digest is the 32 bytes after them");
    }
}

void runCommand(uint8_t which, NorvaneI2CNode& node, const Reply& reply) {
    switch (which % 14) {
        case 0: return runPlain(node, reply);
        case 1: return runC0(node, reply);
        case 2: return runTime(node, reply);
        case 3: return runText(node, reply);
        case 4: return runIdentity(node, reply);
        case 5: return runTextMap(node, reply);
        case 6: return runValues(node, reply);
        case 7: return runLines(node, reply);
        case 8: return runFileInfo(node, reply);
        default: return runRecords(node, reply, static_cast<uint8_t>(0xA1 + which % 14 - 9));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    NorvaneI2CNode& node = theNode();
    Reply reply{Bytes(data + 2, data + size), (data[1] & 1) == 0};
    theSimulatedNode().inject(sim::FaultRule{
        .fault = reply.isPayload ? sim::Fault::RawPayload : sim::Fault::RawReply,
        .bytes = reply.bytes});
    runCommand(data[0], node, reply);
    forgetHistory();
    return 0;
}
