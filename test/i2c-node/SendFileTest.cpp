#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "FileTransferSupport.h"

using bed::Fault;

class SendFile : public FileTransferTest {
  protected:
    // Sends `content` as "remote.bin" and returns the status.
    int32_t send(const bed::Bytes& content) {
        return node().sendFile(writeLocal("local.bin", content), "remote.bin");
    }

    // The data bytes of each chunk request, in order.
    std::vector<bed::Bytes> chunkData() {
        std::vector<bed::Bytes> data;
        for (const bed::Request& request : requestsOf(kSendOp, kChunkOp)) {
            data.emplace_back(request.payload.begin() + 14, request.payload.end());
        }
        return data;
    }
};

TEST_F(SendFile, AnEmptyFileIsStartedWithSize0AndEndedWithoutAnyChunk) {
    EXPECT_EQ(send({}), 0);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"94 AA", "94 EE"}));
    EXPECT_EQ(waits(), (std::vector<uint64_t>{kSecondUs, kSecondUs}));
    EXPECT_EQ(lastTransfer().declaredSize, 0u);
    ASSERT_NE(sim().file("remote.bin"), nullptr);
    EXPECT_TRUE(sim().file("remote.bin")->content.empty());
}

TEST_F(SendFile, TheStartRequestCarriesSizeDigestAndTheUnterminatedName) {
    bed::Bytes content = pattern(801);
    EXPECT_EQ(send(content), 0);
    bed::Bytes expected = bed::Bytes{kSendOp, kStartOp} + le32(801) + digestBytes(content) +
                          bed::bytesOf("remote.bin");
    EXPECT_EQ(bed::hex(requestsOf(kSendOp, kStartOp).at(0).payload), bed::hex(expected));
}

TEST_F(SendFile, An800ByteFileGoesInExactlyOneChunkAtOffset0) {
    bed::Bytes content = pattern(800);
    EXPECT_EQ(send(content), 0);
    EXPECT_EQ(lastTransfer().chunkOffsets, std::vector<uint32_t>{0});
    EXPECT_EQ(lastTransfer().chunkLengths, std::vector<uint32_t>{800});
    EXPECT_EQ(chunkData(), std::vector<bed::Bytes>{content});
}

TEST_F(SendFile, An801ByteFileSendsASecondChunkOfOneFileByteAnd799ZeroBytes) {
    bed::Bytes content = pattern(801);
    EXPECT_EQ(send(content), 0);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 800}));
    EXPECT_EQ(lastTransfer().chunkLengths, (std::vector<uint32_t>{800, 800}));
    bed::Bytes last = bed::Bytes{content[800]} + bed::Bytes(799, 0);
    EXPECT_EQ(chunkData(),
              (std::vector<bed::Bytes>{bed::Bytes(content.begin(), content.end() - 1), last}));
}

TEST_F(SendFile, A2000ByteFileGoesInChunksAt0And800And1600InFileOrder) {
    bed::Bytes content = pattern(2000);
    EXPECT_EQ(send(content), 0);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 800, 1600}));
    auto part = [&](long from, long to) {
        return bed::Bytes(content.begin() + from, content.begin() + to);
    };
    EXPECT_EQ(chunkData(), (std::vector<bed::Bytes>{part(0, 800), part(800, 1600),
                                                    part(1600, 2000) + bed::Bytes(400, 0)}));
    ASSERT_NE(sim().file("remote.bin"), nullptr);
    EXPECT_EQ(sim().file("remote.bin")->content, content);
}

TEST_F(SendFile, EveryChunkRequestCarriesTheHandleOfTheStartReply) {
    sim().state().nextHandle = 0xA1B2C3D4;
    EXPECT_EQ(send(pattern(1700)), 0);
    for (const bed::Request& request : requestsOf(kSendOp, kChunkOp)) {
        EXPECT_EQ(bed::le32At(request.payload, 2), 0xA1B2C3D4u);
    }
    EXPECT_EQ(requestsOf(kSendOp, kChunkOp).size(), 3u);
}

TEST_F(SendFile, EachStepWritesWaitsOneSecondThenReadsItsReply) {
    EXPECT_EQ(send(pattern(801)), 0);
    EXPECT_EQ(transactions(), (std::vector<std::string>{
                                  "write 0x10 54", "usleep 1000000", "read 0x10 3", "read 0x10 9",
                                  "write 0x10 820", "usleep 1000000", "read 0x10 3", "read 0x10 5",
                                  "write 0x10 820", "usleep 1000000", "read 0x10 3", "read 0x10 5",
                                  "write 0x10 8", "usleep 1000000", "read 0x10 3", "read 0x10 5"}));
}

TEST_F(SendFile, AMissingLocalFileGives1WithNothingSentOrPrinted) {
    int32_t status = -1;
    std::string out = stdoutOf([&] { status = node().sendFile(local("absent"), "remote.bin"); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(node().getStatus(), 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(sim().requests().empty());
    EXPECT_TRUE(waits().empty());
}

TEST_F(SendFile, AFileOf4GiBIsRefusedWith1BeforeAnythingIsSent) {
    std::string path = local("huge.bin");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    int made = ::ftruncate(fd, off_t{1} << 32);
    ::close(fd);
    if (made != 0) {
        GTEST_SKIP() << "this file system cannot hold a sparse 4 GiB file";
    }
    int32_t status = -1;
    std::string out = stdoutOf([&] { status = node().sendFile(path, "remote.bin"); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(sim().requests().empty());
    EXPECT_TRUE(waits().empty());
}

TEST_F(SendFile, ANameTooLongForAFrameGives5WithNothingSent) {
    std::string name(8200, 'n');
    EXPECT_EQ(node().sendFile(writeLocal("local.bin", pattern(10)), name), 5);
    EXPECT_TRUE(sim().requests().empty());
    EXPECT_TRUE(waits().empty());
}

TEST_F(SendFile, TheStatusOfAFormerFailureIsClearedBeforeTheTransfer) {
    sim().failNext(Fault::NotOk);
    EXPECT_EQ(node().commandC1(), 11);
    EXPECT_EQ(send(pattern(10)), 0);
    EXPECT_EQ(node().getStatus(), 0);
}

class SendFileFailure : public SendFile {
  protected:
    // Sends a 2000-byte file with `rule` injected; returns what was printed.
    std::string sendWith(const bed::FaultRule& rule, int32_t& status) {
        sim().inject(rule);
        std::string path = writeLocal("local.bin", pattern(2000));
        size_t descriptors = openFileDescriptors();
        std::string out = stdoutOf([&] { status = node().sendFile(path, "remote.bin"); });
        EXPECT_EQ(openFileDescriptors(), descriptors) << "the local file was left open";
        return out;
    }
};

TEST_F(SendFileFailure, AStartRequestThatCannotBeWrittenGives10WithoutWaitOrWarning) {
    int32_t status = -1;
    std::string out = sendWith(faultOn(Fault::RefuseWrite, kSendOp, kStartOp), status);
    EXPECT_EQ(status, 10);
    EXPECT_EQ(countOf(out, kSendWarning), 0u);
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(requestKinds(), std::vector<std::string>{"94 AA"});
}

TEST_F(SendFileFailure, AMissingStartReplyGives10WithoutWarning) {
    int32_t status = -1;
    std::string out = sendWith(faultOn(Fault::NoAnswer, kSendOp, kStartOp), status);
    EXPECT_EQ(status, 10);
    EXPECT_EQ(countOf(out, kSendWarning), 0u);
    EXPECT_EQ(requestKinds(), std::vector<std::string>{"94 AA"});
}

TEST_F(SendFileFailure, ARefusedStartReplyGives11WithoutWarning) {
    int32_t status = -1;
    std::string out = sendWith(faultOn(Fault::NotOk, kSendOp, kStartOp), status);
    EXPECT_EQ(status, 11);
    EXPECT_EQ(countOf(out, kSendWarning), 0u);
    EXPECT_EQ(requestKinds(), std::vector<std::string>{"94 AA"});
}

TEST_F(SendFileFailure, AStartReplyTooShortForItsHandleGives8WithoutWarning) {
    bed::FaultRule rule = faultOn(Fault::RawPayload, kSendOp, kStartOp);
    rule.bytes = ok({0x01, 0x02, 0x03});
    int32_t status = -1;
    std::string out = sendWith(rule, status);
    EXPECT_EQ(status, 8);
    EXPECT_EQ(countOf(out, kSendWarning), 0u);
    EXPECT_EQ(requestKinds(), std::vector<std::string>{"94 AA"});
}

TEST_F(SendFileFailure, AChunkRequestThatCannotBeWrittenGives10AndTheWarningWithoutEnd) {
    int32_t status = -1;
    std::string out = sendWith(faultOn(Fault::RefuseWrite, kSendOp, kChunkOp, 1), status);
    EXPECT_EQ(status, 10);
    EXPECT_EQ(countOf(out, kSendWarning), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"94 AA", "94 CC", "94 CC"}));
    EXPECT_EQ(waits(), (std::vector<uint64_t>{kSecondUs, kSecondUs}));
}

TEST_F(SendFileFailure, ARefusedChunkReplyGives11AndTheWarningWithoutEnd) {
    int32_t status = -1;
    std::string out = sendWith(faultOn(Fault::NotOk, kSendOp, kChunkOp, 2), status);
    EXPECT_EQ(status, 11);
    EXPECT_EQ(countOf(out, kSendWarning), 1u);
    EXPECT_EQ(requestKinds(), (std::vector<std::string>{"94 AA", "94 CC", "94 CC", "94 CC"}));
}

TEST_F(SendFileFailure, AnEndRequestThatCannotBeWrittenGives10AndTheWarning) {
    int32_t status = -1;
    std::string out = sendWith(faultOn(Fault::RefuseWrite, kSendOp, kEndOp), status);
    EXPECT_EQ(status, 10);
    EXPECT_EQ(countOf(out, kSendWarning), 1u);
    EXPECT_EQ(waits().size(), 4u);
}

TEST_F(SendFileFailure, ARefusedEndReplyGives11AndTheWarning) {
    int32_t status = -1;
    std::string out = sendWith(faultOn(Fault::NotOk, kSendOp, kEndOp), status);
    EXPECT_EQ(status, 11);
    EXPECT_EQ(countOf(out, kSendWarning), 1u);
    EXPECT_EQ(waits().size(), 5u);
}

class SendFileChunkStep : public SendFile {};

TEST_F(SendFileChunkStep, ALengthAbove800Gives1WithNothingReadOrSent) {
    std::string path = writeLocal("local.bin", pattern(900));
    FILE* stream = std::fopen(path.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(node().sendFileChunk(stream, 1, 0, 801), 1);
    EXPECT_EQ(std::ftell(stream), 0);
    std::fclose(stream);
    EXPECT_TRUE(sim().requests().empty());
}

TEST_F(SendFileChunkStep, ReadsTheStreamOnFromWhereItStandsWithoutSeeking) {
    bed::Bytes content = pattern(1000);
    std::string path = writeLocal("local.bin", content);
    FILE* stream = std::fopen(path.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(std::fseek(stream, 100, SEEK_SET), 0);
    EXPECT_EQ(node().sendFileChunk(stream, 7, 0, 10), 0);
    std::fclose(stream);
    bed::Bytes expected = bed::Bytes{kSendOp, kChunkOp} + le32(7) + le32(0) + le32(10) +
                          bed::Bytes(content.begin() + 100, content.begin() + 110);
    EXPECT_EQ(lastPayloadHex(), bed::hex(expected));
}
