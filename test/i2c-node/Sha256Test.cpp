#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>

#include "Sha256.h"
#include "TempFiles.h"

namespace {

using Digest = std::array<uint8_t, 32>;

Digest fromHex(const std::string& hex) {
    Digest digest{};
    for (size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return digest;
}

Digest hashOf(const std::string& text) {
    Sha256Context ctx;
    sha256Init(ctx);
    sha256Update(ctx, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    Digest digest{};
    sha256Final(ctx, digest.data());
    return digest;
}

std::string patterned(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return text;
}

const std::string kFiftySixByteMessage = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

struct Vector {
    const char* name;
    std::string message;
    const char* hex;
};

void PrintTo(const Vector& vector, std::ostream* os) {
    *os << vector.name;
}

class Sha256StandardVector : public testing::TestWithParam<Vector> {};

TEST_P(Sha256StandardVector, IsProducedByOneUpdate) {
    EXPECT_EQ(hashOf(GetParam().message), fromHex(GetParam().hex));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, Sha256StandardVector,
    testing::Values(
        Vector{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Vector{"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Vector{"FiftySixByteNistMessage", kFiftySixByteMessage,
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Vector{"HundredTwelveByteNistMessage",
               "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
               "klmnopqrlmnopqrsmnopqrstnopqrstu",
               "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        Vector{"FiftyFiveA", std::string(55, 'a'),
               "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        Vector{"FiftySixA", std::string(56, 'a'),
               "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        Vector{"SixtyThreeA", std::string(63, 'a'),
               "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        Vector{"SixtyFourA", std::string(64, 'a'),
               "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        Vector{"SixtyFiveA", std::string(65, 'a'),
               "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"}),
    [](const testing::TestParamInfo<Vector>& info) { return std::string(info.param.name); });

TEST(Sha256Update, InPiecesOfEverySplitGivesTheSameDigestAsOneUpdate) {
    const std::string text = patterned(300);
    const Digest whole = hashOf(text);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 128u, 200u}) {
        Sha256Context ctx;
        sha256Init(ctx);
        for (size_t at = 0; at < text.size(); at += piece) {
            sha256Update(ctx, bytes + at, std::min(piece, text.size() - at));
        }
        Digest digest{};
        sha256Final(ctx, digest.data());
        EXPECT_EQ(digest, whole) << "pieces of " << piece;
    }
}

TEST(Sha256Update, CountsBytesInTwoThirtyTwoBitHalves) {
    Sha256Context ctx;
    sha256Init(ctx);
    const std::string text = patterned(100);
    sha256Update(ctx, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(ctx.total[0], 100u);
    EXPECT_EQ(ctx.total[1], 0u);
    ctx.total[0] = 0xFFFFFFC0u;
    sha256Update(ctx, reinterpret_cast<const uint8_t*>(text.data()), 100);
    EXPECT_EQ(ctx.total[0], 0x24u);
    EXPECT_EQ(ctx.total[1], 1u);
}

// Sizes around the block and read-piece boundaries, against one update of the same bytes.
class FileDigest : public testing::TestWithParam<size_t> {};

TEST_P(FileDigest, OfAFileMatchesOneUpdate) {
    TempDir dir;
    const std::string text = patterned(GetParam());
    writeFile(dir.path() / "file", text);
    Digest digest{};
    ASSERT_EQ(fileDigest((dir.path() / "file").c_str(), digest.data()), 0);
    EXPECT_EQ(digest, hashOf(text));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileDigest, testing::Values(0, 55, 56, 63, 64, 65, 1023, 1024, 1025, 5000));

TEST(FileDigestFailure, OfAMissingFileReturnsOneAndLeavesTheDigestAlone) {
    TempDir dir;
    Digest untouched;
    untouched.fill(0xA5);
    Digest digest = untouched;
    EXPECT_EQ(fileDigest((dir.path() / "missing").c_str(), digest.data()), 1);
    EXPECT_EQ(digest, untouched);
}

TEST(FileDigestFailure, ReturnsOneWhenTheOpenedPathCannotBeRead) {
    // A directory opens read-only but every read of it fails.
    TempDir dir;
    Digest digest{};
    EXPECT_EQ(fileDigest(dir.path().c_str(), digest.data()), 1);
}

}  // namespace
