#include "NodeTestSupport.h"

// Every test ends checking that the nodes it destroyed closed their channels (BedTest) and
// freed their addresses.
class NodeLifecycle : public bed::BedTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty()) << "a bus is still registered";
        bed::BedTest::TearDown();
    }
    static bool inUse(uint8_t addr) { return NorvaneI2cMaster::__addrs.at(kNodeBus)[addr] == 1; }
};

TEST_F(NodeLifecycle, ANodeAnnouncesItsAddressInDecimalAndASecondNodeThereCannotTalk) {
    addNode(120);
    std::optional<NorvaneI2CNode> first, second;
    const std::string out =
        stdoutOf([&] { first.emplace(120, kNodeBus), second.emplace(120, kNodeBus); });
    EXPECT_EQ(
        out.rfind("NorvaneI2CNode(uint8_t addr, const char *bus)120 /dev/i2c-3\nHERE _fd: ", 0), 0u)
        << out;
    EXPECT_NE(out.find("Error addr alredy iun use 120\nError creating master\n"), std::string::npos)
        << out;
    EXPECT_EQ(std::make_tuple(first->addr, first->bus, first->getStatus()),
              std::make_tuple(120, kNodeBus, NODE_SUCCESS));
    EXPECT_EQ(second->setTime(1), NODE_TRANSPORT_FAILURE);
    second.reset();
    EXPECT_TRUE(inUse(120)) << "destroying the refused node freed the first node's address";
}

TEST_F(NodeLifecycle, ANodeWithoutAChannelKeepsItsAddressAndAnswersEveryCommandWithoutWaiting) {
    std::optional<NorvaneI2CNode> node;
    EXPECT_EQ(stdoutOf([&] { node.emplace(0x30, "/dev/i2c-9"); }),
              "NorvaneI2CNode(uint8_t addr, const char *bus)48 /dev/i2c-9\n"
              "Error NorvaneI2cMaster error open fd for bus\nError creating master\n");
    EXPECT_EQ(std::make_tuple(node->addr, node->bus, node->getStatus()),
              std::make_tuple(0x30, "", NODE_SUCCESS));
    EXPECT_EQ(node->setTextF3("x"), NODE_TRANSPORT_FAILURE);
    EXPECT_EQ(NorvaneI2CNode().commandC1(), NODE_TRANSPORT_FAILURE) << "a default node";
    EXPECT_TRUE(clock().sleeps().empty());
}

// A move hands the one channel over; the target of an assignment closes its own first.
TEST_F(NodeLifecycle, AMovedNodeKeepsTheOnlyChannelAndClosesItOnce) {
    addNode(0x10);
    addNode(0x11);
    std::optional<NorvaneI2CNode> source(std::in_place, 0x10, kNodeBus);
    NorvaneI2CNode moved(std::move(*source));
    source.reset();
    EXPECT_EQ(bed().trace({bed::EventKind::Close}), Kinds{});
    NorvaneI2CNode replaced(0x11, kNodeBus);
    replaced = std::move(moved);
    EXPECT_EQ(bed().busAt(kNodeBus).openDescriptors(), 1u);
    EXPECT_FALSE(inUse(0x11));
    EXPECT_EQ(std::tie(replaced.addr, replaced.bus), std::make_tuple(0x10, kNodeBus));
    EXPECT_EQ(replaced.setTime(5), NODE_SUCCESS);
}
