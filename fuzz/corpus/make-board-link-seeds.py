#!/usr/bin/env python3
"""Writes the seed corpus of the board_link fuzz target (see
fuzz/BoardLinkFuzzer.cpp for the input's layout) into fuzz/corpus/board_link/.

A descriptor is named by its rank: 0 is the first one the board hands out in
the run of the input, 1 the next one opened while the first is still open."""
import os
import struct

HELLO, OPEN, CLOSE, READ, WRITE, IOCTL, SLEEP, NOW = range(1, 9)
O_RDWR = 2
USLEEP = 0
I2C_SLAVE, I2C_FUNCS, I2C_RDWR, I2C_SMBUS = 0x0703, 0x0705, 0x0707, 0x0720
I2C_M_RD = 0x1
GPIO_GET_CHIPINFO = 0x8044B401
GPIO_GET_LINEINFO = 0xC048B402
GPIO_GET_LINEHANDLE = 0xC16CB403
GPIOHANDLE_GET_VALUES = 0xC040B408
GPIOHANDLE_SET_VALUES = 0xC040B409
GPIO_V2_GET_LINE = 0xC250B407
GPIO_V2_SET_VALUES = 0xC010B40F
GPIOHANDLE_REQUEST_OUTPUT = 0x2
GPIO_V2_LINE_FLAG_OUTPUT = 0x8
FREE_LINE = 7


def request(op, a=0, b=0, payload=b""):
    return struct.pack("<IIqq", len(payload), op, a, b) + payload


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def frame(payload):
    length = struct.pack(">H", len(payload))
    return b"\x02" + length + payload + struct.pack(">H", crc16(length + payload)) + b"\x04"


def open_path(path, flags=O_RDWR):
    return request(OPEN, flags, 0, path.encode())


def select(rank, address=0x10):
    return request(IOCTL, rank, I2C_SLAVE, struct.pack("<Q", address))


def identity_command(rank, wait_us=100000):
    return (select(rank) + request(WRITE, rank, 0, frame(b"\xE2")) + request(SLEEP, USLEEP, wait_us)
            + request(READ, rank, 3) + request(READ, rank, 253))


def transfer(messages):
    body = struct.pack("<I", len(messages))
    for address, flags, data in messages:
        length = data if isinstance(data, int) else len(data)
        body += struct.pack("<HHHBB", address, flags, length, 0, 0)
        if not flags & I2C_M_RD:
            body += data
    return body


def smbus_quick(command):
    return struct.pack("<BBBBI", 0, command, 0, 0, 0) + bytes(36)  # the data, padded as the structure is


def line_handle(line, value):
    offsets = struct.pack("<I", line).ljust(256, b"\0")
    defaults = bytes([value]).ljust(64, b"\0")
    return (offsets + struct.pack("<I", GPIOHANDLE_REQUEST_OUTPUT) + defaults + b"fuzz".ljust(32, b"\0")
            + struct.pack("<Ii", 1, -1))


def line_request_v2(line):
    offsets = struct.pack("<I", line).ljust(256, b"\0")
    config = struct.pack("<Q", GPIO_V2_LINE_FLAG_OUTPUT).ljust(272, b"\0")
    return (offsets + b"fuzz".ljust(32, b"\0") + config + struct.pack("<II", 1, 0) + bytes(20)
            + struct.pack("<i", -1))


def values(value):
    return bytes([value]).ljust(64, b"\0")


def setup(piece_size=0, two_peers=False, fast_from=0, wake_at_end=False, through_areas=False):
    return bytes([piece_size, (fast_from << 1) | int(two_peers), int(wake_at_end) | int(through_areas) << 1])


NEVER_FAST = 127
GREETING = request(HELLO) + open_path("/dev/i2c-3")

SEEDS = {
    "identity-fast": setup() + GREETING + identity_command(0) + request(NOW) + request(CLOSE, 0),
    "identity-real-time": setup(fast_from=NEVER_FAST) + GREETING + identity_command(0) + request(CLOSE, 0),
    "identity-bytewise": setup(piece_size=1, fast_from=40) + GREETING + identity_command(0) + request(CLOSE, 0),
    "identity-odd-pieces": setup(piece_size=37, fast_from=3) + GREETING + identity_command(0),
    "rdwr": setup() + GREETING + request(IOCTL, 0, I2C_FUNCS)
    + request(IOCTL, 0, I2C_SMBUS, smbus_quick(0))
    + request(IOCTL, 0, I2C_RDWR, transfer([(0x10, 0, frame(b"\xE2")), (0x10, I2C_M_RD, 3)]))
    + request(IOCTL, 0, I2C_RDWR, transfer([(0x10, I2C_M_RD, 64)]))
    + request(IOCTL, 0, I2C_RDWR, transfer([(0x50, 0, b"\x00")])) + request(CLOSE, 0),
    "gpio-v1": setup() + request(HELLO) + open_path("/dev/gpiochip0")
    + request(IOCTL, 0, GPIO_GET_CHIPINFO, bytes(68))
    + request(IOCTL, 0, GPIO_GET_LINEINFO, struct.pack("<I", FREE_LINE).ljust(72, b"\0"))
    + request(IOCTL, 0, GPIO_GET_LINEHANDLE, line_handle(FREE_LINE, 1))
    + request(IOCTL, 1, GPIOHANDLE_SET_VALUES, values(0)) + request(IOCTL, 1, GPIOHANDLE_GET_VALUES, values(0))
    + request(CLOSE, 1) + request(CLOSE, 0),
    "gpio-v2-left-open": setup() + open_path("/dev/gpiochip0")
    + request(IOCTL, 0, GPIO_V2_GET_LINE, line_request_v2(FREE_LINE))
    + request(IOCTL, 1, GPIO_V2_SET_VALUES, struct.pack("<QQ", 1, 1)),
    "sysfs": setup() + open_path("/sys/bus/gpio/devices/gpiochip0/dev", 0) + request(READ, 0, 64)
    + open_path("/sys/class/i2c-dev/i2c-3/name", 0) + request(READ, 1, 64) + request(CLOSE, 0),
    "left-open": setup() + GREETING + open_path("/dev/gpiochip0") + open_path("/dev/i2c-3") + select(2),
    "not-its-descriptor": setup() + request(READ, 50, 3) + request(CLOSE, 12345) + request(WRITE, -1, 0, b"x")
    + open_path("/dev/i2c-9") + open_path("/etc/passwd") + open_path("/dev/i2c-3\0x"),
    "oversize-then-hello": setup(piece_size=24) + struct.pack("<IIqq", 64 * 1024 + 1, READ, 0, 0) + request(HELLO),
    "unknown-operation": setup() + request(NOW) + request(99) + request(HELLO),
    "bad-sleeps": setup() + request(SLEEP, 9, 1) + request(SLEEP, USLEEP, -1) + request(NOW),
    "sleep-past-the-end-of-time": setup() + request(SLEEP, USLEEP, 2**63 - 1) + request(NOW),
    "two-sleepers": setup(piece_size=24, two_peers=True) + request(SLEEP, USLEEP, 300) + request(SLEEP, USLEEP, 100)
    + request(NOW) + request(NOW) + request(SLEEP, USLEEP, 50) + request(SLEEP, USLEEP, 50),
    "two-sleepers-overlapping": setup(piece_size=24, two_peers=True, wake_at_end=True)
    + request(SLEEP, USLEEP, 300) + request(SLEEP, USLEEP, 100) + request(NOW) + request(NOW),
    "gpio-handle-cut-short": setup() + open_path("/dev/gpiochip0")
    + request(IOCTL, 0, GPIO_GET_LINEHANDLE, line_handle(FREE_LINE, 1)[:360]),
    "rdwr-largest-answer": setup() + GREETING
    + request(IOCTL, 0, I2C_RDWR, transfer([(0x10, 0, frame(b"\xE2"))] + [(0x10, I2C_M_RD, 8192)] * 41)),
    "two-peers-interleaved": setup(piece_size=20, two_peers=True) + GREETING + identity_command(0),
    "area-identity": setup(through_areas=True) + GREETING + identity_command(0) + request(NOW) + request(CLOSE, 0),
    "area-two-sleepers": setup(two_peers=True, wake_at_end=True, through_areas=True) + request(SLEEP, USLEEP, 300)
    + request(SLEEP, USLEEP, 100) + request(NOW) + request(NOW) + request(SLEEP, USLEEP, 50),
    "area-oversize-then-hello": setup(through_areas=True) + GREETING
    + struct.pack("<IIqq", 0xFFFFFFFF, WRITE, 0, 0) + request(HELLO) + open_path("/dev/i2c-3") + request(READ, 0, 8),
    "area-cut-short": setup(through_areas=True) + open_path("/dev/gpiochip0")
    + request(IOCTL, 0, GPIO_GET_LINEHANDLE, line_handle(FREE_LINE, 1)[:360]),
}


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "board_link")
    os.makedirs(folder, exist_ok=True)
    for name, content in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as seed:
            seed.write(content)


if __name__ == "__main__":
    main()
