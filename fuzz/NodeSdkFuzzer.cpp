// Drives one node of the reference firmware with arbitrary bus traffic, as
// the interrupts and the main loop would: write transactions (raw, or the
// bytes framed correctly so that they reach the commands), main-loop polls
// and read transactions. Checks that a node only ever sends idle bytes or one
// whole reply frame from its start, whose payload begins "OK" or "NO".
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzCheck.h"
#include "kestro_node.h"

namespace {

enum Operation : uint8_t { RawWrite, FramedWrite, Poll, Read };

struct Input {
    const uint8_t* data;
    size_t size;

    uint8_t next() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    // Up to `wanted` bytes of the input.
    std::vector<uint8_t> take(size_t wanted) {
        const size_t n = wanted < size ? wanted : size;
        std::vector<uint8_t> bytes(data, data + n);
        data += n;
        size -= n;
        return bytes;
    }
};

// Short lengths mostly; now and then one that fills a send chunk's frame.
size_t lengthFrom(Input& in) {
    const uint8_t code = in.next();
    return code < 0xF0 ? code : (code - 0xF0u) * 64u + 200u;
}

std::vector<uint8_t> framed(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame{0x02, static_cast<uint8_t>(payload.size() >> 8),
                               static_cast<uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint16_t crc = kn_crc16(0, frame.data() + 1, frame.size() - 1);
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(0x04);
    return frame;
}

// Everything a reply read yields is idle, or the reply frame from where the last read stopped.
void checkRead(kn_node* node, size_t count, size_t& replyCursor) {
    kn_on_read_start(node);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = kn_next_tx_byte(node);
        if (b != 0xFF || replyCursor != 0) {
            if (replyCursor == 0) require(b == 0x02, "a reply begins with its start byte");
            if (replyCursor == 3) require(b == 'O' || b == 'N', "a reply payload is OK or NO");
            ++replyCursor;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    void* context = std::calloc(1, kn_firmware_context_size());
    kn_firmware_init(context, 0x08);
    kn_node* node = static_cast<kn_node*>(context);
    Input in{data, size};
    size_t replyCursor = 0;
    while (in.size > 0) {
        switch (in.next() % 4) {
            case RawWrite: {
                const std::vector<uint8_t> bytes = in.take(lengthFrom(in));
                kn_on_receive(node, bytes.data(), bytes.size());
                replyCursor = 0;
                break;
            }
            case FramedWrite: {
                const std::vector<uint8_t> frame = framed(in.take(lengthFrom(in)));
                kn_on_receive(node, frame.data(), frame.size());
                replyCursor = 0;
                break;
            }
            case Poll:
                kn_poll(node);
                break;
            case Read:
                checkRead(node, lengthFrom(in), replyCursor);
                break;
        }
    }
    std::free(context);
    return 0;
}
