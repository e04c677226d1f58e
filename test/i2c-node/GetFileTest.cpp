#include <cstdio>

#include "FileTransferSupport.h"

using bed::Fault;

class GetFile : public FileTransferTest {
  protected:
    // Fetches "log.txt" into the local file "copy.bin"; returns the status and keeps the output.
    int32_t fetch() {
        int32_t status = -1;
        size_t descriptors = openFileDescriptors();
        out_ = stdoutOf([&] { status = node().getFile("log.txt", copy()); });
        EXPECT_EQ(openFileDescriptors(), descriptors) << "the local file was left open";
        return status;
    }

    std::string copy() const { return local("copy.bin"); }
    size_t warnings() const { return countOf(out_, kGetWarning); }

  private:
    std::string out_;
};

TEST_F(GetFile, A1000ByteFileAnsweredAs800Then200IsAskedAt0And800AndMatches) {
    bed::Bytes content = pattern(1000);
    sim().putFile("log.txt", content);
    sim().state().chunkSizes = {800, 200};
    EXPECT_EQ(fetch(), 0);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 800}));
    EXPECT_EQ(lastTransfer().chunkLengths, (std::vector<uint32_t>{800, 800}));
    EXPECT_EQ(readLocal(copy()), content);
    EXPECT_EQ(warnings(), 0u);
}

TEST_F(GetFile, TheRequestsCarryNameHandleOffsetAndLength800) {
    sim().putFile("log.txt", pattern(1000));
    sim().state().nextHandle = 0x01020304;
    EXPECT_EQ(fetch(), 0);
    std::vector<std::string> payloads;
    for (const bed::Request& request : sim().requests()) {
        payloads.push_back(bed::hex(request.payload));
    }
    EXPECT_EQ(payloads,
              (std::vector<std::string>{"93 6C 6F 67 2E 74 78 74", "95 AA 6C 6F 67 2E 74 78 74",
                                        "95 CC 04 03 02 01 00 00 00 00 20 03 00 00",
                                        "95 CC 04 03 02 01 20 03 00 00 20 03 00 00", "95 EE"}));
}

TEST_F(GetFile, WaitsOneTenthOfASecondForTheInformationThenOneSecondPerStep) {
    sim().putFile("log.txt", pattern(1000));
    sim().state().chunkSizes = {800, 200};
    EXPECT_EQ(fetch(), 0);
    EXPECT_EQ(
        transactions(),
        (std::vector<std::string>{
            "write 0x10 14",  "usleep 100000", "read 0x10 3",    "read 0x10 45",   "write 0x10 15",
            "usleep 1000000", "read 0x10 3",   "read 0x10 9",    "write 0x10 20",  "usleep 1000000",
            "read 0x10 3",    "read 0x10 805", "write 0x10 20",  "usleep 1000000", "read 0x10 3",
            "read 0x10 205",  "write 0x10 8",  "usleep 1000000", "read 0x10 3",    "read 0x10 5"}));
}

TEST_F(GetFile, A2000ByteFileIsAskedAt0And800And1600) {
    bed::Bytes content = pattern(2000, 3);
    sim().putFile("log.txt", content);
    EXPECT_EQ(fetch(), 0);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 800, 1600}));
    EXPECT_EQ(readLocal(copy()), content);
}

TEST_F(GetFile, AnEmptyFileIsFetchedWithoutChunksIntoAnEmptiedLocalFile) {
    sim().putFile("log.txt", {});
    writeLocal("copy.bin", pattern(50));
    EXPECT_EQ(fetch(), 0);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"93", "95 AA", "95 EE"}));
    EXPECT_TRUE(lastTransfer().ended);
    EXPECT_TRUE(readLocal(copy()).empty());
}

TEST_F(GetFile, DigestsThatAgreeUpToAZeroByteAndThenDifferGive1AndLeaveTheDestinationAsItWas) {
    // Content whose digest begins with a zero byte: a comparison that stops at the first zero
    // would call the two digests equal.
    bed::Bytes content;
    std::array<uint8_t, 32> digest{};
    for (uint32_t seed = 0; digest[0] != 0 || content.empty(); ++seed) {
        content = bed::bytesOf("content ") + le32(seed);
        digest = bed::sha256(content);
    }
    sim().putFile("log.txt", content);
    std::array<uint8_t, 32> reported = digest;
    reported[1] ^= 0x01;
    sim().state().files["log.txt"].digestOverride = reported;
    writeLocal("copy.bin", pattern(50));
    EXPECT_EQ(fetch(), 1);
    EXPECT_EQ(node().getStatus(), 1);
    EXPECT_EQ(warnings(), 0u);
    EXPECT_EQ(readLocal(copy()), pattern(50));
}

TEST_F(GetFile, AnUnknownRemoteFileEndsWithTheInformationStatusAndNoTransfer) {
    EXPECT_EQ(fetch(), 11);
    EXPECT_EQ(requestKinds(), std::vector<std::string>{"93"});
    EXPECT_EQ(warnings(), 0u);
}

TEST_F(GetFile, ALocalFileThatCannotBeCreatedGives5AndTheWarningWithoutChunkOrEnd) {
    sim().putFile("log.txt", pattern(100));
    int32_t status = -1;
    std::string out =
        stdoutOf([&] { status = node().getFile("log.txt", local("no-such-dir/copy.bin")); });
    EXPECT_EQ(status, 5);
    EXPECT_EQ(countOf(out, kGetWarning), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"93", "95 AA"}));
}

TEST_F(GetFile, AFailureAfterASuccessfulFetchIsClearedByTheNextFetch) {
    sim().putFile("log.txt", pattern(10));
    sim().failNext(Fault::NotOk, 0x93);
    EXPECT_EQ(fetch(), 11);
    EXPECT_EQ(fetch(), 0);
    EXPECT_EQ(node().getStatus(), 0);
}

class GetFileFailure : public GetFile {
  protected:
    void SetUp() override {
        GetFile::SetUp();
        sim().putFile("log.txt", pattern(2000));
    }

    int32_t fetchWith(const bed::FaultRule& rule) {
        sim().inject(rule);
        return fetch();
    }
};

TEST_F(GetFileFailure, AStartRequestThatCannotBeWrittenGives10WithoutWarning) {
    EXPECT_EQ(fetchWith(faultOn(Fault::RefuseWrite, kGetOp, kStartOp)), 10);
    EXPECT_EQ(warnings(), 0u);
    EXPECT_EQ(waits(), std::vector<uint64_t>{100000});
}

TEST_F(GetFileFailure, AMissingStartReplyGives10AndTheWarning) {
    EXPECT_EQ(fetchWith(faultOn(Fault::NoAnswer, kGetOp, kStartOp)), 10);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"93", "95 AA"}));
}

TEST_F(GetFileFailure, ARefusedStartReplyGives11AndTheWarning) {
    EXPECT_EQ(fetchWith(faultOn(Fault::NotOk, kGetOp, kStartOp)), 11);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"93", "95 AA"}));
}

TEST_F(GetFileFailure, AStartReplyTooShortForItsHandleGives8AndTheWarning) {
    bed::FaultRule rule = faultOn(Fault::RawPayload, kGetOp, kStartOp);
    rule.bytes = ok({0x01, 0x02, 0x03});
    EXPECT_EQ(fetchWith(rule), 8);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"93", "95 AA"}));
}

TEST_F(GetFileFailure, AStartReplyOfOnlyOkGives8) {
    bed::FaultRule rule = faultOn(Fault::RawPayload, kGetOp, kStartOp);
    rule.bytes = ok();
    EXPECT_EQ(fetchWith(rule), 8);
}

TEST_F(GetFileFailure, AChunkRequestThatCannotBeWrittenGives10AndTheWarningWithoutEnd) {
    EXPECT_EQ(fetchWith(faultOn(Fault::RefuseWrite, kGetOp, kChunkOp, 1)), 10);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"93", "95 AA", "95 CC", "95 CC"}));
    EXPECT_FALSE(std::filesystem::exists(copy()));
}

TEST_F(GetFileFailure, ARefusedChunkReplyGives11AndTheWarningWithoutEnd) {
    EXPECT_EQ(fetchWith(faultOn(Fault::NotOk, kGetOp, kChunkOp, 2)), 11);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"93", "95 AA", "95 CC", "95 CC", "95 CC"}));
}

TEST_F(GetFileFailure, AMissingChunkReplyGives10AndTheWarning) {
    EXPECT_EQ(fetchWith(faultOn(Fault::BadCrc, kGetOp, kChunkOp)), 10);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"93", "95 AA", "95 CC"}));
}

TEST_F(GetFileFailure, AnEndRequestThatCannotBeWrittenGives10AndTheWarning) {
    EXPECT_EQ(fetchWith(faultOn(Fault::RefuseWrite, kGetOp, kEndOp)), 10);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(waits().size(), 5u);
}

TEST_F(GetFileFailure, ARefusedEndReplyGives11AndTheWarning) {
    EXPECT_EQ(fetchWith(faultOn(Fault::NotOk, kGetOp, kEndOp)), 11);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(waits().size(), 6u);
}

class GetFileFromAnUnrulyNode : public GetFile {};

TEST_F(GetFileFromAnUnrulyNode, ANodeSendingMoreThanRemainsEndsTheLoopAndFailsTheDigestWith1) {
    bed::Bytes content = pattern(1000);
    sim().putFile("log.txt", content);
    sim().state().chunkMode = bed::ChunkMode::Overrun;
    // A loop that ran on would meet this refusal instead of hanging.
    sim().inject(faultOn(Fault::NotOk, kGetOp, kChunkOp, 2));
    EXPECT_EQ(fetch(), 1);
    EXPECT_EQ(warnings(), 0u);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 800}));
    EXPECT_TRUE(lastTransfer().ended);
    EXPECT_FALSE(std::filesystem::exists(copy()));
}

TEST_F(GetFileFromAnUnrulyNode, ThreeEmptyChunkRepliesInARowGive11AndTheWarningWithoutEnd) {
    sim().putFile("log.txt", pattern(1000));
    sim().state().chunkMode = bed::ChunkMode::Empty;
    // A loop that ran on would meet this refusal instead of hanging.
    sim().inject(faultOn(Fault::NotOk, kGetOp, kChunkOp, 3));
    EXPECT_EQ(fetch(), 11);
    EXPECT_EQ(warnings(), 1u);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_FALSE(lastTransfer().ended);
    EXPECT_EQ(requestKinds().back(), "95 CC");
    EXPECT_TRUE(readLocal(copy()).empty());
}

TEST_F(GetFileFromAnUnrulyNode, EmptyRepliesBetweenDataDoNotAddUp) {
    bed::Bytes content = pattern(1000);
    sim().putFile("log.txt", content);
    sim().state().chunkSizes = {0, 0, 400, 0, 0, 600};
    EXPECT_EQ(fetch(), 0);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 0, 0, 400, 400, 400}));
    EXPECT_EQ(readLocal(copy()), content);
}

class ReadChunkReplyStep : public FileTransferTest {
  protected:
    // Receives `payload` as the reply to a bare request, through readChunkReply.
    int32_t readChunk(const bed::Bytes& payload, uint32_t& received, bed::Bytes& written) {
        reply(payload);
        EXPECT_EQ(node().commandC1Request(), 0);
        std::string path = local("chunk.bin");
        FILE* stream = std::fopen(path.c_str(), "w+");
        EXPECT_NE(stream, nullptr);
        int32_t status = node().readChunkReply(stream, received);
        std::fclose(stream);
        written = readLocal(path);
        return status;
    }
};

TEST_F(ReadChunkReplyStep, WritesTheBytesAfterOkAndAddsTheirNumber) {
    uint32_t received = 100;
    bed::Bytes written;
    EXPECT_EQ(readChunk(ok(pattern(300)), received, written), 0);
    EXPECT_EQ(received, 400u);
    EXPECT_EQ(written, pattern(300));
}

TEST_F(ReadChunkReplyStep, ARefusalWritesNothingAndLeavesTheCountAlone) {
    uint32_t received = 100;
    bed::Bytes written;
    EXPECT_EQ(readChunk(bed::bytesOf("NO") + pattern(10), received, written), 11);
    EXPECT_EQ(received, 100u);
    EXPECT_TRUE(written.empty());
}

TEST_F(ReadChunkReplyStep, ACountThatWouldPass32BitsStopsAtTheTopInsteadOfWrapping) {
    uint32_t received = 0xFFFFFF00u;
    bed::Bytes written;
    EXPECT_EQ(readChunk(ok(pattern(800)), received, written), 0);
    EXPECT_EQ(received, 0xFFFFFFFFu);
}
