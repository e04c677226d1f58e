/* The program side of the cross-process cost: N getIdentity round trips with node 0x10 on
 * /dev/i2c-3, as the tool makes them (write the request frame, wait 100 ms, read the reply's
 * first 3 bytes, then the rest), run under i2c-kestro-sim. With N = 0 it only opens the bus and
 * selects the node, which is the fixed cost the driver takes away. Exits 1 at the first wrong
 * answer, so that a broken simulator cannot pass for a fast one. Prints its own CPU time
 * (user + system, microseconds), so that the driver can tell the program's share from the
 * launcher's. */
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

enum { ADDRESS = 0x10, WAIT_US = 100000, LARGEST_FRAME = 8192 };

/* getIdentity (0xE2): start, length 1, the opcode, CRC-16/XMODEM of 00 01 E2, end. */
static const uint8_t kIdentityRequest[] = {0x02, 0x00, 0x01, 0xE2, 0xEE, 0x5D, 0x04};

static int roundTrip(int fd) {
    uint8_t reply[LARGEST_FRAME];
    if (write(fd, kIdentityRequest, sizeof kIdentityRequest) != (ssize_t)sizeof kIdentityRequest) return -1;
    usleep(WAIT_US);
    if (read(fd, reply, 3) != 3 || reply[0] != 0x02) return -1;
    const size_t rest = (((size_t)reply[1] << 8) | reply[2]) + 3;
    if (rest > sizeof reply || read(fd, reply, rest) != (ssize_t)rest || reply[rest - 1] != 0x04) return -1;
    return 0;
}

int main(int argc, char** argv) {
    const long count = argc == 2 ? atol(argv[1]) : -1;
    if (count < 0) {
        fprintf(stderr, "usage: kestro-link-round-trips COUNT\n");
        return 2;
    }
    const int fd = open("/dev/i2c-3", O_RDWR);
    if (fd < 0 || ioctl(fd, I2C_SLAVE, (unsigned long)ADDRESS) != 0) {
        perror("kestro-link-round-trips: /dev/i2c-3");
        return 1;
    }
    for (long i = 0; i < count; ++i) {
        if (roundTrip(fd) != 0) {
            fprintf(stderr, "kestro-link-round-trips: round trip %ld answered wrong\n", i);
            return 1;
        }
    }
    close(fd);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%ld\n", (long)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
                         usage.ru_stime.tv_usec);
    return 0;
}
