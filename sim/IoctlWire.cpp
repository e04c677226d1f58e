#include "IoctlWire.h"

#include <linux/gpio.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "Devices.h"

namespace sim::ioctlwire {

namespace {

// i2c-dev takes at most this much per message.
constexpr std::size_t kMaxMessage = 8192;
// Room for any GPIO structure the board answers (the largest is about 600 bytes).
constexpr std::size_t kGpioRoom = 4096;

int fail(int error) {
    errno = error;
    return -1;
}

template <typename T>
void put(Bytes& out, const T& value) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

// Reads payloads of any content without reading past them.
class Reader {
  public:
    explicit Reader(const Bytes& bytes) : bytes_(bytes) {}
    template <typename T>
    bool get(T& value) {
        return take(&value, sizeof value);
    }
    bool take(void* out, std::size_t size) {
        if (bytes_.size() - at_ < size) return false;
        if (size > 0) std::memcpy(out, bytes_.data() + at_, size);
        at_ += size;
        return true;
    }

  private:
    const Bytes& bytes_;
    std::size_t at_ = 0;
};

struct SmbusWire {
    uint8_t readWrite;
    uint8_t command;
    uint8_t hasData;
    uint8_t pad;
    uint32_t size;
    uint8_t data[sizeof(i2c_smbus_data)];
};

struct MessageWire {
    uint16_t address;
    uint16_t flags;
    uint16_t length;
    uint8_t first;  // a read buffer's first byte: i2c-dev checks it for I2C_M_RECV_LEN
    uint8_t pad;
};

bool reads(const i2c_msg& message) {
    return (message.flags & I2C_M_RD) != 0;
}

int encodeTransfer(const i2c_rdwr_ioctl_data* transfer, Bytes& payload) {
    if (transfer == nullptr) return EFAULT;
    if (transfer->msgs == nullptr || transfer->nmsgs == 0 || transfer->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
        return EINVAL;
    }
    put(payload, uint32_t{transfer->nmsgs});
    for (unsigned i = 0; i < transfer->nmsgs; ++i) {
        const i2c_msg& message = transfer->msgs[i];
        if (message.len > 0 && message.buf == nullptr) return EFAULT;
        const uint8_t first = message.len > 0 && reads(message) ? message.buf[0] : 0;
        put(payload, MessageWire{message.addr, message.flags, message.len, first, 0});
        if (!reads(message) && message.len <= kMaxMessage) {
            payload.insert(payload.end(), message.buf, message.buf + message.len);
        }
    }
    return 0;
}

int encodeSmbus(const i2c_smbus_ioctl_data* transfer, Bytes& payload) {
    if (transfer == nullptr) return EFAULT;
    SmbusWire wire{transfer->read_write, transfer->command, transfer->data != nullptr, 0, transfer->size, {}};
    if (transfer->data != nullptr) std::memcpy(wire.data, transfer->data, sizeof wire.data);
    put(payload, wire);
    return 0;
}

void decodeTransfer(i2c_rdwr_ioctl_data* transfer, const Bytes& answer) {
    std::size_t at = 0;
    for (unsigned i = 0; i < transfer->nmsgs; ++i) {
        i2c_msg& message = transfer->msgs[i];
        if (!reads(message)) continue;
        const std::size_t n = std::min<std::size_t>(message.len, answer.size() - at);
        std::copy_n(answer.data() + at, n, message.buf);
        at += n;
    }
}

int serveTransfer(int fd, const Bytes& payload, Bytes& answer) {
    Reader in(payload);
    uint32_t count = 0;
    if (!in.get(count) || count == 0 || count > I2C_RDWR_IOCTL_MAX_MSGS) return fail(EINVAL);
    std::vector<i2c_msg> messages(count);
    std::vector<Bytes> buffers(count);
    for (uint32_t i = 0; i < count; ++i) {
        MessageWire wire{};
        if (!in.get(wire)) return fail(EINVAL);
        // A message too long is refused by the board's own checks without its bytes.
        buffers[i].assign(std::max<std::size_t>(1, std::min<std::size_t>(wire.length, kMaxMessage)), 0);
        messages[i] = i2c_msg{wire.address, wire.flags, wire.length, buffers[i].data()};
        if ((wire.flags & I2C_M_RD) != 0) {
            buffers[i][0] = wire.first;
        } else if (wire.length <= kMaxMessage && !in.take(buffers[i].data(), wire.length)) {
            return fail(EINVAL);
        }
    }
    i2c_rdwr_ioctl_data transfer{messages.data(), count};
    const int result = devices::ioctl(fd, I2C_RDWR, &transfer);
    if (result < 0) return result;
    for (uint32_t i = 0; i < count; ++i) {
        if (reads(messages[i])) answer.insert(answer.end(), buffers[i].begin(), buffers[i].begin() + messages[i].len);
    }
    return result;
}

int serveSmbus(int fd, const Bytes& payload, Bytes& answer) {
    SmbusWire wire{};
    if (!Reader(payload).get(wire)) return fail(EINVAL);
    i2c_smbus_data data{};
    std::memcpy(&data, wire.data, sizeof data);
    i2c_smbus_ioctl_data transfer{wire.readWrite, wire.command, wire.size, wire.hasData != 0 ? &data : nullptr};
    const int result = devices::ioctl(fd, I2C_SMBUS, &transfer);
    answer.assign(reinterpret_cast<const uint8_t*>(&data), reinterpret_cast<const uint8_t*>(&data) + sizeof data);
    return result;
}

int serveI2c(int fd, unsigned request, const Bytes& payload, Bytes& answer) {
    if (request == I2C_RDWR) return serveTransfer(fd, payload, answer);
    if (request == I2C_SMBUS) return serveSmbus(fd, payload, answer);
    if (request == I2C_FUNCS) {
        unsigned long functions = 0;
        const int result = devices::ioctl(fd, request, &functions);
        put(answer, functions);
        return result;
    }
    uint64_t number = 0;
    Reader(payload).get(number);
    return devices::ioctl(fd, request, reinterpret_cast<void*>(static_cast<uintptr_t>(number)));
}

std::size_t gpioSize(unsigned request) {
    return std::min<std::size_t>(_IOC_SIZE(request), kGpioRoom);
}

// A structure that did not come whole is refused: the board would act on a
// request whose answer (a line request's descriptor) cannot go back whole.
int serveGpio(int fd, unsigned request, const Bytes& payload, Bytes& answer) {
    if (payload.size() < gpioSize(request)) return fail(EFAULT);
    Bytes room(kGpioRoom, 0);
    std::copy_n(payload.begin(), std::min(payload.size(), room.size()), room.begin());
    const int result = devices::ioctl(fd, request, room.data());
    answer.assign(room.begin(), room.begin() + static_cast<std::ptrdiff_t>(gpioSize(request)));
    return result;
}

}  // namespace

int encode(Kind kind, unsigned request, void* argument, Bytes& payload) {
    if (kind == Kind::I2c) {
        if (request == I2C_RDWR) return encodeTransfer(static_cast<const i2c_rdwr_ioctl_data*>(argument), payload);
        if (request == I2C_SMBUS) return encodeSmbus(static_cast<const i2c_smbus_ioctl_data*>(argument), payload);
        if (request == I2C_FUNCS) return argument == nullptr ? EFAULT : 0;
        put(payload, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(argument)));
        return 0;
    }
    if (argument == nullptr) return EFAULT;
    const auto* bytes = static_cast<const uint8_t*>(argument);
    payload.assign(bytes, bytes + gpioSize(request));
    return 0;
}

void decode(Kind kind, unsigned request, void* argument, const Bytes& answer, int made) {
    if (kind == Kind::I2c) {
        if (request == I2C_RDWR) return decodeTransfer(static_cast<i2c_rdwr_ioctl_data*>(argument), answer);
        if (request == I2C_FUNCS && answer.size() == sizeof(unsigned long)) {
            std::memcpy(argument, answer.data(), answer.size());
        }
        auto* transfer = static_cast<i2c_smbus_ioctl_data*>(argument);
        if (request == I2C_SMBUS && transfer->data != nullptr && answer.size() == sizeof(i2c_smbus_data)) {
            std::memcpy(transfer->data, answer.data(), answer.size());
        }
        return;
    }
    // A structure the kernel only reads is never written back: it may be const.
    if ((_IOC_DIR(request) & _IOC_READ) == 0) return;
    if (!answer.empty()) std::memcpy(argument, answer.data(), std::min(answer.size(), gpioSize(request)));
    if (request == GPIO_GET_LINEHANDLE_IOCTL) static_cast<gpiohandle_request*>(argument)->fd = made;
    if (request == GPIO_V2_GET_LINE_IOCTL) static_cast<gpio_v2_line_request*>(argument)->fd = made;
}

bool makesDescriptor(unsigned request) {
    return request == GPIO_GET_LINEHANDLE_IOCTL || request == GPIO_V2_GET_LINE_IOCTL;
}

int madeDescriptor(unsigned request, const Bytes& answer) {
    int fd = -1;
    if (request == GPIO_GET_LINEHANDLE_IOCTL && answer.size() >= sizeof(gpiohandle_request)) {
        std::memcpy(&fd, answer.data() + offsetof(gpiohandle_request, fd), sizeof fd);
    }
    if (request == GPIO_V2_GET_LINE_IOCTL && answer.size() >= sizeof(gpio_v2_line_request)) {
        std::memcpy(&fd, answer.data() + offsetof(gpio_v2_line_request, fd), sizeof fd);
    }
    return fd;
}

int serve(int fd, Kind kind, unsigned request, const Bytes& payload, Bytes& answer) {
    if (kind == Kind::I2c) return serveI2c(fd, request, payload, answer);
    return serveGpio(fd, request, payload, answer);
}

}  // namespace sim::ioctlwire
