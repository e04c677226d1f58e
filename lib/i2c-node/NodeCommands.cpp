// Command methods: each resets the status, runs its request step, waits, and runs its reply
// step only when the request went out.

#include "NorvaneI2CNode.h"

int32_t NorvaneI2CNode::commandC0() {
    return exchange([&] { return commandC0Request(); }, kCommandWaitUs,
                    [&] { return readC0Reply(); });
}

int32_t NorvaneI2CNode::commandC1() {
    return exchange([&] { return commandC1Request(); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::commandC2(const std::string& text) {
    return exchange([&] { return commandC2Request(text); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::commandC3() {
    return exchange([&] { return commandC3Request(); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getTime(uint64_t& value) {
    return exchange([&] { return getTimeRequest(); }, kCommandWaitUs,
                    [&] { return readTimeReply(value); });
}

int32_t NorvaneI2CNode::setTime(uint64_t value) {
    return exchange([&] { return setTimeRequest(value); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getTextE1(std::string& text) {
    return exchange([&] { return getTextE1Request(); }, kCommandWaitUs,
                    [&] { return readTextReply(text); });
}

int32_t NorvaneI2CNode::setTextPairF1(const std::string& first, const std::string& second) {
    return exchange([&] { return setTextPairF1Request(first, second); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getIdentity(std::string& t1, std::string& t2, std::string& t3,
                                    std::string& t4) {
    return exchange([&] { return getIdentityRequest(); }, kCommandWaitUs,
                    [&] { return readIdentityReply(t1, t2, t3, t4); });
}

int32_t NorvaneI2CNode::setTextByteF2(const std::string& text, uint8_t value) {
    return exchange([&] { return setTextByteF2Request(text, value); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getTextE3(std::string& text) {
    return exchange([&] { return getTextE3Request(); }, kCommandWaitUs,
                    [&] { return readTextReply(text); });
}

int32_t NorvaneI2CNode::setTextF3(const std::string& text) {
    return exchange([&] { return setTextF3Request(text); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getTextE4(std::string& text) {
    return exchange([&] { return getTextE4Request(); }, kCommandWaitUs,
                    [&] { return readTextReply(text); });
}

int32_t NorvaneI2CNode::setTextF4(const std::string& text) {
    return exchange([&] { return setTextF4Request(text); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getTextE5(std::string& text) {
    return exchange([&] { return getTextE5Request(); }, kCommandWaitUs,
                    [&] { return readTextReply(text); });
}

int32_t NorvaneI2CNode::setTextF5(const std::string& text) {
    return exchange([&] { return setTextF5Request(text); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getTextMap(std::map<uint32_t, std::string>& map) {
    return exchange([&] { return getTextMapRequest(); }, kCommandWaitUs,
                    [&] { return readTextMapReply(map); });
}

int32_t NorvaneI2CNode::getValuesA0(uint32_t& value1, uint32_t& value2, uint32_t& value3,
                                    uint32_t& value4, uint32_t& value5) {
    return exchange([&] { return getValuesA0Request(); }, kCommandWaitUs,
                    [&] { return readValuesReply(value1, value2, value3, value4, value5); });
}

int32_t NorvaneI2CNode::setValuesB0(uint32_t value1, uint32_t value2, uint32_t value3,
                                    uint32_t value4, uint32_t value5) {
    return exchange([&] { return setValuesB0Request(value1, value2, value3, value4, value5); },
                    kCommandWaitUs, [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getRecords(uint32_t argument, std::list<NodeRecord>& records,
                                   uint8_t opcode) {
    return exchange([&] { return getRecordsRequest(argument, opcode); }, kCommandWaitUs,
                    [&] { return readRecordsReply(records); });
}

int32_t NorvaneI2CNode::getRecordsA1(uint32_t argument, std::list<NodeRecord>& records) {
    return getRecords(argument, records, 0xA1);
}

int32_t NorvaneI2CNode::getRecordsA2(uint32_t argument, std::list<NodeRecord>& records) {
    return getRecords(argument, records, 0xA2);
}

int32_t NorvaneI2CNode::getRecordsA3(uint32_t argument, std::list<NodeRecord>& records) {
    return getRecords(argument, records, 0xA3);
}

int32_t NorvaneI2CNode::getRecordsA4(uint32_t argument, std::list<NodeRecord>& records) {
    return getRecords(argument, records, 0xA4);
}

int32_t NorvaneI2CNode::getRecordsA5(uint32_t argument, std::list<NodeRecord>& records) {
    return getRecords(argument, records, 0xA5);
}

int32_t NorvaneI2CNode::getLines(const std::string& name, std::list<std::string>& lines) {
    return exchange([&] { return getLinesRequest(name); }, kLinesWaitUs,
                    [&] { return readLinesReply(lines); });
}

int32_t NorvaneI2CNode::textCommand91(const std::string& name) {
    return exchange([&] { return textCommand91Request(name); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::textCommand92(const std::string& name) {
    return exchange([&] { return textCommand92Request(name); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::getFileInfo(const std::string& name, uint32_t& size, uint32_t& extra,
                                    uint8_t digest[32]) {
    return exchange([&] { return getFileInfoRequest(name); }, kCommandWaitUs,
                    [&] { return readFileInfoReply(size, extra, digest); });
}

int32_t NorvaneI2CNode::textCommand96(const std::string& name) {
    return exchange([&] { return textCommand96Request(name); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::textPairCommand97(const std::string& first, const std::string& second) {
    return exchange([&] { return textPairCommand97Request(first, second); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}

int32_t NorvaneI2CNode::textPairCommand98(const std::string& first, const std::string& second) {
    return exchange([&] { return textPairCommand98Request(first, second); }, kCommandWaitUs,
                    [&] { return readOkReply(); });
}
