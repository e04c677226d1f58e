#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

/// Failure codes left in `_error` by a construction that could not open the channel.
enum MasterError : uint8_t {
    MASTER_OK = 0,
    MASTER_ADDR_IN_USE = 1,
    MASTER_OPEN_FAILED = 2,
    MASTER_BIND_FAILED = 3,
};

/// Results of `send` and `receive`.
enum MasterResult : int32_t {
    MASTER_TRANSFER_OK = 0,
    MASTER_RECEIVE_FAILED = 3,
    MASTER_SEND_FAILED = 4,
    MASTER_NOT_OPEN = 8,
};

/// One channel to one 7-bit address on one i2c-dev bus.
///
/// A plain copyable value: copies share the descriptor, the destructor never closes it, and
/// only an explicit `close` on one copy releases the address and the descriptor. Each opened
/// channel has a number of its own that its copies share: once the channel is released (by a
/// copy's `close` or by `closeAll`) the others are stale, and a stale master neither writes,
/// reads nor closes, whatever file or channel has taken its descriptor number since.
class NorvaneI2cMaster {
  public:
    /// Per bus path, 256 in-use flags indexed by address; the table is created by the first
    /// open on the bus and released by the last close.
    static std::map<std::string, uint8_t*> __addrs;
    /// Per bus path, 256 descriptors indexed by address (-1 = none), paired with `__addrs`.
    static std::map<std::string, int32_t*> __addrsFds;

    NorvaneI2cMaster() = default;
    NorvaneI2cMaster(uint8_t addr, const char* bus);

    uint8_t getError() const { return _error; }
    /// errno of the last open, ioctl, read or write of this channel that failed; 0 while none
    /// has. Kept across later successes so that a caller can still say why a transfer failed.
    int lastErrno() const { return _lastErrno; }

    /// Frees the address in the registries and closes the descriptor.
    void close();
    /// Closes every descriptor the registries know of; every master open so far turns stale.
    static void closeAll();

    /// Every i2c-dev read and write of every master in the process since it started, and how
    /// many of them failed (a long-running owner's bus health, for its metrics).
    struct Traffic {
        uint64_t transactions = 0;
        uint64_t failures = 0;
    };
    static Traffic traffic();

    /// Wire: one write transaction carrying the whole frame.
    int32_t send(const uint8_t* buffer, uint16_t length);
    /// Wire: read 3 header bytes, then length + 3 bytes; hands out the payload plus a NUL.
    /// A header that pollHeader already read is not read again.
    int32_t receive(uint8_t*& payload, uint16_t& payloadLength);
    /// Wire: read 3 header bytes ahead of `receive`, to learn whether the reply is ready. True,
    /// and the header kept for `receive`, when all three came and the first is not 0xFF (the
    /// idle level of a node whose reply is not complete yet); false otherwise, and nothing
    /// kept, nor any errno: a node busy with the request may refuse a read.
    bool pollHeader();

  private:
    // Address 0 is a valid bind for the kernel, so the descriptor, not the
    // address, tells whether this master holds a channel.
    bool isOpen() const { return _fd >= 0 && !_bus.empty(); }
    /// Open, and its channel not released by a copy or by closeAll.
    bool ownsChannel() const;
    bool openAndBind(uint8_t addr, const char* bus);
    ssize_t readChannel(uint8_t* buffer, size_t count);
    ssize_t readHeader(uint8_t* header);
    /// Keeps errno when a read or write reported failure.
    void noteFailure(ssize_t result);
    void printOpened(bool busIsNew) const;
    void registerAddress();
    void releaseAddress();

    uint8_t _error = MASTER_OK;
    int32_t _fd = -1;
    uint8_t _addr = 0;
    std::string _bus;
    int _lastErrno = 0;
    uint64_t _channel = 0;
    uint8_t _polledHeader[3] = {};
    bool _headerPolled = false;
};
