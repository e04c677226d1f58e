#include "NorvaneI2CNode.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "BusSchedule.h"
#include "PrintableText.h"
#include "ReplyPayload.h"
#include "RequestFrame.h"

NorvaneI2CNode::NorvaneI2CNode(uint8_t addr, const char* bus) : addr(addr) {
    std::cout << "NorvaneI2CNode(uint8_t addr, const char *bus)" << static_cast<int>(addr) << " "
              << bus << std::endl;
    master = NorvaneI2cMaster(addr, bus);
    if (master.getError() != MASTER_OK) {
        std::printf("Error creating master\n");
        std::fflush(stdout);
        return;
    }
    this->bus = bus;
}

// Inside a bus schedule the wait is the schedule's to fill with other nodes' work.
void NorvaneI2CNode::waitOut(useconds_t waitUs) {
    if (BusSchedule::yieldFor(waitUs)) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::microseconds(waitUs);
    while (::usleep(waitUs) != 0 && errno == EINTR) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
        if (left <= 0) {
            return;
        }
        waitUs = static_cast<useconds_t>(left);
    }
}

// With polling, the reply step's header may be read by a poll before the wait has passed;
// once it has, the reply step reads as it does without polling.
void NorvaneI2CNode::awaitReply(useconds_t waitUs) {
    if (replyPollUs == 0) {
        waitOut(waitUs);
        return;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::microseconds(waitUs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
        if (left <= 0) {
            return;
        }
        waitOut(static_cast<useconds_t>(std::min<int64_t>(left, replyPollUs)));
        if (Clock::now() < end && master.pollHeader()) {
            return;
        }
    }
}

NorvaneI2CNode::~NorvaneI2CNode() {
    master.close();
}

NorvaneI2CNode::NorvaneI2CNode(NorvaneI2CNode&& other) noexcept
    : addr(other.addr),
      bus(std::move(other.bus)),
      status(other.status),
      master(std::exchange(other.master, NorvaneI2cMaster())) {}

NorvaneI2CNode& NorvaneI2CNode::operator=(NorvaneI2CNode&& other) noexcept {
    if (this != &other) {
        master.close();
        addr = other.addr;
        bus = std::move(other.bus);
        status = other.status;
        master = std::exchange(other.master, NorvaneI2cMaster());
    }
    return *this;
}

int32_t NorvaneI2CNode::fail(NodeStatus code) {
    status = code;
    return status;
}

// Wire: the whole frame in one write transaction.
int32_t NorvaneI2CNode::sendRequest(RequestFrame& frame) {
    uint8_t* copy = nullptr;
    uint16_t length = 0;
    if (!frame.take(copy, length)) {
        return fail(NODE_NO_REQUEST_FRAME);
    }
    int32_t sent = master.send(copy, length);
    std::free(copy);
    return sent == MASTER_TRANSFER_OK ? status : fail(NODE_TRANSPORT_FAILURE);
}

int32_t NorvaneI2CNode::sendOpcode(uint8_t opcode) {
    RequestFrame frame(opcode);
    return sendRequest(frame);
}

int32_t NorvaneI2CNode::sendOpcodeAndText(uint8_t opcode, const std::string& text) {
    RequestFrame frame(opcode);
    frame.putText(text);
    return sendRequest(frame);
}

int32_t NorvaneI2CNode::sendJoinedTexts(uint8_t opcode, const std::string& first,
                                        const std::string& second) {
    RequestFrame frame(opcode);
    frame.putTerminatedText(first).putText(second);
    return sendRequest(frame);
}

// Wire: a 3-byte read of start byte and length, then a read of the rest of the frame.
bool NorvaneI2CNode::receiveReply(ReplyPayload& payload) {
    if (payload.receive(master) != MASTER_TRANSFER_OK) {
        fail(NODE_TRANSPORT_FAILURE);
        return false;
    }
    return true;
}

bool NorvaneI2CNode::receiveOkReply(ReplyPayload& payload) {
    if (!receiveReply(payload)) {
        return false;
    }
    if (!payload.beginsWithOk()) {
        fail(NODE_REPLY_NOT_OK);
        return false;
    }
    return true;
}

int32_t NorvaneI2CNode::readOkReply() {
    ReplyPayload payload;
    receiveOkReply(payload);
    return status;
}

int32_t NorvaneI2CNode::readC0Reply() {
    ReplyPayload payload;
    if (!receiveReply(payload) || payload.beginsWithOk()) {
        return status;
    }
    std::cout << "Error revice is " << printableText(reinterpret_cast<const char*>(payload.data()))
              << std::endl;
    return fail(NODE_REPLY_NOT_OK);
}
