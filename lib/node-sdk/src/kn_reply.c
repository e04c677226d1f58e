/* Writing a reply payload into the node's transmit buffer, never past it. */
#include <string.h>

#include "kn_internal.h"

void kn_reply_start(kn_reply *reply, uint8_t *payload, size_t capacity) {
    reply->payload = payload;
    reply->capacity = capacity;
    reply->length = 2;
    reply->count_at = 0;
    reply->count = 0;
    reply->overflow = 0;
}

void kn_reply_bytes(kn_reply *reply, const void *bytes, size_t n) {
    if (reply->overflow || n > reply->capacity - reply->length) {
        reply->overflow = 1;
        return;
    }
    if (n > 0) memcpy(reply->payload + reply->length, bytes, n);
    reply->length += n;
}

/* Copied here rather than measured first: strlen is not among the C library
 * calls a firmware has to provide. */
void kn_reply_text(kn_reply *reply, const char *text) {
    do {
        if (reply->overflow || reply->length == reply->capacity) {
            reply->overflow = 1;
            return;
        }
        reply->payload[reply->length++] = (uint8_t)*text;
    } while (*text++ != '\0');
}

void kn_reply_u32(kn_reply *reply, uint32_t value) {
    uint8_t le[4];
    le[0] = (uint8_t)value;
    le[1] = (uint8_t)(value >> 8);
    le[2] = (uint8_t)(value >> 16);
    le[3] = (uint8_t)(value >> 24);
    kn_reply_bytes(reply, le, sizeof le);
}

void kn_reply_map_entry(kn_reply *reply, uint32_t key, const char *text) {
    kn_reply_u32(reply, key);
    kn_reply_text(reply, text);
    ++reply->count;
}

void kn_reply_record(kn_reply *reply, uint32_t tag, const void *data, uint32_t length) {
    kn_reply_u32(reply, tag);
    kn_reply_u32(reply, length);
    kn_reply_bytes(reply, data, length);
    ++reply->count;
}

void kn_reply_reserve_count(kn_reply *reply) {
    reply->count_at = reply->length;
    kn_reply_u32(reply, 0);
}

void kn_reply_finish(kn_reply *reply, kn_result result) {
    if (result != KN_OK || reply->overflow) {
        reply->payload[0] = 'N';
        reply->payload[1] = 'O';
        reply->length = 2;
        return;
    }
    reply->payload[0] = 'O';
    reply->payload[1] = 'K';
    if (reply->count_at != 0) {
        size_t end = reply->length;
        reply->length = reply->count_at;
        kn_reply_u32(reply, reply->count);
        reply->length = end;
    }
}

uint32_t kn_le32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

kn_text kn_text_of(const uint8_t *bytes, size_t n) {
    kn_text text;
    text.chars = (const char *)bytes;
    text.length = n;
    return text;
}
