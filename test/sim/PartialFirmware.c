/* A node firmware for the simulator that lacks its main loop (kn_poll): the
 * scenario that names it is refused. */
#include <stddef.h>
#include <stdint.h>

size_t kn_firmware_context_size(void) { return 1; }
void kn_firmware_init(void *context, uint8_t address) { (void)context, (void)address; }
void kn_on_receive(void *node, const uint8_t *bytes, size_t n) { (void)node, (void)bytes, (void)n; }
void kn_on_read_start(void *node) { (void)node; }
uint8_t kn_next_tx_byte(void *node) { (void)node; return 0xFF; }
