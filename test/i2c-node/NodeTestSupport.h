#pragma once

// The node library's fixture: a simulated node, the product node talking to it, and a scratch
// folder for the local files of transfers.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "SimBoardTest.h"
#include "Console.h"
#include "NorvaneI2CNode.h"
#include "TempFiles.h"

using sim::Bytes;
using Kinds = std::vector<std::string>;

constexpr uint8_t kNodeAddr = 0x10;
constexpr const char* kNodeBus = "/dev/i2c-3";
constexpr uint8_t kSendOp = 0x94, kGetOp = 0x95, kStartOp = 0xAA, kChunkOp = 0xCC, kEndOp = 0xEE;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Reply fields and file contents.
inline const auto ok = [](const Bytes& fields = {}) { return sim::bytesOf("OK") + fields; };
inline const auto text0 = [](const std::string& text) { return sim::bytesOf(text) + Bytes{0}; };
inline const auto le32 = [](uint32_t value) {
    return Bytes{uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
};
// Never zero, so that zero filler cannot pass for file content.
inline Bytes pattern(size_t count, uint8_t seed = 0) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(1 + (i * 7 + seed) % 251);
    }
    return bytes;
}

// Frees the data blocks of records the node handed out.
struct RecordList : std::list<NodeRecord> {
    ~RecordList() {
        for (NodeRecord& record : *this) {
            std::free(record.data);
        }
    }
};

class NodeTest : public sim::SimBoardTest {
  protected:
    void SetUp() override {
        sim::SimBoardTest::SetUp();
        sim_ = &addNode(kNodeAddr, kNodeBus);
        node_.emplace(kNodeAddr, kNodeBus);
        simBoard().clearEvents();
    }
    // The node goes before the simulated board checks that no descriptor is left open.
    void TearDown() override {
        node_.reset();
        EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty()) << "a bus is still registered";
        sim::SimBoardTest::TearDown();
    }

    NorvaneI2CNode& node() { return *node_; }
    sim::SimNode& sim() { return *sim_; }
    Kinds transactions() {
        return simBoard().trace({sim::EventKind::Write, sim::EventKind::Sleep, sim::EventKind::Read});
    }
    // The next reply carries exactly these payload bytes.
    void reply(const Bytes& payload) { sim().replyPayload(payload); }

    std::string local(const std::string& name) const { return (dir_.path() / name).string(); }
    std::string writeLocal(const std::string& name, const Bytes& content) const {
        writeFile(local(name), std::string(content.begin(), content.end()));
        return local(name);
    }
    Bytes readLocal(const std::string& name) const {
        const std::string text = readFile(local(name));
        return Bytes(text.begin(), text.end());
    }
    size_t localFiles() const { return entries(dir_.path()); }
    const sim::Transfer& lastTransfer() { return sim().transfers().back(); }

    // A transfer runs with the console captured and must not leave a local file open.
    template <typename Transfer>
    int32_t run(Transfer transfer) {
        int32_t status = -1;
        const size_t descriptors = entries("/proc/self/fd");
        out_ = "\n" + stdoutOf([&] { status = transfer(); });
        EXPECT_EQ(entries("/proc/self/fd"), descriptors) << "the local file was left open";
        EXPECT_EQ(node().getStatus(), status);
        return status;
    }
    int32_t send(const Bytes& content, const std::string& name = "remote.bin",
                 const TransferOptions& options = {}) {
        direction_ = "send";
        return run(
            [&] { return node().sendFile(writeLocal("local.bin", content), name, options); });
    }
    int32_t fetch(const std::string& destination = "copy.bin",
                  const TransferOptions& options = {}) {
        direction_ = "get";
        return run([&] { return node().getFile("log.txt", local(destination), options); });
    }
    // How many times the transfer warned that the node may still hold it open.
    size_t warnings() const {
        const std::string line =
            "\nWARNING TRANSFER ON PROCESS call ee_" + direction_ + "_file funcs to end on mcu\n";
        size_t count = 0;
        for (size_t at = out_.find(line); at != std::string::npos; at = out_.find(line, at + 1)) {
            ++count;
        }
        return count;
    }
    void expectNothingSent() {
        EXPECT_EQ(out_, "\n");
        EXPECT_EQ(transactions(), Kinds{});
    }

  private:
    static size_t entries(const std::filesystem::path& folder) {
        using std::filesystem::directory_iterator;
        return static_cast<size_t>(std::distance(directory_iterator(folder), directory_iterator()));
    }

    std::string out_, direction_;
    sim::SimNode* sim_ = nullptr;
    std::optional<NorvaneI2CNode> node_;
    TempDir dir_;
};
