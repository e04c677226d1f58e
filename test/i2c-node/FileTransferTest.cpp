#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "Golden.h"
#include "NodeTestSupport.h"

using enum bed::Fault;
using Kinds = std::vector<std::string>;

class FileTransfer : public NodeTest {};

// Files of every size go in 800-byte chunks, the last sent filled with zeros, arrive whole,
// and report their progress after the start and after each chunk.
class FileSizes : public FileTransfer, public testing::WithParamInterface<size_t> {};

TEST_P(FileSizes, GoToTheNodeAndBackIn800ByteChunks) {
    const bed::Bytes content = pattern(GetParam());
    const uint32_t chunks = static_cast<uint32_t>((content.size() + 799) / 800);
    std::vector<uint32_t> offsets;
    std::vector<std::pair<uint64_t, uint64_t>> progress{{0, content.size()}}, reported;
    for (uint32_t chunk = 0; chunk < chunks; ++chunk) {
        offsets.push_back(chunk * 800);
        progress.emplace_back(std::min<uint64_t>((chunk + 1) * 800, content.size()),
                              content.size());
    }
    TransferOptions options;
    options.progress = [&](uint64_t done, uint64_t total) { reported.emplace_back(done, total); };

    EXPECT_EQ(send(content, "log.txt", options), NODE_SUCCESS);
    bed::Bytes sent;
    for (const bed::Request& request : sim().requestsFor(kSendOp)) {
        if (request.subop() == kChunkOp) {
            sent.insert(sent.end(), request.payload.begin() + 14, request.payload.end());
        }
    }
    EXPECT_EQ(sent, content + bed::Bytes(chunks * 800 - content.size(), 0));
    EXPECT_EQ(lastTransfer().chunkOffsets, offsets);
    EXPECT_EQ(sim().file("log.txt")->content, content);
    EXPECT_EQ(waits(), std::vector<uint64_t>(chunks + 2, kSecondUs));
    EXPECT_EQ(reported, progress);

    reported.clear();
    writeLocal("copy.bin", pattern(50));
    EXPECT_EQ(fetch("copy.bin", options), NODE_SUCCESS);
    EXPECT_EQ(lastTransfer().chunkOffsets, offsets);
    EXPECT_TRUE(lastTransfer().ended);
    EXPECT_EQ(readLocal(local("copy.bin")), content);
    EXPECT_EQ(reported, progress);
    EXPECT_EQ(warnings(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Bytes, FileSizes, testing::Values(0, 800, 801, 2000));

// Each request's payload (its first 64 bytes) and every write, wait and read, in order.
std::string wire(bed::SimNode& sim, const std::vector<std::string>& transactions) {
    std::string text;
    for (const bed::Request& request : sim.requests()) {
        const size_t shown = std::min<size_t>(request.payload.size(), 64);
        text +=
            bed::hex(bed::Bytes(request.payload.begin(), request.payload.begin() + shown)) + "\n";
    }
    for (const std::string& transaction : transactions) {
        text += transaction + "\n";
    }
    return text;
}

TEST_F(FileTransfer, ASendWritesWaitsOneSecondAndReadsEachStepWithTheStartRepliesHandle) {
    sim().state().nextHandle = 0xA1B2C3D4;
    EXPECT_EQ(send(pattern(801)), NODE_SUCCESS);
    expectGolden("send-801-bytes.txt", wire(sim(), transactions()));
}

TEST_F(FileTransfer, AFetchAsksTheInformationThenEachStepWithTheStartRepliesHandle) {
    sim().putFile("log.txt", pattern(1000));
    sim().state().nextHandle = 0x01020304;
    sim().state().chunkSizes = {800, 200};
    EXPECT_EQ(fetch(), NODE_SUCCESS);
    expectGolden("fetch-800-then-200-bytes.txt", wire(sim(), transactions()));
}

TEST_F(FileTransfer, AMissingLocalFileOrANameTooLongForAFrameIsRefusedWithNothingSent) {
    EXPECT_EQ(run([&] { return node().sendFile(local("absent"), "remote.bin"); }),
              NODE_LOCAL_FILE_FAILURE);
    expectNothingSent();
    EXPECT_EQ(send(pattern(10), std::string(8200, 'n')), NODE_NO_REQUEST_FRAME);
    expectNothingSent();
}

TEST_F(FileTransfer, AFileOf4GiBIsRefusedWith1BeforeAnythingIsSent) {
    const std::string path = local("huge.bin");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const int made = ::ftruncate(fd, off_t{1} << 32);
    ::close(fd);
    if (made != 0) {
        GTEST_SKIP() << "this file system cannot hold a sparse 4 GiB file";
    }
    EXPECT_EQ(run([&] { return node().sendFile(path, "remote.bin"); }), NODE_LOCAL_FILE_FAILURE);
    expectNothingSent();
}

TEST_F(FileTransfer, AFormerFailureIsClearedByTheNextTransfer) {
    sim().failNext(NotOk);
    EXPECT_EQ(node().commandC1(), NODE_REPLY_NOT_OK);
    EXPECT_EQ(send(pattern(10)), NODE_SUCCESS);
    sim().putFile("log.txt", pattern(10));
    sim().failNext(NotOk, 0x93);
    EXPECT_EQ(fetch(), NODE_REPLY_NOT_OK);
    EXPECT_EQ(fetch(), NODE_SUCCESS);
}

TEST_F(FileTransfer, ALocalFileThatCannotBeCreatedGives5AndTheWarningWithoutChunkOrEnd) {
    sim().putFile("log.txt", pattern(100));
    EXPECT_EQ(fetch("no-such-dir/copy.bin"), NODE_NO_REQUEST_FRAME);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(requestKinds(), (Kinds{"93", "95 AA"}));
}

TEST_F(FileTransfer, DigestsThatAgreeUpToAZeroByteAndThenDifferGive1AndLeaveTheDestinationAsItWas) {
    // Content whose digest begins with a zero byte: a comparison that stops at the first zero
    // would call the two digests equal.
    bed::Bytes content;
    std::array<uint8_t, 32> digest{};
    for (uint32_t seed = 0; digest[0] != 0 || content.empty(); ++seed) {
        content = bed::bytesOf("content ") + le32(seed);
        digest = bed::sha256(content);
    }
    sim().putFile("log.txt", content);
    digest[1] ^= 0x01;
    sim().state().files["log.txt"].digestOverride = digest;
    writeLocal("copy.bin", pattern(50));
    EXPECT_EQ(fetch(), NODE_LOCAL_FILE_FAILURE);
    EXPECT_EQ(warnings(), 0u);
    EXPECT_EQ(readLocal(local("copy.bin")), pattern(50));
}

// A step that fails ends the transfer with its status; the warning comes only after a start
// reply, and no end request follows a failed start or chunk.
struct StepFailure {
    const char* name;
    uint8_t opcode;
    bed::FaultRule rule;
    int32_t status;
    size_t warnings;
    long requests;  // how many of the whole transfer's requests were made
    size_t waits;
};

const Kinds kSent{"94 AA", "94 CC", "94 CC", "94 CC", "94 EE"};
const Kinds kFetched{"93", "95 AA", "95 CC", "95 CC", "95 CC", "95 EE"};

void PrintTo(const StepFailure& row, std::ostream* out) {
    *out << row.name;
}

class TransferStepFailure : public FileTransfer, public testing::WithParamInterface<StepFailure> {};

TEST_P(TransferStepFailure, EndsTheTransferWithItsStatus) {
    const StepFailure& row = GetParam();
    sim().putFile("log.txt", pattern(2000));
    writeLocal("copy.bin", pattern(50, 9));
    bed::FaultRule rule = row.rule;
    rule.opcode = row.opcode;
    sim().inject(rule);
    EXPECT_EQ(row.opcode == kSendOp ? send(pattern(2000)) : fetch(), row.status);
    EXPECT_EQ(warnings(), row.warnings);
    const Kinds& all = row.opcode == kSendOp ? kSent : kFetched;
    EXPECT_EQ(requestKinds(), Kinds(all.begin(), all.begin() + row.requests));
    EXPECT_EQ(waits().size(), row.waits);
    if (row.opcode != kSendOp) {
        // A failed fetch leaves the destination as it was and nothing beside it.
        EXPECT_EQ(readLocal(local("copy.bin")), pattern(50, 9));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(local("")),
                                std::filesystem::directory_iterator()),
                  1);
    }
}

bed::FaultRule on(bed::Fault fault, std::optional<uint8_t> subop, unsigned skip = 0,
                  bed::Bytes bytes = {}) {
    return {.fault = fault, .subop = subop, .skip = skip, .bytes = std::move(bytes)};
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TransferStepFailure,
    testing::Values(
        StepFailure{"SendStartUnwritten", kSendOp, on(RefuseWrite, kStartOp),
                    NODE_TRANSPORT_FAILURE, 0, 1, 0},
        StepFailure{"SendStartUnanswered", kSendOp, on(NoAnswer, kStartOp), NODE_TRANSPORT_FAILURE,
                    0, 1, 1},
        StepFailure{"SendStartRefused", kSendOp, on(NotOk, kStartOp), NODE_REPLY_NOT_OK, 0, 1, 1},
        StepFailure{"SendStartTooShortForItsHandle", kSendOp,
                    on(RawPayload, kStartOp, 0, ok({1, 2, 3})), NODE_WRONG_REPLY_LENGTH, 0, 1, 1},
        StepFailure{"SendChunkUnwritten", kSendOp, on(RefuseWrite, kChunkOp, 1),
                    NODE_TRANSPORT_FAILURE, 1, 3, 2},
        StepFailure{"SendChunkRefused", kSendOp, on(NotOk, kChunkOp, 2), NODE_REPLY_NOT_OK, 1, 4,
                    4},
        StepFailure{"SendEndUnwritten", kSendOp, on(RefuseWrite, kEndOp), NODE_TRANSPORT_FAILURE, 1,
                    5, 4},
        StepFailure{"SendEndRefused", kSendOp, on(NotOk, kEndOp), NODE_REPLY_NOT_OK, 1, 5, 5},
        StepFailure{"FetchInformationRefused", 0x93, on(NotOk, std::nullopt), NODE_REPLY_NOT_OK, 0,
                    1, 1},
        StepFailure{"FetchStartUnwritten", kGetOp, on(RefuseWrite, kStartOp),
                    NODE_TRANSPORT_FAILURE, 0, 2, 1},
        StepFailure{"FetchStartUnanswered", kGetOp, on(NoAnswer, kStartOp), NODE_TRANSPORT_FAILURE,
                    1, 2, 2},
        StepFailure{"FetchStartRefused", kGetOp, on(NotOk, kStartOp), NODE_REPLY_NOT_OK, 1, 2, 2},
        StepFailure{"FetchStartTooShortForItsHandle", kGetOp,
                    on(RawPayload, kStartOp, 0, ok({1, 2, 3})), NODE_WRONG_REPLY_LENGTH, 1, 2, 2},
        StepFailure{"FetchStartOnlyOk", kGetOp, on(RawPayload, kStartOp, 0, ok()),
                    NODE_WRONG_REPLY_LENGTH, 1, 2, 2},
        StepFailure{"FetchChunkUnwritten", kGetOp, on(RefuseWrite, kChunkOp, 1),
                    NODE_TRANSPORT_FAILURE, 1, 4, 3},
        StepFailure{"FetchChunkUnanswered", kGetOp, on(BadCrc, kChunkOp), NODE_TRANSPORT_FAILURE, 1,
                    3, 3},
        StepFailure{"FetchSecondChunkUnanswered", kGetOp, on(NoAnswer, kChunkOp, 1),
                    NODE_TRANSPORT_FAILURE, 1, 4, 4},
        StepFailure{"FetchChunkRefused", kGetOp, on(NotOk, kChunkOp, 2), NODE_REPLY_NOT_OK, 1, 5,
                    5},
        StepFailure{"FetchDataDamaged", kGetOp, on(RawPayload, kChunkOp, 0, ok(pattern(800, 1))),
                    NODE_LOCAL_FILE_FAILURE, 0, 6, 6},
        StepFailure{"FetchEndUnwritten", kGetOp, on(RefuseWrite, kEndOp), NODE_TRANSPORT_FAILURE, 1,
                    6, 5},
        StepFailure{"FetchEndUnanswered", kGetOp, on(BadCrc, kEndOp), NODE_TRANSPORT_FAILURE, 1, 6,
                    6},
        StepFailure{"FetchEndRefused", kGetOp, on(NotOk, kEndOp), NODE_REPLY_NOT_OK, 1, 6, 6}),
    [](const auto& info) { return std::string(info.param.name); });

// A node that answers its chunks wrongly cannot make the fetch loop run on.
class UnrulyNode : public FileTransfer {
  protected:
    void SetUp() override {
        FileTransfer::SetUp();
        sim().putFile("log.txt", pattern(1000));
    }
    // A loop that ran on would meet this refusal instead of hanging.
    void refuseChunk(unsigned skip) { sim().inject(on(NotOk, kChunkOp, skip)); }
};

TEST_F(UnrulyNode, SendingMoreThanRemainsEndsTheLoopAndFailsTheDigestWith1) {
    sim().state().chunkMode = bed::ChunkMode::Overrun;
    refuseChunk(2);
    EXPECT_EQ(fetch(), NODE_LOCAL_FILE_FAILURE);
    EXPECT_EQ(warnings(), 0u);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 800}));
    EXPECT_TRUE(lastTransfer().ended);
    EXPECT_FALSE(std::filesystem::exists(local("copy.bin")));
}

TEST_F(UnrulyNode, ThreeEmptyChunkRepliesInARowGive11AndTheWarningWithoutEnd) {
    sim().state().chunkMode = bed::ChunkMode::Empty;
    refuseChunk(3);
    EXPECT_EQ(fetch(), NODE_REPLY_NOT_OK);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_FALSE(lastTransfer().ended);
}

TEST_F(UnrulyNode, EmptyRepliesBetweenDataDoNotAddUp) {
    sim().state().chunkSizes = {0, 0, 400, 0, 0, 600};
    EXPECT_EQ(fetch(), NODE_SUCCESS);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 0, 0, 400, 400, 400}));
    EXPECT_EQ(readLocal(local("copy.bin")), pattern(1000));
}

// The chunk steps on their own.
TEST_F(FileTransfer, ASendChunkAbove800BytesGives1WithNothingReadOrSent) {
    FILE* stream = std::fopen(writeLocal("local.bin", pattern(900)).c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(node().sendFileChunk(stream, 1, 0, 801), NODE_LOCAL_FILE_FAILURE);
    EXPECT_EQ(std::ftell(stream), 0);
    std::fclose(stream);
    EXPECT_TRUE(sim().requests().empty());
}

TEST_F(FileTransfer, ASendChunkReadsTheStreamOnFromWhereItStandsWithoutSeeking) {
    const bed::Bytes content = pattern(1000);
    FILE* stream = std::fopen(writeLocal("local.bin", content).c_str(), "r");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(std::fseek(stream, 100, SEEK_SET), 0);
    EXPECT_EQ(node().sendFileChunk(stream, 7, 0, 10), NODE_SUCCESS);
    std::fclose(stream);
    EXPECT_EQ(sim().lastRequest().payload,
              (bed::Bytes{kSendOp, kChunkOp} + le32(7) + le32(0) + le32(10) +
               bed::Bytes(content.begin() + 100, content.begin() + 110)));
}

struct ChunkReply {
    bed::Bytes payload;
    uint32_t before;
    int32_t status;
    uint32_t after;
    bed::Bytes written;
};

class ReadChunkReply : public FileTransfer, public testing::WithParamInterface<ChunkReply> {};

TEST_P(ReadChunkReply, WritesTheBytesAfterOkAndAddsTheirNumberWithoutWrapping) {
    reply(GetParam().payload);
    ASSERT_EQ(node().commandC1Request(), NODE_SUCCESS);
    FILE* stream = std::fopen(local("chunk.bin").c_str(), "w+");
    ASSERT_NE(stream, nullptr);
    uint32_t received = GetParam().before;
    EXPECT_EQ(node().readChunkReply(stream, received), GetParam().status);
    std::fclose(stream);
    EXPECT_EQ(received, GetParam().after);
    EXPECT_EQ(readLocal(local("chunk.bin")), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReadChunkReply,
    testing::Values(ChunkReply{ok(pattern(300)), 100, NODE_SUCCESS, 400, pattern(300)},
                    ChunkReply{bed::bytesOf("NO") + pattern(10), 100, NODE_REPLY_NOT_OK, 100, {}},
                    ChunkReply{ok(pattern(800)), 0xFFFFFF00u, NODE_SUCCESS, 0xFFFFFFFFu,
                               pattern(800)}));
