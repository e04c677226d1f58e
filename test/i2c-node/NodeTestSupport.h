#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "BedTest.h"
#include "NorvaneI2CNode.h"

constexpr uint8_t kNodeAddr = 0x10;
constexpr const char* kNodeBus = "/dev/i2c-3";

// A simulated node and the product node talking to it. The product node is destroyed
// before the bed checks for descriptors left open and the registries are checked empty.
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

    std::string lastPayloadHex() { return bed::hex(sim().lastRequest().payload); }
    std::vector<uint64_t> waits() { return clock().sleepDurationsUs(); }
    std::vector<std::string> transactions() {
        return bed().trace({bed::EventKind::Write, bed::EventKind::Sleep, bed::EventKind::Read});
    }

    // The next reply carries exactly these payload bytes.
    void reply(const bed::Bytes& payload) { sim().replyPayload(payload); }

  private:
    bed::SimNode* sim_ = nullptr;
    std::optional<NorvaneI2CNode> node_;
};

inline bed::Bytes ok(const bed::Bytes& fields = {}) {
    bed::Bytes payload{'O', 'K'};
    payload.insert(payload.end(), fields.begin(), fields.end());
    return payload;
}

inline bed::Bytes text0(const std::string& text) {
    bed::Bytes bytes = bed::bytesOf(text);
    bytes.push_back(0);
    return bytes;
}

inline bed::Bytes operator+(bed::Bytes a, const bed::Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bed::Bytes le32(uint32_t value) {
    bed::Bytes bytes;
    bed::putLe32(bytes, value);
    return bytes;
}

template <typename Action>
std::string stdoutOf(Action action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
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
