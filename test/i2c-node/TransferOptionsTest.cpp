#include <algorithm>
#include <utility>

#include "FileTransferSupport.h"

using bed::Fault;
using Progress = std::vector<std::pair<uint64_t, uint64_t>>;

class TransferOptionsTest : public FileTransferTest {
  protected:
    // Options that record every progress report.
    TransferOptions recording() {
        TransferOptions options;
        options.progress = [this](uint64_t done, uint64_t total) {
            progress_.emplace_back(done, total);
        };
        return options;
    }

    int32_t put(const TransferOptions& options) {
        int32_t status = -1;
        stdoutOf([&] { status = node().sendFile(local("out.bin"), "log.txt", options); });
        return status;
    }

    int32_t get(const TransferOptions& options) {
        int32_t status = -1;
        stdoutOf([&] { status = node().getFile("log.txt", local("copy.bin"), options); });
        return status;
    }

    Progress progress_;
};

TEST_F(TransferOptionsTest, ASendReportsProgressAfterTheStartAndEachChunk) {
    writeLocal("out.bin", pattern(2000));
    EXPECT_EQ(put(recording()), 0);
    EXPECT_EQ(progress_, (Progress{{0, 2000}, {800, 2000}, {1600, 2000}, {2000, 2000}}));
}

TEST_F(TransferOptionsTest, AFetchReportsProgressAfterTheStartAndEachChunk) {
    sim().putFile("log.txt", pattern(1000));
    EXPECT_EQ(get(recording()), 0);
    EXPECT_EQ(progress_, (Progress{{0, 1000}, {800, 1000}, {1000, 1000}}));
}

// A chunk exchange that fails on the bus, in either direction, and how many repeats it takes.
struct RetryCase {
    const char* name;
    bool send;
    bed::FaultRule fault;
    uint32_t retries;
    int32_t status;
    std::vector<uint32_t> offsets;
    // Start, chunk and end replies, and one before each repeat.
    size_t secondWaits;
};

void PrintTo(const RetryCase& row, std::ostream* out) {
    *out << row.name;
}

class ChunkRetries : public TransferOptionsTest, public testing::WithParamInterface<RetryCase> {};

TEST_P(ChunkRetries, RepeatOnlyBusFailuresAfterTheChunkWaitAndStillMoveTheWholeFile) {
    const RetryCase& row = GetParam();
    const bed::Bytes content = pattern(2000);
    writeLocal("out.bin", content);
    sim().putFile("log.txt", content);
    sim().inject(row.fault);
    TransferOptions options;
    options.retries = row.retries;

    EXPECT_EQ(row.send ? put(options) : get(options), row.status);

    EXPECT_EQ(lastTransfer().chunkOffsets, row.offsets);
    const std::vector<uint64_t> all = waits();
    EXPECT_EQ(static_cast<size_t>(std::count(all.begin(), all.end(), kSecondUs)), row.secondWaits);
    if (row.status == 0) {
        EXPECT_EQ(row.send ? sim().file("log.txt")->content : readLocal(local("copy.bin")),
                  content);
    }
}

bed::FaultRule chunkFault(Fault fault, uint8_t opcode, unsigned skip,
                          bed::Persist persist = bed::Persist::Once) {
    return {.fault = fault, .opcode = opcode, .subop = kChunkOp, .persist = persist, .skip = skip};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChunkRetries,
    testing::Values(
        RetryCase{"UnansweredFetchChunk", false, chunkFault(Fault::NoAnswer, kGetOp, 1), 1, 0,
                  {0, 800, 800, 1600}, 7},
        // The node never saw the chunk whose write failed; no reply was waited for.
        RetryCase{"RefusedSendChunkWrite", true, chunkFault(Fault::RefuseWrite, kSendOp, 1), 1, 0,
                  {0, 800, 1600}, 6},
        RetryCase{"DamagedSendChunkReply", true, chunkFault(Fault::BadCrc, kSendOp, 2), 3, 0,
                  {0, 800, 1600, 1600}, 7},
        RetryCase{"NoRetriesByDefault", false, chunkFault(Fault::NoAnswer, kGetOp, 1), 0, 10,
                  {0, 800}, 3},
        RetryCase{"RetriesRunOut", false,
                  chunkFault(Fault::NoAnswer, kGetOp, 1, bed::Persist::Always), 2, 10,
                  {0, 800, 800, 800}, 7},
        RetryCase{"ARefusalIsNotRepeated", false, chunkFault(Fault::NotOk, kGetOp, 1), 3, 11,
                  {0, 800}, 3}),
    [](const testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.name); });

class ResumedFetch : public TransferOptionsTest {
  protected:
    TransferOptions resuming() {
        TransferOptions options = recording();
        options.resume = true;
        return options;
    }
    std::string part() { return local("copy.bin.part"); }
};

TEST_F(ResumedFetch, KeepsWhatArrivedAndContinuesFromItsLength) {
    const bed::Bytes content = pattern(2000);
    sim().putFile("log.txt", content);
    writeLocal("copy.bin", pattern(50, 9));
    sim().inject(chunkFault(Fault::NoAnswer, kGetOp, 1));
    EXPECT_EQ(get(resuming()), 10);
    EXPECT_EQ(readLocal(part()), bed::Bytes(content.begin(), content.begin() + 800));
    EXPECT_EQ(readLocal(local("copy.bin")), pattern(50, 9));

    progress_.clear();
    EXPECT_EQ(get(resuming()), 0);

    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{800, 1600}));
    EXPECT_EQ(progress_, (Progress{{800, 2000}, {1600, 2000}, {2000, 2000}}));
    EXPECT_EQ(readLocal(local("copy.bin")), content);
    EXPECT_FALSE(std::filesystem::exists(part()));
}

TEST_F(ResumedFetch, StartsAgainFromZeroWhenThePartialFileIsLongerThanTheFile) {
    sim().putFile("log.txt", pattern(1000));
    writeLocal("copy.bin.part", pattern(1500, 4));
    EXPECT_EQ(get(resuming()), 0);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 800}));
    EXPECT_EQ(readLocal(local("copy.bin")), pattern(1000));
}

TEST_F(ResumedFetch, DropsAPartialFileWhoseWholeDigestDiffers) {
    sim().putFile("log.txt", pattern(2000));
    writeLocal("copy.bin", pattern(50, 9));
    writeLocal("copy.bin.part", pattern(800, 4));
    EXPECT_EQ(get(resuming()), 1);
    EXPECT_FALSE(std::filesystem::exists(part()));
    EXPECT_EQ(readLocal(local("copy.bin")), pattern(50, 9));
}
