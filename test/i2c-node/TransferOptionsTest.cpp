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
