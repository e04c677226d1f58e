/* The reference firmware: a node that answers as the simulator's default
 * node does (identity, texts, clock, values, and a file store in memory), for
 * running the library in the simulator and comparing the two. */
#define _POSIX_C_SOURCE 199309L

#include <string.h>
#include <time.h>

#include "kestro_node.h"

enum {
    TEXT_MAX = KN_REQUEST_PAYLOAD_MAX,
    FILE_SLOTS = 8,
    FILE_MAX = 64 * 1024,
    NAME_MAX_STORED = 255,
    /* The file being received, kept apart until it is whole. */
    STAGING = FILE_SLOTS
};

typedef struct stored_file {
    uint8_t used;
    uint32_t size;
    size_t name_length;
    char name[NAME_MAX_STORED + 1];
    uint8_t data[FILE_MAX];
} stored_file;

typedef struct reference_node {
    kn_node node; /* first: the simulator hands the context to the kn_ calls */
    uint64_t clock_ms;
    uint64_t clock_since_us;
    char texts[4][TEXT_MAX + 1]; /* 0xE1, 0xE3, 0xE4, 0xE5 */
    uint32_t values[5];
    stored_file files[FILE_SLOTS + 1];
} reference_node;

static const char *const kIdentity[4] = {"kestro-sim", "1.0", "sim-board", "sim-node"};
static const char *const kTexts[4] = {"e1", "e3", "e4", "e5"};

static uint64_t now_us(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
}

static kn_result identity(void *user, kn_reply *reply) {
    unsigned i;
    (void)user;
    for (i = 0; i < 4; ++i) kn_reply_text(reply, kIdentity[i]);
    return KN_OK;
}

/* The clock runs from the moment it was last set. */
static kn_result get_time(void *user, uint64_t *ms) {
    reference_node *ref = (reference_node *)user;
    uint64_t now = now_us();
    *ms = ref->clock_ms + (now > ref->clock_since_us ? (now - ref->clock_since_us) / 1000u : 0);
    return KN_OK;
}

static kn_result set_time(void *user, uint64_t ms) {
    reference_node *ref = (reference_node *)user;
    ref->clock_ms = ms;
    ref->clock_since_us = now_us();
    return KN_OK;
}

/* 0xE1 and 0xE3 to 0xE5 (and their setters 0xF3 to 0xF5) in one table. */
static char *text_of(reference_node *ref, uint8_t opcode) {
    uint8_t low = (uint8_t)(opcode & 0x0Fu);
    return ref->texts[low >= 3 && low <= 5 ? low - 2 : 0];
}

static kn_result get_text(void *user, uint8_t opcode, kn_reply *reply) {
    kn_reply_bytes(reply, text_of((reference_node *)user, opcode),
                   strlen(text_of((reference_node *)user, opcode)) + 1);
    return KN_OK;
}

/* Stored as it came; a NUL inside ends the text the getter gives back. */
static kn_result set_text(void *user, uint8_t opcode, kn_text text) {
    char *stored = text_of((reference_node *)user, opcode);
    if (text.length > TEXT_MAX) return KN_REFUSED;
    memcpy(stored, text.chars, text.length);
    stored[text.length] = '\0';
    return KN_OK;
}

static kn_result accept_pair(void *user, uint8_t opcode, kn_text first, kn_text second) {
    (void)user, (void)opcode, (void)first, (void)second;
    return KN_OK;
}

static kn_result accept_text_byte(void *user, kn_text text, uint8_t value) {
    (void)user, (void)text, (void)value;
    return KN_OK;
}

static kn_result accept_command(void *user, uint8_t opcode, kn_text text) {
    (void)user, (void)opcode, (void)text;
    return KN_OK;
}

static kn_result empty_text_map(void *user, kn_reply *reply) {
    (void)user, (void)reply;
    return KN_OK;
}

static kn_result get_values(void *user, uint32_t values[5]) {
    memcpy(values, ((reference_node *)user)->values, 5 * sizeof values[0]);
    return KN_OK;
}

static kn_result set_values(void *user, const uint32_t values[5]) {
    memcpy(((reference_node *)user)->values, values, 5 * sizeof values[0]);
    return KN_OK;
}

static kn_result no_records(void *user, uint8_t opcode, uint32_t argument, kn_reply *reply) {
    (void)user, (void)opcode, (void)argument, (void)reply;
    return KN_OK;
}

/* No name has lines: the answer is the empty text. */
static kn_result no_lines(void *user, kn_text name, kn_reply *reply) {
    (void)user, (void)name;
    kn_reply_text(reply, "");
    return KN_OK;
}

/* Names as the simulator's node takes them: 1 to 255 bytes once every byte
 * outside letters, digits, '.', '_' and '-' (and a leading '.') is written as
 * three. */
static int acceptable_name(kn_text name) {
    size_t i, written = 0;
    for (i = 0; i < name.length; ++i) {
        char c = name.chars[i];
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || (c == '.' && i > 0);
        written += plain ? 1u : 3u;
    }
    return name.length > 0 && written <= NAME_MAX_STORED;
}

static stored_file *find_file(reference_node *ref, kn_text name) {
    unsigned i;
    for (i = 0; i < FILE_SLOTS; ++i) {
        stored_file *file = &ref->files[i];
        if (file->used && file->name_length == name.length &&
            memcmp(file->name, name.chars, name.length) == 0) {
            return file;
        }
    }
    return NULL;
}

static kn_result file_info(void *user, kn_text name, uint32_t *size, uint32_t *extra) {
    stored_file *file = find_file((reference_node *)user, name);
    if (file == NULL) return KN_REFUSED;
    *size = file->size;
    *extra = 0;
    return KN_OK;
}

/* Where a received file of that name will be kept: its namesake, or a free
 * slot; none when the store is full. */
static stored_file *slot_for(reference_node *ref, kn_text name) {
    stored_file *target = find_file(ref, name);
    unsigned i;
    for (i = 0; target == NULL && i < FILE_SLOTS; ++i) {
        if (!ref->files[i].used) target = &ref->files[i];
    }
    return target;
}

/* A file the store could not keep is refused at its start, never acknowledged
 * at its end and then lost. */
static kn_result open_for_writing(reference_node *ref, kn_text name, uint32_t size) {
    stored_file *staging = &ref->files[STAGING];
    if (size > FILE_MAX || !acceptable_name(name) || slot_for(ref, name) == NULL) return KN_REFUSED;
    staging->used = 1;
    staging->size = size;
    staging->name_length = name.length;
    memcpy(staging->name, name.chars, name.length);
    memset(staging->data, 0, size);
    return KN_OK;
}

static kn_result file_open(void *user, kn_text name, kn_file_mode mode, uint32_t size,
                           uint32_t *file) {
    reference_node *ref = (reference_node *)user;
    stored_file *found;
    if (mode == KN_FILE_WRITE) {
        *file = STAGING;
        return open_for_writing(ref, name, size);
    }
    found = find_file(ref, name);
    if (found == NULL) return KN_REFUSED;
    *file = (uint32_t)(found - ref->files);
    return KN_OK;
}

static kn_result file_read(void *user, uint32_t file, uint32_t offset, uint8_t *data, uint32_t n) {
    const stored_file *stored = &((reference_node *)user)->files[file];
    if (offset > stored->size || n > stored->size - offset) return KN_REFUSED;
    memcpy(data, stored->data + offset, n);
    return KN_OK;
}

static kn_result file_write(void *user, uint32_t file, uint32_t offset, const uint8_t *data,
                            uint32_t n) {
    stored_file *stored = &((reference_node *)user)->files[file];
    if (offset > stored->size || n > stored->size - offset) return KN_REFUSED;
    memcpy(stored->data + offset, data, n);
    return KN_OK;
}

/* A whole received file takes the place of the one of its name, or a free slot. */
static void keep_received(reference_node *ref) {
    stored_file *staging = &ref->files[STAGING];
    kn_text name;
    stored_file *target;
    name.chars = staging->name;
    name.length = staging->name_length;
    target = slot_for(ref, name);
    if (target != NULL) memcpy(target, staging, sizeof *target);
}

static void file_close(void *user, uint32_t file, kn_file_close how) {
    reference_node *ref = (reference_node *)user;
    if (file != STAGING) return;
    if (how == KN_FILE_KEEP) keep_received(ref);
    ref->files[STAGING].used = 0;
}

static const kn_handlers kHandlers = {
    .identity = identity,
    .get_time = get_time,
    .set_time = set_time,
    .get_text = get_text,
    .set_text = set_text,
    .text_pair = accept_pair,
    .set_text_byte = accept_text_byte,
    .get_text_map = empty_text_map,
    .get_values = get_values,
    .set_values = set_values,
    .get_records = no_records,
    .get_lines = no_lines,
    .command = accept_command,
    .file_info = file_info,
    .file_open = file_open,
    .file_read = file_read,
    .file_write = file_write,
    .file_close = file_close,
};

size_t kn_firmware_context_size(void) {
    return sizeof(reference_node);
}

void kn_firmware_init(void *context, uint8_t address) {
    reference_node *ref = (reference_node *)context;
    unsigned i;
    (void)address;
    for (i = 0; i < 4; ++i) strcpy(ref->texts[i], kTexts[i]);
    memset(ref->values, 0, sizeof ref->values);
    ref->clock_since_us = now_us();
    ref->clock_ms = ref->clock_since_us / 1000u;
    kn_init(&ref->node, &kHandlers, ref);
}
