#include <chrono>

#include "NodeTestSupport.h"

// These run on the real clock: the waits must really happen, not just be asked for.
class NodeRealTime : public NodeTest {
  protected:
    NodeRealTime() : NodeTest(bed::ClockMode::Real) {}

    template <typename Command>
    static std::chrono::milliseconds elapsed(Command command) {
        auto start = std::chrono::steady_clock::now();
        command();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }
};

TEST_F(NodeRealTime, AnOrdinaryCommandReallyWaitsAtLeast100ms) {
    std::string t1, t2, t3, t4;
    int32_t status = -1;
    auto took = elapsed([&] { status = node().getIdentity(t1, t2, t3, t4); });
    EXPECT_EQ(status, 0);
    EXPECT_GE(took.count(), 100);
}

TEST_F(NodeRealTime, TheLinesQueryReallyWaitsAtLeast500ms) {
    std::list<std::string> lines;
    int32_t status = -1;
    auto took = elapsed([&] { status = node().getLines("log", lines); });
    EXPECT_EQ(status, 0);
    EXPECT_GE(took.count(), 500);
}
