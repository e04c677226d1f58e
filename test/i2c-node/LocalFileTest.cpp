#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "NodeTestSupport.h"
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

class NotARegularFile : public NodeTest, public testing::WithParamInterface<LocalKind> {
  protected:
    void SetUp() override {
        NodeTest::SetUp();
        path_ = GetParam().make(local(""));
        if (path_.empty()) {
            GTEST_SKIP() << "no device node can be made here";
        }
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
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
                    // A node of its own: a transfer that wrongly took a system device
                    // for its destination would replace that device.
                    LocalKind{"CharacterDevice",
                              [](const fs::path& dir) {
                                  const std::string null = (dir / "null").string();
                                  const bool made =
                                      mknod(null.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
                                  return made ? null : std::string();
                              }},
                    LocalKind{"Directory",
                              [](const fs::path& dir) {
                                  fs::create_directory(dir / "sub");
                                  return (dir / "sub").string();
                              }}),
    [](const testing::TestParamInfo<LocalKind>& info) { return std::string(info.param.name); });

class FetchDestination : public NodeTest {};

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
