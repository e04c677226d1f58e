#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "BedTest.h"
#include "Console.h"
#include "NorvaneI2cMaster.h"

// Every master test must leave the program-wide registries as it found them: empty.
class MasterTest : public bed::BedTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty()) << "a bus is still registered";
        EXPECT_TRUE(NorvaneI2cMaster::__addrsFds.empty()) << "a bus is still registered";
        bed::BedTest::TearDown();
    }

    static bool inUse(const std::string& bus, uint8_t addr) {
        auto entry = NorvaneI2cMaster::__addrs.find(bus);
        return entry != NorvaneI2cMaster::__addrs.end() && entry->second[addr] == 1;
    }

    static int32_t descriptorOf(const std::string& bus, uint8_t addr) {
        return NorvaneI2cMaster::__addrsFds.at(bus)[addr];
    }
};
