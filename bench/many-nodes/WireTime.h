#pragma once
// What a file transfer's transactions take on the wire, by the simulator's bit rule (see Time
// on the wire in docs/simulator.md): 1 bit for each start (a repeated start too), 9 for the
// address byte and for each data byte, 1 for the stop, each transaction rounded up to the
// microsecond. The library makes every exchange one write of the request frame, then two
// reads: the reply's 3-byte header and the rest of its frame.

#include <algorithm>
#include <cstdint>
#include <string>

namespace wire {

// Start byte, 16-bit length, CRC-16 and end byte around the payload.
constexpr uint64_t kFrameOverhead = 6;
constexpr uint64_t kReplyHeader = 3;
constexpr uint64_t kChunkSize = 800;
// A chunk request: opcode, step, handle, offset and length ahead of the data.
constexpr uint64_t kChunkFields = 1 + 1 + 4 + 4 + 4;
constexpr uint64_t kOk = 2;
constexpr uint64_t kHandle = 4;
constexpr uint64_t kDigest = 32;

// A write() or read() of `bytes` data bytes: start, address byte, data, stop.
constexpr uint64_t transactionBits(uint64_t bytes) {
    return 1 + 9 * (bytes + 1) + 1;
}

constexpr uint64_t transactionUs(uint64_t bytes, uint64_t hz) {
    return (transactionBits(bytes) * 1'000'000 + hz - 1) / hz;
}

// One exchange: the request frame written, the reply's header read, the rest of it read.
constexpr uint64_t exchangeUs(uint64_t requestPayload, uint64_t replyPayload, uint64_t hz) {
    const uint64_t replyFrame = replyPayload + kFrameOverhead;
    return transactionUs(requestPayload + kFrameOverhead, hz) + transactionUs(kReplyHeader, hz) +
           transactionUs(replyFrame - kReplyHeader, hz);
}

constexpr uint64_t chunkCount(uint64_t fileSize) {
    return (fileSize + kChunkSize - 1) / kChunkSize;
}

// A send chunk always carries 800 bytes (filler past the end of the file); its answer is "OK".
constexpr uint64_t sendChunkUs(uint64_t hz) {
    return exchangeUs(kChunkFields + kChunkSize, kOk, hz);
}

// A fetch chunk asks for 800 bytes and gets "OK" and what is left of them.
constexpr uint64_t fetchChunkUs(uint64_t dataBytes, uint64_t hz) {
    return exchangeUs(kChunkFields, kOk + dataBytes, hz);
}

// Start (size, digest, name; answered with the handle), the chunks, end.
inline uint64_t sendFileUs(uint64_t fileSize, const std::string& remoteName, uint64_t hz) {
    const uint64_t start = exchangeUs(2 + 4 + kDigest + remoteName.size(), kOk + kHandle, hz);
    const uint64_t end = exchangeUs(2, kOk, hz);
    return start + chunkCount(fileSize) * sendChunkUs(hz) + end;
}

// File information (size, extra, digest), start (answered with the handle), the chunks, end.
inline uint64_t fetchFileUs(uint64_t fileSize, const std::string& remoteName, uint64_t hz) {
    const uint64_t info = exchangeUs(1 + remoteName.size(), kOk + 4 + 4 + kDigest, hz);
    const uint64_t start = exchangeUs(2 + remoteName.size(), kOk + kHandle, hz);
    uint64_t chunks = 0;
    for (uint64_t offset = 0; offset < fileSize; offset += kChunkSize) {
        chunks += fetchChunkUs(std::min(kChunkSize, fileSize - offset), hz);
    }
    const uint64_t end = exchangeUs(2, kOk, hz);
    return info + start + chunks + end;
}

// The file's bytes per second when the bus carries nothing but this exchange's transactions.
inline double ceilingBytesPerSecond(uint64_t fileSize, uint64_t wireUs) {
    return static_cast<double>(fileSize) * 1e6 / static_cast<double>(wireUs);
}

}  // namespace wire
