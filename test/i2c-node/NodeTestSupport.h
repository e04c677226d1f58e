#pragma once

// One fixture and one set of helpers for the node library's tests: a simulated node, the
// product node talking to it, and a scratch folder for the local files of transfers.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "BedTest.h"
#include "Console.h"
#include "NorvaneI2CNode.h"
#include "TempFiles.h"
// The bed's digest, not the product's header of the same name.
#include "../../sim/Sha256.h"

constexpr uint8_t kNodeAddr = 0x10;
constexpr const char* kNodeBus = "/dev/i2c-3";
constexpr uint8_t kSendOp = 0x94;
constexpr uint8_t kGetOp = 0x95;
constexpr uint8_t kStartOp = 0xAA;
constexpr uint8_t kChunkOp = 0xCC;
constexpr uint8_t kEndOp = 0xEE;
constexpr uint64_t kSecondUs = 1000000;

inline const std::string kSendWarning =
    "WARNING TRANSFER ON PROCESS call ee_send_file funcs to end on mcu\n";
inline const std::string kGetWarning =
    "WARNING TRANSFER ON PROCESS call ee_get_file funcs to end on mcu\n";

inline bed::Bytes operator+(bed::Bytes a, const bed::Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bed::Bytes ok(const bed::Bytes& fields = {}) {
    return bed::bytesOf("OK") + fields;
}
inline bed::Bytes text0(const std::string& text) {
    return bed::bytesOf(text) + bed::Bytes{0};
}

inline bed::Bytes le32(uint32_t value) {
    bed::Bytes bytes;
    bed::putLe32(bytes, value);
    return bytes;
}

// Bytes that are never zero, so that zero filler cannot pass for file content.
inline bed::Bytes pattern(size_t count, uint8_t seed = 0) {
    bed::Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(1 + (i * 7 + seed) % 251);
    }
    return bytes;
}

inline size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

// Descriptors the process really holds; a local file left open shows here.
inline size_t openFileDescriptors() {
    using std::filesystem::directory_iterator;
    return static_cast<size_t>(
        std::distance(directory_iterator("/proc/self/fd"), directory_iterator()));
}

// Frees the data blocks of records the node handed out.
struct RecordList {
    std::list<NodeRecord> records;
    ~RecordList() {
        for (NodeRecord& record : records) {
            std::free(record.data);
        }
    }
};

// The product node is destroyed before the bed checks for descriptors left open and the
// registries are checked empty.
class NodeTest : public bed::BedTest {
  protected:
    explicit NodeTest(bed::ClockMode mode = bed::ClockMode::Fake) : bed::BedTest(mode) {}

    void SetUp() override {
        bed::BedTest::SetUp();
        sim_ = &addNode(kNodeAddr, kNodeBus);
        node_.emplace(kNodeAddr, kNodeBus);
        bed().clearEvents();
    }

    void TearDown() override {
        node_.reset();
        EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty()) << "a bus is still registered";
        bed::BedTest::TearDown();
    }

    NorvaneI2CNode& node() { return *node_; }
    bed::SimNode& sim() { return *sim_; }

    std::vector<uint64_t> waits() { return clock().sleepDurationsUs(); }
    std::vector<std::string> transactions() {
        return bed().trace({bed::EventKind::Write, bed::EventKind::Sleep, bed::EventKind::Read});
    }
    // The next reply carries exactly these payload bytes.
    void reply(const bed::Bytes& payload) { sim().replyPayload(payload); }

    // Local files of transfers.
    std::string local(const std::string& name) const { return (dir_.path() / name).string(); }
    std::string writeLocal(const std::string& name, const bed::Bytes& content) const {
        writeFile(local(name), std::string(content.begin(), content.end()));
        return local(name);
    }
    static bed::Bytes readLocal(const std::string& path) {
        const std::string text = readFile(path);
        return bed::Bytes(text.begin(), text.end());
    }

    // Each request as "opcode subop" for transfers, else the opcode alone, in order.
    std::vector<std::string> requestKinds() {
        std::vector<std::string> kinds;
        for (const bed::Request& request : sim().requests()) {
            const long shown = request.opcode() == kSendOp || request.opcode() == kGetOp ? 2 : 1;
            kinds.push_back(
                bed::hex(bed::Bytes(request.payload.begin(), request.payload.begin() + shown)));
        }
        return kinds;
    }

    const bed::Transfer& lastTransfer() {
        EXPECT_FALSE(sim().transfers().empty());
        return sim().transfers().back();
    }

    // A transfer runs with the console captured and must not leave a local file open.
    template <typename Transfer>
    int32_t run(Transfer transfer) {
        int32_t status = -1;
        const size_t descriptors = openFileDescriptors();
        out_ = stdoutOf([&] { status = transfer(); });
        EXPECT_EQ(openFileDescriptors(), descriptors) << "the local file was left open";
        EXPECT_EQ(node().getStatus(), status);
        return status;
    }
    int32_t send(const bed::Bytes& content, const std::string& name = "remote.bin",
                 const TransferOptions& options = {}) {
        return run(
            [&] { return node().sendFile(writeLocal("local.bin", content), name, options); });
    }
    int32_t fetch(const std::string& destination = "copy.bin",
                  const TransferOptions& options = {}) {
        return run([&] { return node().getFile("log.txt", local(destination), options); });
    }
    size_t warnings() const { return countOf(out_, kSendWarning) + countOf(out_, kGetWarning); }
    void expectNothingSent() {
        EXPECT_EQ(out_, "");
        EXPECT_TRUE(sim().requests().empty());
        EXPECT_TRUE(waits().empty());
    }

  private:
    std::string out_;
    bed::SimNode* sim_ = nullptr;
    std::optional<NorvaneI2CNode> node_;
    TempDir dir_;
};
