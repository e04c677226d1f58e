/* The command set: each opcode's request is checked and taken apart here,
 * and its handler fills the reply in the layout the board decodes. */
#include "kn_internal.h"

#define HANDLERS(node) ((node)->handlers)
#define USER(node) ((node)->user)

static kn_result run_command(kn_node *node, const kn_request *request, kn_reply *reply) {
    (void)reply;
    if (HANDLERS(node)->command == NULL) return KN_REFUSED;
    return HANDLERS(node)->command(USER(node), request->opcode, kn_text_of(request->args, request->n));
}

static kn_result run_get_time(kn_node *node, const kn_request *request, kn_reply *reply) {
    uint64_t ms = 0;
    (void)request;
    if (HANDLERS(node)->get_time == NULL || HANDLERS(node)->get_time(USER(node), &ms) != KN_OK) {
        return KN_REFUSED;
    }
    kn_reply_u32(reply, (uint32_t)ms);
    kn_reply_u32(reply, (uint32_t)(ms >> 32));
    return KN_OK;
}

static kn_result run_set_time(kn_node *node, const kn_request *request, kn_reply *reply) {
    (void)reply;
    if (HANDLERS(node)->set_time == NULL || request->n != 8) return KN_REFUSED;
    return HANDLERS(node)->set_time(
        USER(node), kn_le32(request->args) | ((uint64_t)kn_le32(request->args + 4) << 32));
}

static kn_result run_get_text(kn_node *node, const kn_request *request, kn_reply *reply) {
    if (HANDLERS(node)->get_text == NULL) return KN_REFUSED;
    return HANDLERS(node)->get_text(USER(node), request->opcode, reply);
}

static kn_result run_set_text(kn_node *node, const kn_request *request, kn_reply *reply) {
    (void)reply;
    if (HANDLERS(node)->set_text == NULL) return KN_REFUSED;
    return HANDLERS(node)->set_text(USER(node), request->opcode,
                                    kn_text_of(request->args, request->n));
}

/* Bytes up to the first NUL, or all of them. */
static size_t text_length(const uint8_t *bytes, size_t n) {
    size_t i = 0;
    while (i < n && bytes[i] != 0) ++i;
    return i;
}

/* Two texts, the first ended by a NUL, the second by a NUL or the payload's end. */
static kn_result run_text_pair(kn_node *node, const kn_request *request, kn_reply *reply) {
    size_t first = text_length(request->args, request->n);
    size_t rest = first < request->n ? first + 1 : request->n;
    const uint8_t *second = request->args + rest;
    (void)reply;
    if (HANDLERS(node)->text_pair == NULL) return KN_REFUSED;
    return HANDLERS(node)->text_pair(USER(node), request->opcode,
                                     kn_text_of(request->args, first),
                                     kn_text_of(second, text_length(second, request->n - rest)));
}

/* A text, its NUL, and the byte after it. */
static kn_result run_set_text_byte(kn_node *node, const kn_request *request, kn_reply *reply) {
    size_t text = text_length(request->args, request->n);
    (void)reply;
    if (HANDLERS(node)->set_text_byte == NULL || text + 2 > request->n) return KN_REFUSED;
    return HANDLERS(node)->set_text_byte(USER(node), kn_text_of(request->args, text),
                                         request->args[text + 1]);
}

static kn_result run_identity(kn_node *node, const kn_request *request, kn_reply *reply) {
    (void)request;
    if (HANDLERS(node)->identity == NULL) return KN_REFUSED;
    return HANDLERS(node)->identity(USER(node), reply);
}

static kn_result run_text_map(kn_node *node, const kn_request *request, kn_reply *reply) {
    (void)request;
    if (HANDLERS(node)->get_text_map == NULL) return KN_REFUSED;
    kn_reply_reserve_count(reply);
    return HANDLERS(node)->get_text_map(USER(node), reply);
}

static kn_result run_get_values(kn_node *node, const kn_request *request, kn_reply *reply) {
    uint32_t values[5] = {0, 0, 0, 0, 0};
    unsigned i;
    (void)request;
    if (HANDLERS(node)->get_values == NULL || HANDLERS(node)->get_values(USER(node), values) != KN_OK) {
        return KN_REFUSED;
    }
    for (i = 0; i < 5; ++i) kn_reply_u32(reply, values[i]);
    return KN_OK;
}

static kn_result run_set_values(kn_node *node, const kn_request *request, kn_reply *reply) {
    uint32_t values[5];
    unsigned i;
    (void)reply;
    if (HANDLERS(node)->set_values == NULL || request->n != 20) return KN_REFUSED;
    for (i = 0; i < 5; ++i) values[i] = kn_le32(request->args + 4 * i);
    return HANDLERS(node)->set_values(USER(node), values);
}

static kn_result run_records(kn_node *node, const kn_request *request, kn_reply *reply) {
    if (HANDLERS(node)->get_records == NULL || request->n != 4) return KN_REFUSED;
    kn_reply_reserve_count(reply);
    return HANDLERS(node)->get_records(USER(node), request->opcode, kn_le32(request->args), reply);
}

static kn_result run_lines(kn_node *node, const kn_request *request, kn_reply *reply) {
    if (HANDLERS(node)->get_lines == NULL) return KN_REFUSED;
    return HANDLERS(node)->get_lines(USER(node), kn_text_of(request->args, request->n), reply);
}

typedef struct command_entry {
    uint8_t opcode;
    kn_command_fn run;
} command_entry;

static const command_entry kCommands[] = {
    {0xC0, run_command},       {0xC1, run_command},        {0xC2, run_command},
    {0xC3, run_command},       {0xE0, run_get_time},       {0xE1, run_get_text},
    {0xE2, run_identity},      {0xE3, run_get_text},       {0xE4, run_get_text},
    {0xE5, run_get_text},      {0xE6, run_text_map},       {0xF0, run_set_time},
    {0xF1, run_text_pair},     {0xF2, run_set_text_byte},  {0xF3, run_set_text},
    {0xF4, run_set_text},      {0xF5, run_set_text},       {0xA0, run_get_values},
    {0xB0, run_set_values},    {0xA1, run_records},        {0xA2, run_records},
    {0xA3, run_records},       {0xA4, run_records},        {0xA5, run_records},
    {0x90, run_lines},         {0x91, run_command},        {0x92, run_command},
    {0x93, kn_run_file_info},  {0x94, kn_run_send_file},   {0x95, kn_run_get_file},
    {0x96, run_command},       {0x97, run_text_pair},      {0x98, run_text_pair},
};

kn_command_fn kn_find_command(uint8_t opcode) {
    size_t i;
    for (i = 0; i < sizeof kCommands / sizeof kCommands[0]; ++i) {
        if (kCommands[i].opcode == opcode) return kCommands[i].run;
    }
    return NULL;
}
