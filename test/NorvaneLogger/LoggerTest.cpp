// The logger in-process: records and their console print, the file and standard-error
// sinks, and init's checks. Each case starts from the state at program start.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "Console.h"
#include "Golden.h"
#include "NorvaneLogger.h"
#include "RecordText.h"
#include "TempFiles.h"

// Logs from lines 7 to 11 of "odd%s%n%d%%name.cpp" (the end of this file): "still 42" and
// "no arguments" (level 3), "50% done" (level 3, no location), "file only" (level 2) and
// "printed only" (level 1).
void logFromOddlyNamedSource();

namespace {

using NL = NorvaneLogger;

class Logger : public testing::Test {
  protected:
    void SetUp() override { NL::reset(); }
    void TearDown() override { NL::reset(); }
};

void logFromOneSite(const std::string& message) {
    NL::info("%s", NL::Location::current(), message.c_str());
}

uint64_t nowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Each record line's millis field, checked to lie within [from, to], becomes "<millis>".
std::string withMillisMasked(const std::string& text, uint64_t from, uint64_t to) {
    const std::regex record("(^|\n)(\\[[a-z]+\\]),([0-9]+),");
    for (std::sregex_iterator it(text.begin(), text.end(), record), end; it != end; ++it) {
        EXPECT_TRUE(std::stoull((*it)[3]) >= from && std::stoull((*it)[3]) <= to) << (*it)[0];
    }
    return std::regex_replace(text, record, "$1$2,<millis>,");
}

TEST_F(Logger, PrintsAndHandsOnRecordsAsTheGoldenSessionShows) {
    const uint64_t before = nowMillis();
    const Console logged = captureConsole(logFromOddlyNamedSource);
    const Console flushed = captureConsole([] { NL::flush(false, true); });
    NL::fileFd = -1;
    const std::string blocked = stdoutOf(logFromOddlyNamedSource);
    const uint64_t after = nowMillis();
    expectGolden(
        "session.txt",
        withMillisMasked("== standard output, the file sink writing there before init\n" +
                             logged.out + "== standard error until it is flushed\n" + logged.err +
                             "== standard error after flush(false, true)\n" + flushed.err +
                             "== standard output again, the file sink unable to write\n" + blocked,
                         before, after));
}

// Bytes beyond the longest record a sink keeps; the buffer is read directly, with no log file.
class LongerRecord : public Logger, public testing::WithParamInterface<std::size_t> {};

TEST_P(LongerRecord, KeepsItsLineFeedAndIsPrintedWholeOnTheConsole) {
    NL::fileFd = -1;
    const std::size_t prefixLength = firstLine(stdoutOf([] { logFromOneSite("x"); })).size() - 2;
    NL::reset();
    NL::fileFd = -1;
    const std::size_t longest = NL::kMaxRecordLength - prefixLength - 1;
    const std::string message(longest + GetParam(), 'y');
    const std::string printed = firstLine(stdoutOf([&] { logFromOneSite(message); }));
    const std::string held(NL::bufferFile, NL::bufferFileLen);
    EXPECT_EQ(printed.size(), prefixLength + message.size() + 1);
    EXPECT_TRUE(printed.ends_with("," + message + "\n"));
    EXPECT_EQ(held.size(), NL::kMaxRecordLength + 1U);
    EXPECT_TRUE(held.ends_with("," + std::string(longest, 'y') + "\n\n"));
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongerRecord, testing::Values(0, 1, 10000), [](const auto& info) {
    return std::string(info.index == 0 ? "OfTheLongestLengthASinkKeepsIsWrittenWhole"
                       : info.index == 1
                           ? "LongerThanASinkKeepsIsCutAndStillEndsWithALineFeed"
                           : "FarBeyondTheWorkBufferIsCutButPrintedWholeOnTheConsole");
});

TEST_F(Logger, AtLevelFiveHandlesTheRecordThenEndsWithStatusOneOrElevenWhenItCannotExpand) {
    MemFile console, sink, failure;
    EXPECT_EXIT(
        {
            dup2(console.fd(), STDOUT_FILENO);
            NL::fileFd = sink.fd();
            NL::log(5, "[fatal]", "giving up after %d tries", nullptr, 3);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_TRUE(sink.contents().ends_with(",giving up after 3 tries\n\n")) << sink.contents();
    EXPECT_TRUE(console.contents().starts_with("[fatal],")) << console.contents();
    EXPECT_EXIT(
        {
            dup2(failure.fd(), STDOUT_FILENO);
            NL::info("%ls", NL::Location::current(), L"\u0100");
        },
        testing::ExitedWithCode(11), "");
    EXPECT_TRUE(failure.contents().ends_with("\n__logger sprintf returned < 0: errcode -1\n"));
}

// --- Sinks: levels, buffering, waiting records and partial writes.

// The message fields of the records in a sink's output, in order.
std::vector<std::string> messagesIn(const std::string& written) {
    std::vector<std::string> messages;
    for (std::size_t start = 0, end; start < written.size(); start = end + 2) {
        end = written.find("\n\n", start);
        messages.push_back(recordFields(written.substr(start, end - start)).back());
    }
    return messages;
}

void logWhileBlocked(int records, const char* format = "record %d") {
    NL::fileFd = -1;
    for (int i = 0; i < records; ++i) NL::info(format, {}, i, std::string(1000, 'p').c_str());
}

TEST_F(Logger, ARaisedSinkLevelDropsRecordsTakenFromItsStack) {
    MemFile sink;
    NL::fileFd = dup(sink.fd());
    NL::fileStack = {{2, "dropped\n"}, {4, "kept\n"}};
    NL::fileLevel = 3;
    stdoutOf([] { NL::flush(true, false); });
    EXPECT_EQ(sink.contents(), "kept\n\n");
}

// After a first record, logs one whose copy in the file buffer (line feed added) would leave
// `free` bytes unused, then one more; returns what the first one left held.
int32_t logLeavingFree(int32_t free) {
    NL::reset();
    NL::fileFd = -1;
    int32_t held = 0;
    stdoutOf([&] {
        logFromOneSite("x");
        held = NL::bufferFileLen;  // the prefix, "x", its line feed and the one added
        logFromOneSite(std::string(NL::kBufferSize - 2 * held - free + 1, 'z'));
        if (free == 0) logFromOneSite("behind");
    });
    return held;
}

TEST_F(Logger, FullFileBufferTakesARecordLeavingOneByteFreeAndKeepsOneLeavingNonePending) {
    logLeavingFree(1);
    EXPECT_EQ(NL::bufferFileLen, NL::kBufferSize - 1);
    const int32_t held = logLeavingFree(0);
    EXPECT_EQ(NL::bufferFileLen, held);
    EXPECT_EQ(NL::fileStack.size(), 1U) << "the pending record is off the stack";
}

TEST_F(Logger, FullFileBufferWritesThePendingRecordFirstThenTheWaitingOnesNewestFirst) {
    MemFile sink;
    stdoutOf([&] {
        NL::fileFd = -1;
        for (const std::string size_letter : {"3500a", "3500b", "1500c", "1d", "1e", "1f"}) {
            NL::info("%s", {}, std::string(std::stoul(size_letter), size_letter.back()).c_str());
        }
        EXPECT_EQ(NL::fileStack.size(), 3U);
        NL::fileFd = dup(sink.fd());
        NL::flush(true, false);
        NL::flush(true, false);
    });
    std::string firstLetters;
    for (const std::string& message : messagesIn(sink.contents())) firstLetters += message[0];
    EXPECT_EQ(firstLetters, "abcfed");
}

// Of the 1502 records, those before the notice were in the buffer or pending, 1000 waited on
// the stack, and the rest were dropped.
TEST_F(Logger, StacksKeepTheNewestThousandRecordsAndCountTheDroppedOnesBeforeTheNextRecord) {
    MemFile sink;
    stdoutOf([&] { logWhileBlocked(1500, "record %d%.0s"); });
    for (const auto* stack : {&NL::fileStack, &NL::stderrStack}) {
        ASSERT_EQ(stack->size(), NL::kMaxStackRecords);
        EXPECT_EQ(recordFields(stack->back().second).back(), "record 1499\n");
        EXPECT_EQ(recordFields(stack->front().second).back(), "record 500\n");
    }
    NL::fileFd = dup(sink.fd());
    stdoutOf([] { NL::info("next"), NL::info("final"); });
    const std::vector<std::string> messages = messagesIn(sink.contents());
    const auto notice = std::find_if(messages.begin(), messages.end(), [](const auto& m) {
        return m.starts_with("NorvaneLogger dropped ");
    });
    ASSERT_LT(notice + 1, messages.end());
    const auto kept = static_cast<int>(notice - messages.begin()) + 1000;
    EXPECT_EQ(*notice, "NorvaneLogger dropped " + std::to_string(1502 - kept) + " records");
    EXPECT_EQ(*(notice + 1), "final");
}

TEST_F(Logger, AShortFileWriteLeavesTheRemainderAtTheFrontAndAFailedOneRemovesNothing) {
    stdoutOf([] { logWhileBlocked(6, "%d%s"); });
    const std::string held(NL::bufferFile, NL::bufferFileLen);
    NL::flush(true, false);
    ASSERT_EQ(NL::bufferFileLen, static_cast<int32_t>(held.size())) << "failed write";
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    const int capacity = fcntl(ends[1], F_SETPIPE_SZ, 4096);
    ASSERT_LT(capacity, static_cast<int>(held.size()));
    NL::fileFd = ends[1];
    NL::flush(true, false);
    EXPECT_EQ(std::string(NL::bufferFile, NL::bufferFileLen), held.substr(capacity));
    std::string drained(held.size(), '\0');
    ASSERT_EQ(read(ends[0], drained.data(), drained.size()), capacity);
    NL::flush(true, false);
    EXPECT_EQ(NL::bufferFileLen, 0);
    const ssize_t rest = read(ends[0], drained.data() + capacity, held.size() - capacity);
    EXPECT_EQ(drained.substr(0, capacity + rest), held);
    close(ends[0]);
}

// A FIFO at the log path: without a reader init stays unblocked and the record waits; a reader
// that went away makes a failed write, not a killed process. An open or a write that blocks
// ends the test through the alarm instead of hanging it.
TEST_F(Logger, FifoLogNeverBlocksNorKillsTheProcess) {
    const TempDir dir;
    const std::string fifo = (dir.path() / "NorvaneLogger.logs").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    NL::logDir = dir.withSlash();
    alarm(5);
    stdoutOf([] { NL::init(); });
    EXPECT_LT(NL::fileFd, 0);
    EXPECT_GT(NL::bufferFileLen, 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    stdoutOf([&] {
        NL::init();
        close(reader);
        NL::info("after the reader left");
    });
    alarm(0);
    EXPECT_GE(NL::fileFd, 0);
    EXPECT_GT(NL::bufferFileLen, 0);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

// --- Init: its checks, its refusals and the log file, in a directory holding an empty log.

class Init : public Logger {
  protected:
    void SetUp() override {
        Logger::SetUp();
        writeFile(logFile(), "");
        NL::logDir = _dir.withSlash();
    }
    std::filesystem::path logFile() const { return _dir.path() / "NorvaneLogger.logs"; }

  private:
    TempDir _dir;
};

// Each setting around its bounds, the order of the checks and the file stack's size. A full
// stack drops its oldest record for init's, and the log file then opens with the record that
// counts it; a refused init writes no record, leaves records going to standard output and
// refuses every later init.
TEST_F(Init, DecidesOnItsSettingsAsTheGoldenListShows) {
    std::string decisions;
    const auto decide = [&](const std::string& change, auto apply) {
        NL::reset();
        NL::logDir = logFile().parent_path().string() + "/";
        writeFile(logFile(), "");
        const Console console = captureConsole([&] {
            apply();
            NL::init();
        });
        const bool refused = !console.err.empty();
        EXPECT_EQ(refused ? NL::fileFd : STDOUT_FILENO, STDOUT_FILENO) << change;
        decisions += change + ": " + (refused ? console.err : "accepted\n");
        EXPECT_EQ(NL::getError(), refused ? 1 : 0) << change;
        const std::string logged = readFile(logFile());
        EXPECT_EQ(refused ? console.out + logged : "", "") << change;
        EXPECT_TRUE(refused || logged.find(firstLine(console.out) + "\n") != std::string::npos);
    };
    for (const auto& [name, setting] :
         {std::pair{"A", &NL::settingA}, {"B", &NL::settingB}, {"C", &NL::settingC}}) {
        for (int32_t value : {0, 1, 4, 5, 100, 101, 10080, 10081, 1048576, 1048577}) {
            decide(name + ("=" + std::to_string(value)), [&] { *setting = value; });
        }
    }
    decide("B=0 C=0", [] { NL::settingB = NL::settingC = 0; });
    decide("A=4, init, A=100", [] {
        NL::settingA = 4;
        NL::init();
        NL::settingA = 100;
    });
    for (std::size_t records : {1000, 1001}) {
        decide(std::to_string(records) + " on the file stack", [&] {
            NL::fileStack.assign(records, {2, "w\n"});
        });
    }
    expectGolden("init.txt", decisions);
}

// The first record's fields are pinned by the program's own test. A missing log file is
// neither created nor reported; the record waits in the file buffer.
TEST_F(Init, AppendsItsFirstRecordToTheLogFileAtOnceButNeverCreatesAMissingOne) {
    writeFile(logFile(), "an earlier run\n");
    const Console console = captureConsole(NL::init);
    const std::string record = firstLine(console.out);
    EXPECT_EQ(readFile(logFile()), "an earlier run\n" + record + "\n");
    EXPECT_EQ(captureConsole([] { NL::flush(false, true); }).err, record + "\n");
    std::filesystem::remove(logFile());
    NL::reset();
    NL::logDir = logFile().parent_path().string() + "/";
    EXPECT_EQ(console.err + captureConsole(NL::init).err, "");
    EXPECT_EQ(NL::getError(), 0);
    EXPECT_FALSE(std::filesystem::exists(logFile()));
    EXPECT_GT(NL::bufferFileLen, 0);
}

TEST_F(Init, RepeatedClosesTheEarlierLogDescriptorButNeverTheStandardStreams) {
    const std::string record = firstLine(stdoutOf(NL::init));
    const int earlier = NL::fileFd;
    ASSERT_GT(earlier, STDERR_FILENO);
    stdoutOf(NL::init);
    EXPECT_NE(NL::fileFd, earlier);
    errno = 0;
    EXPECT_EQ(fcntl(earlier, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(readFile(logFile()).size(), 2 * (record.size() + 1));
    for (int standard : {STDIN_FILENO, STDERR_FILENO}) {
        ::close(NL::fileFd);
        NL::fileFd = standard;
        stdoutOf(NL::init);
    }
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << "descriptor " << fd;
    }
}

}  // namespace

void logFromOddlyNamedSource() {
#line 7 "odd%s%n%d%%name.cpp"
    NorvaneLogger::info("still %d", NorvaneLogger::Location::current(), 42);
    NorvaneLogger::info("no arguments");
    NorvaneLogger::log(3, "[warn]", "%d%% done", nullptr, 50);
    NorvaneLogger::log(2, "[debug]", "file only", nullptr);
    NorvaneLogger::log(1, "[trace]", "printed only", nullptr);
}
