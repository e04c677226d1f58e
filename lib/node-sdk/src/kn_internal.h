#ifndef KN_INTERNAL_H
#define KN_INTERNAL_H
/* What the library's parts share and the firmware does not see. */

#include "kestro_node.h"

/* Kept out of a firmware shared object's exports. */
#if defined(__GNUC__)
#pragma GCC visibility push(hidden)
#endif

/* One decoded request: its opcode and the bytes after it, followed by a NUL. */
typedef struct kn_request {
    uint8_t opcode;
    const uint8_t *args;
    size_t n;
} kn_request;

typedef kn_result (*kn_command_fn)(kn_node *node, const kn_request *request, kn_reply *reply);

/* The command that serves an opcode; NULL for one the protocol does not have. */
kn_command_fn kn_find_command(uint8_t opcode);

kn_result kn_run_file_info(kn_node *node, const kn_request *request, kn_reply *reply);
kn_result kn_run_send_file(kn_node *node, const kn_request *request, kn_reply *reply);
kn_result kn_run_get_file(kn_node *node, const kn_request *request, kn_reply *reply);

/* Starts a reply with "OK" in the payload area given. */
void kn_reply_start(kn_reply *reply, uint8_t *payload, size_t capacity);
/* Reserves the 4-byte entry count that kn_reply_map_entry / kn_reply_record fill. */
void kn_reply_reserve_count(kn_reply *reply);
/* Writes the count, or turns the reply into a refusal ("NO") when refused or overflowed. */
void kn_reply_finish(kn_reply *reply, kn_result result);

uint32_t kn_le32(const uint8_t *p);
/* The bytes as a text; `bytes[n]` must be readable (the request's NUL). */
kn_text kn_text_of(const uint8_t *bytes, size_t n);

#define KN_IDLE_BYTE 0xFFu

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#endif
