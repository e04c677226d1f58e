#include <gtest/gtest.h>

#include <string>

#include "Sha256.h"
#include "TempFiles.h"

namespace {

std::string hex(const uint8_t* digest) {
    std::string text;
    for (size_t i = 0; i < kSha256DigestSize; ++i) {
        text += {"0123456789abcdef"[digest[i] >> 4], "0123456789abcdef"[digest[i] & 0xF]};
    }
    return text;
}

// The digest of `text` fed in pieces of `piece` bytes.
std::string digestOf(const std::string& text, size_t piece = SIZE_MAX) {
    Sha256Context ctx;
    sha256Init(ctx);
    for (size_t at = 0; at < text.size(); at += piece) {
        sha256Update(ctx, reinterpret_cast<const uint8_t*>(text.data()) + at,
                     std::min(piece, text.size() - at));
    }
    uint8_t digest[kSha256DigestSize];
    sha256Final(ctx, digest);
    return hex(digest);
}

std::string patterned(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return text;
}

}  // namespace

TEST(Sha256, GivesTheStandardDigestsAroundTheBlockBoundaries) {
    const std::pair<std::string, const char*> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const auto& [message, digest] : vectors) {
        EXPECT_EQ(digestOf(message), digest) << message.size() << " bytes";
    }
    const std::string text = patterned(300);
    for (size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 128u, 200u}) {
        EXPECT_EQ(digestOf(text, piece), digestOf(text)) << "pieces of " << piece;
    }
}

TEST(Sha256, CountsBytesInTwoThirtyTwoBitHalves) {
    Sha256Context ctx;
    sha256Init(ctx);
    ctx.total[0] = 0xFFFFFFC0u;
    const std::string text = patterned(100);
    sha256Update(ctx, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(ctx.total[0], 0x24u);
    EXPECT_EQ(ctx.total[1], 1u);
}

// A missing file, or a directory that opens read-only but cannot be read, gives 1.
TEST(FileDigest, OfFilesAroundTheBlockAndReadPieceSizesMatchesOneUpdate) {
    TempDir dir;
    uint8_t digest[kSha256DigestSize] = {0xA5};
    EXPECT_EQ(fileDigest("/nonexistent/file", digest), 1);
    EXPECT_EQ(digest[0], 0xA5);
    EXPECT_EQ(fileDigest(dir.path().c_str(), digest), 1);
    for (size_t size : {0u, 55u, 56u, 63u, 64u, 65u, 1023u, 1024u, 1025u, 5000u}) {
        writeFile(dir.path() / "file", patterned(size));
        ASSERT_EQ(fileDigest((dir.path() / "file").c_str(), digest), 0);
        EXPECT_EQ(hex(digest), digestOf(patterned(size))) << size << " bytes";
    }
}
