// What one log call turns into: the CSV record, its console print and the
// ways a call can end the process.
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "Golden.h"
#include "LoggerTest.h"
#include "OddlyNamedSource.h"

namespace {

uint64_t nowMillis() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

// The text with the millis field of every record line replaced by "<millis>",
// each checked to lie within [from, to].
std::string withMillisMasked(const std::string& text, uint64_t from, uint64_t to) {
    std::string masked;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start) + 1;
        std::string line = text.substr(start, end - start);
        if (line.starts_with("[")) {
            const std::vector<std::string> fields = recordFields(line);
            const uint64_t millis = std::stoull(fields[1]);
            EXPECT_TRUE(millis >= from && millis <= to) << line;
            line.replace(fields[0].size() + 1, fields[1].size(), "<millis>");
        }
        masked += line;
        start = end;
    }
    return masked;
}

using LogRecord = LoggerTest;

TEST_F(LogRecord, PrintsAndHandsOnRecordsAsTheGoldenSessionShows) {
    const uint64_t before = nowMillis();
    const Console logged = captureConsole(logFromOddlyNamedSource);
    const Console flushed = captureConsole([] { NorvaneLogger::flush(false, true); });
    NorvaneLogger::fileFd = -1;
    const std::string blocked = stdoutOf(logFromOddlyNamedSource);
    const uint64_t after = nowMillis();
    expectGolden("session.txt", "== standard output, the file sink writing there before init\n" +
                                    withMillisMasked(logged.out, before, after) +
                                    "== standard error until it is flushed\n" + logged.err +
                                    "== standard error after flush(false, true)\n" +
                                    withMillisMasked(flushed.err, before, after) +
                                    "== standard output again, the file sink unable to write\n" +
                                    withMillisMasked(blocked, before, after));
}

TEST_F(LogRecord, KeepsPercentSignsInTheFileNameLiteral) {
    const auto fields = recordFields(firstLine(stdoutOf(logFromOddlyNamedSource)));
    ASSERT_EQ(fields.size(), 6U);
    EXPECT_EQ(fields[2], "odd%s%n%d%%name.cpp");
    EXPECT_EQ(fields[3], "7");
}

struct LongRecord {
    const char* name;
    std::size_t excess;  // bytes beyond the longest record a sink keeps
};

class LongerRecord : public LoggerTest, public testing::WithParamInterface<LongRecord> {};

// The buffer is checked directly: with no log file the record stays there.
TEST_P(LongerRecord, KeepsItsLineFeedAndIsPrintedWholeOnTheConsole) {
    NorvaneLogger::fileFd = -1;
    const std::size_t prefixLength = firstLine(stdoutOf([] { logFromOneSite("x"); })).size() - 2;
    NorvaneLogger::reset();
    NorvaneLogger::fileFd = -1;
    const std::size_t longest = NorvaneLogger::kMaxRecordLength - prefixLength - 1;
    const std::string message(longest + GetParam().excess, 'y');

    const std::string printed = firstLine(stdoutOf([&] { logFromOneSite(message); }));
    const std::string held(NorvaneLogger::bufferFile, NorvaneLogger::bufferFileLen);

    EXPECT_EQ(printed.size(), prefixLength + message.size() + 1);
    EXPECT_TRUE(printed.ends_with("," + message + "\n"));
    EXPECT_EQ(held.size(), NorvaneLogger::kMaxRecordLength + 1U);
    EXPECT_TRUE(held.ends_with("," + std::string(longest, 'y') + "\n\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, LongerRecord,
    testing::Values(LongRecord{"OfTheLongestLengthASinkKeepsIsWrittenWhole", 0},
                    LongRecord{"LongerThanASinkKeepsIsCutAndStillEndsWithALineFeed", 1},
                    LongRecord{"FarBeyondTheWorkBufferIsCutButPrintedWholeOnTheConsole", 10000}),
    [](const auto& info) { return std::string(info.param.name); });

using LogCallDeathTest = LoggerTest;

TEST_F(LogCallDeathTest, AtLevelFiveHandlesTheRecordThenEndsWithStatusOne) {
    MemFile console;
    MemFile sink;
    EXPECT_EXIT(
        {
            dup2(console.fd(), STDOUT_FILENO);
            NorvaneLogger::fileFd = sink.fd();
            NorvaneLogger::log(5, "[fatal]", "giving up after %d tries", nullptr, 3);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_TRUE(sink.contents().ends_with(",giving up after 3 tries\n\n")) << sink.contents();
    EXPECT_TRUE(console.contents().starts_with("[fatal],")) << console.contents();
}

TEST_F(LogCallDeathTest, ThatCannotExpandItsMessageEndsWithStatusElevenAndSaysSo) {
    MemFile out;
    EXPECT_EXIT(
        {
            dup2(out.fd(), STDOUT_FILENO);
            NorvaneLogger::info("%ls", NorvaneLogger::Location::current(), L"\u0100");
        },
        testing::ExitedWithCode(11), "");
    EXPECT_TRUE(out.contents().ends_with("\n__logger sprintf returned < 0: errcode -1\n"))
        << out.contents();
}

}  // namespace
