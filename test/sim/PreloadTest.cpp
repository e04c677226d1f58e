#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "BedTest.h"
#include "TargetCommand.h"

namespace bed::selftest {
namespace {

using ::testing::HasSubstr;

struct ProbeRun {
    int status = -1;
    std::string output;
};

ProbeRun runProbe(const std::string& configPath) {
    const std::string preload = kestro::test::preloadList(KESTRO_BED_PRELOAD);
    const std::string command =
        kestro::test::shellCommandLine(kestro::test::targetCommand(
            KESTRO_BED_PROBE, {"KESTRO_BED_CONFIG=" + configPath, "LD_PRELOAD=" + preload})) +
        " 2>&1";
    ProbeRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class BedPreloadTest : public BedTest {
  protected:
    std::string writeConfig(const std::string& text) {
        std::ofstream(configPath_) << text;
        return configPath_;
    }
    void TearDown() override {
        std::remove(configPath_.c_str());
        std::remove(reportPath_.c_str());
        BedTest::TearDown();
    }

    // Per test and process: ctest runs the cases in parallel.
    static std::string scratchPath(const char* suffix) {
        return ::testing::TempDir() + "bed-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
               std::to_string(::getpid()) + suffix;
    }

    const std::string configPath_ = scratchPath(".conf");
    const std::string reportPath_ = scratchPath(".report");
};

TEST_F(BedPreloadTest, AProgramRunsAgainstTheConfiguredBedAndLeavesItsReport) {
    const ProbeRun run =
        runProbe(writeConfig("node /dev/i2c-3 0x10\n"
                             "identity /dev/i2c-3 0x10 t1 t2 t3 dev-1\n"
                             "gpio present\n"
                             "clock fake 1700000000000000\n"
                             "report " +
                             reportPath_ + "\n"));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("identity: t1 t2 t3 dev-1"));
    EXPECT_THAT(run.output, HasSubstr("time: 1700000000\n"));
    EXPECT_THAT(run.output, HasSubstr("gpio: driven"));
    EXPECT_EQ(
        readFile(reportPath_),
        "open /dev/i2c-3\nselect 0x10\nwrite 0x10 7\nusleep 100000\nread 0x10 3\n"
        "read 0x10 20\nclose /dev/i2c-3\nopen /dev/gpiochip0\n"
        "open /sys/bus/gpio/devices/gpiochip0/dev\nclose /sys/bus/gpio/devices/gpiochip0/dev\n"
        "gpio request 7 1\ngpio set 7 0\ngpio release 7\n"
        "close anon_inode:gpio-linehandle\nclose /dev/gpiochip0\n");
}

TEST_F(BedPreloadTest, AnAbsentChipAndBusStayAbsentForTheProgram) {
    const ProbeRun run = runProbe(writeConfig("clock real\n"));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("identity: no bus"));
    EXPECT_THAT(run.output, HasSubstr("gpio: absent"));
}

TEST_F(BedPreloadTest, AMalformedConfigurationEndsTheProgramWithItsReason) {
    const ProbeRun run = runProbe(writeConfig("node /dev/i2c-3 0x200\n"));
    EXPECT_EQ(run.status, 97);
    EXPECT_THAT(run.output, HasSubstr("line 1: not a 7-bit address: 0x200"));
}

}  // namespace
}  // namespace bed::selftest
