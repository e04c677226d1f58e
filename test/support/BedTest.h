#pragma once
// GoogleTest base fixture: every test starts on a fresh bed with the clock it
// asks for (fake unless the fixture passes ClockMode::Real), and fails at
// TearDown when a simulated descriptor was left open.
//
//   class NodeCommandTest : public bed::BedTest {};
//   class RealTimeTest : public bed::BedTest {
//   protected:
//       RealTimeTest() : BedTest(bed::ClockMode::Real) {}
//   };

#include <gtest/gtest.h>

#include <string>

#include "Bed.h"

namespace bed {

enum class ClockMode { Fake, Real };

class BedTest : public ::testing::Test {
  protected:
    explicit BedTest(ClockMode mode = ClockMode::Fake) : mode_(mode) {}

    void SetUp() override {
        Bed::instance().reset();
        if (mode_ == ClockMode::Fake) {
            Bed::instance().clock().useFake();
        }
    }

    void TearDown() override {
        EXPECT_EQ(Bed::instance().openDescriptorPaths(), std::vector<std::string>{})
            << "simulated descriptors left open";
        Bed::instance().reset();
    }

    Bed& bed() { return Bed::instance(); }
    SimBus& addBus(const std::string& path = "/dev/i2c-3") { return bed().addBus(path); }
    SimNode& addNode(uint8_t address, const std::string& path = "/dev/i2c-3") {
        SimBus* existing = bed().bus(path);
        return (existing != nullptr ? *existing : bed().addBus(path)).addNode(address);
    }
    FakeClock& clock() { return bed().clock(); }
    SimGpioChip& gpio() { return bed().gpio(); }

  private:
    ClockMode mode_;
};

}  // namespace bed
