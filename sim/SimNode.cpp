#include "SimNode.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Sha256.h"

namespace sim {

namespace {

constexpr uint8_t kSendFile = 0x94;
constexpr uint8_t kGetFile = 0x95;
constexpr uint8_t kStart = 0xAA;
constexpr uint8_t kChunk = 0xCC;
constexpr uint8_t kEnd = 0xEE;
constexpr uint8_t kIdleBus = 0xFF;
constexpr uint8_t kFiller = 0xEE;
// A reply that never becomes ready: the firmware had none.
constexpr uint64_t kNeverReady = UINT64_MAX;
// Rounds of a firmware's main loop after a write, until its reply is ready.
constexpr unsigned kMainLoopRounds = 16;
constexpr std::size_t kHeaderBytes = 3;
// The CRC and end byte after the payload.
constexpr std::size_t kFrameEndBytes = 3;
// Largest chunk that still fits a reply frame after "OK".
constexpr std::size_t kMaxChunk = kMaxPayload - 2;

Bytes ok() {
    return bytesOf("OK");
}
Bytes refused() {
    return bytesOf("NO");
}

Bytes okWithText(const std::string& text) {
    Bytes reply = ok();
    reply.insert(reply.end(), text.begin(), text.end());
    reply.push_back(0);
    return reply;
}

// Splits `args` at NUL bytes; a text without a trailing NUL still counts.
std::vector<std::string> textsIn(const Bytes& args, std::size_t from = 0) {
    std::vector<std::string> texts;
    std::string current;
    for (std::size_t i = from; i < args.size(); ++i) {
        if (args[i] == 0) {
            texts.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(args[i]);
        }
    }
    if (!current.empty()) texts.push_back(current);
    return texts;
}

std::string textOf(const Bytes& args, std::size_t from = 0) {
    return from >= args.size() ? std::string()
                               : std::string(args.begin() + static_cast<long>(from), args.end());
}

bool matches(const FaultRule& rule, const Bytes& payload) {
    if (rule.opcode && (payload.empty() || payload[0] != *rule.opcode)) return false;
    if (rule.subop && (payload.size() < 2 || payload[1] != *rule.subop)) return false;
    return true;
}

struct NamedFault {
    Fault fault;
    const char* name;
};

constexpr std::array<NamedFault, 12> kFaultNames = {{
    {Fault::NoAnswer, "no-answer"},
    {Fault::BadStartByte, "bad-start-byte"},
    {Fault::LengthTooLarge, "length-too-large"},
    {Fault::BadCrc, "bad-crc"},
    {Fault::BadEndByte, "bad-end-byte"},
    {Fault::ShortSecondRead, "short-second-read"},
    {Fault::NotOk, "not-ok"},
    {Fault::WrongLength, "wrong-length"},
    {Fault::RawPayload, "raw-payload"},
    {Fault::RawReply, "raw-reply"},
    {Fault::RefuseWrite, "refuse-write"},
    {Fault::ShortWrite, "short-write"},
}};

}  // namespace

std::string faultName(Fault fault) {
    for (const NamedFault& named : kFaultNames) {
        if (named.fault == fault) return named.name;
    }
    return "";
}

std::optional<Fault> faultNamed(const std::string& name) {
    for (const NamedFault& named : kFaultNames) {
        if (name == named.name) return named.fault;
    }
    return std::nullopt;
}

std::string stateFileName(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool plain = std::isalnum(c) || c == '_' || c == '-' || (c == '.' && i > 0);
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        out += plain ? std::string(1, static_cast<char>(c)) : std::string(escaped);
    }
    return out;
}

bool acceptsFileName(const std::string& name) {
    return !name.empty() && stateFileName(name).size() <= 255;
}

uint64_t ReadyDelays::delayUs(const Bytes& payload) const {
    if (payload.empty()) return defaultUs.value_or(0);
    if (payload.size() > 1) {
        if (auto it = byStep.find({payload[0], payload[1]}); it != byStep.end()) return it->second;
    }
    if (auto it = byOpcode.find(payload[0]); it != byOpcode.end()) return it->second;
    return defaultUs.value_or(0);
}

Bytes Request::arguments() const {
    return payload.empty() ? Bytes() : Bytes(payload.begin() + 1, payload.end());
}

SimNode::SimNode(uint8_t address) : address_(address) {}

void SimNode::inject(FaultRule rule) {
    faults_.push_back(std::move(rule));
}

void SimNode::failNext(Fault fault, std::optional<uint8_t> opcode) {
    inject(FaultRule{.fault = fault, .opcode = opcode});
}

void SimNode::failAlways(Fault fault, std::optional<uint8_t> opcode) {
    inject(FaultRule{.fault = fault, .opcode = opcode, .persist = Persist::Always});
}

void SimNode::replyPayload(const Bytes& payload, std::optional<uint8_t> opcode, Persist persist) {
    inject(FaultRule{
        .fault = Fault::RawPayload, .opcode = opcode, .persist = persist, .bytes = payload});
}

void SimNode::clearFaults() {
    faults_.clear();
}

const Request& SimNode::lastRequest() const {
    if (requests_.empty()) throw std::logic_error("the node has received no request");
    return requests_.back();
}

std::vector<Request> SimNode::requestsFor(uint8_t opcode) const {
    std::vector<Request> found;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(found),
                 [opcode](const Request& r) { return r.valid && r.opcode() == opcode; });
    return found;
}

void SimNode::clearRequests() {
    requests_.clear();
}

void SimNode::putFile(const std::string& name, const Bytes& content, uint32_t extra) {
    state_.files[name] = StoredFile{.content = content, .extra = extra};
}

const StoredFile* SimNode::file(const std::string& name) const {
    auto it = state_.files.find(name);
    return it == state_.files.end() ? nullptr : &it->second;
}

bool SimNode::hits(FaultRule& rule) {
    if (rule.skip > 0) {
        --rule.skip;
        return false;
    }
    return rule.probability >= 1.0 ||
           std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rule.probability;
}

std::optional<FaultRule> SimNode::takeFault(const Bytes& payload) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (!matches(*it, payload) || !hits(*it)) continue;
        FaultRule rule = *it;
        if (rule.persist == Persist::Once && --it->times == 0) faults_.erase(it);
        return rule;
    }
    return std::nullopt;
}

ssize_t SimNode::busWrite(const uint8_t* data, std::size_t count, int& error,
                          const WriteStamp& stamp) {
    Request request;
    request.raw.assign(data, data + count);
    DecodedFrame decoded = decodeFrame(request.raw);
    request.valid = decoded.ok;
    request.error = std::move(decoded.error);
    request.payload = std::move(decoded.payload);
    request.timeUs = stamp.timeUs;
    request.eventIndex = stamp.eventIndex;
    reply_.reset();
    nowUs_ = stamp.timeUs;
    if (plain_) return static_cast<ssize_t>(count);

    const std::optional<FaultRule> fault = takeFault(request.payload);
    lastFault_ = fault ? std::optional<Fault>(fault->fault) : std::nullopt;
    ssize_t result = static_cast<ssize_t>(count);
    if (fault && fault->fault == Fault::RefuseWrite) {
        error = EIO;
        result = -1;
    } else if (fault && fault->fault == Fault::ShortWrite) {
        result = static_cast<ssize_t>(count) - 1;
    } else if (request.valid || firmware_) {
        request.reply = reply(request, fault);
        if (reply_ && !readyDelays_.empty())
            reply_->readyAtUs =
                std::max(reply_->readyAtUs, stamp.doneUs + readyDelays_.delayUs(request.payload));
    }
    if (stamp.record) {
        requests_.push_back(std::move(request));
    } else {
        forgetPastTransfers();
    }
    return result;
}

// A board that records nothing may serve for months: it keeps only the
// transfers that can still go on, the newest open one of each direction
// (the one openTransfer finds).
void SimNode::forgetPastTransfers() {
    std::vector<Transfer> goingOn;
    bool found[2] = {false, false};
    for (auto it = transfers_.rbegin(); it != transfers_.rend(); ++it) {
        bool& newest = found[it->direction == Direction::Send ? 0 : 1];
        if (it->ended || newest) continue;
        newest = true;
        goingOn.insert(goingOn.begin(), std::move(*it));
    }
    transfers_ = std::move(goingOn);
}

Bytes SimNode::reply(const Request& request, const std::optional<FaultRule>& fault) {
    if (firmware_) return firmwareReply(request.raw, fault);
    Bytes answered = answer(request.payload);
    if (fault) answered = applyPayloadFault(*fault, std::move(answered));
    keepCompletedSend(answered);
    if (fault && fault->fault == Fault::NoAnswer) return {};
    return serve(encodeFrame(answered), fault);
}

Bytes SimNode::serve(Bytes frame, const std::optional<FaultRule>& fault) {
    if (fault) frame = applyFrameFault(*fault, std::move(frame));
    reply_ = PendingReply{.frame = frame,
                          .shortSecondRead = fault && fault->fault == Fault::ShortSecondRead};
    return frame;
}

// A payload fault rewrites the payload of a frame the firmware built whole;
// a frame it built broken reaches the board as it is.
Bytes SimNode::firmwareReply(const Bytes& raw, const std::optional<FaultRule>& fault) {
    Bytes frame = clockedOutReply(raw);
    if (fault && fault->fault == Fault::NoAnswer) return {};
    if (frame.empty()) {
        reply_ = PendingReply{};
        reply_->readyAtUs = kNeverReady;
        return frame;
    }
    if (DecodedFrame decoded = decodeFrame(frame); fault && decoded.ok) {
        frame = encodeFrame(applyPayloadFault(*fault, std::move(decoded.payload)));
    }
    return serve(std::move(frame), fault);
}

// The receive interrupt takes the write whole; each round of the main loop is
// followed by the board's header read, which gets 0xFF bytes while the reply
// is not ready (and leaves it where it was), and once it is ready by the read
// of the rest.
Bytes SimNode::clockedOutReply(const Bytes& raw) {
    firmware_->receive(raw.data(), raw.size());
    for (unsigned round = 0; round < kMainLoopRounds; ++round) {
        firmware_->poll();
        Bytes frame = readFromFirmware(kHeaderBytes);
        if (frame[0] == kIdleBus) continue;
        const std::size_t length = std::min<std::size_t>(frame[1] << 8 | frame[2], kMaxPayload);
        const Bytes rest = readFromFirmware(length + kFrameEndBytes);
        frame.insert(frame.end(), rest.begin(), rest.end());
        return frame;
    }
    return {};
}

// One read transaction: its start, then a transmit interrupt per byte.
Bytes SimNode::readFromFirmware(std::size_t count) {
    firmware_->readStart();
    Bytes bytes(count);
    for (uint8_t& byte : bytes) byte = firmware_->nextByte();
    return bytes;
}

// A send's file is stored only when the node tells the board so: an end step
// that a fault turns into a refusal leaves the store as it was.
void SimNode::keepCompletedSend(const Bytes& answered) {
    if (!completedSend_) return;
    const Transfer& transfer = transfers_[*completedSend_];
    completedSend_.reset();
    if (answered.size() < 2 || answered[0] != 'O' || answered[1] != 'K') return;
    StoredFile& stored = state_.files[transfer.name] = StoredFile{.content = transfer.received};
    if (fileStored_) fileStored_(transfer.name, stored);
}

ssize_t SimNode::busRead(uint8_t* data, std::size_t count, int noAnswerErrno, int& error,
                         uint64_t atUs, bool& idle) {
    if (plain_) {
        std::fill_n(data, count, 0);
        return static_cast<ssize_t>(count);
    }
    if (!reply_ && firmware_ && !lastFault_) {
        const Bytes bytes = readFromFirmware(count);
        std::copy(bytes.begin(), bytes.end(), data);
        return static_cast<ssize_t>(count);
    }
    if (!reply_) {
        error = noAnswerErrno;
        return -1;
    }
    PendingReply& reply = *reply_;
    idle = atUs < reply.readyAtUs;
    if (idle) {
        std::fill_n(data, count, kIdleBus);
        return static_cast<ssize_t>(count);
    }
    ++reply.reads;
    std::size_t delivered = count;
    if (reply.shortSecondRead && reply.reads == 2 && delivered > 0) --delivered;
    for (std::size_t i = 0; i < delivered; ++i) {
        const std::size_t at = reply.cursor + i;
        data[i] = at < reply.frame.size() ? reply.frame[at] : kIdleBus;
    }
    reply.cursor += delivered;
    return static_cast<ssize_t>(delivered);
}

bool SimNode::busProbe(uint8_t /*dataByte*/) const {
    return probe_ == Probe::Ack;
}

Bytes SimNode::applyPayloadFault(const FaultRule& rule, Bytes payload) const {
    switch (rule.fault) {
        case Fault::NotOk:
            if (payload.size() >= 2) payload[0] = 'N', payload[1] = 'O';
            return payload;
        case Fault::WrongLength:
            if (!payload.empty()) payload.pop_back();
            return payload;
        case Fault::RawPayload:
            return rule.bytes;
        default:
            return payload;
    }
}

Bytes SimNode::applyFrameFault(const FaultRule& rule, Bytes frame) const {
    switch (rule.fault) {
        case Fault::BadStartByte:
            frame[0] = 0xFF;
            return frame;
        case Fault::LengthTooLarge:
            frame[1] = 0x1F;
            frame[2] = 0xFB;
            return frame;
        case Fault::BadCrc:
            ++frame[frame.size() - 2];
            return frame;
        case Fault::BadEndByte:
            frame.back() = 0x05;
            return frame;
        case Fault::RawReply:
            return rule.bytes;
        default:
            return frame;
    }
}

const std::array<SimNode::Command, 33> SimNode::kCommands = {{
    {0xC0, "commandC0", &SimNode::answerOk},
    {0xC1, "commandC1", &SimNode::answerOk},
    {0xC2, "commandC2", &SimNode::answerOk},
    {0xC3, "commandC3", &SimNode::answerOk},
    {0xE0, "getTime", &SimNode::answerGetTime},
    {0xE1, "getTextE1", &SimNode::answerText},
    {0xE2, "getIdentity", &SimNode::answerIdentity},
    {0xE3, "getTextE3", &SimNode::answerText},
    {0xE4, "getTextE4", &SimNode::answerText},
    {0xE5, "getTextE5", &SimNode::answerText},
    {0xE6, "getTextMap", &SimNode::answerTextMap},
    {0xF0, "setTime", &SimNode::answerSetTime},
    {0xF1, "setTextPairF1", &SimNode::answerSetPairF1},
    {0xF2, "setTextByteF2", &SimNode::answerSetTextByteF2},
    {0xF3, "setTextF3", &SimNode::answerSetText},
    {0xF4, "setTextF4", &SimNode::answerSetText},
    {0xF5, "setTextF5", &SimNode::answerSetText},
    {0xA0, "getValuesA0", &SimNode::answerValuesA0},
    {0xB0, "setValuesB0", &SimNode::answerSetValuesB0},
    {0xA1, "getRecordsA1", &SimNode::answerRecords},
    {0xA2, "getRecordsA2", &SimNode::answerRecords},
    {0xA3, "getRecordsA3", &SimNode::answerRecords},
    {0xA4, "getRecordsA4", &SimNode::answerRecords},
    {0xA5, "getRecordsA5", &SimNode::answerRecords},
    {0x90, "getLines", &SimNode::answerLines},
    {0x91, "textCommand91", &SimNode::answerOk},
    {0x92, "textCommand92", &SimNode::answerOk},
    {0x93, "getFileInfo", &SimNode::answerFileInfo},
    {kSendFile, "sendFile", &SimNode::answerSendTransfer},
    {kGetFile, "getFile", &SimNode::answerGetTransfer},
    {0x96, "textCommand96", &SimNode::answerOk},
    {0x97, "textPairCommand97", &SimNode::answerOk},
    {0x98, "textPairCommand98", &SimNode::answerOk},
}};

const SimNode::Command* SimNode::findCommand(uint8_t opcode) {
    for (const Command& command : kCommands) {
        if (command.opcode == opcode) return &command;
    }
    return nullptr;
}

std::string commandName(uint8_t opcode) {
    const SimNode::Command* command = SimNode::findCommand(opcode);
    return command == nullptr ? std::string() : command->name;
}

std::string transferStepName(uint8_t subop) {
    switch (subop) {
        case kStart:
            return "start";
        case kChunk:
            return "chunk";
        case kEnd:
            return "end";
        default:
            return "";
    }
}

Bytes SimNode::answer(const Bytes& payload) {
    const Command* command = payload.empty() ? nullptr : findCommand(payload[0]);
    if (command == nullptr) return refused();
    return (this->*command->answer)(payload[0], Bytes(payload.begin() + 1, payload.end()));
}

Bytes SimNode::answerOk(uint8_t /*opcode*/, const Bytes& /*args*/) {
    return ok();
}

uint64_t SimNode::clockAt(uint64_t nowUs) const {
    const std::optional<uint64_t>& since = state_.clockRunsSinceUs;
    if (!since || nowUs < *since) return state_.clockMs;
    return state_.clockMs + (nowUs - *since) / 1000;
}

Bytes SimNode::answerGetTime(uint8_t /*opcode*/, const Bytes& /*args*/) {
    Bytes reply = ok();
    putLe64(reply, clockAt(nowUs_));
    return reply;
}

Bytes SimNode::answerSetTime(uint8_t /*opcode*/, const Bytes& args) {
    if (args.size() != 8) return refused();
    state_.clockMs = le64At(args, 0);
    if (state_.clockRunsSinceUs) state_.clockRunsSinceUs = nowUs_;
    return ok();
}

std::string& SimNode::textOfCommand(uint8_t opcode) {
    switch (opcode) {
        case 0xE3:
        case 0xF3:
            return state_.textE3;
        case 0xE4:
        case 0xF4:
            return state_.textE4;
        case 0xE5:
        case 0xF5:
            return state_.textE5;
        default:
            return state_.textE1;
    }
}

Bytes SimNode::answerText(uint8_t opcode, const Bytes& /*args*/) {
    return okWithText(textOfCommand(opcode));
}

Bytes SimNode::answerSetText(uint8_t opcode, const Bytes& args) {
    textOfCommand(opcode) = textOf(args);
    return ok();
}

Bytes SimNode::answerSetPairF1(uint8_t /*opcode*/, const Bytes& args) {
    const std::vector<std::string> texts = textsIn(args);
    state_.pairF1First = texts.size() > 0 ? texts[0] : "";
    state_.pairF1Second = texts.size() > 1 ? texts[1] : "";
    return ok();
}

Bytes SimNode::answerSetTextByteF2(uint8_t /*opcode*/, const Bytes& args) {
    const auto nul = std::find(args.begin(), args.end(), uint8_t{0});
    if (nul == args.end() || nul + 1 == args.end()) return refused();
    state_.textF2.assign(args.begin(), nul);
    state_.byteF2 = *(nul + 1);
    return ok();
}

Bytes SimNode::answerIdentity(uint8_t /*opcode*/, const Bytes& /*args*/) {
    Bytes reply = ok();
    for (const std::string& text : state_.identity) {
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(0);
    }
    return reply;
}

Bytes SimNode::answerTextMap(uint8_t /*opcode*/, const Bytes& /*args*/) {
    Bytes reply = ok();
    putLe32(reply, static_cast<uint32_t>(state_.textMap.size()));
    for (const auto& [key, text] : state_.textMap) {
        putLe32(reply, key);
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(0);
    }
    return reply;
}

Bytes SimNode::answerValuesA0(uint8_t /*opcode*/, const Bytes& /*args*/) {
    Bytes reply = ok();
    for (uint32_t value : state_.valuesA0) putLe32(reply, value);
    return reply;
}

Bytes SimNode::answerSetValuesB0(uint8_t /*opcode*/, const Bytes& args) {
    if (args.size() != 20) return refused();
    for (std::size_t i = 0; i < 5; ++i) state_.valuesA0[i] = le32At(args, 4 * i);
    return ok();
}

Bytes SimNode::answerRecords(uint8_t opcode, const Bytes& args) {
    if (args.size() != 4) return refused();
    state_.recordArguments[opcode] = le32At(args, 0);
    const std::vector<Record>& records = state_.records[opcode];
    Bytes reply = ok();
    putLe32(reply, static_cast<uint32_t>(records.size()));
    for (const Record& record : records) {
        putLe32(reply, record.tag);
        putLe32(reply, static_cast<uint32_t>(record.data.size()));
        reply.insert(reply.end(), record.data.begin(), record.data.end());
    }
    return reply;
}

Bytes SimNode::answerLines(uint8_t /*opcode*/, const Bytes& args) {
    auto it = state_.lines.find(textOf(args));
    return okWithText(it == state_.lines.end() ? std::string() : it->second);
}

Bytes SimNode::answerFileInfo(uint8_t /*opcode*/, const Bytes& args) {
    const StoredFile* stored = file(textOf(args));
    if (stored == nullptr) return refused();
    Bytes reply = ok();
    putLe32(reply, static_cast<uint32_t>(stored->content.size()));
    putLe32(reply, stored->extra);
    const std::array<uint8_t, 32> digest = stored->digestOverride.value_or(sha256(stored->content));
    reply.insert(reply.end(), digest.begin(), digest.end());
    return reply;
}

Transfer* SimNode::openTransfer(Direction direction) {
    for (auto it = transfers_.rbegin(); it != transfers_.rend(); ++it) {
        if (it->direction == direction && !it->ended) return &*it;
    }
    return nullptr;
}

Bytes SimNode::answerSendTransfer(uint8_t /*opcode*/, const Bytes& args) {
    if (args.empty()) return refused();
    const uint8_t subop = args[0];
    if (subop == kStart) {
        if (args.size() < 1 + 4 + 32) return refused();
        const std::string name = textOf(args, 37);
        if (le32At(args, 1) > maxFileSize_ || !acceptsFileName(name)) return refused();
        Transfer transfer{.direction = Direction::Send,
                          .name = name,
                          .handle = state_.nextHandle++,
                          .declaredSize = le32At(args, 1)};
        std::copy(args.begin() + 5, args.begin() + 37, transfer.declaredDigest.begin());
        transfers_.push_back(transfer);
        Bytes reply = ok();
        putLe32(reply, transfer.handle);
        return reply;
    }
    Transfer* transfer = openTransfer(Direction::Send);
    if (transfer == nullptr) return refused();
    if (subop == kChunk) {
        if (args.size() < 13 || le32At(args, 1) != transfer->handle) return refused();
        const uint32_t offset = le32At(args, 5);
        const uint32_t length = le32At(args, 9);
        transfer->chunkOffsets.push_back(offset);
        transfer->chunkLengths.push_back(length);
        const Bytes data(args.begin() + 13, args.end());
        if (data.size() != length || offset > maxFileSize_ || length > maxFileSize_ - offset) {
            return refused();
        }
        if (transfer->received.size() < offset + data.size()) {
            transfer->received.resize(offset + data.size());
        }
        std::copy(data.begin(), data.end(), transfer->received.begin() + offset);
        return ok();
    }
    if (subop != kEnd) return refused();
    transfer->ended = true;
    transfer->received.resize(transfer->declaredSize);
    transfer->digestMatched = sha256(transfer->received) == transfer->declaredDigest;
    if (!transfer->digestMatched) return refused();
    completedSend_ = static_cast<std::size_t>(transfer - transfers_.data());
    return ok();
}

Bytes SimNode::answerGetTransfer(uint8_t /*opcode*/, const Bytes& args) {
    if (args.empty()) return refused();
    const uint8_t subop = args[0];
    if (subop == kStart) {
        const std::string name = textOf(args, 1);
        if (file(name) == nullptr) return refused();
        transfers_.push_back(
            Transfer{.direction = Direction::Get, .name = name, .handle = state_.nextHandle++});
        Bytes reply = ok();
        putLe32(reply, transfers_.back().handle);
        return reply;
    }
    Transfer* transfer = openTransfer(Direction::Get);
    if (transfer == nullptr) return refused();
    if (subop == kChunk) {
        if (args.size() != 13 || le32At(args, 1) != transfer->handle) return refused();
        const uint32_t offset = le32At(args, 5);
        const uint32_t length = le32At(args, 9);
        transfer->chunkOffsets.push_back(offset);
        transfer->chunkLengths.push_back(length);
        const StoredFile* stored = file(transfer->name);
        if (stored == nullptr) return refused();
        Bytes reply = ok();
        const Bytes data = nextChunk(*stored, offset, length);
        reply.insert(reply.end(), data.begin(), data.end());
        return reply;
    }
    if (subop != kEnd) return refused();
    transfer->ended = true;
    return ok();
}

Bytes SimNode::nextChunk(const StoredFile& stored, uint32_t offset, uint32_t length) {
    const std::size_t size = stored.content.size();
    const std::size_t remaining = offset < size ? size - offset : 0;
    std::size_t count = 0;
    if (!state_.chunkSizes.empty()) {
        count = state_.chunkSizes.front();
        state_.chunkSizes.pop_front();
    } else if (state_.chunkMode == ChunkMode::Normal) {
        count = std::min<std::size_t>(length, remaining);
    } else if (state_.chunkMode == ChunkMode::Overrun) {
        count = length;
    }
    count = std::min(count, kMaxChunk);
    Bytes data(count, kFiller);
    std::copy_n(stored.content.begin() + static_cast<long>(size - remaining),
                std::min(count, remaining), data.begin());
    return data;
}

}  // namespace sim
