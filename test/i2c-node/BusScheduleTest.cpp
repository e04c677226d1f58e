#include "BusSchedule.h"

#include <array>
#include <functional>
#include <cstdio>
#include <memory>
#include <regex>

#include "Golden.h"
#include "NodeTestSupport.h"

using enum sim::Fault;

namespace {

constexpr std::array<uint8_t, 3> kAddresses{0x10, 0x11, 0x12};

// The transactions of one address, and the time from each request to the reply read after it.
struct AddressTrace {
    std::string lines;
    std::vector<uint64_t> waitsUs;
};

AddressTrace traceOf(const std::vector<sim::Event>& events, uint8_t address) {
    AddressTrace trace;
    uint64_t requestAt = 0;
    bool replyPending = false;
    for (const sim::Event& event : events) {
        if (event.address != address ||
            (event.kind != sim::EventKind::Write && event.kind != sim::EventKind::Read)) {
            continue;
        }
        trace.lines += event.str() + "\n";
        if (event.kind == sim::EventKind::Write) {
            requestAt = event.timeUs;
            replyPending = true;
        } else if (replyPending) {
            trace.waitsUs.push_back(event.timeUs - requestAt);
            replyPending = false;
        }
    }
    return trace;
}

std::string addressText(uint8_t address) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", address);
    return text;
}

// Console lines name the node's descriptor, which differs from node to node.
std::string anyDescriptor(const std::string& console) {
    return std::regex_replace(console, std::regex("fd -?[0-9]+"), "fd N");
}

}  // namespace

class BusScheduleTest : public sim::SimBoardTest {
  protected:
    void SetUp() override {
        sim::SimBoardTest::SetUp();
        for (uint8_t address : kAddresses) {
            sims_.push_back(&addNode(address, kNodeBus));
            sims_.back()->putFile("log.txt", pattern(1700, address));
            nodes_.push_back(std::make_unique<NorvaneI2CNode>(address, kNodeBus));
        }
        writeFile(local("image.bin"), std::string(2000, 'i'));
        simBoard().clearEvents();
    }
    void TearDown() override {
        nodes_.clear();
        sim::SimBoardTest::TearDown();
    }

    // One node's work: a command, a send and a fetch, with what it reports kept in `notes`.
    std::function<int32_t(NorvaneI2CNode&)> work(std::string& notes) {
        return [this, &notes](NorvaneI2CNode& node) {
            std::string t1, t2, t3, t4;
            const int32_t identity = node.getIdentity(t1, t2, t3, t4);
            TransferOptions options{.progress = [&notes](uint64_t done, uint64_t total) {
                notes += std::to_string(done) + "/" + std::to_string(total) + " ";
            }};
            const int32_t sent = node.sendFile(local("image.bin"), "image.bin", options);
            const std::string copy = local("copy-" + std::to_string(node.addr));
            const int32_t fetched = node.getFile("log.txt", copy, options);
            notes += t1 + " " + std::to_string(identity) + " " + std::to_string(sent) + " " +
                     std::to_string(fetched) + " " + std::to_string(readFile(copy).size());
            return fetched;
        };
    }

    std::string local(const std::string& name) const { return (dir_.path() / name).string(); }

    std::vector<sim::SimNode*> sims_;
    std::vector<std::unique_ptr<NorvaneI2CNode>> nodes_;
    TempDir dir_;
};

// Each node of a batch sees, transaction for transaction, what its one-node methods give it
// alone (the golden file), and waits at least as long before each reply; its progress,
// outputs and console lines are its own. The batch takes far less than the nodes one after
// another.
TEST_F(BusScheduleTest, EachNodeOfABatchSeesTheExchangeItHasAloneAndOnlyItsOwnResults) {
    std::string aloneNotes;
    int32_t aloneStatus = -1;
    const uint64_t aloneStart = clock().nowUs();
    const std::string aloneConsole =
        stdoutOf([&] { aloneStatus = work(aloneNotes)(*nodes_[0]); });
    const uint64_t aloneUs = clock().nowUs() - aloneStart;
    ASSERT_EQ(aloneStatus, NODE_SUCCESS) << aloneNotes;
    const AddressTrace alone = traceOf(simBoard().events(), kAddresses[0]);
    expectGolden("schedule-one-node.txt", alone.lines);
    simBoard().clearEvents();

    BusSchedule schedule;
    std::vector<std::string> notes(kAddresses.size());
    std::vector<BusSchedule::JobId> ids;
    for (size_t i = 0; i < kAddresses.size(); ++i) {
        ids.push_back(schedule.add(*nodes_[i], work(notes[i])));
    }
    const uint64_t batchStart = clock().nowUs();
    const std::string console = stdoutOf([&] { schedule.run(); });
    const uint64_t batchUs = clock().nowUs() - batchStart;

    EXPECT_EQ(console, "") << "console lines belong to their operation's result";
    for (size_t i = 0; i < kAddresses.size(); ++i) {
        SCOPED_TRACE(i);
        const AddressTrace batch = traceOf(simBoard().events(), kAddresses[i]);
        EXPECT_EQ(withPlaceholders(batch.lines, {{addressText(kAddresses[i]), "0x10"}}),
                  alone.lines);
        ASSERT_EQ(batch.waitsUs.size(), alone.waitsUs.size());
        for (size_t step = 0; step < alone.waitsUs.size(); ++step) {
            EXPECT_GE(batch.waitsUs[step], alone.waitsUs[step]) << "step " << step;
        }
        const BusSchedule::Result& result = schedule.result(ids[i]);
        EXPECT_TRUE(result.done);
        EXPECT_EQ(result.status, NODE_SUCCESS);
        EXPECT_EQ(notes[i], aloneNotes);
        EXPECT_EQ(anyDescriptor(result.console), anyDescriptor(aloneConsole));
    }
    EXPECT_LT(batchUs, aloneUs + aloneUs / 2) << "the nodes' waits did not overlap";
}
