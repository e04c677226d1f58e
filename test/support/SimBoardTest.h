#pragma once
// GoogleTest base fixture: every test starts on a fresh simulated board with the clock it
// asks for (fake unless the fixture passes ClockMode::Real), and fails at
// TearDown when a simulated descriptor was left open.
//
//   class NodeCommandTest : public sim::SimBoardTest {};
//   class RealTimeTest : public sim::SimBoardTest {
//   protected:
//       RealTimeTest() : SimBoardTest(sim::ClockMode::Real) {}
//   };

#include <gtest/gtest.h>

#include <string>

#include "SimBoard.h"

namespace sim {

enum class ClockMode { Fake, Real };

class SimBoardTest : public ::testing::Test {
  protected:
    explicit SimBoardTest(ClockMode mode = ClockMode::Fake) : mode_(mode) {}

    void SetUp() override {
        SimBoard::instance().reset();
        if (mode_ == ClockMode::Fake) {
            SimBoard::instance().clock().useFake();
        }
    }

    void TearDown() override {
        EXPECT_EQ(SimBoard::instance().openDescriptorPaths(), std::vector<std::string>{})
            << "simulated descriptors left open";
        SimBoard::instance().reset();
    }

    SimBoard& simBoard() { return SimBoard::instance(); }
    SimBus& addBus(const std::string& path = "/dev/i2c-3") { return simBoard().addBus(path); }
    SimNode& addNode(uint8_t address, const std::string& path = "/dev/i2c-3") {
        SimBus* existing = simBoard().bus(path);
        return (existing != nullptr ? *existing : simBoard().addBus(path)).addNode(address);
    }
    FakeClock& clock() { return simBoard().clock(); }
    SimGpioChip& gpio() { return simBoard().gpio(); }

  private:
    ClockMode mode_;
};

}  // namespace sim
