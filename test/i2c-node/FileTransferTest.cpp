#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>

#include "Golden.h"
#include "NodeTestSupport.h"
#include "Sha256.h"
// The simulator's digest, beside the product's.
#include "../../sim/Sha256.h"

using enum sim::Fault;
namespace fs = std::filesystem;

class FileTransfer : public NodeTest {
  protected:
    // The transfer's status and warnings, each request's payload (its first 64 bytes) and every
    // write, wait and read in order; then forgets them for the next row of a table.
    std::string wire(const std::string& name, int32_t status) {
        std::string text = name + ": status " + std::to_string(status) + ", warned " +
                           std::to_string(warnings()) + "\n";
        for (const sim::Request& request : sim().requests()) {
            const size_t shown = std::min<size_t>(request.payload.size(), 64);
            text +=
                sim::hex(Bytes(request.payload.begin(), request.payload.begin() + shown)) + "\n";
        }
        for (const std::string& transaction : transactions()) {
            text += transaction + "\n";
        }
        sim().clearRequests();
        sim().clearFaults();
        clock().clearSleeps();
        simBoard().clearEvents();
        return text + std::exchange(progress_, "");
    }
    static sim::FaultRule on(sim::Fault fault, uint8_t opcode, std::optional<uint8_t> subop,
                             unsigned skip = 0, Bytes bytes = {},
                             sim::Persist persist = sim::Persist::Once) {
        return {fault, opcode, subop, persist, skip, std::move(bytes)};
    }
    std::string progress_;
    TransferOptions options_{.progress = [this](uint64_t done, uint64_t total) {
        progress_ += "progress " + std::to_string(done) + "/" + std::to_string(total) + "\n";
    }};
};

// A resumed fetch keeps what arrived in a partial file beside the destination and continues
// from its length; one longer than the file starts again from zero, one whose whole digest
// differs is dropped.
TEST_F(FileTransfer, AResumedFetchContinuesFromThePartialFileAsTheGoldenFileShows) {
    options_.resume = true;
    const Bytes content = pattern(2000);
    sim().putFile("log.txt", content);
    writeLocal("copy.bin", pattern(50, 9));
    sim().inject(on(NoAnswer, kGetOp, kChunkOp, 1));
    std::string text = wire("interrupted", fetch("copy.bin", options_));
    EXPECT_EQ(readLocal("copy.bin.part"), Bytes(content.begin(), content.begin() + 800));
    EXPECT_EQ(readLocal("copy.bin"), pattern(50, 9));
    const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(local("copy.bin"), ownerOnly);
    text += wire("resumed", fetch("copy.bin", options_));
    EXPECT_EQ(readLocal("copy.bin"), content);
    EXPECT_EQ(fs::status(local("copy.bin")).permissions(), ownerOnly)
        << "the fetched file did not keep the destination's permissions";
    writeLocal("copy.bin.part", pattern(2500, 4));
    text += wire("partial file too long", fetch("copy.bin", options_));
    EXPECT_EQ(readLocal("copy.bin"), content);
    EXPECT_EQ(localFiles(), 1u) << "the partial file was kept";
    writeLocal("copy.bin.part", pattern(800, 4));
    text += wire("partial file of other content", fetch("copy.bin", options_));
    EXPECT_EQ(readLocal("copy.bin"), content);
    EXPECT_EQ(localFiles(), 1u) << "the partial file was kept";
    expectGolden("resume.txt", text);
}

// Local files that are not regular files: each would block, never end or not read at all.
// The device is a node of its own: a fetch that wrongly took a system device for its
// destination would replace that device. A missing file, one of 4 GiB and a name too long for a
// frame are refused as well.
TEST_F(FileTransfer, UnfitLocalFilesAreNeitherSentFetchedIntoNorDigestedWithNothingSent) {
    const auto refused = [&](const std::string& path, int32_t status, const std::string& name) {
        EXPECT_EQ(run([&] { return node().sendFile(path, name); }), status) << path;
        expectNothingSent();
    };
    sim().putFile("log.txt", pattern(100));
    ASSERT_EQ(mkfifo(local("fifo").c_str(), 0600), 0);
    fs::create_directory(local("directory"));
    const bool device = mknod(local("device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    for (const char* kind : {"fifo", "directory", "device"}) {
        if (std::string(kind) != "device" || device) {
            refused(local(kind), NODE_LOCAL_FILE_FAILURE, "remote.bin");
            EXPECT_EQ(fetch(kind), NODE_LOCAL_FILE_FAILURE) << kind;
            expectNothingSent();
            uint8_t digest[kSha256DigestSize];
            EXPECT_EQ(fileDigest(local(kind).c_str(), digest), 1) << kind;
        }
    }
    refused(local("absent"), NODE_LOCAL_FILE_FAILURE, "remote.bin");
    refused(writeLocal("local.bin", pattern(10)), NODE_NO_REQUEST_FRAME, std::string(8200, 'n'));
    const int fd = ::open(local("huge.bin").c_str(), O_WRONLY | O_CREAT, 0600);
    if (::ftruncate(fd, off_t{1} << 32) == 0) {
        refused(local("huge.bin"), NODE_LOCAL_FILE_FAILURE, "remote.bin");
    }
    ::close(fd);
}

TEST_F(FileTransfer, ASymlinkDestinationIsReplacedAndItsTargetLeftAlone) {
    sim().putFile("log.txt", pattern(1000));
    fs::create_symlink(writeLocal("target.bin", pattern(50, 9)), local("copy.bin"));
    EXPECT_EQ(fetch(), NODE_SUCCESS);
    EXPECT_FALSE(fs::is_symlink(local("copy.bin")));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(local("copy.bin")).permissions()), 0666 & ~mask)
        << "the new file took the link's permissions";
    EXPECT_EQ(readLocal("copy.bin"), pattern(1000));
    EXPECT_EQ(readLocal("target.bin"), pattern(50, 9));
}

TEST_F(FileTransfer, AFullDiskStopsTheFetchWith5AndEndsTheTransferOnTheNode) {
    sim().putFile("log.txt", pattern(8000));
    // Files may grow to 1600 bytes: the third chunk cannot be written.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{.rlim_cur = 1600, .rlim_max = saved.rlim_max};
    const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const int32_t status = node().getFile("log.txt", local("copy.bin"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(status, NODE_NO_REQUEST_FRAME);
    EXPECT_EQ(lastTransfer().chunkOffsets, (std::vector<uint32_t>{0, 800, 1600}));
    EXPECT_TRUE(lastTransfer().ended);
    EXPECT_EQ(localFiles(), 0u);
}

TEST_F(FileTransfer, DigestsThatAgreeUpToAZeroByteAndThenDifferGive1AndLeaveTheDestinationAsItWas) {
    // Content whose digest begins with a zero byte: a comparison that stops at the first zero
    // would call the two digests equal.
    Bytes content;
    std::array<uint8_t, 32> digest{};
    for (uint32_t seed = 0; digest[0] != 0 || content.empty(); ++seed) {
        content = sim::bytesOf("content ") + le32(seed);
        digest = sim::sha256(content);
    }
    sim().putFile("log.txt", content);
    digest[1] ^= 0x01;
    sim().state().files["log.txt"].digestOverride = digest;
    writeLocal("copy.bin", pattern(50));
    EXPECT_EQ(fetch(), NODE_LOCAL_FILE_FAILURE);
    EXPECT_EQ(warnings(), 0u);
    EXPECT_EQ(readLocal("copy.bin"), pattern(50));
}

// A step that fails ends the transfer with its status; the warning comes only after a start
// reply. After a handle came, a failure before the end step sends the end request, so that the
// node does not hold the transfer open; its answer does not change the status. A destination
// whose folder is not there is refused before anything is sent. With retries, only the chunk
// exchanges that failed on the bus are repeated, after the chunk wait again. A node that
// answers its chunks wrongly cannot make the fetch loop run on: a loop that ran on would meet
// the refusal of a later chunk instead of hanging. A failed fetch leaves the destination as it
// was and nothing beside it.
TEST_F(FileTransfer, AFailingStepEndsTheTransferOrIsRetriedAsTheGoldenFileShows) {
    struct Row {
        const char* name;
        bool send;
        size_t size;
        sim::FaultRule rule;
        uint32_t retries = 0;
        sim::ChunkMode mode = sim::ChunkMode::Normal;
        std::deque<uint32_t> sizes{};
        const char* destination = "copy.bin";
        int stopAt = -1;  // the question to stop (0 the first) that is answered yes
    };
    using enum sim::ChunkMode;
    const sim::Persist always = sim::Persist::Always;
    const sim::FaultRule none = on(NotOk, 0x00, std::nullopt);  // no request has opcode 0
    // clang-format off
    const Row rows[] = {
        // Files of every size go in 800-byte chunks, the last sent filled with zeros, each step
        // waiting one second and using the start reply's handle; they arrive whole and report
        // their progress after the start and after each chunk.
        {"Send0Bytes", true, 0, none}, {"Fetch0Bytes", false, 0, none},
        {"Send800Bytes", true, 800, none}, {"Fetch800Bytes", false, 800, none},
        {"Send801Bytes", true, 801, none}, {"Fetch801Bytes", false, 801, none},
        {"Send2000Bytes", true, 2000, none}, {"Fetch2000Bytes", false, 2000, none},
        {"Fetch800Then200Bytes", false, 1000, none, 0, Normal, {800, 200}},
        {"SendStartUnwritten", true, 2000, on(RefuseWrite, kSendOp, kStartOp)},
        {"SendStartUnanswered", true, 2000, on(NoAnswer, kSendOp, kStartOp)},
        {"SendStartRefused", true, 2000, on(NotOk, kSendOp, kStartOp)},
        {"SendStartTooShortForItsHandle", true, 2000, on(RawPayload, kSendOp, kStartOp, 0, ok({1, 2, 3}))},
        {"SendChunkUnwritten", true, 2000, on(RefuseWrite, kSendOp, kChunkOp, 1)},
        {"SendChunkRefused", true, 2000, on(NotOk, kSendOp, kChunkOp, 2)},
        {"SendEndUnwritten", true, 2000, on(RefuseWrite, kSendOp, kEndOp)},
        {"SendEndRefused", true, 2000, on(NotOk, kSendOp, kEndOp)},
        {"FetchInformationRefused", false, 2000, on(NotOk, 0x93, std::nullopt)},
        {"FetchStartUnwritten", false, 2000, on(RefuseWrite, kGetOp, kStartOp)},
        {"FetchStartUnanswered", false, 2000, on(NoAnswer, kGetOp, kStartOp)},
        {"FetchStartRefused", false, 2000, on(NotOk, kGetOp, kStartOp)},
        {"FetchStartTooShortForItsHandle", false, 2000, on(RawPayload, kGetOp, kStartOp, 0, ok({1, 2, 3}))},
        {"FetchStartOnlyOk", false, 2000, on(RawPayload, kGetOp, kStartOp, 0, ok())},
        {"FetchChunkUnwritten", false, 2000, on(RefuseWrite, kGetOp, kChunkOp, 1)},
        {"FetchChunkUnanswered", false, 2000, on(BadCrc, kGetOp, kChunkOp)},
        {"FetchSecondChunkUnanswered", false, 2000, on(NoAnswer, kGetOp, kChunkOp, 1)},
        {"FetchChunkRefused", false, 2000, on(NotOk, kGetOp, kChunkOp, 2)},
        {"FetchDataDamaged", false, 2000, on(RawPayload, kGetOp, kChunkOp, 0, ok(pattern(800, 1)))},
        {"FetchEndUnwritten", false, 2000, on(RefuseWrite, kGetOp, kEndOp)},
        {"FetchEndUnanswered", false, 2000, on(BadCrc, kGetOp, kEndOp)},
        {"FetchEndRefused", false, 2000, on(NotOk, kGetOp, kEndOp)},
        {"FetchIntoAFolderThatIsNotThere", false, 2000, on(NotOk, kGetOp, kChunkOp), 0, Normal, {}, "no-such-dir/copy.bin"},
        // Each transfer after a failure starts afresh.
        {"RetriedUnansweredFetchChunk", false, 2000, on(NoAnswer, kGetOp, kChunkOp, 1), 1},
        {"RetriesRunOut", false, 2000, on(NoAnswer, kGetOp, kChunkOp, 1, {}, always), 2},
        // The node never saw the chunk whose write failed; no reply was waited for.
        {"RetriedRefusedSendChunkWrite", true, 2000, on(RefuseWrite, kSendOp, kChunkOp, 1), 1},
        {"RetriedDamagedSendChunkReply", true, 2000, on(BadCrc, kSendOp, kChunkOp, 2), 3},
        {"RetriedRefusalIsNotRepeated", false, 2000, on(NotOk, kGetOp, kChunkOp, 1), 3},
        // A node that answers its chunks wrongly cannot make the fetch loop run on: a loop that
        // ran on would meet the refusal of a later chunk instead of hanging.
        {"OverrunningNodeFailsTheDigest", false, 2000, on(NotOk, kGetOp, kChunkOp, 3), 0, Overrun},
        {"ThreeEmptyChunkRepliesInARow", false, 2000, on(NotOk, kGetOp, kChunkOp, 3), 0, Empty},
        {"EmptyChunkRepliesBetweenDataDoNotAddUp", false, 2000, on(NotOk, kGetOp, kChunkOp, 8), 0, Normal, {0, 0, 400, 0, 0, 600}},
        // Asked to stop, a transfer goes no further; one that started is ended on the node.
        {"SendStoppedBeforeItsStart", true, 2000, none, 0, Normal, {}, "copy.bin", 0},
        {"SendStoppedBeforeItsSecondChunk", true, 2000, none, 0, Normal, {}, "copy.bin", 2},
        {"FetchStoppedBeforeItsSecondChunk", false, 2000, none, 0, Normal, {}, "copy.bin", 2},
        {"FetchStoppedBeforeARepeat", false, 2000, on(NoAnswer, kGetOp, kChunkOp, 1), 3, Normal, {}, "copy.bin", 3},
    };
    // clang-format on
    sim().state().nextHandle = 0xA1B2C3D4;
    std::string shown;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes content = pattern(row.size);
        sim().putFile("log.txt", content);
        sim().state().chunkMode = row.mode;
        sim().state().chunkSizes = row.sizes;
        writeLocal("copy.bin", pattern(50, 9));
        const size_t files = localFiles();
        sim().inject(row.rule);
        options_.retries = row.retries;
        int questions = 0;
        options_.stop = [&] { return questions++ == row.stopAt; };
        const int32_t status =
            row.send ? send(content, "sent.bin", options_) : fetch(row.destination, options_);
        if (row.send) {
            EXPECT_TRUE(status != NODE_SUCCESS || sim().file("sent.bin")->content == content);
            sim().state().files.erase("sent.bin");
        } else {
            EXPECT_EQ(readLocal("copy.bin"), status == NODE_SUCCESS ? content : pattern(50, 9));
            EXPECT_EQ(localFiles(), files) << "a file was left beside the destination";
        }
        shown += wire(row.name, status);
    }
    options_.stop = nullptr;
    expectGolden("transfer-faults.txt", shown);
}

// The chunk steps on their own: a send chunk reads the stream on from where it stands, never
// more than 800 bytes; a chunk reply's bytes after the OK are written and counted, the count
// never wrapping.
TEST_F(FileTransfer, ASendChunkReadsTheStreamFromWhereItStandsAndRefusesAbove800Bytes) {
    const Bytes content = pattern(1000);
    FILE* stream = std::fopen(writeLocal("local.bin", content).c_str(), "r");
    ASSERT_EQ(std::fseek(stream, 100, SEEK_SET), 0);
    EXPECT_EQ(node().sendFileChunk(stream, 7, 0, 10), NODE_SUCCESS);
    EXPECT_EQ(node().sendFileChunk(stream, 1, 0, 801), NODE_LOCAL_FILE_FAILURE);
    EXPECT_EQ(std::ftell(stream), 110);
    std::fclose(stream);
    EXPECT_EQ(sim().requests().size(), 1u);
    EXPECT_EQ(sim().lastRequest().payload,
              (Bytes{kSendOp, kChunkOp} + le32(7) + le32(0) + le32(10) +
               Bytes(content.begin() + 100, content.begin() + 110)));
}

TEST_F(FileTransfer, AChunkReplyWritesTheBytesAfterOkAndAddsTheirNumberWithoutWrapping) {
    reply(ok(pattern(800)));
    ASSERT_EQ(node().commandC1Request(), NODE_SUCCESS);
    FILE* stream = std::fopen(local("chunk.bin").c_str(), "w+");
    uint32_t received = 0xFFFFFF00u;
    EXPECT_EQ(node().readChunkReply(stream, received), NODE_SUCCESS);
    std::fclose(stream);
    EXPECT_EQ(received, 0xFFFFFFFFu);
    EXPECT_EQ(readLocal("chunk.bin"), pattern(800));
}
