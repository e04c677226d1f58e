// What one log call turns into: the CSV record, its console print and the
// ways a call can end the process.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <string>

#include "IsolatedRun.h"
#include "NorvaneLogger.h"
#include "OddlyNamedSource.h"

namespace {

uint64_t nowMillis() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

void reportBusLoad() {
    NorvaneLogger::info("%s carries %d nodes", NorvaneLogger::Location::current(), "bus 3", 7);
}

void reportWithoutArguments() {
    NorvaneLogger::info("no arguments");
}

TEST(LogRecord, HoldsTagMillisFileLineFunctionAndMessageSeparatedByCommas) {
    const uint64_t before = nowMillis();
    const ChildOutcome run = runIsolated(reportBusLoad);
    const uint64_t after = nowMillis();

    ASSERT_EQ(run.status, 0) << run.out;
    const std::string record = firstLine(run.out);
    ASSERT_EQ(record.back(), '\n');
    const auto fields = recordFields(record.substr(0, record.size() - 1));
    ASSERT_EQ(fields.size(), 6U) << record;
    EXPECT_EQ(fields[0], "[info]");
    const uint64_t millis = std::stoull(fields[1]);
    EXPECT_GE(millis, before);
    EXPECT_LE(millis, after);
    EXPECT_EQ(fields[2], __FILE__);
    EXPECT_GT(std::stoi(fields[3]), 0);
    EXPECT_NE(fields[4].find("reportBusLoad"), std::string::npos) << fields[4];
    EXPECT_EQ(fields[5], "bus 3 carries 7 nodes");
}

TEST(LogRecord, NamesTheSourceLineOfTheCall) {
    const ChildOutcome run = runIsolated([] {
        const NorvaneLogger::Location here = NorvaneLogger::Location::current();
        NorvaneLogger::info("where", here);
        std::printf("expected line %u\n", here.line());
    });
    ASSERT_EQ(run.status, 0) << run.out;
    const auto fields = recordFields(firstLine(run.out));
    const std::string tail = run.out.substr(run.out.rfind("expected line ") + 14);
    EXPECT_EQ(fields[3] + "\n", tail);
}

TEST(LogRecord, DefaultsTheLocationToTheCaller) {
    const ChildOutcome run = runIsolated(reportWithoutArguments);
    ASSERT_EQ(run.status, 0) << run.out;
    const auto fields = recordFields(firstLine(run.out));
    EXPECT_EQ(fields[2], __FILE__);
    EXPECT_NE(fields[4].find("reportWithoutArguments"), std::string::npos) << fields[4];
    EXPECT_EQ(fields[5], "no arguments\n");
}

TEST(LogRecord, WithoutALocationHasEmptyNamesAndLineZero) {
    const ChildOutcome run =
        runIsolated([] { NorvaneLogger::log(3, "[warn]", "%d%% done", nullptr, 50); });
    ASSERT_EQ(run.status, 0) << run.out;
    const auto fields = recordFields(firstLine(run.out));
    ASSERT_EQ(fields.size(), 6U);
    EXPECT_EQ(fields[0], "[warn]");
    EXPECT_EQ(fields[2], "");
    EXPECT_EQ(fields[3], "0");
    EXPECT_EQ(fields[4], "");
    EXPECT_EQ(fields[5], "50% done\n");
}

TEST(LogRecord, KeepsPercentSignsInTheFileNameLiteral) {
    const ChildOutcome run = runIsolated(logFromOddlyNamedSource);
    ASSERT_EQ(run.status, 0) << run.out;
    const auto fields = recordFields(firstLine(run.out));
    ASSERT_EQ(fields.size(), 6U) << run.out;
    EXPECT_EQ(fields[2], "odd%s%n%d%%name.cpp");
    EXPECT_EQ(fields[3], "7");
    EXPECT_EQ(fields[5], "still 42\n");
}

// Logs a probe to learn the prefix length of one call site, then logs from
// there a message that makes the record `excess` bytes longer than the
// longest record a sink keeps. The file sink writes to `sink`; the message
// length goes to standard error.
void logMessageBeyondTheLongestRecordBy(int excess, int sink) {
    const auto say = [](const std::string& message) {
        NorvaneLogger::info("%s", NorvaneLogger::Location::current(), message.c_str());
    };
    NorvaneLogger::fileFd = -1;
    say("probe");
    const int32_t prefixLength = NorvaneLogger::bufferFileLen - 2 - 5;
    const std::size_t messageLength = NorvaneLogger::kMaxRecordLength - prefixLength - 1 + excess;
    std::fprintf(stderr, "%zu", messageLength);
    NorvaneLogger::fileFd = sink;
    say(std::string(messageLength, 'y'));
    NorvaneLogger::flush(true, false);
}

// The second record that reached the sink, line feed included.
std::string secondRecord(const std::string& written) {
    const std::size_t start = written.find("\n\n") + 2;
    return written.substr(start, written.find("\n\n", start) + 1 - start);
}

TEST(LogRecord, OfTheLongestLengthASinkKeepsIsWrittenWhole) {
    MemFile sink;
    const ChildOutcome run = runIsolated([&] { logMessageBeyondTheLongestRecordBy(0, sink.fd()); });
    ASSERT_EQ(run.status, 0) << run.out.substr(0, 2000);
    const std::string record = secondRecord(sink.contents());
    EXPECT_EQ(record.size(), static_cast<std::size_t>(NorvaneLogger::kMaxRecordLength));
    EXPECT_TRUE(record.ends_with("," + std::string(std::stoul(run.err), 'y') + "\n"));
}

TEST(LogRecord, LongerThanASinkKeepsIsCutAndStillEndsWithALineFeed) {
    MemFile sink;
    const ChildOutcome run = runIsolated([&] { logMessageBeyondTheLongestRecordBy(1, sink.fd()); });
    ASSERT_EQ(run.status, 0) << run.out.substr(0, 2000);
    const std::string record = secondRecord(sink.contents());
    EXPECT_EQ(record.size(), static_cast<std::size_t>(NorvaneLogger::kMaxRecordLength));
    EXPECT_TRUE(record.ends_with("," + std::string(std::stoul(run.err) - 1, 'y') + "\n"));
}

TEST(LogRecord, FarBeyondTheWorkBufferIsCutButPrintedWholeOnTheConsole) {
    MemFile sink;
    const std::string message(10000, 'x');
    const ChildOutcome run = runIsolated([&] {
        NorvaneLogger::fileFd = sink.fd();
        NorvaneLogger::info("%s", NorvaneLogger::Location::current(), message.c_str());
        NorvaneLogger::info("after");
    });
    ASSERT_EQ(run.status, 0) << run.out.substr(0, 2000);

    const std::string written = sink.contents();
    const std::size_t end = written.find("\n\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(end + 1, static_cast<std::size_t>(NorvaneLogger::kMaxRecordLength));
    EXPECT_EQ(recordFields(written.substr(end + 2)).back(), "after\n\n");
    EXPECT_EQ(recordFields(firstLine(run.out)).back(), message + "\n");
}

TEST(LogCall, AtLevelFiveHandlesTheRecordThenEndsWithStatusOne) {
    const ChildOutcome run = runIsolated([] {
        NorvaneLogger::log(5, "[fatal]", "giving up after %d tries", nullptr, 3);
        std::printf("still running\n");
    });
    EXPECT_EQ(run.status, 1);
    const std::string record = firstLine(run.out);
    EXPECT_EQ(recordFields(record).back(), "giving up after 3 tries\n");
    EXPECT_NE(run.out.find(record + "\n"), std::string::npos) << "the file sink wrote it";
    EXPECT_EQ(run.out.find("still running"), std::string::npos);
}

TEST(LogCall, ThatCannotExpandItsMessageEndsWithStatusEleven) {
    const ChildOutcome run = runIsolated([] {
        NorvaneLogger::info("%ls", NorvaneLogger::Location::current(), L"\u0100");
        std::printf("still running\n");
    });
    EXPECT_EQ(run.status, 11);
    const std::string expected = "__logger sprintf returned < 0: errcode -1\n";
    ASSERT_GE(run.out.size(), expected.size());
    EXPECT_EQ(run.out.substr(run.out.size() - expected.size()), expected);
}

}  // namespace
