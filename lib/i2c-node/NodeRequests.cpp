// Request steps. Each sends one payload: the opcode, then the arguments; integers are
// little-endian, and a text carries no terminator unless one is written here.

#include "NorvaneI2CNode.h"
#include "RequestFrame.h"

// Wire: C0.
int32_t NorvaneI2CNode::commandC0Request() {
    return sendOpcode(0xC0);
}

// Wire: C1.
int32_t NorvaneI2CNode::commandC1Request() {
    return sendOpcode(0xC1);
}

// Wire: C2, text.
int32_t NorvaneI2CNode::commandC2Request(const std::string& text) {
    return sendOpcodeAndText(0xC2, text);
}

// Wire: C3.
int32_t NorvaneI2CNode::commandC3Request() {
    return sendOpcode(0xC3);
}

// Wire: E0.
int32_t NorvaneI2CNode::getTimeRequest() {
    return sendOpcode(0xE0);
}

// Wire: F0, value (8 bytes).
int32_t NorvaneI2CNode::setTimeRequest(uint64_t value) {
    RequestFrame frame(0xF0);
    frame.putU64(value);
    return sendRequest(frame);
}

// Wire: E1.
int32_t NorvaneI2CNode::getTextE1Request() {
    return sendOpcode(0xE1);
}

// Wire: F1, first, NUL, second, NUL.
int32_t NorvaneI2CNode::setTextPairF1Request(const std::string& first, const std::string& second) {
    RequestFrame frame(0xF1);
    frame.putTerminatedText(first).putTerminatedText(second);
    return sendRequest(frame);
}

// Wire: E2.
int32_t NorvaneI2CNode::getIdentityRequest() {
    return sendOpcode(0xE2);
}

// Wire: F2, text, NUL, value (1 byte).
int32_t NorvaneI2CNode::setTextByteF2Request(const std::string& text, uint8_t value) {
    RequestFrame frame(0xF2);
    frame.putTerminatedText(text).putByte(value);
    return sendRequest(frame);
}

// Wire: E3.
int32_t NorvaneI2CNode::getTextE3Request() {
    return sendOpcode(0xE3);
}

// Wire: F3, text.
int32_t NorvaneI2CNode::setTextF3Request(const std::string& text) {
    return sendOpcodeAndText(0xF3, text);
}

// Wire: E4.
int32_t NorvaneI2CNode::getTextE4Request() {
    return sendOpcode(0xE4);
}

// Wire: F4, text.
int32_t NorvaneI2CNode::setTextF4Request(const std::string& text) {
    return sendOpcodeAndText(0xF4, text);
}

// Wire: E5.
int32_t NorvaneI2CNode::getTextE5Request() {
    return sendOpcode(0xE5);
}

// Wire: F5, text.
int32_t NorvaneI2CNode::setTextF5Request(const std::string& text) {
    return sendOpcodeAndText(0xF5, text);
}

// Wire: E6.
int32_t NorvaneI2CNode::getTextMapRequest() {
    return sendOpcode(0xE6);
}

// Wire: A0.
int32_t NorvaneI2CNode::getValuesA0Request() {
    return sendOpcode(0xA0);
}

// Wire: B0, value1 .. value5 (4 bytes each).
int32_t NorvaneI2CNode::setValuesB0Request(uint32_t value1, uint32_t value2, uint32_t value3,
                                           uint32_t value4, uint32_t value5) {
    RequestFrame frame(0xB0);
    frame.putU32(value1).putU32(value2).putU32(value3).putU32(value4).putU32(value5);
    return sendRequest(frame);
}

// Wire: opcode (A1 .. A5), argument (4 bytes).
int32_t NorvaneI2CNode::getRecordsRequest(uint32_t argument, uint8_t opcode) {
    RequestFrame frame(opcode);
    frame.putU32(argument);
    return sendRequest(frame);
}

// Wire: 90, name.
int32_t NorvaneI2CNode::getLinesRequest(const std::string& name) {
    return sendOpcodeAndText(0x90, name);
}

// Wire: 91, name.
int32_t NorvaneI2CNode::textCommand91Request(const std::string& name) {
    return sendOpcodeAndText(0x91, name);
}

// Wire: 92, name.
int32_t NorvaneI2CNode::textCommand92Request(const std::string& name) {
    return sendOpcodeAndText(0x92, name);
}

// Wire: 93, name.
int32_t NorvaneI2CNode::getFileInfoRequest(const std::string& name) {
    return sendOpcodeAndText(0x93, name);
}

// Wire: 96, name.
int32_t NorvaneI2CNode::textCommand96Request(const std::string& name) {
    return sendOpcodeAndText(0x96, name);
}

// Wire: 97, first, NUL, second.
int32_t NorvaneI2CNode::textPairCommand97Request(const std::string& first,
                                                 const std::string& second) {
    return sendJoinedTexts(0x97, first, second);
}

// Wire: 98, first, NUL, second.
int32_t NorvaneI2CNode::textPairCommand98Request(const std::string& first,
                                                 const std::string& second) {
    return sendJoinedTexts(0x98, first, second);
}
