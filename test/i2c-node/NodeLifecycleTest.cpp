#include <type_traits>
#include <utility>

#include "NodeTestSupport.h"

class NodeLifecycle : public bed::BedTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty()) << "a bus is still registered";
        bed::BedTest::TearDown();
    }
};

TEST_F(NodeLifecycle, ConstructionAnnouncesTheAddressInDecimalAndTheBus) {
    addBus("/dev/i2c-1");
    std::string out = stdoutOf([] { NorvaneI2CNode node(120, "/dev/i2c-1"); });
    EXPECT_EQ(
        out.rfind("NorvaneI2CNode(uint8_t addr, const char *bus)120 /dev/i2c-1\nHERE _fd: ", 0), 0u)
        << out;
}

TEST_F(NodeLifecycle, AddressZeroIsAnnouncedAsZero) {
    std::string out = stdoutOf([] { NorvaneI2CNode node(0, "/dev/i2c-9"); });
    EXPECT_EQ(out.rfind("NorvaneI2CNode(uint8_t addr, const char *bus)0 /dev/i2c-9\n", 0), 0u)
        << out;
}

TEST_F(NodeLifecycle, AConstructedNodeHoldsItsAddressBusAndAnOpenChannel) {
    addNode(0x08, "/dev/i2c-1");
    NorvaneI2CNode node(0x08, "/dev/i2c-1");
    EXPECT_EQ(node.addr, 0x08);
    EXPECT_EQ(node.bus, "/dev/i2c-1");
    EXPECT_EQ(node.getStatus(), 0);
    EXPECT_EQ(NorvaneI2cMaster::__addrs.at("/dev/i2c-1")[0x08], 1);
}

TEST_F(NodeLifecycle, ANodeWhoseMasterFailedKeepsTheAskedAddressStatusZeroAndAnEmptyBus) {
    std::optional<NorvaneI2CNode> node;
    std::string out = stdoutOf([&] { node.emplace(0x30, "/dev/i2c-9"); });

    EXPECT_NE(out.find("Error NorvaneI2cMaster error open fd for bus\nError creating master\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(node->addr, 0x30);
    EXPECT_EQ(node->getStatus(), 0);
    EXPECT_EQ(node->bus, "");
}

TEST_F(NodeLifecycle, ANodeWhoseMasterFailedAnswersEveryCommandWith10WithoutWaiting) {
    NorvaneI2CNode node(0x30, "/dev/i2c-9");
    uint64_t value = 0;
    std::string text;
    EXPECT_EQ(node.getTime(value), 10);
    EXPECT_EQ(node.setTextF3("x"), 10);
    EXPECT_EQ(node.getTextE1(text), 10);
    EXPECT_EQ(node.getStatus(), 10);
    EXPECT_TRUE(clock().sleeps().empty());
}

TEST_F(NodeLifecycle, ASecondNodeAtATakenAddressReportsTheConflictAndCannotTalk) {
    addNode(0x10, "/dev/i2c-3");
    NorvaneI2CNode first(0x10, "/dev/i2c-3");
    std::optional<NorvaneI2CNode> second;
    std::string out = stdoutOf([&] { second.emplace(0x10, "/dev/i2c-3"); });

    EXPECT_NE(out.find("Error addr alredy iun use 16\nError creating master\n"), std::string::npos)
        << out;
    EXPECT_EQ(second->setTime(1), 10);
    second.reset();
    EXPECT_EQ(NorvaneI2cMaster::__addrs.at("/dev/i2c-3")[0x10], 1)
        << "destroying the refused node freed the first node's address";
}

TEST_F(NodeLifecycle, DestroyingANodeClosesItsChannelAndFreesItsAddress) {
    addNode(0x10, "/dev/i2c-3");
    { NorvaneI2CNode node(0x10, "/dev/i2c-3"); }
    EXPECT_EQ(bed().busAt("/dev/i2c-3").openDescriptors(), 0u);
    EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty());
    NorvaneI2CNode again(0x10, "/dev/i2c-3");
    EXPECT_EQ(again.bus, "/dev/i2c-3");
}

TEST_F(NodeLifecycle, ANodeCannotBeCopiedBecauseBothCopiesWouldCloseTheChannel) {
    EXPECT_FALSE(std::is_copy_constructible_v<NorvaneI2CNode>);
    EXPECT_FALSE(std::is_copy_assignable_v<NorvaneI2CNode>);
    EXPECT_TRUE(std::is_nothrow_move_constructible_v<NorvaneI2CNode>);
    EXPECT_TRUE(std::is_nothrow_move_assignable_v<NorvaneI2CNode>);
    EXPECT_TRUE(std::is_copy_constructible_v<NorvaneI2cMaster>) << "the master stays a value";
}

TEST_F(NodeLifecycle, AMovedNodeKeepsTheOnlyChannelAndClosesItOnce) {
    addNode(0x10, "/dev/i2c-3");
    std::optional<NorvaneI2CNode> source(std::in_place, 0x10, "/dev/i2c-3");
    NorvaneI2CNode target(std::move(*source));
    source.reset();

    EXPECT_EQ(bed().trace({bed::EventKind::Close}), std::vector<std::string>{});
    EXPECT_EQ(target.addr, 0x10);
    EXPECT_EQ(target.bus, "/dev/i2c-3");
    std::string t1, t2, t3, t4;
    EXPECT_EQ(target.getIdentity(t1, t2, t3, t4), 0);
    EXPECT_EQ(t4, "sim-node");
}

TEST_F(NodeLifecycle, MoveAssignmentClosesTheTargetsOwnChannelFirst) {
    addNode(0x10, "/dev/i2c-3");
    addNode(0x11, "/dev/i2c-3");
    NorvaneI2CNode kept(0x10, "/dev/i2c-3");
    NorvaneI2CNode replaced(0x11, "/dev/i2c-3");
    replaced = std::move(kept);

    EXPECT_EQ(bed().busAt("/dev/i2c-3").openDescriptors(), 1u);
    EXPECT_EQ(NorvaneI2cMaster::__addrs.at("/dev/i2c-3")[0x11], 0);
    EXPECT_EQ(replaced.addr, 0x10);
    EXPECT_EQ(replaced.setTime(5), 0);
}

TEST_F(NodeLifecycle, ADefaultNodeHasNoAddressNoBusAndCannotTalk) {
    NorvaneI2CNode node;
    EXPECT_EQ(node.addr, 0);
    EXPECT_EQ(node.bus, "");
    EXPECT_EQ(node.getStatus(), 0);
    EXPECT_EQ(node.commandC1(), 10);
}
