#include "Devices.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "BoardClient.h"
#include "Descriptor.h"
#include "GpioLines.h"
#include "GpioV2.h"
#include "Listings.h"
#include "RealLibc.h"
#include "SimBoard.h"

namespace sim::devices {

namespace {

using Kind = SimBoard::Descriptor::Kind;

// i2c-dev refuses longer transfers the same way.
constexpr std::size_t kI2cMaxTransfer = 8192;
constexpr std::string_view kI2cPrefix = "/dev/i2c-";
constexpr std::string_view kChipPrefix = "/dev/gpiochip";

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isI2cPath(std::string_view path) {
    return path.starts_with(kI2cPrefix) && allDigits(path.substr(kI2cPrefix.size()));
}

bool isChipPath(std::string_view path) {
    return path.starts_with(kChipPrefix) && allDigits(path.substr(kChipPrefix.size()));
}

int fail(int error) {
    errno = error;
    return -1;
}

SimBoard& theBoard() {
    return SimBoard::instance();
}

// The board's wall clock, wherever the board is.
uint64_t boardNowUs() {
    if (!client::active()) return theBoard().clock().nowUs();
    uint64_t nowUs = 0;
    return client::fakeWallClock(nowUs) ? nowUs : real::wallClockUs();
}

// What exists at a simulated path: a character device (with its rdev), a
// regular file (a sysfs attribute), a sysfs folder, or nothing.
struct Node {
    bool exists = false;
    mode_t type = S_IFREG;
    dev_t rdev = 0;
    mode_t permissions = 0;
};

Node nodeAt(std::string_view path) {
    SimBoard& simBoard = theBoard();
    if (isI2cPath(path)) {
        SimBus* bus = simBoard.bus(std::string(path));
        if (bus == nullptr) return {};
        return Node{true, S_IFCHR, makedev(kI2cMajor, bus->minor()), 0660};
    }
    if (listings::attributePath(path)) {
        return listings::attribute(path) ? Node{true, S_IFREG, 0, 0444} : Node{};
    }
    if (listings::sysfsFolder(path)) {
        return listings::folderExists(path) ? Node{true, S_IFDIR, 0, 0755} : Node{};
    }
    if (path == kGpioChipPath && simBoard.gpio().present()) {
        return Node{true, S_IFCHR, makedev(kGpioMajor, kGpioMinor), 0600};
    }
    return {};
}

bool isLineDescriptor(const SimBoard::Descriptor& descriptor) {
    return descriptor.kind == Kind::GpioHandle || descriptor.kind == Kind::GpioLineRequest;
}

Node nodeOf(const SimBoard::Descriptor& descriptor) {
    if (isLineDescriptor(descriptor)) return Node{true, S_IFREG, 0, 0600};
    return nodeAt(descriptor.path);
}

int fillStat(const Node& node, struct stat* buffer) {
    if (!node.exists) return fail(ENOENT);
    std::memset(buffer, 0, sizeof *buffer);
    buffer->st_mode = node.type | node.permissions;
    buffer->st_rdev = node.rdev;
    buffer->st_nlink = 1;
    buffer->st_blksize = 4096;
    buffer->st_size = node.type == S_IFREG ? 4096 : 0;
    const uint64_t nowUs = boardNowUs();
    buffer->st_atim.tv_sec = buffer->st_mtim.tv_sec = buffer->st_ctim.tv_sec =
        static_cast<time_t>(nowUs / 1'000'000);
    return 0;
}

int fillStatx(const Node& node, struct statx* buffer) {
    if (!node.exists) return fail(ENOENT);
    std::memset(buffer, 0, sizeof *buffer);
    buffer->stx_mask = STATX_BASIC_STATS;
    buffer->stx_mode =
        static_cast<uint16_t>(node.type | node.permissions);
    buffer->stx_rdev_major = major(node.rdev);
    buffer->stx_rdev_minor = minor(node.rdev);
    buffer->stx_nlink = 1;
    buffer->stx_blksize = 4096;
    buffer->stx_size = node.type == S_IFREG ? 4096 : 0;
    return 0;
}

Event eventOf(EventKind kind, const std::string& path, int address = -1) {
    Event event;
    event.kind = kind;
    event.path = path;
    event.address = address;
    return event;
}

std::size_t logOutcome(Event event, ssize_t result) {
    event.result = result;
    event.error = result < 0 ? errno : 0;
    const int saved = errno;
    const std::size_t index = theBoard().log(std::move(event));
    errno = saved;
    return index;
}

int openI2c(const std::string& path) {
    SimBus* bus = theBoard().bus(path);
    if (bus == nullptr) return fail(ENOENT);
    if (bus->openError() != 0) return fail(bus->openError());
    auto descriptor = std::make_unique<SimBoard::Descriptor>();
    descriptor->kind = Kind::I2c;
    descriptor->path = path;
    const int fd = theBoard().addDescriptor(std::move(descriptor));
    if (fd >= 0) bus->noteOpened();
    return fd;
}

// The GPIO chip, or a sysfs attribute of a bus or the chip.
int openChipOrAttribute(const std::string& path, int flags) {
    const Node node = nodeAt(path);
    if (!node.exists) return fail(ENOENT);
    // The folders are listed (see Listings.h), never opened as descriptors.
    if (node.type == S_IFDIR) return fail(EOPNOTSUPP);
    const bool attribute = node.type == S_IFREG;
    if (attribute && (flags & O_ACCMODE) != O_RDONLY) return fail(EACCES);
    auto descriptor = std::make_unique<SimBoard::Descriptor>();
    descriptor->kind = attribute ? Kind::SysfsAttribute : Kind::GpioChip;
    descriptor->path = path;
    return theBoard().addDescriptor(std::move(descriptor));
}

// --- i2c-dev ---------------------------------------------------------------

int selectAddress(SimBoard::Descriptor& descriptor, SimBus& bus, unsigned long address, bool force) {
    Event event = eventOf(EventKind::Select, descriptor.path, static_cast<int>(address));
    int result = 0;
    if (address > 0x7F) {
        result = fail(EINVAL);
    } else if (!force && bus.heldByDriver(static_cast<uint8_t>(address))) {
        result = fail(EBUSY);
    } else {
        descriptor.address = static_cast<uint8_t>(address);
    }
    logOutcome(std::move(event), result);
    return result;
}

int adapterFunctions(const SimBoard::Descriptor& descriptor, SimBus& bus, unsigned long* out) {
    int result = 0;
    if (bus.funcsError() != 0) {
        result = fail(bus.funcsError());
    } else {
        *out = bus.funcs();
    }
    logOutcome(eventOf(EventKind::Funcs, descriptor.path), result);
    return result;
}

// --- wire time ----------------------------------------------------------------

// What a message takes on the wire: its start (a repeated start inside I2C_RDWR
// is one too), the address byte and each data byte, 9 bits each with its
// acknowledge bit, and after the last message of the transaction the stop. A
// message nobody acknowledges is its address byte alone.
constexpr uint64_t kStartBits = 1;
constexpr uint64_t kStopBits = 1;
constexpr uint64_t kBitsPerByte = 9;

// A transaction on its bus's wire: it starts at `startUs`, when the bus is
// free, and has used `bits` so far.
struct Wire {
    SimBus& bus;
    uint64_t startUs = 0;
    uint64_t bits = 0;

    uint64_t nowUs() const { return startUs + bus.bitsUs(bits); }
};

Wire wireOf(SimBus& bus) {
    return Wire{
        .bus = bus, .startUs = std::max(theBoard().clock().nowUs(), bus.freeAtUs()), .bits = 0};
}

// Moves the transaction on by one message and gives the event its time on the wire.
void sendMessage(Wire& wire, Event& event, std::size_t dataBytes, bool last) {
    event.timeUs = wire.nowUs();
    if (wire.bus.speedHz() == 0) return;
    const uint64_t before = wire.bus.bitsUs(wire.bits);
    wire.bits += kStartBits + kBitsPerByte * (dataBytes + 1) + (last ? kStopBits : 0);
    event.wireUs = wire.bus.bitsUs(wire.bits) - before;
}

// The bus is busy until the transaction's bits have left the wire, and its
// caller gets the answer no earlier.
void releaseWire(const Wire& wire) {
    if (wire.bus.speedHz() == 0) return;
    wire.bus.occupyUntil(wire.nowUs());
    theBoard().noteWireDue(wire.nowUs());
}

// In process the caller waits here until its transaction's bits have left the
// wire: the simulated clock moves on, or the time really passes. A board
// served over the link defers the answer instead (BoardService.h).
template <typename Result>
Result afterTheWire(Result result) {
    SimBoard& board = theBoard();
    if (board.servedOverLink()) return result;
    const uint64_t dueUs = board.takeWireDue();
    if (dueUs == 0) return result;
    const int saved = errno;
    FakeClock& clock = board.clock();
    const uint64_t nowUs = clock.nowUs();
    if (clock.isFake()) {
        clock.setNowUs(std::max(nowUs, dueUs));
    } else if (dueUs > nowUs) {
        const timespec wait{.tv_sec = static_cast<time_t>((dueUs - nowUs) / 1'000'000),
                            .tv_nsec = static_cast<long>((dueUs - nowUs) % 1'000'000 * 1000)};
        real::nanosleep(&wait, nullptr);
    }
    errno = saved;
    return result;
}

// --- i2c-dev transactions ------------------------------------------------------

// An SMBus transfer counts on the wire as a send-byte: the address and one byte.
int smbusTransfer(const SimBoard::Descriptor& descriptor, SimBus& bus,
                  const i2c_smbus_ioctl_data* transfer) {
    Event event = eventOf(EventKind::Probe, descriptor.path, descriptor.address);
    event.value = transfer->command;
    SimNode* node = bus.node(descriptor.address);
    Wire wire = wireOf(bus);
    sendMessage(wire, event, node == nullptr || node->probe() == Probe::Nack ? 0 : 1, true);
    int result = 0;
    if (node == nullptr || node->probe() == Probe::Nack) {
        result = fail(bus.noAnswerErrno());
    } else if (!node->busProbe(transfer->command)) {
        result = fail(EIO);
    } else if (transfer->read_write == I2C_SMBUS_READ && transfer->data != nullptr) {
        std::memset(transfer->data, 0xFF, sizeof *transfer->data);
    }
    logOutcome(std::move(event), result);
    releaseWire(wire);
    return result;
}

// One write message to `address` on the wire: a write() with that address
// selected, or a write message of I2C_RDWR (`last`: the stop follows it).
ssize_t writeTransaction(Wire& wire, uint8_t address, const uint8_t* bytes, std::size_t count,
                         bool last) {
    SimBus& bus = wire.bus;
    Event event = eventOf(EventKind::Write, bus.path(), address);
    event.requested = count;
    const bool keepBytes = theBoard().keepsBytes();
    if (keepBytes) event.bytes.assign(bytes, bytes + count);
    SimNode* node = bus.node(address);
    sendMessage(wire, event, node == nullptr ? 0 : count, last);
    ssize_t result = 0;
    if (node == nullptr) {
        result = fail(bus.noAnswerErrno());
    } else {
        int error = 0;
        result = node->busWrite(bytes, count, error,
                                {.eventIndex = theBoard().eventCount(),
                                 .timeUs = event.timeUs,
                                 .record = theBoard().recording(),
                                 .doneUs = wire.nowUs()});
        if (result < 0) errno = error;
        if (node->lastFault()) event.fault = faultName(*node->lastFault());
        if (keepBytes) event.reply = node->preparedReply();
    }
    logOutcome(std::move(event), result);
    return result;
}

// One read message from `address`, like writeTransaction.
ssize_t readTransaction(Wire& wire, uint8_t address, uint8_t* buffer, std::size_t count,
                        bool last) {
    SimBus& bus = wire.bus;
    Event event = eventOf(EventKind::Read, bus.path(), address);
    event.requested = count;
    SimNode* node = bus.node(address);
    sendMessage(wire, event, node == nullptr ? 0 : count, last);
    ssize_t result = 0;
    if (node == nullptr) {
        result = fail(bus.noAnswerErrno());
    } else {
        int error = 0;
        result = node->busRead(buffer, count, bus.noAnswerErrno(), error, event.timeUs, event.idle);
        if (result < 0) errno = error;
    }
    if (result > 0 && theBoard().keepsBytes()) event.bytes.assign(buffer, buffer + result);
    logOutcome(std::move(event), result);
    return result;
}

ssize_t i2cWrite(const SimBoard::Descriptor& descriptor, const void* buffer, std::size_t count) {
    SimBus* bus = theBoard().bus(descriptor.path);
    if (bus == nullptr) return fail(ENODEV);
    Wire wire = wireOf(*bus);
    const ssize_t result =
        writeTransaction(wire, descriptor.address, static_cast<const uint8_t*>(buffer),
                         std::min(count, kI2cMaxTransfer), true);
    releaseWire(wire);
    return result;
}

ssize_t i2cRead(const SimBoard::Descriptor& descriptor, void* buffer, std::size_t count) {
    SimBus* bus = theBoard().bus(descriptor.path);
    if (bus == nullptr) return fail(ENODEV);
    Wire wire = wireOf(*bus);
    const ssize_t result = readTransaction(wire, descriptor.address, static_cast<uint8_t*>(buffer),
                                           std::min(count, kI2cMaxTransfer), true);
    releaseWire(wire);
    return result;
}

// --- I2C_RDWR ----------------------------------------------------------------

// Flags of features the simulated adapter does not offer (ten-bit addresses,
// protocol mangling, lengths read from the device): its driver refuses them.
constexpr uint16_t kUnsupportedFlags = I2C_M_TEN | I2C_M_RECV_LEN | I2C_M_NO_RD_ACK | I2C_M_IGNORE_NAK |
                                       I2C_M_REV_DIR_ADDR | I2C_M_NOSTART | I2C_M_STOP;
constexpr uint8_t kIdleBus = 0xFF;

// i2c-dev's checks of a message before anything is sent: EINVAL for a message
// too long or a length-from-device read with no room for the length.
int checkedByI2cDev(const i2c_msg& message) {
    if (message.len > kI2cMaxTransfer) return EINVAL;
    if (message.len > 0 && message.buf == nullptr) return EFAULT;
    if ((message.flags & I2C_M_RECV_LEN) == 0) return 0;
    const bool roomForLength = (message.flags & I2C_M_RD) != 0 && message.len >= 1 &&
                               message.buf[0] >= 1 && message.len >= message.buf[0] + I2C_SMBUS_BLOCK_MAX;
    return roomForLength ? 0 : EINVAL;
}

// The adapter's checks of a message: a 7-bit address and features it has.
int checkedByAdapter(const i2c_msg& message) {
    if ((message.flags & kUnsupportedFlags) != 0) return EOPNOTSUPP;
    return message.addr > 0x7F ? EINVAL : 0;
}

int checkMessages(const i2c_rdwr_ioctl_data* transfer) {
    if (transfer == nullptr) return EFAULT;
    if (transfer->msgs == nullptr || transfer->nmsgs == 0 || transfer->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
        return EINVAL;
    }
    for (unsigned i = 0; i < transfer->nmsgs; ++i) {
        if (const int error = checkedByI2cDev(transfer->msgs[i]); error != 0) return error;
    }
    for (unsigned i = 0; i < transfer->nmsgs; ++i) {
        if (const int error = checkedByAdapter(transfer->msgs[i]); error != 0) return error;
    }
    return 0;
}

// The messages in order, as one combined transfer: each after the first
// starts with a repeated start. The first one nobody takes ends the transfer
// with its errno, and the caller's read buffers are then left as they were, as
// i2c-dev copies them back only when the whole transfer succeeded. A write the
// node takes only in part is a data byte not acknowledged: EIO.
int sendMessages(Wire& wire, const i2c_rdwr_ioctl_data* transfer, std::vector<Bytes>& received) {
    for (unsigned i = 0; i < transfer->nmsgs; ++i) {
        const i2c_msg& message = transfer->msgs[i];
        const auto address = static_cast<uint8_t>(message.addr);
        const bool last = i + 1 == transfer->nmsgs;
        ssize_t moved = 0;
        if ((message.flags & I2C_M_RD) != 0) {
            received[i].assign(message.len, kIdleBus);
            moved = readTransaction(wire, address, received[i].data(), message.len, last);
        } else {
            moved = writeTransaction(wire, address, message.buf, message.len, last);
            if (moved >= 0 && moved < message.len) moved = fail(EIO);
        }
        if (moved < 0) {
            if (!last) wire.bits += kStopBits;
            return -1;
        }
    }
    return 0;
}

int combinedTransfer(SimBus& bus, const i2c_rdwr_ioctl_data* transfer) {
    if (const int error = checkMessages(transfer); error != 0) return fail(error);
    std::vector<Bytes> received(transfer->nmsgs);
    Wire wire = wireOf(bus);
    const int sent = sendMessages(wire, transfer, received);
    releaseWire(wire);
    if (sent < 0) return -1;
    for (unsigned i = 0; i < transfer->nmsgs; ++i) {
        std::copy(received[i].begin(), received[i].end(), transfer->msgs[i].buf);
    }
    return static_cast<int>(transfer->nmsgs);
}

int i2cIoctl(SimBoard::Descriptor& descriptor, unsigned long request, void* argument) {
    SimBus* bus = theBoard().bus(descriptor.path);
    if (bus == nullptr) return fail(ENODEV);
    switch (request) {
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE:
            return selectAddress(descriptor, *bus, reinterpret_cast<unsigned long>(argument),
                                 request == I2C_SLAVE_FORCE);
        case I2C_FUNCS:
            return adapterFunctions(descriptor, *bus, static_cast<unsigned long*>(argument));
        case I2C_SMBUS:
            return smbusTransfer(descriptor, *bus, static_cast<i2c_smbus_ioctl_data*>(argument));
        case I2C_RDWR:
            return combinedTransfer(*bus, static_cast<const i2c_rdwr_ioctl_data*>(argument));
        case I2C_TENBIT:
            return argument == nullptr ? 0 : fail(EINVAL);
        case I2C_RETRIES:
        case I2C_TIMEOUT:
        case I2C_PEC:
            return 0;
        default:
            return fail(ENOTTY);
    }
}

// --- GPIO chip ---------------------------------------------------------------

int chipInfo(gpiochip_info* info) {
    SimGpioChip& chip = theBoard().gpio();
    gpiolines::copyText(info->name, sizeof info->name, chip.name());
    gpiolines::copyText(info->label, sizeof info->label, chip.label());
    info->lines = chip.lineCount();
    return 0;
}

int lineInfo(gpioline_info* info) {
    gpiolines::LineDescription line;
    if (const int error = gpiolines::describe(info->line_offset, line); error != 0) {
        return fail(error);
    }
    info->flags = 0;
    if (line.used) info->flags |= GPIOLINE_FLAG_KERNEL;
    if (line.output) info->flags |= GPIOLINE_FLAG_IS_OUT;
    gpiolines::copyText(info->name, sizeof info->name, line.name);
    gpiolines::copyText(info->consumer, sizeof info->consumer, line.consumer);
    return 0;
}

int lineHandle(gpiohandle_request* request) {
    if (request->lines == 0 || request->lines > GPIOHANDLES_MAX) return fail(EINVAL);
    gpiolines::LineRequest wanted{
        .lines = {},
        .consumer = std::string(request->consumer_label,
                                strnlen(request->consumer_label, sizeof request->consumer_label)),
        .kind = Kind::GpioHandle,
        .path = gpiolines::kLineHandlePath};
    const bool output = (request->flags & GPIOHANDLE_REQUEST_OUTPUT) != 0;
    for (unsigned i = 0; i < request->lines; ++i) {
        wanted.lines.push_back({request->lineoffsets[i], output, request->default_values[i]});
    }
    const int fd = gpiolines::request(wanted);
    if (fd < 0) return -1;
    request->fd = fd;
    return 0;
}

int chipIoctl(unsigned long request, void* argument) {
    switch (request) {
        case GPIO_GET_CHIPINFO_IOCTL:
            return chipInfo(static_cast<gpiochip_info*>(argument));
        case GPIO_GET_LINEINFO_IOCTL:
            return lineInfo(static_cast<gpioline_info*>(argument));
        case GPIO_GET_LINEHANDLE_IOCTL:
            return lineHandle(static_cast<gpiohandle_request*>(argument));
        case GPIO_V2_GET_LINEINFO_IOCTL:
            return gpiov2::lineInfo(static_cast<gpio_v2_line_info*>(argument));
        case GPIO_V2_GET_LINE_IOCTL:
            return gpiov2::lineRequest(static_cast<gpio_v2_line_request*>(argument));
        default:
            return fail(ENOTTY);
    }
}

int setValues(const SimBoard::Descriptor& handle, const gpiohandle_data* data) {
    std::vector<std::pair<std::size_t, int>> values;
    for (std::size_t i = 0; i < handle.lines.size(); ++i) values.emplace_back(i, data->values[i]);
    return gpiolines::drive(handle, values);
}

int getValues(const SimBoard::Descriptor& handle, gpiohandle_data* data) {
    std::memset(data, 0, sizeof *data);
    for (std::size_t i = 0; i < handle.lines.size(); ++i) {
        data->values[i] = static_cast<uint8_t>(gpiolines::readBack(handle.lines[i]));
    }
    return 0;
}

int handleIoctl(const SimBoard::Descriptor& handle, unsigned long request, void* argument) {
    switch (request) {
        case GPIOHANDLE_SET_LINE_VALUES_IOCTL:
            return setValues(handle, static_cast<const gpiohandle_data*>(argument));
        case GPIOHANDLE_GET_LINE_VALUES_IOCTL:
            return getValues(handle, static_cast<gpiohandle_data*>(argument));
        default:
            return fail(ENOTTY);
    }
}

ssize_t attributeRead(SimBoard::Descriptor& descriptor, void* buffer, std::size_t count) {
    const std::string content = listings::attribute(descriptor.path).value_or("");
    if (descriptor.offset >= content.size()) return 0;
    const std::size_t n = std::min(count, content.size() - descriptor.offset);
    std::memcpy(buffer, content.data() + descriptor.offset, n);
    descriptor.offset += n;
    return static_cast<ssize_t>(n);
}

// The descriptor of `fd`; a stale one when another thread closed it after
// the interposer saw it (every call then fails with EBADF).
SimBoard::Descriptor& descriptorOf(int fd) {
    static SimBoard::Descriptor closed;
    SimBoard::Descriptor* found = theBoard().descriptor(fd);
    return found != nullptr ? *found : closed;
}

}  // namespace

bool simulatedPath(const char* path) {
    if (path == nullptr || path[0] != '/') return false;
    const std::string_view view(path);
    return isI2cPath(view) || isChipPath(view) || listings::attributePath(view) ||
           listings::sysfsFolder(view);
}

bool simulatedFd(int fd) {
    SimBoard* board = existingBoard();
    if (board == nullptr) return false;
    const auto guard = SimBoard::lock();
    return board->descriptor(fd) != nullptr;
}

int open(const char* path, int flags) {
    const auto guard = SimBoard::lock();
    const std::string name(path);
    if (client::active()) return client::open(name, flags);
    const int fd = isI2cPath(name) ? openI2c(name) : openChipOrAttribute(name, flags);
    logOutcome(eventOf(EventKind::Open, name), fd);
    return fd;
}

int close(int fd) {
    const auto guard = SimBoard::lock();
    if (client::active()) return client::close(fd);
    std::unique_ptr<SimBoard::Descriptor> descriptor = theBoard().removeDescriptor(fd);
    if (descriptor == nullptr) return fail(EBADF);
    if (descriptor->kind == Kind::I2c) {
        if (SimBus* bus = theBoard().bus(descriptor->path)) bus->noteClosed();
    } else if (isLineDescriptor(*descriptor)) {
        gpiolines::release(*descriptor);
    }
    if (descriptor->kind != Kind::Stale) logOutcome(eventOf(EventKind::Close, descriptor->path), 0);
    return real::close(fd);
}

ssize_t read(int fd, void* buffer, std::size_t count) {
    const auto guard = SimBoard::lock();
    if (client::active()) return client::read(fd, buffer, count);
    SimBoard::Descriptor& descriptor = descriptorOf(fd);
    switch (descriptor.kind) {
        case Kind::I2c:
            return afterTheWire(i2cRead(descriptor, buffer, count));
        case Kind::SysfsAttribute:
            return attributeRead(descriptor, buffer, count);
        case Kind::Stale:
            return fail(EBADF);
        default:
            return fail(EINVAL);
    }
}

ssize_t write(int fd, const void* buffer, std::size_t count) {
    const auto guard = SimBoard::lock();
    if (client::active()) return client::write(fd, buffer, count);
    SimBoard::Descriptor& descriptor = descriptorOf(fd);
    switch (descriptor.kind) {
        case Kind::I2c:
            return afterTheWire(i2cWrite(descriptor, buffer, count));
        case Kind::SysfsAttribute:
        case Kind::Stale:
            return fail(EBADF);
        default:
            return fail(EINVAL);
    }
}

int ioctl(int fd, unsigned long request, void* argument) {
    const auto guard = SimBoard::lock();
    if (client::active()) return client::ioctl(fd, static_cast<unsigned>(request), argument);
    SimBoard::Descriptor& descriptor = descriptorOf(fd);
    switch (descriptor.kind) {
        case Kind::I2c:
            return afterTheWire(i2cIoctl(descriptor, request, argument));
        case Kind::GpioChip:
            return chipIoctl(request, argument);
        case Kind::GpioHandle:
            return handleIoctl(descriptor, request, argument);
        case Kind::GpioLineRequest:
            return gpiov2::requestIoctl(descriptor, request, argument);
        case Kind::Stale:
            return fail(EBADF);
        default:
            return fail(ENOTTY);
    }
}

int statPath(const char* path, struct stat* buffer) {
    const auto guard = SimBoard::lock();
    return fillStat(nodeAt(path), buffer);
}

// stat and statx of an open descriptor differ only in the buffer they fill.
template <typename Buffer>
int statOpenDescriptor(int fd, Buffer* buffer, int (*fill)(const Node&, Buffer*)) {
    const auto guard = SimBoard::lock();
    const SimBoard::Descriptor& descriptor = descriptorOf(fd);
    if (descriptor.kind == Kind::Stale) return fail(EBADF);
    return fill(nodeOf(descriptor), buffer);
}

int statFd(int fd, struct stat* buffer) {
    return statOpenDescriptor(fd, buffer, fillStat);
}

int statxPath(const char* path, struct statx* buffer) {
    const auto guard = SimBoard::lock();
    return fillStatx(nodeAt(path), buffer);
}

int statxFd(int fd, struct statx* buffer) {
    return statOpenDescriptor(fd, buffer, fillStatx);
}

int access(const char* path, int mode) {
    const auto guard = SimBoard::lock();
    const Node node = nodeAt(path);
    if (!node.exists) return fail(ENOENT);
    return (mode & X_OK) != 0 && node.type != S_IFDIR ? fail(EACCES) : 0;
}

ssize_t extendedAttribute(const char* path) {
    const auto guard = SimBoard::lock();
    return fail(nodeAt(path).exists ? ENODATA : ENOENT);
}

bool sleep(SleepCall call, uint64_t durationUs) {
    SimBoard* board = existingBoard();
    if (board == nullptr) return true;
    const auto guard = SimBoard::lock();
    if (client::active()) return client::sleep(call, durationUs);
    const std::size_t index = board->logSleep(call, durationUs);
    return board->clock().noteSleep(call, durationUs, index, board->recording());
}

bool fakeClockAdvance(uint64_t& advancedUs) {
    SimBoard* board = existingBoard();
    if (board == nullptr) return false;
    const auto guard = SimBoard::lock();
    uint64_t nowUs = 0;
    if (client::active()) return client::fakeClock(nowUs, advancedUs);
    if (!board->clock().isFake()) return false;
    advancedUs = board->clock().advancedUs();
    return true;
}

bool fastRun() {
    if (existingBoard() == nullptr) return false;
    const auto guard = SimBoard::lock();
    return client::active() && client::fastClock();
}

bool beginWait(uint64_t durationUs, uint64_t& untilUs, int& bell) {
    const auto guard = SimBoard::lock();
    return client::beginWait(durationUs, untilUs, bell);
}

bool waitOver(uint64_t untilUs) {
    const auto guard = SimBoard::lock();
    return client::waitOver(untilUs);
}

void endWait(uint64_t untilUs) {
    const auto guard = SimBoard::lock();
    client::endWait(untilUs);
}

bool fakeWallClock(uint64_t& nowUs) {
    SimBoard* board = existingBoard();
    if (board == nullptr) return false;
    const auto guard = SimBoard::lock();
    if (client::active()) return client::fakeWallClock(nowUs);
    if (!board->clock().isFake()) return false;
    nowUs = board->clock().nowUs();
    return true;
}

}  // namespace sim::devices
