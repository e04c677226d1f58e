// How records travel through the file and standard-error sinks: levels,
// buffering, waiting records and partial writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <cstring>
#include <string>
#include <vector>

#include "IsolatedRun.h"
#include "NorvaneLogger.h"

namespace {

// What the file sink prints while it copies a record into an empty buffer.
const std::string kFirstCopyReport =
    "8192avalilableSpaceFile\n0NorvaneLogger::bufferFileLen\n0NorvaneLogger::bufferFileLen\n";

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

TEST(BeforeInit, AnInfoRecordAppearsTwiceOnStandardOutput) {
    const ChildOutcome run = runIsolated([] { NorvaneLogger::info("early %d", {}, 1); });
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string record = firstLine(run.out);
    EXPECT_EQ(recordFields(record).back(), "early 1\n");
    EXPECT_EQ(run.out, record + kFirstCopyReport + record + "\n");
    EXPECT_EQ(run.err, "");
}

TEST(BeforeInit, TheFileSinkReportsFreeSpaceAndHeldBytesForEachCopy) {
    const ChildOutcome run = runIsolated([] {
        NorvaneLogger::fileFd = -1;
        NorvaneLogger::info("one");
        NorvaneLogger::info("two");
    });
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string first = firstLine(run.out);
    const std::string afterFirst = run.out.substr(first.size() + kFirstCopyReport.size());
    const std::string second = firstLine(afterFirst);
    const std::string held = std::to_string(first.size() + 1);
    const std::string free = std::to_string(8192 - first.size() - 1);
    EXPECT_EQ(afterFirst, second + free + "avalilableSpaceFile\n" + held +
                              "NorvaneLogger::bufferFileLen\n" + held +
                              "NorvaneLogger::bufferFileLen\n");
}

TEST(SinkLevels, ALevelThreeRecordReachesBothSinks) {
    const ChildOutcome run = runIsolated([] {
        NorvaneLogger::log(3, "[info]", "three", nullptr);
        NorvaneLogger::flush(false, true);
    });
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string record = firstLine(run.out);
    EXPECT_EQ(run.out, record + kFirstCopyReport + record + "\n");
    EXPECT_EQ(run.err, record + "\n");
}

TEST(SinkLevels, ALevelTwoRecordReachesOnlyTheFileSink) {
    const ChildOutcome run = runIsolated([] {
        NorvaneLogger::log(2, "[debug]", "two", nullptr);
        NorvaneLogger::flush(false, true);
        EXPECT_TRUE(NorvaneLogger::stderrStack.empty());
    });
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string record = firstLine(run.out);
    EXPECT_EQ(run.out, record + kFirstCopyReport + record + "\n");
    EXPECT_EQ(run.err, "");
}

TEST(SinkLevels, ALevelOneRecordIsOnlyPrinted) {
    const ChildOutcome run = runIsolated([] {
        NorvaneLogger::log(1, "[trace]", "one", nullptr);
        NorvaneLogger::flush(true, true);
        EXPECT_TRUE(NorvaneLogger::fileStack.empty());
        EXPECT_TRUE(NorvaneLogger::stderrStack.empty());
    });
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(recordFields(run.out).back(), "one\n");
    EXPECT_EQ(run.err, "");
}

TEST(SinkLevels, ARaisedSinkLevelDropsRecordsTakenFromItsStack) {
    MemFile sink;
    const ChildOutcome run = runIsolated([&] {
        NorvaneLogger::fileFd = sink.fd();
        NorvaneLogger::fileStack.push_back({2, "dropped\n"});
        NorvaneLogger::fileStack.push_back({4, "kept\n"});
        NorvaneLogger::fileLevel = 3;
        NorvaneLogger::flush(true, false);
    });
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(sink.contents(), "kept\n\n");
}

TEST(StandardErrorSink, WritesNothingUntilAskedTo) {
    const ChildOutcome run = runIsolated([] {
        NorvaneLogger::info("held back");
        NorvaneLogger::info("held back too");
        EXPECT_GT(NorvaneLogger::bufferStderrLen, 0);
    });
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, "");
}

TEST(FullFileBuffer, KeepsARecordPendingThatWouldLeaveNoByteFree) {
    const ChildOutcome run = runIsolated([] {
        const auto say = [](const std::string& message) {
            NorvaneLogger::info("%s", NorvaneLogger::Location::current(), message.c_str());
        };
        NorvaneLogger::fileFd = -1;
        say("x");
        const int32_t prefixLength = NorvaneLogger::bufferFileLen - 2 - 1;
        const int32_t held = NorvaneLogger::bufferFileLen;
        say(std::string(NorvaneLogger::kBufferSize - held - 1 - prefixLength - 1, 'z'));
        EXPECT_EQ(NorvaneLogger::bufferFileLen, held) << "a record filling every byte waits";
        say("behind");
        EXPECT_EQ(NorvaneLogger::fileStack.size(), 1U);
        EXPECT_EQ(NorvaneLogger::bufferFileLen, held);
    });
    EXPECT_EQ(run.status, 0) << run.out.substr(0, 3000);
}

TEST(FullFileBuffer, AppendsARecordThatLeavesOneByteFree) {
    const ChildOutcome run = runIsolated([] {
        const auto say = [](const std::string& message) {
            NorvaneLogger::info("%s", NorvaneLogger::Location::current(), message.c_str());
        };
        NorvaneLogger::fileFd = -1;
        say("x");
        const int32_t prefixLength = NorvaneLogger::bufferFileLen - 2 - 1;
        const int32_t held = NorvaneLogger::bufferFileLen;
        say(std::string(NorvaneLogger::kBufferSize - held - 2 - prefixLength - 1, 'z'));
        EXPECT_EQ(NorvaneLogger::bufferFileLen, NorvaneLogger::kBufferSize - 1);
    });
    EXPECT_EQ(run.status, 0) << run.out.substr(0, 3000);
}

TEST(FullFileBuffer, WritesThePendingRecordFirstThenTheWaitingOnesNewestFirst) {
    MemFile sink;
    const ChildOutcome run = runIsolated([&] {
        NorvaneLogger::fileFd = -1;
        NorvaneLogger::info("%s", {}, std::string(3500, 'a').c_str());
        NorvaneLogger::info("%s", {}, std::string(3500, 'b').c_str());
        NorvaneLogger::info("%s", {}, std::string(1500, 'c').c_str());
        NorvaneLogger::info("d");
        NorvaneLogger::info("e");
        NorvaneLogger::info("f");
        EXPECT_EQ(NorvaneLogger::fileStack.size(), 3U);
        NorvaneLogger::fileFd = sink.fd();
        NorvaneLogger::flush(true, false);
        NorvaneLogger::flush(true, false);
    });
    ASSERT_EQ(run.status, 0) << run.out.substr(0, 3000);
    std::vector<std::string> firstLetters;
    for (const std::string& message : messagesIn(sink.contents())) {
        firstLetters.push_back(message.substr(0, 1));
    }
    EXPECT_EQ(firstLetters, (std::vector<std::string>{"a", "b", "c", "f", "e", "d"}));
}

TEST(RecordStacks, KeepOnlyTheNewestThousandRecordsWhileASinkIsBlocked) {
    const ChildOutcome run = runIsolated([] {
        NorvaneLogger::fileFd = -1;
        for (int i = 0; i < 1500; ++i) {
            NorvaneLogger::info("record %d", {}, i);
        }
        for (const auto* stack : {&NorvaneLogger::fileStack, &NorvaneLogger::stderrStack}) {
            ASSERT_EQ(stack->size(), NorvaneLogger::kMaxStackRecords);
            EXPECT_EQ(recordFields(stack->back().second).back(), "record 1499\n");
            EXPECT_EQ(recordFields(stack->front().second).back(), "record 500\n");
        }
    });
    EXPECT_EQ(run.status, 0) << run.out.substr(run.out.size() - 3000);
}

// Fills the file buffer with records that cannot be written yet.
void fillFileBufferWhileBlocked(int records) {
    NorvaneLogger::fileFd = -1;
    for (int i = 0; i < records; ++i) {
        NorvaneLogger::info("%d%s", {}, i, std::string(1000, 'p').c_str());
    }
}

TEST(ShortWrite, LeavesTheUnwrittenRemainderAtTheFrontOfTheBuffer) {
    const ChildOutcome run = runIsolated([] {
        fillFileBufferWhileBlocked(6);
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
    });
    EXPECT_EQ(run.status, 0) << run.out.substr(run.out.size() - 3000);
}

TEST(FailedWrite, RemovesNothingFromTheBuffer) {
    const ChildOutcome run = runIsolated([] {
        fillFileBufferWhileBlocked(2);
        const int32_t held = NorvaneLogger::bufferFileLen;
        NorvaneLogger::flush(true, false);
        EXPECT_EQ(NorvaneLogger::bufferFileLen, held);
    });
    EXPECT_EQ(run.status, 0) << run.out.substr(run.out.size() - 3000);
}

// A FIFO at the log path: the scenario ends in a few seconds at most, so that a blocked open or
// write shows as a failure instead of a hang.
void withFifoLog(const std::function<void(const std::string& fifo)>& scenario, ChildOutcome& run) {
    const TempDir logDir;
    const std::string fifo = (logDir.path() / "NorvaneLogger.logs").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    run = runIsolated([&] {
        alarm(5);
        NorvaneLogger::logDir = logDir.withSlash();
        scenario(fifo);
    });
}

TEST(FifoLog, WithoutAReaderLeavesInitUnblockedAndTheRecordsWaiting) {
    ChildOutcome run;
    withFifoLog(
        [](const std::string&) {
            NorvaneLogger::init();
            EXPECT_LT(NorvaneLogger::fileFd, 0);
            EXPECT_EQ(NorvaneLogger::fileStack.size() + (NorvaneLogger::bufferFileLen > 0), 1u);
        },
        run);
    EXPECT_EQ(run.status, 0) << run.out;
}

TEST(FifoLog, WhoseReaderWentAwayMakesAFailedWriteNotAKilledProcess) {
    ChildOutcome run;
    withFifoLog(
        [](const std::string& fifo) {
            const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            NorvaneLogger::init();
            close(reader);
            NorvaneLogger::info("after the reader left");
            EXPECT_GT(NorvaneLogger::bufferFileLen, 0);
        },
        run);
    EXPECT_EQ(run.status, 0) << run.out;
}

TEST(DroppedRecords, AreCountedInARecordBeforeTheNextRecordThatReachesTheSink) {
    const MemFile file;
    const ChildOutcome run = runIsolated([&] {
        NorvaneLogger::fileFd = -1;
        for (int i = 0; i < 1500; ++i) {
            NorvaneLogger::info("waiting %d", {}, i);
        }
        NorvaneLogger::fileFd = file.fd();
        NorvaneLogger::info("next");
        NorvaneLogger::info("final");
    });
    ASSERT_EQ(run.status, 0);
    const std::vector<std::string> messages = messagesIn(file.contents());
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
