/*
 * A node firmware skeleton around the node library: where the I2C slave
 * interrupt and the main loop call it, and every handler stubbed.
 *
 * The I2C slave block below is a stand-in with the events every such block
 * has (address matched with its direction, byte received, transmit register
 * empty, stop); take the real registers and flags from the microcontroller's
 * reference manual. The millisecond tick comes from SysTick.
 */
#include <stdint.h>

#include "kestro_node.h"

typedef struct i2c_slave_block {
    volatile uint32_t status;
    volatile uint32_t clear;
    volatile uint32_t data;
} i2c_slave_block;

#define I2C_SLAVE ((i2c_slave_block *)0x40005400u)
#define I2C_ADDRESS_MATCHED (1u << 0)
#define I2C_DIRECTION_READ (1u << 1)
#define I2C_RECEIVED (1u << 2)
#define I2C_TRANSMIT_EMPTY (1u << 3)
#define I2C_STOPPED (1u << 4)

static kn_node node;
static volatile uint32_t ticks_ms;
/* The board's clock at the tick count `clock_set_at`. */
static uint64_t clock_ms;
static uint32_t clock_set_at;
static uint32_t values[5];

/* ---- interrupts: bytes only, the library does the rest in kn_poll ---- */

void SysTick_Handler(void) {
    ++ticks_ms;
}

void I2C1_IRQHandler(void) {
    uint32_t status = I2C_SLAVE->status;
    if (status & I2C_ADDRESS_MATCHED) {
        if (status & I2C_DIRECTION_READ) {
            kn_on_read_start(&node);
        } else {
            kn_on_write_start(&node);
        }
    }
    if (status & I2C_RECEIVED) kn_on_rx_byte(&node, (uint8_t)I2C_SLAVE->data);
    if (status & I2C_TRANSMIT_EMPTY) I2C_SLAVE->data = kn_next_tx_byte(&node);
    if (status & I2C_STOPPED) kn_on_stop(&node);
    I2C_SLAVE->clear = status;
}

/* ---- handlers: run from kn_poll in the main loop ---- */

static kn_result identity(void *user, kn_reply *reply) {
    (void)user;
    kn_reply_text(reply, "example-node");
    kn_reply_text(reply, "0.1");
    kn_reply_text(reply, "cortex-m0plus");
    kn_reply_text(reply, "node-0001"); /* the id the device API lists */
    return KN_OK;
}

static kn_result get_time(void *user, uint64_t *ms) {
    (void)user;
    *ms = clock_ms + (uint32_t)(ticks_ms - clock_set_at);
    return KN_OK;
}

static kn_result set_time(void *user, uint64_t ms) {
    (void)user;
    clock_ms = ms;
    clock_set_at = ticks_ms;
    return KN_OK;
}

static kn_result get_text(void *user, uint8_t opcode, kn_reply *reply) {
    (void)user, (void)opcode;
    kn_reply_text(reply, "");
    return KN_OK;
}

static kn_result set_text(void *user, uint8_t opcode, kn_text text) {
    (void)user, (void)opcode, (void)text;
    return KN_OK;
}

static kn_result text_pair(void *user, uint8_t opcode, kn_text first, kn_text second) {
    (void)user, (void)opcode, (void)first, (void)second;
    return KN_OK;
}

static kn_result set_text_byte(void *user, kn_text text, uint8_t value) {
    (void)user, (void)text, (void)value;
    return KN_OK;
}

static kn_result get_text_map(void *user, kn_reply *reply) {
    (void)user;
    kn_reply_map_entry(reply, 1, "one");
    return KN_OK;
}

static kn_result get_values(void *user, uint32_t out[5]) {
    unsigned i;
    (void)user;
    for (i = 0; i < 5; ++i) out[i] = values[i];
    return KN_OK;
}

static kn_result set_values(void *user, const uint32_t in[5]) {
    unsigned i;
    (void)user;
    for (i = 0; i < 5; ++i) values[i] = in[i];
    return KN_OK;
}

static kn_result get_records(void *user, uint8_t opcode, uint32_t argument, kn_reply *reply) {
    (void)user, (void)opcode, (void)argument, (void)reply;
    return KN_OK;
}

static kn_result get_lines(void *user, kn_text name, kn_reply *reply) {
    (void)user, (void)name;
    kn_reply_text(reply, "");
    return KN_OK;
}

static kn_result command(void *user, uint8_t opcode, kn_text text) {
    (void)user, (void)opcode, (void)text;
    return KN_OK;
}

/* The file store: wire these to the node's flash or SD card. */
static kn_result file_info(void *user, kn_text name, uint32_t *size, uint32_t *extra) {
    (void)user, (void)name, (void)size, (void)extra;
    return KN_REFUSED;
}

static kn_result file_open(void *user, kn_text name, kn_file_mode mode, uint32_t size,
                           uint32_t *file) {
    (void)user, (void)name, (void)mode, (void)size, (void)file;
    return KN_REFUSED;
}

static kn_result file_read(void *user, uint32_t file, uint32_t offset, uint8_t *data, uint32_t n) {
    (void)user, (void)file, (void)offset, (void)data, (void)n;
    return KN_REFUSED;
}

static kn_result file_write(void *user, uint32_t file, uint32_t offset, const uint8_t *data,
                            uint32_t n) {
    (void)user, (void)file, (void)offset, (void)data, (void)n;
    return KN_REFUSED;
}

static void file_close(void *user, uint32_t file, kn_file_close how) {
    (void)user, (void)file, (void)how;
}

static const kn_handlers handlers = {
    .identity = identity,
    .get_time = get_time,
    .set_time = set_time,
    .get_text = get_text,
    .set_text = set_text,
    .text_pair = text_pair,
    .set_text_byte = set_text_byte,
    .get_text_map = get_text_map,
    .get_values = get_values,
    .set_values = set_values,
    .get_records = get_records,
    .get_lines = get_lines,
    .command = command,
    .file_info = file_info,
    .file_open = file_open,
    .file_read = file_read,
    .file_write = file_write,
    .file_close = file_close,
};

int main(void) {
    kn_init(&node, &handlers, 0);
    /* Here: clocks, pins, SysTick at 1 kHz, the I2C slave at the node's
     * address with its interrupts enabled. */
    for (;;) {
        kn_poll(&node);
        /* Sleep until the next interrupt; the 1 ms tick bounds how long a
         * request received just before this waits. */
        __asm volatile("wfi");
    }
}
