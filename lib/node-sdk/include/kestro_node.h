#ifndef KESTRO_NODE_H
#define KESTRO_NODE_H
/*
 * The node's half of the board-to-node protocol, for a node's firmware.
 *
 * Portable C99 without heap and without global state: everything lives in a
 * kn_node that the firmware owns, so one program may run many nodes. The
 * interrupt side (kn_on_receive / kn_on_write_start, kn_on_rx_byte, kn_on_stop,
 * kn_on_read_start, kn_next_tx_byte) only moves bytes; kn_poll, from the main
 * loop, decodes a request, runs its handler and publishes the reply frame.
 *
 * Until the reply frame is complete every read gets 0xFF bytes (the bus's idle
 * level) and the reply does not advance, so a board that polls for readiness
 * never reads half a reply.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Data bytes of one file-transfer chunk, both directions. */
#define KN_CHUNK_SIZE 800u

/*
 * The longest request payload the node keeps: a send chunk is opcode,
 * sub-operation, handle, offset, length and the chunk. A longer but correct
 * request is refused. Firmware and library must be built with the same value.
 */
#ifndef KN_REQUEST_PAYLOAD_MAX
#define KN_REQUEST_PAYLOAD_MAX (2u + 12u + KN_CHUNK_SIZE)
#endif

/*
 * The longest reply payload: "OK" and one chunk. A reply that would not fit
 * (a long text map, say) is refused rather than cut short.
 */
#ifndef KN_REPLY_PAYLOAD_MAX
#define KN_REPLY_PAYLOAD_MAX (2u + KN_CHUNK_SIZE)
#endif

/* Start byte, 16-bit length, CRC-16 and end byte around a payload. */
#define KN_FRAME_OVERHEAD 6u
#define KN_SHA256_SIZE 32u

/* What a handler answers: the command is accepted ("OK" and its fields) or refused. */
typedef enum kn_result { KN_OK = 0, KN_REFUSED = 1 } kn_result;

/*
 * A text from a request: `length` bytes at `chars`, followed by a NUL (also
 * when the request carried none), so it can be used as a C string when it
 * holds no NUL of its own.
 */
typedef struct kn_text {
    const char *chars;
    size_t length;
} kn_text;

/*
 * Where a handler writes the fields of its reply, after the "OK" the library
 * puts first. Writing past the reply's room turns the reply into a refusal.
 */
typedef struct kn_reply {
    uint8_t *payload;   /* the reply payload, "OK" at 0 */
    size_t length;      /* bytes written so far, "OK" included */
    size_t capacity;    /* KN_REPLY_PAYLOAD_MAX */
    size_t count_at;    /* offset of the 4-byte entry count, 0 when none */
    uint32_t count;     /* entries added by kn_reply_map_entry / kn_reply_record */
    uint8_t overflow;   /* set once a write did not fit */
} kn_reply;

/* Appends bytes as they are. */
void kn_reply_bytes(kn_reply *reply, const void *bytes, size_t n);
/* Appends a text and its terminating NUL (every text in a reply ends with one). */
void kn_reply_text(kn_reply *reply, const char *text);
/* Appends a 32-bit value, little-endian. */
void kn_reply_u32(kn_reply *reply, uint32_t value);
/* One entry of the text map (0xE6): key, then the text and its NUL. */
void kn_reply_map_entry(kn_reply *reply, uint32_t key, const char *text);
/* One record (0xA1 to 0xA5): tag, length, then the record's bytes. */
void kn_reply_record(kn_reply *reply, uint32_t tag, const void *data, uint32_t length);

typedef enum kn_file_mode { KN_FILE_READ = 0, KN_FILE_WRITE = 1 } kn_file_mode;
typedef enum kn_file_close { KN_FILE_KEEP = 0, KN_FILE_DISCARD = 1 } kn_file_close;

/*
 * The firmware's side. Every handler gets the `user` pointer given to kn_init;
 * a NULL handler makes the node refuse the commands it serves. The handlers run
 * inside kn_poll, never in an interrupt.
 */
typedef struct kn_handlers {
    /* 0xE2: four texts with kn_reply_text; the fourth is the node's device id. */
    kn_result (*identity)(void *user, kn_reply *reply);
    /* 0xE0 / 0xF0: the node clock, milliseconds since the Unix epoch. */
    kn_result (*get_time)(void *user, uint64_t *ms);
    kn_result (*set_time)(void *user, uint64_t ms);
    /* 0xE1, 0xE3, 0xE4, 0xE5: one text with kn_reply_text. */
    kn_result (*get_text)(void *user, uint8_t opcode, kn_reply *reply);
    /* 0xF3, 0xF4, 0xF5 (replace the text of 0xE3, 0xE4, 0xE5). */
    kn_result (*set_text)(void *user, uint8_t opcode, kn_text text);
    /* 0xF1, 0x97, 0x98: two texts. */
    kn_result (*text_pair)(void *user, uint8_t opcode, kn_text first, kn_text second);
    /* 0xF2: a text and a byte. */
    kn_result (*set_text_byte)(void *user, kn_text text, uint8_t value);
    /* 0xE6: entries with kn_reply_map_entry (the library writes the count). */
    kn_result (*get_text_map)(void *user, kn_reply *reply);
    /* 0xA0 / 0xB0: the value set, five 32-bit values. */
    kn_result (*get_values)(void *user, uint32_t values[5]);
    kn_result (*set_values)(void *user, const uint32_t values[5]);
    /* 0xA1 to 0xA5: records with kn_reply_record (the library writes the count). */
    kn_result (*get_records)(void *user, uint8_t opcode, uint32_t argument, kn_reply *reply);
    /* 0x90: the lines of `name`, one text separated by '\n', with kn_reply_text. */
    kn_result (*get_lines)(void *user, kn_text name, kn_reply *reply);
    /* 0xC0 to 0xC3 (text empty but for 0xC2), 0x91, 0x92, 0x96: a bare command. */
    kn_result (*command)(void *user, uint8_t opcode, kn_text text);

    /*
     * The file store behind 0x93, 0x94 and 0x95. `file` is the firmware's own
     * number for an open file. A file opened for writing is kept only when it
     * is closed with KN_FILE_KEEP, after its whole content matched the digest
     * the board sent; KN_FILE_DISCARD leaves the store as it was.
     */
    kn_result (*file_info)(void *user, kn_text name, uint32_t *size, uint32_t *extra);
    kn_result (*file_open)(void *user, kn_text name, kn_file_mode mode, uint32_t size,
                           uint32_t *file);
    kn_result (*file_read)(void *user, uint32_t file, uint32_t offset, uint8_t *data,
                           uint32_t n);
    kn_result (*file_write)(void *user, uint32_t file, uint32_t offset, const uint8_t *data,
                            uint32_t n);
    void (*file_close)(void *user, uint32_t file, kn_file_close how);
} kn_handlers;

/* SHA-256, incremental. */
typedef struct kn_sha256 {
    uint32_t state[8];
    uint64_t count;
    uint8_t block[64];
} kn_sha256;

void kn_sha256_init(kn_sha256 *sha);
void kn_sha256_update(kn_sha256 *sha, const void *data, size_t n);
void kn_sha256_final(kn_sha256 *sha, uint8_t digest[KN_SHA256_SIZE]);

/* CRC-16/XMODEM over `n` bytes, continuing from `crc` (0 to start). */
uint16_t kn_crc16(uint16_t crc, const uint8_t *data, size_t n);

/* One transfer in progress (internal). */
typedef struct kn_transfer {
    uint32_t handle;
    uint32_t file;
    uint32_t size;
    uint32_t hashed; /* send: bytes absorbed by the digest, in order from 0 */
    uint8_t open;
} kn_transfer;

/*
 * One node. The firmware owns it (static storage, say); its fields are the
 * library's. Fields written by the interrupt side are volatile.
 */
typedef struct kn_node {
    const kn_handlers *handlers;
    void *user;

    /* receiving: the request frame, parsed byte by byte */
    uint8_t rx[KN_REQUEST_PAYLOAD_MAX + KN_FRAME_OVERHEAD];
    uint16_t rx_count;
    uint16_t rx_length;
    uint16_t rx_crc;
    uint16_t rx_crc_carried;
    uint8_t rx_step;
    volatile uint8_t request_pending;
    volatile uint8_t overrun;

    /* transmitting: the reply frame */
    uint8_t tx[KN_REPLY_PAYLOAD_MAX + KN_FRAME_OVERHEAD];
    volatile uint16_t tx_length;
    volatile uint16_t tx_cursor;
    volatile uint8_t reply_ready;
    volatile uint8_t tx_live;

    /* file transfers */
    uint32_t next_handle;
    kn_transfer send;
    kn_transfer get;
    uint8_t send_digest[KN_SHA256_SIZE];
    kn_sha256 send_sha;
} kn_node;

/* Sets the node up: nothing received, no reply, no transfer. */
void kn_init(kn_node *node, const kn_handlers *handlers, void *user);

/*
 * Receive side, from the I2C slave interrupts. Either the whole write
 * transaction at once (at STOP):
 */
void kn_on_receive(kn_node *node, const uint8_t *bytes, size_t n);
/* or byte by byte: address matched for a write, each byte, STOP. */
void kn_on_write_start(kn_node *node);
void kn_on_rx_byte(kn_node *node, uint8_t byte);
void kn_on_stop(kn_node *node);

/*
 * Transmit side. kn_on_read_start: a read transaction addressed to the node
 * begins. Whether the reply is ready is decided here, for the whole read; the
 * reply continues where the previous read stopped (the board reads the
 * 3-byte header, then the rest). kn_next_tx_byte: the next byte to send;
 * 0xFF while no reply is ready and past its end.
 */
void kn_on_read_start(kn_node *node);
uint8_t kn_next_tx_byte(kn_node *node);

/* Main loop: handles a received request, if any, and publishes its reply. */
void kn_poll(kn_node *node);

/*
 * A firmware built as a shared object for the simulator exports these two
 * besides the kn_ functions above: the bytes of one node's context (which
 * starts with its kn_node), and the set-up of one node in zeroed, suitably
 * aligned memory of that size.
 */
size_t kn_firmware_context_size(void);
void kn_firmware_init(void *context, uint8_t address);

#ifdef __cplusplus
}
#endif

#endif /* KESTRO_NODE_H */
