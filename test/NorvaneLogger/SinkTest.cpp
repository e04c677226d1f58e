// How records travel through the file and standard-error sinks: levels,
// buffering, waiting records and partial writes. The console output of the
// sinks is pinned by the golden session in RecordTest.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LoggerTest.h"

namespace {

// The message fields of the records in a sink's output, in order.
std::vector<std::string> messagesIn(const std::string& written) {
    std::vector<std::string> messages;
    for (std::size_t start = 0; start < written.size();) {
        const std::size_t end = written.find("\n\n", start);
        messages.push_back(recordFields(written.substr(start, end - start)).back());
        start = end + 2;
    }
    return messages;
}

// Fills the file buffer with records that cannot be written yet.
void fillFileBufferWhileBlocked(int records) {
    NorvaneLogger::fileFd = -1;
    for (int i = 0; i < records; ++i) {
        NorvaneLogger::info("%d%s", {}, i, std::string(1000, 'p').c_str());
    }
}

using SinkLevels = LoggerTest;

TEST_F(SinkLevels, ARaisedSinkLevelDropsRecordsTakenFromItsStack) {
    MemFile sink;
    NorvaneLogger::fileFd = dup(sink.fd());
    NorvaneLogger::fileStack.push_back({2, "dropped\n"});
    NorvaneLogger::fileStack.push_back({4, "kept\n"});
    NorvaneLogger::fileLevel = 3;
    stdoutOf([] { NorvaneLogger::flush(true, false); });
    EXPECT_EQ(sink.contents(), "kept\n\n");
}

// After a first record, logs one whose copy in the file buffer (line feed
// added) would leave `free` bytes unused; returns what the first one left held.
int32_t logLeavingFree(int32_t free) {
    NorvaneLogger::fileFd = -1;
    logFromOneSite("x");
    const int32_t held = NorvaneLogger::bufferFileLen;
    const int32_t prefixLength = held - 3;  // "x", its line feed and the one added
    logFromOneSite(std::string(NorvaneLogger::kBufferSize - held - free - prefixLength - 2, 'z'));
    return held;
}

using FullFileBuffer = LoggerTest;

TEST_F(FullFileBuffer, AppendsARecordThatLeavesOneByteFree) {
    stdoutOf([] { logLeavingFree(1); });
    EXPECT_EQ(NorvaneLogger::bufferFileLen, NorvaneLogger::kBufferSize - 1);
}

TEST_F(FullFileBuffer, KeepsARecordPendingThatWouldLeaveNoByteFree) {
    int32_t held = 0;
    stdoutOf([&] {
        held = logLeavingFree(0);
        logFromOneSite("behind");
    });
    EXPECT_EQ(NorvaneLogger::bufferFileLen, held);
    EXPECT_EQ(NorvaneLogger::fileStack.size(), 1U) << "the pending record is off the stack";
}

TEST_F(FullFileBuffer, WritesThePendingRecordFirstThenTheWaitingOnesNewestFirst) {
    MemFile sink;
    stdoutOf([&] {
        NorvaneLogger::fileFd = -1;
        for (const char* message : {"a", "b", "c", "d", "e", "f"}) {
            const std::size_t size = message[0] < 'c' ? 3500 : message[0] == 'c' ? 1500 : 1;
            NorvaneLogger::info("%s", {}, std::string(size, message[0]).c_str());
        }
        EXPECT_EQ(NorvaneLogger::fileStack.size(), 3U);
        NorvaneLogger::fileFd = dup(sink.fd());
        NorvaneLogger::flush(true, false);
        NorvaneLogger::flush(true, false);
    });
    std::string firstLetters;
    for (const std::string& message : messagesIn(sink.contents())) {
        firstLetters += message.front();
    }
    EXPECT_EQ(firstLetters, "abcfed");
}

using RecordStacks = LoggerTest;

TEST_F(RecordStacks, KeepOnlyTheNewestThousandRecordsWhileASinkIsBlocked) {
    stdoutOf([] {
        NorvaneLogger::fileFd = -1;
        for (int i = 0; i < 1500; ++i) {
            NorvaneLogger::info("record %d", {}, i);
        }
    });
    for (const auto* stack : {&NorvaneLogger::fileStack, &NorvaneLogger::stderrStack}) {
        ASSERT_EQ(stack->size(), NorvaneLogger::kMaxStackRecords);
        EXPECT_EQ(recordFields(stack->back().second).back(), "record 1499\n");
        EXPECT_EQ(recordFields(stack->front().second).back(), "record 500\n");
    }
}

using FileWrite = LoggerTest;

TEST_F(FileWrite, ThatIsShortLeavesTheUnwrittenRemainderAtTheFrontOfTheBuffer) {
    stdoutOf([] { fillFileBufferWhileBlocked(6); });
    const std::string held(NorvaneLogger::bufferFile, NorvaneLogger::bufferFileLen);
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_NONBLOCK), 0);
    const int capacity = fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096);
    ASSERT_LT(capacity, static_cast<int>(held.size()));

    NorvaneLogger::fileFd = pipeEnds[1];
    NorvaneLogger::flush(true, false);
    ASSERT_EQ(NorvaneLogger::bufferFileLen, static_cast<int32_t>(held.size()) - capacity);
    EXPECT_EQ(std::string(NorvaneLogger::bufferFile, NorvaneLogger::bufferFileLen),
              held.substr(capacity));

    std::string drained(held.size(), '\0');
    ASSERT_EQ(read(pipeEnds[0], drained.data(), drained.size()), capacity);
    NorvaneLogger::flush(true, false);
    EXPECT_EQ(NorvaneLogger::bufferFileLen, 0);
    const ssize_t rest = read(pipeEnds[0], drained.data() + capacity, held.size() - capacity);
    EXPECT_EQ(drained.substr(0, capacity + rest), held);
    close(pipeEnds[0]);
}

TEST_F(FileWrite, ThatFailsRemovesNothingFromTheBuffer) {
    stdoutOf([] { fillFileBufferWhileBlocked(2); });
    const int32_t held = NorvaneLogger::bufferFileLen;
    NorvaneLogger::flush(true, false);
    EXPECT_EQ(NorvaneLogger::bufferFileLen, held);
}

// A FIFO at the log path. An open or a write that blocks ends the test through the alarm
// instead of hanging it.
using FifoLog = LoggerTest;

std::string fifoLogIn(const TempDir& dir) {
    const std::string fifo = (dir.path() / "NorvaneLogger.logs").string();
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    NorvaneLogger::logDir = dir.withSlash();
    alarm(5);
    return fifo;
}

TEST_F(FifoLog, WithoutAReaderLeavesInitUnblockedAndTheRecordWaiting) {
    const TempDir dir;
    fifoLogIn(dir);
    stdoutOf([] { NorvaneLogger::init(); });
    alarm(0);
    EXPECT_LT(NorvaneLogger::fileFd, 0);
    EXPECT_GT(NorvaneLogger::bufferFileLen, 0);
}

TEST_F(FifoLog, WhoseReaderWentAwayMakesAFailedWriteNotAKilledProcess) {
    const TempDir dir;
    const int reader = open(fifoLogIn(dir).c_str(), O_RDONLY | O_NONBLOCK);
    stdoutOf([&] {
        NorvaneLogger::init();
        close(reader);
        NorvaneLogger::info("after the reader left");
    });
    alarm(0);
    EXPECT_GT(NorvaneLogger::bufferFileLen, 0);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

using DroppedRecords = LoggerTest;

TEST_F(DroppedRecords, AreCountedInARecordBeforeTheNextRecordThatReachesTheSink) {
    MemFile sink;
    stdoutOf([&] {
        NorvaneLogger::fileFd = -1;
        for (int i = 0; i < 1500; ++i) {
            NorvaneLogger::info("waiting %d", {}, i);
        }
        NorvaneLogger::fileFd = dup(sink.fd());
        NorvaneLogger::info("next");
        NorvaneLogger::info("final");
    });
    const std::vector<std::string> messages = messagesIn(sink.contents());
    const auto notice = std::find_if(messages.begin(), messages.end(), [](const std::string& m) {
        return m.rfind("NorvaneLogger dropped ", 0) == 0;
    });
    ASSERT_NE(notice, messages.end());
    // Of the 1502 records, those before the notice were in the buffer or pending, 1000 waited
    // on the stack, and the rest were dropped.
    const auto kept = static_cast<int>(notice - messages.begin()) + 1000;
    EXPECT_EQ(*notice, "NorvaneLogger dropped " + std::to_string(1502 - kept) + " records");
    ASSERT_NE(notice + 1, messages.end());
    EXPECT_EQ(*(notice + 1), "final");
}

}  // namespace
