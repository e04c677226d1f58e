#include <chrono>

#include "FileTransferSupport.h"

// On the real clock: the one-second waits really pass, and the bytes still arrive intact.
class FileTransferRealTime : public FileTransferTest {
  protected:
    FileTransferRealTime() : FileTransferTest(bed::ClockMode::Real) {}
};

TEST_F(FileTransferRealTime, ASmallFileGoesToTheNodeAndComesBackByteForByte) {
    bed::Bytes content = pattern(300, 42);
    std::string original = writeLocal("original.bin", content);
    std::string returned = local("returned.bin");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(node().sendFile(original, "round-trip.bin"), 0);
    ASSERT_NE(sim().file("round-trip.bin"), nullptr);
    EXPECT_EQ(sim().file("round-trip.bin")->content, content);

    EXPECT_EQ(node().getFile("round-trip.bin", returned), 0);
    auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(readLocal(returned), content);
    EXPECT_EQ(readLocal(original), content);
    // Send: start, one chunk, end; fetch: information, start, one chunk, end.
    EXPECT_GE(took, std::chrono::microseconds(6 * kSecondUs + 100000));
}
