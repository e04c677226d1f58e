#pragma once

#include <gtest/gtest.h>

#include "Console.h"
#include "NorvaneLogger.h"
#include "RecordText.h"
#include "TempFiles.h"

// Each case starts from the logger's state at program start and leaves no log
// file open.
class LoggerTest : public testing::Test {
  protected:
    void SetUp() override { NorvaneLogger::reset(); }
    void TearDown() override { NorvaneLogger::reset(); }
};

// Logs `message` at level 3 from one fixed call site.
inline void logFromOneSite(const std::string& message) {
    NorvaneLogger::info("%s", NorvaneLogger::Location::current(), message.c_str());
}
