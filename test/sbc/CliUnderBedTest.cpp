// The real i2c-kestro-cli run under i2c-kestro-sim, with the example board around it (nodes
// on /dev/i2c-3, GPIO chip 0, the fast clock) and a private /var/log in a mount namespace of
// its own, so the host's log is never touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/time.h>

#include <filesystem>
#include <string>
#include <vector>

#include "IsolatedRun.h"
#include "TargetCommand.h"

using testing::StartsWith;

namespace {

const std::string kRule = "-------------------------------------------------\n";
uint64_t hostMs() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_usec) / 1000;
}

class CliUnderBed : public testing::Test {
  protected:
    ChildOutcome runUnderSimulator() {
        return runWithPrivateLogDirectory(
            _logDir, kestro::test::simCommand({"--fast", "--report", reportPath().string()}, {KESTRO_CLI_PATH}));
    }

    void SetUp() override {
        const ChildOutcome probe = runWithPrivateLogDirectory(_logDir, {"/bin/true"});
        if (probe.status != 0) {
            GTEST_SKIP() << "no private mount namespace can be made to cover /var/log here "
                            "(status "
                         << probe.status << "): " << probe.err;
        }
    }

    std::filesystem::path reportPath() const { return _scratch.path() / "report.json"; }
    std::filesystem::path logFile() const { return _logDir.path() / "NorvaneLogger.logs"; }

    TempDir _logDir;
    TempDir _scratch;
};

TEST_F(CliUnderBed, ProgramAnnouncesItselfOnTheSimulatorsClockAndDrivesNoDevice) {
    writeFile(logFile(), "");

    const uint64_t before = hostMs();
    const ChildOutcome run = runUnderSimulator();
    const uint64_t after = hostMs();

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
    EXPECT_GE(std::stoull(fields[1]), before) << "the record's time comes from the wall clock";
    EXPECT_LE(std::stoull(fields[1]), after);
    EXPECT_EQ(readFile(logFile()), record + "\n");
    EXPECT_THAT(readFile(reportPath()), testing::HasSubstr(R"("opens":0,)"))
        << "the entry point opened a simulated device";
}

}  // namespace
