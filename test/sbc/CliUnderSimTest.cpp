// The real i2c-kestro-cli run under i2c-kestro-sim, with the example board around it (nodes
// on /dev/i2c-3, GPIO chip 0, the fast clock) and a private /var/log in a mount namespace of
// its own, so the host's log is never touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "IsolatedRun.h"
#include "TargetCommand.h"

namespace {

TEST(CliUnderSim, ProgramAnnouncesItselfOnTheSimulatorsClockAndDrivesNoDevice) {
    const auto hostMs = [] {
        using namespace std::chrono;
        return uint64_t(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    };
    const TempDir logDir, scratch;
    if (const ChildOutcome probe = runWithPrivateLogDirectory(logDir, {"/bin/true"}); probe.status != 0) {
        GTEST_SKIP() << "no private mount namespace can be made to cover /var/log here (status "
                     << probe.status << "): " << probe.err;
    }
    writeFile(logDir.path() / "NorvaneLogger.logs", "");

    const uint64_t before = hostMs();
    const ChildOutcome run = runWithPrivateLogDirectory(
        logDir, kestro::test::simCommand({"--fast", "--report", (scratch.path() / "report.json").string()},
                                         {KESTRO_CLI_PATH}));
    const uint64_t after = hostMs();

    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string rule = "-------------------------------------------------\n";
    ASSERT_THAT(run.out, testing::StartsWith(rule + "COMPILED AT "));
    const std::string record = firstLine(run.out.substr(run.out.find(rule, rule.size()) + rule.size()));
    const std::vector<std::string> fields = recordFields(record);
    ASSERT_EQ(fields.size(), 6U) << record;
    EXPECT_EQ(fields[0], "[info]");
    // The record's time comes from the wall clock.
    EXPECT_THAT(std::stoull(fields[1]), testing::AllOf(testing::Ge(before), testing::Le(after)));
    EXPECT_EQ(readFile(logDir.path() / "NorvaneLogger.logs"), record + "\n");
    EXPECT_THAT(readFile(scratch.path() / "report.json"), testing::HasSubstr(R"("opens":0,)"))
        << "the entry point opened a simulated device";
}

}  // namespace
