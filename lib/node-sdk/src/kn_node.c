/* The link side of a node: request frames in from the receive interrupt,
 * reply frames out through the transmit interrupt, and the hand-over between
 * them and the main loop. */
#include <string.h>

#include "kn_internal.h"

enum {
    FRAME_START = 0x02,
    FRAME_END = 0x04,
    /* The longest payload a frame can declare (the board's frame buffer). */
    FRAME_PAYLOAD_LIMIT = 8186
};

/* Where the receive side is within a request frame. */
enum rx_step {
    RX_START,
    RX_LENGTH_HIGH,
    RX_LENGTH_LOW,
    RX_PAYLOAD,
    RX_CRC_HIGH,
    RX_CRC_LOW,
    RX_END,
    RX_DONE,
    RX_BROKEN
};

uint16_t kn_crc16(uint16_t crc, const uint8_t *data, size_t n) {
    while (n-- > 0) {
        unsigned bit;
        crc ^= (uint16_t)(*data++ << 8);
        for (bit = 0; bit < 8; ++bit) {
            crc = (uint16_t)((crc & 0x8000u) ? ((unsigned)crc << 1) ^ 0x1021u : (unsigned)crc << 1);
        }
    }
    return crc;
}

void kn_init(kn_node *node, const kn_handlers *handlers, void *user) {
    memset(node, 0, sizeof *node);
    node->handlers = handlers;
    node->user = user;
    node->rx_step = RX_START;
    /* The first transfer handle; each accepted start takes the next one. */
    node->next_handle = 0x1000u;
}

/* A write while the main loop still works on the previous request cannot be
 * kept (its buffer is in use): the request is lost, and so is the reply being
 * built, so that the board never takes that reply for the new request's. */
void kn_on_write_start(kn_node *node) {
    node->reply_ready = 0;
    node->tx_live = 0;
    if (node->request_pending) {
        node->overrun = 1;
        node->rx_step = RX_BROKEN;
        return;
    }
    node->rx_step = RX_START;
    node->rx_count = 0;
    node->rx_crc = 0;
}

/* Bytes that go beyond the buffer still count for the CRC, so that a correct
 * but too long request is told apart from a broken one and refused. */
static void keep_byte(kn_node *node, uint8_t byte) {
    if (node->rx_count < sizeof node->rx) node->rx[node->rx_count] = byte;
    ++node->rx_count;
}

static uint8_t after_length(kn_node *node) {
    if (node->rx_length > FRAME_PAYLOAD_LIMIT) return RX_BROKEN;
    return node->rx_length == 0 ? RX_CRC_HIGH : RX_PAYLOAD;
}

static uint8_t step_byte(kn_node *node, uint8_t byte) {
    switch (node->rx_step) {
        case RX_START:
            keep_byte(node, byte);
            return byte == FRAME_START ? RX_LENGTH_HIGH : RX_BROKEN;
        case RX_LENGTH_HIGH:
            keep_byte(node, byte);
            node->rx_length = (uint16_t)(byte << 8);
            return RX_LENGTH_LOW;
        case RX_LENGTH_LOW:
            keep_byte(node, byte);
            node->rx_length = (uint16_t)(node->rx_length | byte);
            return after_length(node);
        case RX_PAYLOAD:
            keep_byte(node, byte);
            return node->rx_count == node->rx_length + 3u ? RX_CRC_HIGH : RX_PAYLOAD;
        case RX_CRC_HIGH:
            node->rx_crc_carried = (uint16_t)(byte << 8);
            return RX_CRC_LOW;
        case RX_CRC_LOW:
            node->rx_crc_carried = (uint16_t)(node->rx_crc_carried | byte);
            return node->rx_crc_carried == node->rx_crc ? RX_END : RX_BROKEN;
        case RX_END:
            return byte == FRAME_END ? RX_DONE : RX_BROKEN;
        default:
            return RX_BROKEN;
    }
}

void kn_on_rx_byte(kn_node *node, uint8_t byte) {
    uint8_t step = node->rx_step;
    if (step == RX_BROKEN) return;
    if (step >= RX_LENGTH_HIGH && step <= RX_PAYLOAD) node->rx_crc = kn_crc16(node->rx_crc, &byte, 1);
    node->rx_step = step_byte(node, byte);
}

void kn_on_stop(kn_node *node) {
    if (node->rx_step == RX_DONE) node->request_pending = 1;
}

void kn_on_receive(kn_node *node, const uint8_t *bytes, size_t n) {
    size_t i;
    kn_on_write_start(node);
    for (i = 0; i < n; ++i) kn_on_rx_byte(node, bytes[i]);
    kn_on_stop(node);
}

void kn_on_read_start(kn_node *node) {
    node->tx_live = node->reply_ready;
}

uint8_t kn_next_tx_byte(kn_node *node) {
    uint16_t at = node->tx_cursor;
    if (!node->tx_live || at >= node->tx_length) return KN_IDLE_BYTE;
    node->tx_cursor = (uint16_t)(at + 1u);
    return node->tx[at];
}

/* The reply to the request in the receive buffer, into the payload area of
 * the transmit buffer. */
static size_t answer(kn_node *node) {
    kn_reply reply;
    kn_result result = KN_REFUSED;
    kn_request request;
    kn_command_fn command;
    kn_reply_start(&reply, node->tx + 3, KN_REPLY_PAYLOAD_MAX);
    if (node->rx_length > 0 && node->rx_length <= KN_REQUEST_PAYLOAD_MAX) {
        /* Texts that run to the end of the payload end at this NUL (over the
         * CRC, which has served). */
        node->rx[3u + node->rx_length] = 0;
        request.opcode = node->rx[3];
        request.args = node->rx + 4;
        request.n = node->rx_length - 1u;
        command = kn_find_command(request.opcode);
        if (command != NULL) result = command(node, &request, &reply);
    }
    kn_reply_finish(&reply, result);
    return reply.length;
}

static void frame_reply(kn_node *node, size_t length) {
    uint16_t crc;
    node->tx[0] = FRAME_START;
    node->tx[1] = (uint8_t)(length >> 8);
    node->tx[2] = (uint8_t)length;
    crc = kn_crc16(0, node->tx + 1, length + 2u);
    node->tx[3u + length] = (uint8_t)(crc >> 8);
    node->tx[4u + length] = (uint8_t)crc;
    node->tx[5u + length] = FRAME_END;
    node->tx_length = (uint16_t)(length + KN_FRAME_OVERHEAD);
    node->tx_cursor = 0;
}

/* The order matters against the interrupts: the reply is whole before it is
 * marked ready, and a write that came in meanwhile withdraws it. */
void kn_poll(kn_node *node) {
    if (!node->request_pending) return;
    frame_reply(node, answer(node));
    node->reply_ready = 1;
    node->request_pending = 0;
    if (node->overrun) {
        node->reply_ready = 0;
        node->overrun = 0;
    }
}
