/* File information and the two file transfers, over the firmware's file
 * store. A sent file is kept only when its content matches the digest of its
 * start request; the digest is taken as the chunks arrive in order, so the
 * store need not be read back. */
#include <string.h>

#include "kn_internal.h"

enum { STEP_START = 0xAA, STEP_CHUNK = 0xCC, STEP_END = 0xEE };
/* Start: size (4) and digest (32) before the name; chunk: handle, offset, length. */
enum { SEND_START_FIXED = 4 + KN_SHA256_SIZE, CHUNK_FIELDS = 12 };
/* Pieces in which the digest of a stored file is read. */
enum { DIGEST_PIECE = 256 };

#define STORE(node) ((node)->handlers)

/* The reply buffer must hold the 0x93 reply and a digest piece beside it. */
typedef char kn_reply_holds_digest_piece[KN_REPLY_PAYLOAD_MAX >= 42 + DIGEST_PIECE ? 1 : -1];

static int has_file_store(const kn_node *node) {
    const kn_handlers *h = STORE(node);
    return h->file_info != NULL && h->file_open != NULL && h->file_read != NULL &&
           h->file_close != NULL;
}

/* The digest of a stored file, read through the piece of the reply buffer
 * beyond the reply's own 42 bytes, which nothing else uses meanwhile. */
static kn_result digest_of_file(kn_node *node, kn_text name, uint32_t size, kn_reply *reply,
                                uint8_t digest[KN_SHA256_SIZE]) {
    uint8_t *piece = reply->payload + reply->capacity - DIGEST_PIECE;
    kn_sha256 sha;
    uint32_t file, offset = 0;
    kn_result result;
    if (STORE(node)->file_open(node->user, name, KN_FILE_READ, size, &file) != KN_OK) {
        return KN_REFUSED;
    }
    kn_sha256_init(&sha);
    for (result = KN_OK; result == KN_OK && offset < size; offset += DIGEST_PIECE) {
        uint32_t n = size - offset < DIGEST_PIECE ? size - offset : DIGEST_PIECE;
        result = STORE(node)->file_read(node->user, file, offset, piece, n);
        kn_sha256_update(&sha, piece, n);
    }
    STORE(node)->file_close(node->user, file, KN_FILE_KEEP);
    kn_sha256_final(&sha, digest);
    return result;
}

kn_result kn_run_file_info(kn_node *node, const kn_request *request, kn_reply *reply) {
    kn_text name = kn_text_of(request->args, request->n);
    uint32_t size = 0, extra = 0;
    uint8_t digest[KN_SHA256_SIZE];
    if (!has_file_store(node) ||
        STORE(node)->file_info(node->user, name, &size, &extra) != KN_OK ||
        digest_of_file(node, name, size, reply, digest) != KN_OK) {
        return KN_REFUSED;
    }
    kn_reply_u32(reply, size);
    kn_reply_u32(reply, extra);
    kn_reply_bytes(reply, digest, sizeof digest);
    return KN_OK;
}

static void abandon(kn_node *node, kn_transfer *transfer, kn_file_close how) {
    if (!transfer->open) return;
    transfer->open = 0;
    STORE(node)->file_close(node->user, transfer->file, how);
}

static kn_result begin_transfer(kn_node *node, kn_transfer *transfer, uint32_t file, uint32_t size,
                                kn_reply *reply) {
    transfer->handle = node->next_handle++;
    transfer->file = file;
    transfer->size = size;
    transfer->hashed = 0;
    transfer->open = 1;
    kn_reply_u32(reply, transfer->handle);
    return KN_OK;
}

static kn_result start_send(kn_node *node, const uint8_t *args, size_t n, kn_reply *reply) {
    kn_text name;
    uint32_t size, file;
    if (n <= SEND_START_FIXED) return KN_REFUSED;
    name = kn_text_of(args + SEND_START_FIXED, n - SEND_START_FIXED);
    size = kn_le32(args);
    abandon(node, &node->send, KN_FILE_DISCARD);
    if (STORE(node)->file_open(node->user, name, KN_FILE_WRITE, size, &file) != KN_OK) {
        return KN_REFUSED;
    }
    memcpy(node->send_digest, args + 4, KN_SHA256_SIZE);
    kn_sha256_init(&node->send_sha);
    return begin_transfer(node, &node->send, file, size, reply);
}

/* A chunk again (the board retries one whose reply it missed) is written
 * again but absorbed once; bytes past the declared size are filler. */
static kn_result take_chunk(kn_node *node, const uint8_t *args, size_t n) {
    kn_transfer *send = &node->send;
    const uint8_t *data = args + CHUNK_FIELDS;
    uint32_t offset, length, kept;
    if (n < CHUNK_FIELDS || kn_le32(args) != send->handle) return KN_REFUSED;
    offset = kn_le32(args + 4);
    length = kn_le32(args + 8);
    if (n - CHUNK_FIELDS != length) return KN_REFUSED;
    kept = offset < send->size ? send->size - offset : 0;
    if (kept > length) kept = length;
    if (kept > 0 && STORE(node)->file_write(node->user, send->file, offset, data, kept) != KN_OK) {
        return KN_REFUSED;
    }
    if (offset <= send->hashed && offset + kept > send->hashed) {
        kn_sha256_update(&node->send_sha, data + (send->hashed - offset), offset + kept - send->hashed);
        send->hashed = offset + kept;
    }
    return KN_OK;
}

static kn_result end_send(kn_node *node) {
    uint8_t digest[KN_SHA256_SIZE];
    int whole = node->send.hashed == node->send.size;
    kn_sha256_final(&node->send_sha, digest);
    whole = whole && memcmp(digest, node->send_digest, KN_SHA256_SIZE) == 0;
    abandon(node, &node->send, whole ? KN_FILE_KEEP : KN_FILE_DISCARD);
    return whole ? KN_OK : KN_REFUSED;
}

kn_result kn_run_send_file(kn_node *node, const kn_request *request, kn_reply *reply) {
    const uint8_t *args = request->args + 1;
    size_t n;
    if (request->n == 0 || !has_file_store(node) || STORE(node)->file_write == NULL) {
        return KN_REFUSED;
    }
    n = request->n - 1;
    if (request->args[0] == STEP_START) return start_send(node, args, n, reply);
    if (!node->send.open) return KN_REFUSED;
    if (request->args[0] == STEP_CHUNK) return take_chunk(node, args, n);
    return request->args[0] == STEP_END ? end_send(node) : KN_REFUSED;
}

static kn_result start_get(kn_node *node, const uint8_t *args, size_t n, kn_reply *reply) {
    kn_text name = kn_text_of(args, n);
    uint32_t size, extra, file;
    if (STORE(node)->file_info(node->user, name, &size, &extra) != KN_OK) return KN_REFUSED;
    abandon(node, &node->get, KN_FILE_KEEP);
    if (STORE(node)->file_open(node->user, name, KN_FILE_READ, size, &file) != KN_OK) {
        return KN_REFUSED;
    }
    return begin_transfer(node, &node->get, file, size, reply);
}

/* The next bytes from the offset asked for: as many as asked, as remain, and
 * as fit in the reply. */
static kn_result give_chunk(kn_node *node, const uint8_t *args, size_t n, kn_reply *reply) {
    kn_transfer *get = &node->get;
    uint32_t room = (uint32_t)(reply->capacity - reply->length);
    uint32_t offset, count, remaining;
    if (n != CHUNK_FIELDS || kn_le32(args) != get->handle) return KN_REFUSED;
    offset = kn_le32(args + 4);
    count = kn_le32(args + 8);
    remaining = offset < get->size ? get->size - offset : 0;
    if (count > remaining) count = remaining;
    if (count > room) count = room;
    if (count > 0 &&
        STORE(node)->file_read(node->user, get->file, offset, reply->payload + reply->length,
                               count) != KN_OK) {
        return KN_REFUSED;
    }
    reply->length += count;
    return KN_OK;
}

kn_result kn_run_get_file(kn_node *node, const kn_request *request, kn_reply *reply) {
    const uint8_t *args = request->args + 1;
    size_t n;
    if (request->n == 0 || !has_file_store(node)) return KN_REFUSED;
    n = request->n - 1;
    if (request->args[0] == STEP_START) return start_get(node, args, n, reply);
    if (!node->get.open) return KN_REFUSED;
    if (request->args[0] == STEP_CHUNK) return give_chunk(node, args, n, reply);
    if (request->args[0] != STEP_END) return KN_REFUSED;
    abandon(node, &node->get, KN_FILE_KEEP);
    return KN_OK;
}
