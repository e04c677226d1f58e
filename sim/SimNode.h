#pragma once
// A simulated microcontroller node on a simulated i2c-dev bus. It speaks the
// node command protocol with state of its own, records every request frame,
// and can be told to misbehave (faults).
//
// Wire behaviour: each write() is one request frame. The node decodes it with
// its own framing code and prepares the whole reply frame at once; the board
// then reads it in as many reads as it likes (normally 3 bytes, then
// length + 3), each read continuing where the previous one stopped. Reading
// past the end of the reply yields 0xFF (an idle bus). A read with no reply
// prepared (nothing requested yet, an undecodable request, or the NoAnswer
// fault) fails with the bus's no-answer errno. A node may take time to
// prepare its reply (ReadyDelays): until then a read gets 0xFF bytes (the
// idle level) and the reply stays for a later read.
//
// A node may run a firmware of its own (Firmware.h) instead of this node's
// answers: the write's bytes go to its receive interrupt, its main loop runs,
// and its reply is clocked out through its transmit interrupts as the board's
// two reads take it (header, then the rest); faults and ReadyDelays then apply
// to that frame as to this node's own. A read while it holds no reply (none
// asked for yet) goes to its transmit interrupts as it comes.

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Firmware.h"
#include "WireFrame.h"

namespace sim {

// How the node answers the SMBus send-byte probe of a bus scan.
enum class Probe {
    Ack,          // address and data byte acknowledged
    Nack,         // address not acknowledged (as if absent)
    AddressOnly,  // address acknowledged, data byte refused
};

enum class Fault {
    NoAnswer,         // no reply: reads fail with the bus's no-answer errno
    BadStartByte,     // reply start byte 0xFF
    LengthTooLarge,   // reply length field 8187 (1F FB)
    BadCrc,           // reply CRC off by one
    BadEndByte,       // reply end byte 0x05
    ShortSecondRead,  // the second read of the reply delivers one byte less than asked
    NotOk,            // reply payload starts with "NO" instead of "OK"
    WrongLength,      // reply payload loses its last byte ("OK"+8 -> "OK"+7)
    RawPayload,       // reply payload replaced by FaultRule::bytes (framed correctly)
    RawReply,         // reply frame replaced by FaultRule::bytes (delivered as is)
    RefuseWrite,      // the request write fails with EIO; recorded, but not acted on
    ShortWrite,       // the request write reports one byte less; recorded, not acted on
};

enum class Persist { Once, Always };

// The fault's name in scenarios and traces ("no-answer", "bad-crc", ...).
std::string faultName(Fault fault);
// The fault of that name; none for an unknown name.
std::optional<Fault> faultNamed(const std::string& name);

// A fault applies to the requests it matches: every opcode when `opcode` is
// empty, and every sub-operation (0xAA/0xCC/0xEE of 0x94/0x95) when `subop`
// is empty. The first `skip` matching requests pass untouched. A matching
// request is hit with `probability`, drawn from the node's seeded generator.
// A Once rule is used up after `times` hits; rules are tried in the order
// they were injected and at most one applies per request.
struct FaultRule {
    Fault fault = Fault::NoAnswer;
    std::optional<uint8_t> opcode{};
    std::optional<uint8_t> subop{};
    Persist persist = Persist::Once;
    unsigned skip = 0;
    Bytes bytes{};  // RawPayload: the payload; RawReply: the frame bytes
    unsigned times = 1;
    double probability = 1.0;
};

// The command's name for an opcode ("getIdentity" for 0xE2), or "" for one
// the protocol does not have.
std::string commandName(uint8_t opcode);
// "start", "chunk" or "end" for the file-transfer sub-operations, else "".
std::string transferStepName(uint8_t subop);

// A node file's name as one plain file of the state folder: each byte outside
// [A-Za-z0-9._-], and a leading dot, written as %XX.
std::string stateFileName(const std::string& name);
// Whether the node takes a file of this name: 1 to 255 bytes in the state
// folder's form, so that every file it holds can be kept there.
bool acceptsFileName(const std::string& name);

struct Record {
    uint32_t tag = 0;
    Bytes data{};
};

struct StoredFile {
    Bytes content{};
    uint32_t extra = 0;
    // Reported by 0x93 instead of the content's SHA-256 when set.
    std::optional<std::array<uint8_t, 32>> digestOverride{};
};

// How the node sizes the data of a get-chunk reply (0x95 0xCC).
enum class ChunkMode {
    Normal,   // min(requested length, bytes remaining from the offset)
    Overrun,  // always the requested length, 0xEE filler past the end of the file
    Empty,    // always "OK" with no data
};

// Everything the node keeps. Tests set and inspect it directly.
struct NodeState {
    // 0xE2: four texts; the fourth is the device id discovery compares.
    std::array<std::string, 4> identity{"kestro-sim", "1.0", "sim-board", "sim-node"};
    // 0xE0 / 0xF0: milliseconds since the epoch as the board sent them.
    uint64_t clockMs = 0;
    // When set, the clock runs: 0xE0 answers clockMs plus the wall time gone by
    // since this instant (us since the epoch), and 0xF0 sets it anew.
    std::optional<uint64_t> clockRunsSinceUs{};
    // 0xE1, 0xE3, 0xE4, 0xE5; 0xF3/0xF4/0xF5 replace E3/E4/E5.
    std::string textE1 = "e1", textE3 = "e3", textE4 = "e4", textE5 = "e5";
    // 0xF1 stores its pair, 0xF2 its text and byte.
    std::string pairF1First, pairF1Second;
    std::string textF2;
    uint8_t byteF2 = 0;
    // 0xE6: count, then per entry key (4 bytes LE), text, NUL.
    std::map<uint32_t, std::string> textMap;
    // 0xA0 five 32-bit slots; 0xB0 replaces them.
    std::array<uint32_t, 5> valuesA0{};
    // 0xA1..0xA5 by opcode: count (4 bytes LE), then tag (4), length (4), data.
    std::map<uint8_t, std::vector<Record>> records;
    // 0xA1..0xA5 requests' argument, last one by opcode.
    std::map<uint8_t, uint32_t> recordArguments;
    // 0x90 by name: the text returned (lines separated by '\n'); unknown name -> "" .
    std::map<std::string, std::string> lines;
    // File store used by 0x93, 0x94 and 0x95.
    std::map<std::string, StoredFile> files;
    ChunkMode chunkMode = ChunkMode::Normal;
    // Sizes for the next get chunks, used first to last before chunkMode applies
    // (e.g. {800, 200}); data past the end of the file is 0xEE filler.
    std::deque<uint32_t> chunkSizes;
    // First transfer handle handed out; each start adds one.
    uint32_t nextHandle = 0x1000;
};

// One request frame exactly as the board wrote it, and what became of it.
struct Request {
    Bytes raw{};                 // the bytes of the write transaction
    bool valid = false;          // decoded as one correct frame
    std::string error{};         // decoding failure, empty when valid
    Bytes payload{};             // the decoded payload (empty when invalid)
    Bytes reply{};               // the reply frame prepared (empty when none)
    uint64_t timeUs = 0;         // clock at the write
    std::size_t eventIndex = 0;  // index of the Write event in the simulated board's log

    uint8_t opcode() const { return payload.empty() ? 0 : payload[0]; }
    uint8_t subop() const { return payload.size() < 2 ? 0 : payload[1]; }
    // Payload after the opcode byte.
    Bytes arguments() const;
};

enum class Direction { Send, Get };

// One file transfer as the node saw it (0x94 = Send, 0x95 = Get).
struct Transfer {
    Direction direction = Direction::Send;
    std::string name{};
    uint32_t handle = 0;
    uint32_t declaredSize = 0;                 // send: from the start request
    std::array<uint8_t, 32> declaredDigest{};  // send: from the start request
    std::vector<uint32_t> chunkOffsets{};      // offsets of the chunk requests in order
    std::vector<uint32_t> chunkLengths{};      // their length fields
    Bytes received{};                          // send: bytes kept (first declaredSize)
    bool ended = false;                        // the end sub-operation arrived
    bool digestMatched = false;                // send: received bytes match declaredDigest
};

// How long a node takes, after a request's last bit, until its reply is
// ready. The most specific entry applies: the opcode with its file-transfer
// step, then the opcode, then the default; none: ready at once.
struct ReadyDelays {
    std::optional<uint64_t> defaultUs{};
    std::map<uint8_t, uint64_t> byOpcode{};
    std::map<std::pair<uint8_t, uint8_t>, uint64_t> byStep{};  // (opcode, sub-operation)

    bool empty() const { return !defaultUs && byOpcode.empty() && byStep.empty(); }
    uint64_t delayUs(const Bytes& payload) const;
};

class SimNode {
  public:
    explicit SimNode(uint8_t address);

    uint8_t address() const { return address_; }
    NodeState& state() { return state_; }
    const NodeState& state() const { return state_; }

    // The node clock at wall-clock time `nowUs` (running or not).
    uint64_t clockAt(uint64_t nowUs) const;
    // Seeds the generator that draws the probabilistic faults.
    void seed(uint64_t value) { random_.seed(value); }

    void setProbe(Probe probe) { probe_ = probe; }
    // A plain device (a sensor, say) takes every write and answers every read with zero
    // bytes: it does not speak the node protocol.
    void makePlainDevice() { plain_ = true; }
    Probe probe() const { return probe_; }
    // Answers with `firmware` from now on; its state is the firmware's own, not state().
    // A copy of the node runs the same firmware context: the firmware's state is not copied.
    void runFirmware(std::shared_ptr<FirmwareNode> firmware) { firmware_ = std::move(firmware); }
    const FirmwareNode* firmware() const { return firmware_.get(); }

    void inject(FaultRule rule);
    void failNext(Fault fault, std::optional<uint8_t> opcode = {});
    void failAlways(Fault fault, std::optional<uint8_t> opcode = {});
    // Replies with this payload (framed correctly) instead of the real one.
    void replyPayload(const Bytes& payload, std::optional<uint8_t> opcode = {},
                      Persist persist = Persist::Once);
    void clearFaults();
    std::size_t pendingFaults() const { return faults_.size(); }

    const std::vector<Request>& requests() const { return requests_; }
    const Request& lastRequest() const;  // throws std::logic_error when none
    std::vector<Request> requestsFor(uint8_t opcode) const;
    const std::vector<Transfer>& transfers() const { return transfers_; }
    void clearRequests();

    // Sends (0x94) declaring more bytes, and chunks reaching past it, are refused.
    static constexpr uint32_t kDefaultMaxFileSize = 64u << 20;
    void setMaxFileSize(uint32_t bytes) { maxFileSize_ = bytes; }
    uint32_t maxFileSize() const { return maxFileSize_; }
    // Called with each file a send stored, once its end step answered "OK".
    void onFileStored(std::function<void(const std::string&, const StoredFile&)> stored) {
        fileStored_ = std::move(stored);
    }

    // File store shortcuts.
    void putFile(const std::string& name, const Bytes& content, uint32_t extra = 0);
    const StoredFile* file(const std::string& name) const;

    // Bus side: called by the simulated bus for this node's address.
    // Each returns the syscall result and sets `error` when it is -1.
    struct WriteStamp {
        std::size_t eventIndex = 0;
        uint64_t timeUs = 0;
        bool record = true;  // keep the request in requests()
        uint64_t doneUs = 0;  // when its last bit left the wire; readiness counts from there
    };
    ssize_t busWrite(const uint8_t* data, std::size_t count, int& error, const WriteStamp& stamp);
    // A read whose first bit is on the wire at `atUs`; `idle` tells whether it
    // came before the reply was ready (and got 0xFF bytes).
    ssize_t busRead(uint8_t* data, std::size_t count, int noAnswerErrno, int& error, uint64_t atUs,
                    bool& idle);
    void setReadyDelays(ReadyDelays delays) { readyDelays_ = std::move(delays); }
    // Whether a read needs its time on the wire to be answered.
    bool delaysReplies() const { return !readyDelays_.empty(); }
    bool busProbe(uint8_t dataByte) const;
    // The fault that hit the last request written, if any, and the reply
    // frame prepared for it (empty when none).
    std::optional<Fault> lastFault() const { return lastFault_; }
    Bytes preparedReply() const { return reply_ ? reply_->frame : Bytes(); }

    // One entry of the command table: what the node does for an opcode.
    struct Command {
        uint8_t opcode;
        const char* name;
        Bytes (SimNode::*answer)(uint8_t opcode, const Bytes& args);
    };
    // The table entry of an opcode; null for an opcode the protocol does not have.
    static const Command* findCommand(uint8_t opcode);

  private:
    struct PendingReply {
        Bytes frame;
        std::size_t cursor = 0;
        unsigned reads = 0;
        bool shortSecondRead = false;
        uint64_t readyAtUs = 0;
    };

    std::optional<FaultRule> takeFault(const Bytes& payload);
    // Acts on the request and prepares the reply frame (none for NoAnswer).
    Bytes reply(const Request& request, const std::optional<FaultRule>& fault);
    Bytes firmwareReply(const Bytes& raw, const std::optional<FaultRule>& fault);
    // The firmware's reply frame to a write, read as the board reads it; empty
    // when its main loop has none ready.
    Bytes clockedOutReply(const Bytes& raw);
    Bytes readFromFirmware(std::size_t count);
    // Serves `frame` to the board's reads, with the fault's damage.
    Bytes serve(Bytes frame, const std::optional<FaultRule>& fault);
    bool hits(FaultRule& rule);
    Bytes answer(const Bytes& payload);
    // The command handlers; `args` is the payload after the opcode.
    Bytes answerOk(uint8_t opcode, const Bytes& args);
    Bytes answerGetTime(uint8_t opcode, const Bytes& args);
    Bytes answerSetTime(uint8_t opcode, const Bytes& args);
    Bytes answerText(uint8_t opcode, const Bytes& args);
    Bytes answerSetText(uint8_t opcode, const Bytes& args);
    Bytes answerSetPairF1(uint8_t opcode, const Bytes& args);
    Bytes answerSetTextByteF2(uint8_t opcode, const Bytes& args);
    Bytes answerIdentity(uint8_t opcode, const Bytes& args);
    Bytes answerTextMap(uint8_t opcode, const Bytes& args);
    Bytes answerValuesA0(uint8_t opcode, const Bytes& args);
    Bytes answerSetValuesB0(uint8_t opcode, const Bytes& args);
    Bytes answerRecords(uint8_t opcode, const Bytes& args);
    Bytes answerLines(uint8_t opcode, const Bytes& args);
    Bytes answerFileInfo(uint8_t opcode, const Bytes& args);
    Bytes answerSendTransfer(uint8_t opcode, const Bytes& args);
    Bytes answerGetTransfer(uint8_t opcode, const Bytes& args);
    // The text that 0xE1/0xE3..0xE5 answer and 0xF3..0xF5 replace.
    std::string& textOfCommand(uint8_t opcode);
    Transfer* openTransfer(Direction direction);
    Bytes nextChunk(const StoredFile& file, uint32_t offset, uint32_t length);
    Bytes applyPayloadFault(const FaultRule& rule, Bytes payload) const;
    // Stores the file whose send just ended when its end step answers "OK".
    void keepCompletedSend(const Bytes& answered);
    void forgetPastTransfers();
    Bytes applyFrameFault(const FaultRule& rule, Bytes frame) const;

    uint8_t address_;
    Probe probe_ = Probe::Ack;
    bool plain_ = false;
    NodeState state_;
    std::vector<FaultRule> faults_;
    std::vector<Request> requests_;
    std::vector<Transfer> transfers_;
    std::optional<PendingReply> reply_;
    std::optional<Fault> lastFault_;
    static const std::array<Command, 33> kCommands;
    std::mt19937_64 random_{1};
    ReadyDelays readyDelays_;
    uint64_t nowUs_ = 0;        // wall clock of the request being answered
    uint32_t maxFileSize_ = kDefaultMaxFileSize;
    std::optional<std::size_t> completedSend_;  // transfers_ index of a send whose digest matched
    std::function<void(const std::string&, const StoredFile&)> fileStored_;
    std::shared_ptr<FirmwareNode> firmware_;
};

}  // namespace sim
