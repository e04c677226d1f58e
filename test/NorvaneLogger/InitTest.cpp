// Bringing the logger up: the checks of init, its refusals and the log file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "IsolatedRun.h"
#include "NorvaneLogger.h"

namespace {

const std::string kRefusedBefore =
    "Cannot init NorvaneLogger: check NorvaneLogger::getError() before calling "
    "NorvaneLogger::init()\n";

// A log directory holding an empty log file.
class LogDirectory : public TempDir {
  public:
    LogDirectory() { writeFile(logFile(), ""); }
    std::filesystem::path logFile() const { return path() / "NorvaneLogger.logs"; }
};

// Runs init in a fresh process with one setting changed first.
template <typename Change>
ChildOutcome initAfter(const LogDirectory& dir, Change change) {
    return runIsolated([&] {
        NorvaneLogger::logDir = dir.withSlash();
        change();
        NorvaneLogger::init();
        std::printf("error flag %d\n", NorvaneLogger::getError());
    });
}

void expectRefused(const ChildOutcome& run, const std::string& message) {
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, message);
    EXPECT_EQ(run.out, "error flag 1\n") << "a refused init writes no record";
}

void expectAccepted(const ChildOutcome& run, const LogDirectory& dir) {
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("error flag 0\n"), std::string::npos) << run.out;
    EXPECT_EQ(readFile(dir.logFile()), firstLine(run.out) + "\n");
}

TEST(InitSettings, SettingABelowFiveIsRefused) {
    LogDirectory dir;
    expectRefused(initAfter(dir, [] { NorvaneLogger::settingA = 4; }),
                  "Cannot init NorvaneLogger: A\n");
}

TEST(InitSettings, SettingAOfItsUpperBoundIsAccepted) {
    LogDirectory dir;
    expectAccepted(initAfter(dir, [] { NorvaneLogger::settingA = 1048576; }), dir);
}

TEST(InitSettings, SettingAAboveItsUpperBoundIsRefused) {
    LogDirectory dir;
    expectRefused(initAfter(dir, [] { NorvaneLogger::settingA = 1048577; }),
                  "Cannot init NorvaneLogger: A\n");
}

TEST(InitSettings, SettingBOfItsUpperBoundIsAccepted) {
    LogDirectory dir;
    expectAccepted(initAfter(dir, [] { NorvaneLogger::settingB = 10080; }), dir);
}

TEST(InitSettings, SettingBAboveItsUpperBoundIsRefused) {
    LogDirectory dir;
    expectRefused(initAfter(dir, [] { NorvaneLogger::settingB = 10081; }),
                  "Cannot init NorvaneLogger: B\n");
}

TEST(InitSettings, SettingBBelowFiveIsRefused) {
    LogDirectory dir;
    expectRefused(initAfter(dir, [] { NorvaneLogger::settingB = 4; }),
                  "Cannot init NorvaneLogger: B\n");
}

TEST(InitSettings, SettingCOfZeroIsRefused) {
    LogDirectory dir;
    expectRefused(initAfter(dir, [] { NorvaneLogger::settingC = 0; }),
                  "Cannot init NorvaneLogger: C\n");
}

TEST(InitSettings, SettingCOfAHundredIsAccepted) {
    LogDirectory dir;
    expectAccepted(initAfter(dir, [] { NorvaneLogger::settingC = 100; }), dir);
}

TEST(InitSettings, SettingCAboveAHundredIsRefused) {
    LogDirectory dir;
    expectRefused(initAfter(dir, [] { NorvaneLogger::settingC = 101; }),
                  "Cannot init NorvaneLogger: C\n");
}

TEST(InitSettings, AreCheckedInTheOrderAThenBThenC) {
    LogDirectory dir;
    expectRefused(initAfter(dir,
                            [] {
                                NorvaneLogger::settingB = 0;
                                NorvaneLogger::settingC = 0;
                            }),
                  "Cannot init NorvaneLogger: B\n");
}

void stackRecords(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        NorvaneLogger::fileStack.push_back({2, "waiting\n"});
    }
}

TEST(InitFileStack, OfMoreThanAThousandRecordsIsRefusedWithItsSize) {
    LogDirectory dir;
    expectRefused(initAfter(dir, [] { stackRecords(1001); }),
                  "Cannot init NorvaneLogger: file stack size 1001must be between 10 and 1000\n");
}

TEST(InitFileStack, OfAThousandRecordsIsAccepted) {
    LogDirectory dir;
    const ChildOutcome run = initAfter(dir, [] { stackRecords(1000); });
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("error flag 0\n"), std::string::npos);
}

TEST(RefusedInit, RefusesEveryLaterInitWithTheGetErrorMessage) {
    LogDirectory dir;
    const ChildOutcome run = initAfter(dir, [] {
        NorvaneLogger::settingA = 4;
        NorvaneLogger::init();
        NorvaneLogger::settingA = 100;
    });
    expectRefused(run, "Cannot init NorvaneLogger: A\n" + kRefusedBefore);
    EXPECT_EQ(readFile(dir.logFile()), "");
}

TEST(RefusedInit, LeavesLoggingGoingToStandardOutput) {
    LogDirectory dir;
    const ChildOutcome run = initAfter(dir, [] {
        NorvaneLogger::settingC = 0;
        NorvaneLogger::init();
        NorvaneLogger::settingC = 7;
        NorvaneLogger::info("still here");
    });
    const std::string record = firstLine(run.out);
    EXPECT_EQ(recordFields(record).back(), "still here\n");
    EXPECT_NE(run.out.find(record + "\n", record.size()), std::string::npos);
}

TEST(SuccessfulInit, WritesItsFirstRecordToTheLogFileAtOnce) {
    LogDirectory dir;
    const ChildOutcome run = initAfter(dir, [] {});
    expectAccepted(run, dir);
    const auto fields = recordFields(firstLine(run.out));
    ASSERT_EQ(fields.size(), 6U);
    EXPECT_EQ(fields[0], "[info]");
    EXPECT_TRUE(fields[2].ends_with("NorvaneLogger.cpp")) << fields[2];
    EXPECT_NE(fields[4].find("init"), std::string::npos) << fields[4];
    EXPECT_EQ(fields[5], "NorvaneLogger inited succesfully hello 10\n");
}

TEST(SuccessfulInit, KeepsItsFirstRecordInTheStandardErrorBuffer) {
    LogDirectory dir;
    const ChildOutcome run = runIsolated([&] {
        NorvaneLogger::logDir = dir.withSlash();
        NorvaneLogger::init();
        NorvaneLogger::flush(false, true);
    });
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, firstLine(run.out) + "\n");
}

TEST(SuccessfulInit, AppendsToTheExistingLogFile) {
    LogDirectory dir;
    writeFile(dir.logFile(), "an earlier run\n");
    const ChildOutcome run = initAfter(dir, [] {});
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(readFile(dir.logFile()), "an earlier run\n" + firstLine(run.out) + "\n");
}

TEST(SuccessfulInit, NeverCreatesAMissingLogFile) {
    LogDirectory dir;
    std::filesystem::remove(dir.logFile());
    const ChildOutcome run = initAfter(dir, [] {});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, "") << "a missing log file is not reported";
    EXPECT_NE(run.out.find("error flag 0\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.logFile()));
}

TEST(SuccessfulInit, WithAMissingLogFileKeepsItsRecordsWaiting) {
    LogDirectory dir;
    std::filesystem::remove(dir.logFile());
    const ChildOutcome run = runIsolated([&] {
        NorvaneLogger::logDir = dir.withSlash();
        NorvaneLogger::init();
        EXPECT_LT(NorvaneLogger::fileFd, 0);
        EXPECT_GT(NorvaneLogger::bufferFileLen, 0);
    });
    EXPECT_EQ(run.status, 0) << run.out;
}

TEST(RepeatedInit, ClosesTheEarlierLogDescriptor) {
    LogDirectory dir;
    const ChildOutcome run = runIsolated([&] {
        NorvaneLogger::logDir = dir.withSlash();
        NorvaneLogger::init();
        const int earlier = NorvaneLogger::fileFd;
        ASSERT_GT(earlier, STDERR_FILENO);
        NorvaneLogger::init();
        EXPECT_NE(NorvaneLogger::fileFd, earlier);
        errno = 0;
        EXPECT_EQ(fcntl(earlier, F_GETFD), -1);
        EXPECT_EQ(errno, EBADF);
    });
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, "");
    const std::string record = firstLine(run.out);
    EXPECT_EQ(readFile(dir.logFile()).size(), 2 * (record.size() + 1));
}

TEST(RepeatedInit, NeverClosesTheStandardStreams) {
    LogDirectory dir;
    const ChildOutcome run = runIsolated([&] {
        NorvaneLogger::logDir = dir.withSlash();
        NorvaneLogger::init();
        NorvaneLogger::fileFd = STDIN_FILENO;
        NorvaneLogger::init();
        NorvaneLogger::fileFd = STDERR_FILENO;
        NorvaneLogger::init();
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
            EXPECT_NE(fcntl(fd, F_GETFD), -1) << "descriptor " << fd;
        }
    });
    EXPECT_EQ(run.status, 0) << run.out;
}

}  // namespace
