// Reply steps. Fields follow the leading "OK"; integers are little-endian. A decoder never
// reads past the payload and its terminator: a count, text or record that runs past the end
// stops the decoding there, keeps what was decoded and fails with NODE_REPLY_NOT_OK.

#include <cstdlib>
#include <new>

#include "NorvaneI2CNode.h"
#include "PayloadReader.h"
#include "ReplyPayload.h"
#include "Sha256.h"

namespace {

constexpr uint16_t kTimeReplySize = 10;
constexpr uint16_t kValuesReplySize = 22;
constexpr uint16_t kFileInfoReplySize = 42;

bool readRecord(PayloadReader& reader, std::list<NodeRecord>& records) {
    uint32_t tag = 0;
    uint32_t length = 0;
    if (!reader.readU32(tag) || !reader.readU32(length) || length > reader.remaining()) {
        return false;
    }
    auto* data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length) + 1));
    if (data == nullptr) {
        throw std::bad_alloc();
    }
    reader.readBytes(data, length);
    data[length] = 0;
    records.push_back(NodeRecord{tag, data, length});
    return true;
}

void splitLines(const std::string& text, std::list<std::string>& lines) {
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

// Wire: "OK", value (8 bytes); exactly 10 bytes, the length tested before the "OK".
int32_t NorvaneI2CNode::readTimeReply(uint64_t& value) {
    ReplyPayload payload;
    if (!receiveReply(payload)) {
        return status;
    }
    if (payload.size() != kTimeReplySize) {
        return fail(NODE_WRONG_REPLY_LENGTH);
    }
    if (!payload.beginsWithOk()) {
        return fail(NODE_REPLY_NOT_OK);
    }
    PayloadReader(payload, kReplyFieldsOffset).readU64(value);
    return status;
}

// Wire: "OK", text, NUL.
int32_t NorvaneI2CNode::readTextReply(std::string& text) {
    ReplyPayload payload;
    if (receiveOkReply(payload)) {
        PayloadReader(payload, kReplyFieldsOffset).readText(text);
    }
    return status;
}

// Wire: "OK", four texts each ended by a NUL.
int32_t NorvaneI2CNode::readIdentityReply(std::string& t1, std::string& t2, std::string& t3,
                                          std::string& t4) {
    ReplyPayload payload;
    if (!receiveOkReply(payload)) {
        return status;
    }
    PayloadReader reader(payload, kReplyFieldsOffset);
    for (std::string* text : {&t1, &t2, &t3, &t4}) {
        if (!reader.readText(*text)) {
            return fail(NODE_REPLY_NOT_OK);
        }
    }
    return status;
}

// Wire: "OK", count (4 bytes), then count times key (4 bytes), text, NUL.
int32_t NorvaneI2CNode::readTextMapReply(std::map<uint32_t, std::string>& map) {
    ReplyPayload payload;
    if (!receiveOkReply(payload)) {
        return status;
    }
    map.clear();
    PayloadReader reader(payload, kReplyFieldsOffset);
    uint32_t count = 0;
    if (!reader.readU32(count)) {
        return fail(NODE_REPLY_NOT_OK);
    }
    for (uint32_t entry = 0; entry < count; ++entry) {
        uint32_t key = 0;
        std::string text;
        if (!reader.readU32(key) || !reader.readText(text)) {
            return fail(NODE_REPLY_NOT_OK);
        }
        map[key] = std::move(text);
    }
    return status;
}

// Wire: "OK", value1 .. value5 (4 bytes each); exactly 22 bytes, the length tested after
// the "OK".
int32_t NorvaneI2CNode::readValuesReply(uint32_t& value1, uint32_t& value2, uint32_t& value3,
                                        uint32_t& value4, uint32_t& value5) {
    ReplyPayload payload;
    if (!receiveOkReply(payload)) {
        return status;
    }
    if (payload.size() != kValuesReplySize) {
        return fail(NODE_WRONG_REPLY_LENGTH);
    }
    PayloadReader reader(payload, kReplyFieldsOffset);
    for (uint32_t* value : {&value1, &value2, &value3, &value4, &value5}) {
        reader.readU32(*value);
    }
    return status;
}

// Wire: "OK", count (4 bytes), then count times tag (4 bytes), length (4 bytes), data.
int32_t NorvaneI2CNode::readRecordsReply(std::list<NodeRecord>& records) {
    ReplyPayload payload;
    if (!receiveOkReply(payload)) {
        return status;
    }
    PayloadReader reader(payload, kReplyFieldsOffset);
    uint32_t count = 0;
    if (!reader.readU32(count)) {
        return fail(NODE_REPLY_NOT_OK);
    }
    for (uint32_t record = 0; record < count; ++record) {
        if (!readRecord(reader, records)) {
            return fail(NODE_REPLY_NOT_OK);
        }
    }
    return status;
}

// Wire: "OK", text, NUL; the text is a sequence of lines each ended by "\n".
int32_t NorvaneI2CNode::readLinesReply(std::list<std::string>& lines) {
    ReplyPayload payload;
    if (!receiveOkReply(payload)) {
        return status;
    }
    std::string text;
    PayloadReader(payload, kReplyFieldsOffset).readText(text);
    splitLines(text, lines);
    return status;
}

// Wire: "OK", size (4 bytes), extra (4 bytes), digest (32 bytes).
int32_t NorvaneI2CNode::readFileInfoReply(uint32_t& size, uint32_t& extra, uint8_t digest[32]) {
    ReplyPayload payload;
    if (!receiveOkReply(payload)) {
        return status;
    }
    if (payload.size() < kFileInfoReplySize) {
        return fail(NODE_WRONG_REPLY_LENGTH);
    }
    PayloadReader reader(payload, kReplyFieldsOffset);
    reader.readU32(size);
    reader.readU32(extra);
    reader.readBytes(digest, kSha256DigestSize);
    return status;
}
