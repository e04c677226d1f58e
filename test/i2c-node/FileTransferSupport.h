#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "NodeTestSupport.h"
// The bed's digest, not the product's header of the same name.
#include "../../sim/Sha256.h"

inline const std::string kSendWarning =
    "WARNING TRANSFER ON PROCESS call ee_send_file funcs to end on mcu\n";
inline const std::string kGetWarning =
    "WARNING TRANSFER ON PROCESS call ee_get_file funcs to end on mcu\n";

constexpr uint8_t kSendOp = 0x94;
constexpr uint8_t kGetOp = 0x95;
constexpr uint8_t kStartOp = 0xAA;
constexpr uint8_t kChunkOp = 0xCC;
constexpr uint8_t kEndOp = 0xEE;
constexpr uint64_t kSecondUs = 1000000;

// Bytes that are never zero, so that zero filler cannot pass for file content.
inline bed::Bytes pattern(size_t count, uint8_t seed = 0) {
    bed::Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(1 + (i * 7 + seed) % 251);
    }
    return bytes;
}

inline bed::Bytes digestBytes(const bed::Bytes& content) {
    auto digest = bed::sha256(content);
    return bed::Bytes(digest.begin(), digest.end());
}

inline size_t countOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

// Descriptors the process really holds; a local file left open shows here.
inline size_t openFileDescriptors() {
    using std::filesystem::directory_iterator;
    return static_cast<size_t>(
        std::distance(directory_iterator("/proc/self/fd"), directory_iterator()));
}

// A node test with a private scratch directory for the local files.
class FileTransferTest : public NodeTest {
  protected:
    explicit FileTransferTest(bed::ClockMode mode = bed::ClockMode::Fake) : NodeTest(mode) {}

    void SetUp() override {
        NodeTest::SetUp();
        std::string templ = (std::filesystem::temp_directory_path() / "transfer-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
    }

    void TearDown() override {
        std::filesystem::remove_all(dir_);
        NodeTest::TearDown();
    }

    std::string local(const std::string& name) const { return (dir_ / name).string(); }

    std::string writeLocal(const std::string& name, const bed::Bytes& content) const {
        std::string path = local(name);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        return path;
    }

    static bed::Bytes readLocal(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return bed::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The requests of one opcode and sub-operation, in order.
    std::vector<bed::Request> requestsOf(uint8_t opcode, uint8_t subop) {
        std::vector<bed::Request> matching;
        for (const bed::Request& request : sim().requestsFor(opcode)) {
            if (request.subop() == subop) {
                matching.push_back(request);
            }
        }
        return matching;
    }

    // Each request as "opcode subop" (or the opcode alone), in order.
    std::vector<std::string> requestKinds() {
        std::vector<std::string> kinds;
        for (const bed::Request& request : sim().requests()) {
            size_t shown = request.opcode() == kSendOp || request.opcode() == kGetOp ? 2 : 1;
            kinds.push_back(bed::hex(bed::Bytes(
                request.payload.begin(), request.payload.begin() + static_cast<long>(shown))));
        }
        return kinds;
    }

    // The transfer the simulated node saw last.
    const bed::Transfer& lastTransfer() {
        EXPECT_FALSE(sim().transfers().empty());
        return sim().transfers().back();
    }

    bed::FaultRule faultOn(bed::Fault fault, uint8_t opcode, uint8_t subop, unsigned skip = 0) {
        return bed::FaultRule{.fault = fault, .opcode = opcode, .subop = subop, .skip = skip};
    }

  private:
    std::filesystem::path dir_;
};
