#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <string>

#include "NodeRecord.h"
#include "NodeStatus.h"
#include "NorvaneI2cMaster.h"
#include "TransferOptions.h"

class RequestFrame;
class ReplyPayload;
class IncomingFile;

/// One microcontroller node at one address on one i2c-dev bus, spoken to through its own
/// channel.
///
/// Every command is a request step, a fixed wait and a reply step; each step stores a
/// NodeStatus in `status` only when it fails and returns `status`. The command methods reset
/// `status` first and are what callers use; the steps are public so that longer exchanges
/// can be composed from them. The node closes its channel when destroyed, so it cannot be
/// copied (a copy would close the descriptor twice); it can be moved.
class NorvaneI2CNode {
  public:
    static constexpr useconds_t kCommandWaitUs = 100000;
    static constexpr useconds_t kLinesWaitUs = 500000;
    static constexpr useconds_t kTransferWaitUs = 1000000;
    /// Waits `waitUs` in full, as the node needs before it answers: a signal that ends the
    /// usleep early only breaks it into more of them.
    static void waitOut(useconds_t waitUs);
    static constexpr uint32_t kTransferChunkSize = 800;

    NorvaneI2CNode() = default;
    NorvaneI2CNode(uint8_t addr, const char* bus);
    ~NorvaneI2CNode();
    NorvaneI2CNode(const NorvaneI2CNode&) = delete;
    NorvaneI2CNode& operator=(const NorvaneI2CNode&) = delete;
    NorvaneI2CNode(NorvaneI2CNode&& other) noexcept;
    NorvaneI2CNode& operator=(NorvaneI2CNode&& other) noexcept;

    int32_t getStatus() const { return status; }

    // Command methods: request, wait, reply.
    int32_t commandC0();
    int32_t commandC1();
    int32_t commandC2(const std::string& text);
    int32_t commandC3();
    int32_t getTime(uint64_t& value);
    int32_t setTime(uint64_t value);
    int32_t getTextE1(std::string& text);
    int32_t setTextPairF1(const std::string& first, const std::string& second);
    int32_t getIdentity(std::string& t1, std::string& t2, std::string& t3, std::string& t4);
    int32_t setTextByteF2(const std::string& text, uint8_t value);
    int32_t getTextE3(std::string& text);
    int32_t setTextF3(const std::string& text);
    int32_t getTextE4(std::string& text);
    int32_t setTextF4(const std::string& text);
    int32_t getTextE5(std::string& text);
    int32_t setTextF5(const std::string& text);
    int32_t getTextMap(std::map<uint32_t, std::string>& map);
    int32_t getValuesA0(uint32_t& value1, uint32_t& value2, uint32_t& value3, uint32_t& value4,
                        uint32_t& value5);
    int32_t setValuesB0(uint32_t value1, uint32_t value2, uint32_t value3, uint32_t value4,
                        uint32_t value5);
    int32_t getRecords(uint32_t argument, std::list<NodeRecord>& records, uint8_t opcode);
    int32_t getRecordsA1(uint32_t argument, std::list<NodeRecord>& records);
    int32_t getRecordsA2(uint32_t argument, std::list<NodeRecord>& records);
    int32_t getRecordsA3(uint32_t argument, std::list<NodeRecord>& records);
    int32_t getRecordsA4(uint32_t argument, std::list<NodeRecord>& records);
    int32_t getRecordsA5(uint32_t argument, std::list<NodeRecord>& records);
    int32_t getLines(const std::string& name, std::list<std::string>& lines);
    int32_t textCommand91(const std::string& name);
    int32_t textCommand92(const std::string& name);
    int32_t getFileInfo(const std::string& name, uint32_t& size, uint32_t& extra,
                        uint8_t digest[32]);
    int32_t textCommand96(const std::string& name);
    int32_t textPairCommand97(const std::string& first, const std::string& second);
    int32_t textPairCommand98(const std::string& first, const std::string& second);

    // File transfers: start, one chunk per 800 bytes, end; each step answered after 1 s. A
    // transfer that fails after the start was answered still sends the end step. getFile refuses
    // (status 5) a destination it could not write in place before it sends anything.
    int32_t sendFile(const std::string& localPath, const std::string& remoteName);
    int32_t getFile(const std::string& remoteName, const std::string& localPath);
    // The same with chunk retries, resuming a fetch, progress reports and stopping between
    // steps (TransferOptions).
    int32_t sendFile(const std::string& localPath, const std::string& remoteName,
                     const TransferOptions& options);
    int32_t getFile(const std::string& remoteName, const std::string& localPath,
                    const TransferOptions& options);

    // Request steps: build the request frame and send it.
    int32_t commandC0Request();
    int32_t commandC1Request();
    int32_t commandC2Request(const std::string& text);
    int32_t commandC3Request();
    int32_t getTimeRequest();
    int32_t setTimeRequest(uint64_t value);
    int32_t getTextE1Request();
    int32_t setTextPairF1Request(const std::string& first, const std::string& second);
    int32_t getIdentityRequest();
    int32_t setTextByteF2Request(const std::string& text, uint8_t value);
    int32_t getTextE3Request();
    int32_t setTextF3Request(const std::string& text);
    int32_t getTextE4Request();
    int32_t setTextF4Request(const std::string& text);
    int32_t getTextE5Request();
    int32_t setTextF5Request(const std::string& text);
    int32_t getTextMapRequest();
    int32_t getValuesA0Request();
    int32_t setValuesB0Request(uint32_t value1, uint32_t value2, uint32_t value3, uint32_t value4,
                               uint32_t value5);
    int32_t getRecordsRequest(uint32_t argument, uint8_t opcode);
    int32_t getLinesRequest(const std::string& name);
    int32_t textCommand91Request(const std::string& name);
    int32_t textCommand92Request(const std::string& name);
    int32_t getFileInfoRequest(const std::string& name);
    int32_t textCommand96Request(const std::string& name);
    int32_t textPairCommand97Request(const std::string& first, const std::string& second);
    int32_t textPairCommand98Request(const std::string& first, const std::string& second);
    int32_t sendFileStart(const std::string& localPath, const std::string& remoteName,
                          uint32_t& size);
    int32_t sendFileChunk(FILE* stream, uint32_t handle, uint32_t offset, uint32_t length);
    int32_t sendFileEnd();
    int32_t getFileStart(const std::string& remoteName);
    int32_t getFileChunk(uint32_t handle, uint32_t offset, uint32_t length);
    int32_t getFileEnd();

    // Reply steps: receive the reply, check it and decode it into the outputs.
    /// A reply that carries nothing but "OK".
    int32_t readOkReply();
    /// Like readOkReply, but prints a refusal.
    int32_t readC0Reply();
    int32_t readTimeReply(uint64_t& value);
    /// One text, as the replies of 0xE1, 0xE3, 0xE4 and 0xE5 carry it.
    int32_t readTextReply(std::string& text);
    int32_t readIdentityReply(std::string& t1, std::string& t2, std::string& t3, std::string& t4);
    int32_t readTextMapReply(std::map<uint32_t, std::string>& map);
    int32_t readValuesReply(uint32_t& value1, uint32_t& value2, uint32_t& value3, uint32_t& value4,
                            uint32_t& value5);
    int32_t readRecordsReply(std::list<NodeRecord>& records);
    int32_t readLinesReply(std::list<std::string>& lines);
    int32_t readFileInfoReply(uint32_t& size, uint32_t& extra, uint8_t digest[32]);
    /// The transfer handle of a start reply of either direction.
    int32_t readHandleReply(uint32_t& handle);
    /// Appends the data of a get-chunk reply to `stream` and adds its length to `received`.
    int32_t readChunkReply(FILE* stream, uint32_t& received);

    /// Reply polling, off (0) unless asked for: instead of sleeping out a reply's whole wait,
    /// read the reply's 3-byte header every `replyPollUs` microseconds, and take the reply as
    /// soon as its first byte is no longer 0xFF (the idle level), or once the whole wait has
    /// passed, whichever comes first. It needs a node that answers every read with 0xFF
    /// until its reply frame is complete; a node that does not could be read mid-reply,
    /// which is why it is off by default.
    uint32_t replyPollUs = 0;

    uint8_t addr = 0;
    std::string bus;
    int32_t status = NODE_SUCCESS;
    NorvaneI2cMaster master;

  private:
    /// Resets `status`, sends the request and, only when that succeeded, waits and reads
    /// the reply.
    template <typename Request, typename Reply>
    int32_t exchange(Request request, useconds_t waitUs, Reply reply) {
        status = NODE_SUCCESS;
        if (request() != NODE_SUCCESS) {
            return status;
        }
        awaitReply(waitUs);
        return reply();
    }

    /// The wait before a reply step: `waitUs` in full, or less with reply polling.
    void awaitReply(useconds_t waitUs);
    int32_t fail(NodeStatus code);
    int32_t sendRequest(RequestFrame& frame);
    int32_t sendOpcode(uint8_t opcode);
    int32_t sendOpcodeAndText(uint8_t opcode, const std::string& text);
    int32_t sendJoinedTexts(uint8_t opcode, const std::string& first, const std::string& second);
    /// False, with `status` set, when nothing usable arrived.
    bool receiveReply(ReplyPayload& payload);
    /// False, with `status` set, when nothing arrived or the reply is not "OK".
    bool receiveOkReply(ReplyPayload& payload);
    /// The chunk exchanges of a send, from the local file opened for reading.
    int32_t sendChunks(const std::string& localPath, uint32_t handle, uint32_t size,
                       const TransferOptions& options);
    /// The chunk exchanges of a fetch, into the file that receives the copy.
    int32_t fetchChunks(IncomingFile& incoming, uint32_t handle, uint32_t size,
                        const TransferOptions& options);
    /// Sends the end step of the send (0x94) or fetch (0x95) that failed, then warns.
    int32_t endAfterFailure(uint8_t opcode);
    int32_t keepIfIntact(IncomingFile& incoming, const uint8_t* nodeDigest);
    template <typename Exchange>
    int32_t withRetries(const TransferOptions& options, Exchange exchange);
    /// A transfer step: the request, then, only when it went out, the wait and the reply.
    template <typename Request, typename Reply>
    int32_t transferStep(Request request, Reply reply) {
        if (request() != NODE_SUCCESS) {
            return status;
        }
        awaitReply(kTransferWaitUs);
        return reply();
    }
};
