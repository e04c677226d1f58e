#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "FileTransferSupport.h"
#include "Sha256.h"

using bed::Fault;
namespace fs = std::filesystem;

// Local files that are not regular files: each would block, never end or not read at all.
struct LocalKind {
    const char* name;
    std::string (*make)(const fs::path& dir);
};

void PrintTo(const LocalKind& kind, std::ostream* out) {
    *out << kind.name;
}

class NotARegularFile : public FileTransferTest, public testing::WithParamInterface<LocalKind> {
  protected:
    std::string path() { return GetParam().make(local("")); }
};

TEST_P(NotARegularFile, IsNotSentStatus1WithNothingSent) {
    int32_t status = -1;
    const std::string out = stdoutOf([&] { status = node().sendFile(path(), "remote.bin"); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(sim().requests().empty());
}

TEST_P(NotARegularFile, IsNotFetchedIntoStatus1WithNothingSent) {
    sim().putFile("log.txt", pattern(100));
    int32_t status = -1;
    stdoutOf([&] { status = node().getFile("log.txt", path()); });
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(sim().requests().empty());
}

TEST_P(NotARegularFile, HasNoDigest) {
    uint8_t digest[32] = {};
    EXPECT_EQ(fileDigest(path().c_str(), digest), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NotARegularFile,
    testing::Values(LocalKind{"Fifo",
                              [](const fs::path& dir) {
                                  const std::string fifo = (dir / "fifo").string();
                                  mkfifo(fifo.c_str(), 0600);
                                  return fifo;
                              }},
                    LocalKind{"CharacterDevice", [](const fs::path&) { return std::string("/dev/zero"); }},
                    LocalKind{"Directory",
                              [](const fs::path& dir) {
                                  fs::create_directory(dir / "sub");
                                  return (dir / "sub").string();
                              }}),
    [](const testing::TestParamInfo<LocalKind>& info) { return std::string(info.param.name); });

// A fetch that fails anywhere leaves the destination exactly as it was and no file beside it.
struct FailedFetch {
    const char* name;
    bed::FaultRule rule;
    int32_t status;
};

void PrintTo(const FailedFetch& row, std::ostream* out) {
    *out << row.name;
}

class FailedFetchTest : public FileTransferTest,
                        public testing::WithParamInterface<FailedFetch> {};

TEST_P(FailedFetchTest, LeavesTheDestinationAsItWasAndNothingBesideIt) {
    sim().putFile("log.txt", pattern(2000));
    sim().inject(GetParam().rule);
    const std::string destination = writeLocal("copy.bin", pattern(50, 9));
    int32_t status = -1;
    stdoutOf([&] { status = node().getFile("log.txt", destination); });
    EXPECT_EQ(status, GetParam().status);
    EXPECT_EQ(readLocal(destination), pattern(50, 9));
    EXPECT_EQ(std::distance(fs::directory_iterator(local("")), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedFetchTest,
    testing::Values(
        FailedFetch{"SecondChunkUnanswered",
                    {.fault = Fault::NoAnswer, .opcode = kGetOp, .subop = kChunkOp, .skip = 1},
                    10},
        FailedFetch{"SecondChunkRefused",
                    {.fault = Fault::NotOk, .opcode = kGetOp, .subop = kChunkOp, .skip = 1},
                    11},
        FailedFetch{"EndUnanswered", {.fault = Fault::BadCrc, .opcode = kGetOp, .subop = kEndOp}, 10},
        FailedFetch{"DataDamaged",
                    {.fault = Fault::RawPayload,
                     .opcode = kGetOp,
                     .subop = kChunkOp,
                     .bytes = ok(pattern(800, 1))},
                    1}),
    [](const testing::TestParamInfo<FailedFetch>& info) { return std::string(info.param.name); });

class FetchDestination : public FileTransferTest {};

TEST_F(FetchDestination, ASymlinkIsReplacedAndItsTargetLeftAlone) {
    sim().putFile("log.txt", pattern(1000));
    const std::string target = writeLocal("target.bin", pattern(50, 9));
    fs::create_symlink(target, local("copy.bin"));
    int32_t status = -1;
    stdoutOf([&] { status = node().getFile("log.txt", local("copy.bin")); });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::is_symlink(local("copy.bin")));
    EXPECT_EQ(readLocal(local("copy.bin")), pattern(1000));
    EXPECT_EQ(readLocal(target), pattern(50, 9));
}

TEST_F(FetchDestination, AFullDiskStopsTheFetchWith5AndEndsTheTransferOnTheNode) {
    sim().putFile("log.txt", pattern(8000));
    // Files may grow to 1600 bytes: the third chunk cannot be written.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{.rlim_cur = 1600, .rlim_max = saved.rlim_max};
    const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
    int32_t status = -1;
    std::string out;
    {
        setrlimit(RLIMIT_FSIZE, &small);
        status = node().getFile("log.txt", local("copy.bin"));
        setrlimit(RLIMIT_FSIZE, &saved);
    }
    signal(SIGXFSZ, handler);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(requestKinds(),
              (std::vector<std::string>{"93", "95 AA", "95 CC", "95 CC", "95 CC", "95 EE"}));
    EXPECT_FALSE(fs::exists(local("copy.bin")));
}
