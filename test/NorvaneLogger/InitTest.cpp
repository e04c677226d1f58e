// Bringing the logger up: the checks of init, its refusals and the log file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "LoggerTest.h"

namespace {

// A log directory holding an empty log file, set as the logger's.
class InitTest : public LoggerTest {
  protected:
    void SetUp() override {
        LoggerTest::SetUp();
        writeFile(logFile(), "");
        NorvaneLogger::logDir = _dir.withSlash();
    }
    std::filesystem::path logFile() const { return _dir.path() / "NorvaneLogger.logs"; }

  private:
    TempDir _dir;
};

struct InitCase {
    const char* name;
    void (*change)();
    const char* refusal;  // what init names after "Cannot init NorvaneLogger: ", or accepted
};

void stackRecords(std::size_t count) {
    NorvaneLogger::fileStack.assign(count, {2, "waiting\n"});
}

const InitCase kInitCases[] = {
    {"SettingABelowFiveIsRefused", [] { NorvaneLogger::settingA = 4; }, "A"},
    {"SettingAOfFiveIsAccepted", [] { NorvaneLogger::settingA = 5; }, nullptr},
    {"SettingAOfItsUpperBoundIsAccepted", [] { NorvaneLogger::settingA = 1048576; }, nullptr},
    {"SettingAAboveItsUpperBoundIsRefused", [] { NorvaneLogger::settingA = 1048577; }, "A"},
    {"SettingBBelowFiveIsRefused", [] { NorvaneLogger::settingB = 4; }, "B"},
    {"SettingBOfFiveIsAccepted", [] { NorvaneLogger::settingB = 5; }, nullptr},
    {"SettingBOfItsUpperBoundIsAccepted", [] { NorvaneLogger::settingB = 10080; }, nullptr},
    {"SettingBAboveItsUpperBoundIsRefused", [] { NorvaneLogger::settingB = 10081; }, "B"},
    {"SettingCOfZeroIsRefused", [] { NorvaneLogger::settingC = 0; }, "C"},
    {"SettingCOfOneIsAccepted", [] { NorvaneLogger::settingC = 1; }, nullptr},
    {"SettingCOfAHundredIsAccepted", [] { NorvaneLogger::settingC = 100; }, nullptr},
    {"SettingCAboveAHundredIsRefused", [] { NorvaneLogger::settingC = 101; }, "C"},
    {"SettingsAreCheckedInTheOrderAThenBThenC",
     [] {
         NorvaneLogger::settingB = 0;
         NorvaneLogger::settingC = 0;
     },
     "B"},
    {"FileStackOfAThousandRecordsIsAccepted", [] { stackRecords(1000); }, nullptr},
    {"FileStackOfMoreThanAThousandRecordsIsRefusedWithItsSize", [] { stackRecords(1001); },
     "file stack size 1001must be between 10 and 1000"},
};

class InitSettings : public InitTest, public testing::WithParamInterface<InitCase> {};

TEST_P(InitSettings, DecideWhetherInitAcceptsThem) {
    GetParam().change();
    const Console console = captureConsole(NorvaneLogger::init);
    if (GetParam().refusal != nullptr) {
        EXPECT_EQ(console.err,
                  std::string("Cannot init NorvaneLogger: ") + GetParam().refusal + "\n");
        EXPECT_EQ(console.out, "") << "a refused init writes no record";
        EXPECT_EQ(NorvaneLogger::getError(), 1);
        EXPECT_EQ(readFile(logFile()), "");
    } else {
        EXPECT_EQ(console.err, "");
        EXPECT_EQ(NorvaneLogger::getError(), 0);
        // A full stack drops its oldest record for init's, and the log file then opens with
        // the record that counts it.
        EXPECT_NE(readFile(logFile()).find(firstLine(console.out) + "\n"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, InitSettings, testing::ValuesIn(kInitCases),
                         [](const auto& info) { return std::string(info.param.name); });

using RefusedInit = InitTest;

TEST_F(RefusedInit, RefusesEveryLaterInitWithTheGetErrorMessage) {
    NorvaneLogger::settingA = 4;
    const Console console = captureConsole([] {
        NorvaneLogger::init();
        NorvaneLogger::settingA = 100;
        NorvaneLogger::init();
    });
    EXPECT_EQ(console.err,
              "Cannot init NorvaneLogger: A\n"
              "Cannot init NorvaneLogger: check NorvaneLogger::getError() before calling "
              "NorvaneLogger::init()\n");
    EXPECT_EQ(NorvaneLogger::getError(), 1);
    EXPECT_EQ(readFile(logFile()), "");
}

TEST_F(RefusedInit, LeavesLoggingGoingToStandardOutput) {
    NorvaneLogger::settingC = 0;
    const std::string out = captureConsole([] {
                                NorvaneLogger::init();
                                NorvaneLogger::info("still here");
                            }).out;
    const std::string record = firstLine(out);
    EXPECT_EQ(recordFields(record).back(), "still here\n");
    EXPECT_NE(out.find(record + "\n", record.size()), std::string::npos);
}

using SuccessfulInit = InitTest;

TEST_F(SuccessfulInit, WritesItsFirstRecordToTheLogFileAtOnce) {
    const Console console = captureConsole(NorvaneLogger::init);
    EXPECT_EQ(console.err, "");
    EXPECT_EQ(readFile(logFile()), firstLine(console.out) + "\n");
    const auto fields = recordFields(firstLine(console.out));
    ASSERT_EQ(fields.size(), 6U);
    EXPECT_EQ(fields[0], "[info]");
    EXPECT_TRUE(fields[2].ends_with("NorvaneLogger.cpp")) << fields[2];
    EXPECT_NE(fields[4].find("init"), std::string::npos) << fields[4];
    EXPECT_EQ(fields[5], "NorvaneLogger inited succesfully hello 10\n");
}

TEST_F(SuccessfulInit, KeepsItsFirstRecordInTheStandardErrorBuffer) {
    const std::string record = firstLine(stdoutOf(NorvaneLogger::init));
    EXPECT_EQ(captureConsole([] { NorvaneLogger::flush(false, true); }).err, record + "\n");
}

TEST_F(SuccessfulInit, AppendsToTheExistingLogFile) {
    writeFile(logFile(), "an earlier run\n");
    const std::string record = firstLine(stdoutOf(NorvaneLogger::init));
    EXPECT_EQ(readFile(logFile()), "an earlier run\n" + record + "\n");
}

TEST_F(SuccessfulInit, NeverCreatesAMissingLogFile) {
    std::filesystem::remove(logFile());
    const Console console = captureConsole(NorvaneLogger::init);
    EXPECT_EQ(console.err, "") << "a missing log file is not reported";
    EXPECT_EQ(NorvaneLogger::getError(), 0);
    EXPECT_FALSE(std::filesystem::exists(logFile()));
    EXPECT_LT(NorvaneLogger::fileFd, 0);
    EXPECT_GT(NorvaneLogger::bufferFileLen, 0) << "the first record waits in the file buffer";
}

using RepeatedInit = InitTest;

TEST_F(RepeatedInit, ClosesTheEarlierLogDescriptor) {
    const std::string record = firstLine(stdoutOf(NorvaneLogger::init));
    const int earlier = NorvaneLogger::fileFd;
    ASSERT_GT(earlier, STDERR_FILENO);
    stdoutOf(NorvaneLogger::init);
    EXPECT_NE(NorvaneLogger::fileFd, earlier);
    errno = 0;
    EXPECT_EQ(fcntl(earlier, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(readFile(logFile()).size(), 2 * (record.size() + 1));
}

TEST_F(RepeatedInit, NeverClosesTheStandardStreams) {
    for (int standard : {STDIN_FILENO, STDERR_FILENO}) {
        stdoutOf(NorvaneLogger::init);
        ::close(NorvaneLogger::fileFd);
        NorvaneLogger::fileFd = standard;
    }
    stdoutOf(NorvaneLogger::init);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << "descriptor " << fd;
    }
}

}  // namespace
