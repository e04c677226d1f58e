// The real i2c-kestro-cli run as a process under the bed's preload library, with a simulated
// board around it (nodes on /dev/i2c-3, GPIO chip 0, a fake clock) and a private /var/log in a
// mount namespace of its own, so the host's log is never touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "IsolatedRun.h"
#include "TargetCommand.h"

using kestro::test::targetCommand;
using testing::StartsWith;

namespace {

const std::string kRule = "-------------------------------------------------\n";
constexpr const char* kFakeStartUs = "1700000000000000";
constexpr const char* kFakeStartMs = "1700000000000";

// Only the program itself runs with the bed preloaded; the shell that mounts does not.
ChildOutcome runUnderBed(const TempDir& logDir, const std::string& config) {
    const std::string preload = kestro::test::preloadList(KESTRO_BED_PRELOAD);
    return runWithPrivateLogDirectory(
        logDir, targetCommand(KESTRO_CLI_PATH,
                              {"KESTRO_BED_CONFIG=" + config, "LD_PRELOAD=" + preload}));
}

class CliUnderBed : public testing::Test {
  protected:
    void SetUp() override {
        writeFile(configPath(), std::string("node /dev/i2c-3 0x10\n"
                                            "identity /dev/i2c-3 0x10 t1 t2 t3 alpha\n"
                                            "device /dev/i2c-3 0x48 ack\n"
                                            "gpio present\n"
                                            "clock fake ") +
                                    kFakeStartUs + "\nreport " + reportPath().string() + "\n");
        const ChildOutcome probe = runWithPrivateLogDirectory(_logDir, {"/bin/true"});
        if (probe.status != 0) {
            GTEST_SKIP() << "no private mount namespace can be made to cover /var/log here "
                            "(status "
                         << probe.status << "): " << probe.err;
        }
    }

    std::filesystem::path configPath() const { return _scratch.path() / "bed.conf"; }
    std::filesystem::path reportPath() const { return _scratch.path() / "bed.report"; }
    std::filesystem::path logFile() const { return _logDir.path() / "NorvaneLogger.logs"; }

    TempDir _logDir;
    TempDir _scratch;
};

TEST_F(CliUnderBed, ProgramAnnouncesItselfOnTheBedsClockAndDrivesNoDevice) {
    writeFile(logFile(), "");

    const ChildOutcome run = runUnderBed(_logDir, configPath());

    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_THAT(run.out, StartsWith(kRule));
    const std::string afterRule = run.out.substr(kRule.size());
    EXPECT_THAT(afterRule, StartsWith("COMPILED AT "));
    const std::string afterBanner = afterRule.substr(firstLine(afterRule).size() + kRule.size());
    const std::string record = firstLine(afterBanner);
    const std::vector<std::string> fields = recordFields(record);
    ASSERT_EQ(fields.size(), 6U) << record;
    EXPECT_EQ(fields[0], "[info]");
    EXPECT_EQ(fields[1], kFakeStartMs) << "the record's time comes from the preloaded clock";
    EXPECT_EQ(readFile(logFile()), record + "\n");
    EXPECT_FALSE(std::filesystem::exists(reportPath()))
        << "the entry point opened a simulated device:\n"
        << readFile(reportPath());
}

}  // namespace
