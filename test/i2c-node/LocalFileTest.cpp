#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "NodeTestSupport.h"
#include "Sha256.h"

namespace fs = std::filesystem;

// Local files that are not regular files: each would block, never end or not read at all.
// The device is a node of its own: a fetch that wrongly took a system device for its
// destination would replace that device.
class NotARegularFile : public NodeTest, public testing::WithParamInterface<const char*> {};

TEST_P(NotARegularFile, IsNeitherSentFetchedIntoNorDigested) {
    const std::string path = local(GetParam());
    const std::string kind = GetParam();
    if (kind == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else if (kind == "device") {
        if (mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
            GTEST_SKIP() << "no device node can be made here";
        }
    } else {
        fs::create_directory(path);
    }
    sim().putFile("log.txt", pattern(100));
    EXPECT_EQ(run([&] { return node().sendFile(path, "remote.bin"); }), NODE_LOCAL_FILE_FAILURE);
    expectNothingSent();
    EXPECT_EQ(fetch(GetParam()), NODE_LOCAL_FILE_FAILURE);
    expectNothingSent();
    uint8_t digest[kSha256DigestSize];
    EXPECT_EQ(fileDigest(path.c_str(), digest), 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotARegularFile, testing::Values("fifo", "device", "directory"));

class FetchDestination : public NodeTest {};

TEST_F(FetchDestination, ASymlinkIsReplacedAndItsTargetLeftAlone) {
    sim().putFile("log.txt", pattern(1000));
    const std::string target = writeLocal("target.bin", pattern(50, 9));
    fs::create_symlink(target, local("copy.bin"));
    EXPECT_EQ(fetch(), NODE_SUCCESS);
    EXPECT_FALSE(fs::is_symlink(local("copy.bin")));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(local("copy.bin")).permissions()), 0666 & ~mask)
        << "the new file took the link's permissions";
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
    setrlimit(RLIMIT_FSIZE, &small);
    const int32_t status = node().getFile("log.txt", local("copy.bin"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(status, NODE_NO_REQUEST_FRAME);
    EXPECT_EQ(requestKinds(),
              (std::vector<std::string>{"93", "95 AA", "95 CC", "95 CC", "95 CC", "95 EE"}));
    EXPECT_FALSE(fs::exists(local("copy.bin")));
}
