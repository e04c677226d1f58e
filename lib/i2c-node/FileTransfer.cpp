// File transfers to and from the node. Each direction opens a transfer (0xAA) that the node
// answers with a handle, moves the file in 800-byte chunks (0xCC) addressed by handle and
// offset, and closes it (0xEE); every one of these requests waits one second for its reply.
// Both ends identify the content by its SHA-256 digest.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>

#include "LocalFile.h"
#include "NorvaneI2CNode.h"
#include "PayloadReader.h"
#include "ReplyPayload.h"
#include "RequestFrame.h"
#include "Sha256.h"

namespace {

constexpr uint8_t kSendFileOpcode = 0x94;
constexpr uint8_t kGetFileOpcode = 0x95;
constexpr uint8_t kStart = 0xAA;
constexpr uint8_t kChunk = 0xCC;
constexpr uint8_t kEnd = 0xEE;

// A node that keeps answering "OK" without data would otherwise hold the fetch forever.
constexpr int kMaxEmptyChunkReplies = 3;

// A fetch whose local file cannot be created or written shares its code with a request frame
// that cannot be produced.
constexpr NodeStatus kLocalFileNotCreated = NODE_NO_REQUEST_FRAME;
constexpr NodeStatus kLocalWriteFailed = NODE_NO_REQUEST_FRAME;

constexpr const char* kSendWarning =
    "WARNING TRANSFER ON PROCESS call ee_send_file funcs to end on mcu";
constexpr const char* kGetWarning =
    "WARNING TRANSFER ON PROCESS call ee_get_file funcs to end on mcu";

struct FileCloser {
    void operator()(FILE* stream) const { std::fclose(stream); }
};
using StdioFile = std::unique_ptr<FILE, FileCloser>;

// Tells the operator that the node may still hold a transfer open.
int32_t warn(const char* warning, int32_t status) {
    std::cout << warning << std::endl;
    return status;
}

// Reads up to `length` bytes in sequence; a short read leaves the rest of `chunk` as it was.
void readChunk(FILE* stream, uint8_t* chunk, size_t length) {
    size_t got = 0;
    while (got < length) {
        size_t piece = std::fread(chunk + got, 1, length - got, stream);
        if (piece == 0) {
            return;
        }
        got += piece;
    }
}

// Never wraps: a count that would carry `received` past 32 bits pins it at the top, where it
// ends the fetch loop like any overshoot.
uint32_t addReceived(uint32_t received, size_t count) {
    constexpr uint32_t kTop = std::numeric_limits<uint32_t>::max();
    return count > kTop - received ? kTop : received + static_cast<uint32_t>(count);
}

bool sameDigest(const uint8_t* a, const uint8_t* b) {
    return std::equal(a, a + kSha256DigestSize, b);
}

bool stopAsked(const TransferOptions& options) {
    return options.stop && options.stop();
}

void reportProgress(const TransferOptions& options, uint64_t done, uint64_t total) {
    if (options.progress) {
        options.progress(done, total);
    }
}

}  // namespace

// Wire: 94 AA size digest name, wait, "OK" handle; per 800 bytes 94 CC handle offset 800 data,
// wait, "OK"; 94 EE, wait, "OK".
int32_t NorvaneI2CNode::sendFile(const std::string& localPath, const std::string& remoteName) {
    return sendFile(localPath, remoteName, TransferOptions{});
}

int32_t NorvaneI2CNode::sendFile(const std::string& localPath, const std::string& remoteName,
                                 const TransferOptions& options) {
    status = NODE_SUCCESS;
    if (stopAsked(options)) {
        return fail(NODE_TRANSFER_STOPPED);
    }
    uint32_t size = 0;
    uint32_t handle = 0;
    if (transferStep([&] { return sendFileStart(localPath, remoteName, size); },
                     [&] { return readHandleReply(handle); }) != NODE_SUCCESS) {
        return status;
    }
    reportProgress(options, 0, size);
    if (sendChunks(localPath, handle, size, options) != NODE_SUCCESS) {
        return endAfterFailure(kSendFileOpcode);
    }
    if (transferStep([&] { return sendFileEnd(); }, [&] { return readOkReply(); }) !=
        NODE_SUCCESS) {
        return warn(kSendWarning, status);
    }
    return status;
}

// The file is closed before the end request goes out. It is read in sequence; only a retried
// chunk goes back to its offset.
int32_t NorvaneI2CNode::sendChunks(const std::string& localPath, uint32_t handle, uint32_t size,
                                   const TransferOptions& options) {
    StdioFile stream(openRegularStream(localPath));
    if (!stream) {
        return fail(NODE_LOCAL_FILE_FAILURE);
    }
    // 64 bits, so that the last offset of a file just under 4 GiB cannot wrap to the start.
    for (uint64_t offset = 0; offset < size; offset += kTransferChunkSize) {
        if (stopAsked(options)) {
            return fail(NODE_TRANSFER_STOPPED);
        }
        const auto chunkOffset = static_cast<uint32_t>(offset);
        const auto sendChunk = [&](bool again) {
            if (again && std::fseek(stream.get(), chunkOffset, SEEK_SET) != 0) {
                return fail(NODE_LOCAL_FILE_FAILURE);
            }
            return transferStep(
                [&] {
                    return sendFileChunk(stream.get(), handle, chunkOffset, kTransferChunkSize);
                },
                [&] { return readOkReply(); });
        };
        if (withRetries(options, sendChunk) != NODE_SUCCESS) {
            return status;
        }
        reportProgress(options, std::min<uint64_t>(offset + kTransferChunkSize, size), size);
    }
    return status;
}

// Wire: 93 name, wait 100 ms, "OK" size extra digest; 95 AA name, wait, "OK" handle; until the
// size is reached 95 CC handle offset 800, wait, "OK" data; 95 EE, wait, "OK".
int32_t NorvaneI2CNode::getFile(const std::string& remoteName, const std::string& localPath) {
    return getFile(remoteName, localPath, TransferOptions{});
}

// The copy is received beside the destination and renamed over it only once its digest
// matched, so a fetch that fails at any point leaves the destination as it was. A destination
// that could not be written in place is refused before anything is sent: its folder missing or
// closed to the user, or the file there one the user may not write, which the rename would
// otherwise replace.
int32_t NorvaneI2CNode::getFile(const std::string& remoteName, const std::string& localPath,
                                const TransferOptions& options) {
    status = NODE_SUCCESS;
    if (IncomingFile::refusesDestination(localPath)) {
        return fail(NODE_LOCAL_FILE_FAILURE);
    }
    if (IncomingFile::unwritable(localPath) != 0) {
        return fail(kLocalFileNotCreated);
    }
    uint32_t size = 0;
    uint32_t extra = 0;
    uint8_t nodeDigest[kSha256DigestSize] = {};
    if (getFileInfo(remoteName, size, extra, nodeDigest) != NODE_SUCCESS) {
        return status;
    }
    if (stopAsked(options)) {
        return fail(NODE_TRANSFER_STOPPED);
    }
    if (getFileStart(remoteName) != NODE_SUCCESS) {
        return status;
    }
    awaitReply(kTransferWaitUs);
    uint32_t handle = 0;
    if (readHandleReply(handle) != NODE_SUCCESS) {
        return warn(kGetWarning, status);
    }
    IncomingFile incoming(localPath, options.resume);
    if (!incoming.isOpen()) {
        fail(kLocalFileNotCreated);
        return endAfterFailure(kGetFileOpcode);
    }
    incoming.restartIfLongerThan(size);
    if (fetchChunks(incoming, handle, size, options) != NODE_SUCCESS) {
        return endAfterFailure(kGetFileOpcode);
    }
    if (transferStep([&] { return getFileEnd(); }, [&] { return readOkReply(); }) !=
        NODE_SUCCESS) {
        return warn(kGetWarning, status);
    }
    return keepIfIntact(incoming, nodeDigest);
}

// A copy whose digest differs is of no use, as a partial file to continue from neither.
int32_t NorvaneI2CNode::keepIfIntact(IncomingFile& incoming, const uint8_t* nodeDigest) {
    uint8_t localDigest[kSha256DigestSize];
    if (fileDigest(incoming.path().c_str(), localDigest) != 0 ||
        !sameDigest(localDigest, nodeDigest)) {
        incoming.discard();
        return fail(NODE_LOCAL_FILE_FAILURE);
    }
    return incoming.commit() ? status : fail(kLocalWriteFailed);
}

// The loop stops once the size is reached or passed: a copy that came out too long is left to
// the digest check. A local write that fails stops it at once.
int32_t NorvaneI2CNode::fetchChunks(IncomingFile& incoming, uint32_t handle, uint32_t size,
                                    const TransferOptions& options) {
    auto received = static_cast<uint32_t>(incoming.length());
    reportProgress(options, received, size);
    int emptyReplies = 0;
    while (received < size) {
        if (stopAsked(options)) {
            return fail(NODE_TRANSFER_STOPPED);
        }
        const uint32_t before = received;
        const auto fetchChunk = [&](bool) {
            return transferStep(
                [&] { return getFileChunk(handle, received, kTransferChunkSize); },
                [&] { return readChunkReply(incoming.stream(), received); });
        };
        if (withRetries(options, fetchChunk) != NODE_SUCCESS) {
            return status;
        }
        reportProgress(options, std::min(received, size), size);
        emptyReplies = received == before ? emptyReplies + 1 : 0;
        if (emptyReplies == kMaxEmptyChunkReplies) {
            return fail(NODE_REPLY_NOT_OK);
        }
    }
    return incoming.sync() ? status : fail(kLocalWriteFailed);
}

// A transfer that stopped after its start is ended on the node, so that the node does not hold
// it open; the end step's answer does not change why the transfer failed. The warning still
// tells the operator that the node may hold it open, should the end step not have reached it.
int32_t NorvaneI2CNode::endAfterFailure(uint8_t opcode) {
    const int32_t failure = status;
    status = NODE_SUCCESS;
    transferStep([&] { return opcode == kSendFileOpcode ? sendFileEnd() : getFileEnd(); },
                 [&] { return readOkReply(); });
    status = failure;
    return warn(opcode == kSendFileOpcode ? kSendWarning : kGetWarning, status);
}

// Repeats an exchange that failed on the bus, after the chunk wait again, unless the caller
// asked to stop; the exchange is told whether it is a repeat.
template <typename Exchange>
int32_t NorvaneI2CNode::withRetries(const TransferOptions& options, Exchange exchange) {
    for (uint32_t attempt = 0;; ++attempt) {
        if (exchange(attempt != 0) != NODE_TRANSPORT_FAILURE || attempt == options.retries) {
            return status;
        }
        waitOut(kTransferWaitUs);
        if (stopAsked(options)) {
            return fail(NODE_TRANSFER_STOPPED);
        }
        status = NODE_SUCCESS;
    }
}

// Wire: 94 AA size (4) digest (32) name. Nothing is sent when the file cannot be examined or
// digested, or when its size does not fit the 32-bit size field.
int32_t NorvaneI2CNode::sendFileStart(const std::string& localPath, const std::string& remoteName,
                                      uint32_t& size) {
    struct stat info {};
    if (::stat(localPath.c_str(), &info) != 0 ||
        static_cast<uint64_t>(info.st_size) > std::numeric_limits<uint32_t>::max()) {
        return fail(NODE_LOCAL_FILE_FAILURE);
    }
    uint8_t digest[kSha256DigestSize];
    if (fileDigest(localPath.c_str(), digest) != 0) {
        return fail(NODE_LOCAL_FILE_FAILURE);
    }
    size = static_cast<uint32_t>(info.st_size);
    RequestFrame frame(kSendFileOpcode);
    frame.putByte(kStart).putU32(size).putBytes(digest, kSha256DigestSize).putText(remoteName);
    return sendRequest(frame);
}

// Wire: 94 CC handle offset length, then `length` data bytes, zero past the end of the file.
int32_t NorvaneI2CNode::sendFileChunk(FILE* stream, uint32_t handle, uint32_t offset,
                                      uint32_t length) {
    if (length > kTransferChunkSize) {
        return fail(NODE_LOCAL_FILE_FAILURE);
    }
    uint8_t chunk[kTransferChunkSize] = {};
    readChunk(stream, chunk, length);
    RequestFrame frame(kSendFileOpcode);
    frame.putByte(kChunk).putU32(handle).putU32(offset).putU32(length).putBytes(chunk, length);
    return sendRequest(frame);
}

// Wire: 94 EE.
int32_t NorvaneI2CNode::sendFileEnd() {
    RequestFrame frame(kSendFileOpcode);
    frame.putByte(kEnd);
    return sendRequest(frame);
}

// Wire: 95 AA name.
int32_t NorvaneI2CNode::getFileStart(const std::string& remoteName) {
    RequestFrame frame(kGetFileOpcode);
    frame.putByte(kStart).putText(remoteName);
    return sendRequest(frame);
}

// Wire: 95 CC handle offset length.
int32_t NorvaneI2CNode::getFileChunk(uint32_t handle, uint32_t offset, uint32_t length) {
    RequestFrame frame(kGetFileOpcode);
    frame.putByte(kChunk).putU32(handle).putU32(offset).putU32(length);
    return sendRequest(frame);
}

// Wire: 95 EE.
int32_t NorvaneI2CNode::getFileEnd() {
    RequestFrame frame(kGetFileOpcode);
    frame.putByte(kEnd);
    return sendRequest(frame);
}

// Wire: "OK", handle (4). A reply too short to hold the handle is of the wrong length.
int32_t NorvaneI2CNode::readHandleReply(uint32_t& handle) {
    ReplyPayload payload;
    if (!receiveOkReply(payload)) {
        return status;
    }
    PayloadReader reader(payload, kReplyFieldsOffset);
    return reader.readU32(handle) ? status : fail(NODE_WRONG_REPLY_LENGTH);
}

// Wire: "OK", data to the end of the payload. Each chunk is flushed at once, so that a full
// disk shows at the chunk that did not fit.
int32_t NorvaneI2CNode::readChunkReply(FILE* stream, uint32_t& received) {
    ReplyPayload payload;
    if (!receiveOkReply(payload)) {
        return status;
    }
    const size_t count = payload.size() - kReplyFieldsOffset;
    if (std::fwrite(payload.data() + kReplyFieldsOffset, 1, count, stream) != count ||
        std::fflush(stream) != 0) {
        return fail(kLocalWriteFailed);
    }
    received = addReceived(received, count);
    return status;
}
