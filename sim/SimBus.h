#pragma once
// One simulated i2c-dev bus (e.g. "/dev/i2c-3") with the nodes on it.
//
// Kernel behaviour mirrored: open gives a character device; I2C_SLAVE selects
// the address of the descriptor (default 0) and fails with EBUSY where a
// kernel driver holds the address (I2C_SLAVE_FORCE does not); I2C_FUNCS fills
// an unsigned long; I2C_SMBUS send-byte probes the selected address; write()
// and read() are one I2C transaction each with the descriptor's selected
// address. I2C_RDWR sends its messages in order, each to its own address, a
// message after the first with a repeated start. Where nothing answers,
// transactions fail with the no-answer errno (ENXIO unless changed). Unknown
// ioctls fail with ENOTTY.
//
// Wire time: with a speed set, every transaction occupies the bus for its
// bits (see Devices.cpp for what is counted) and transactions of one bus
// never overlap: one that comes while the bus is busy starts when it is free.
// Without a speed, transactions take no time.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "SimNode.h"

namespace sim {

inline constexpr unsigned kI2cMajor = 89;
// The adapter's name, as /sys/class/i2c-dev/i2c-N/name gives it.
inline constexpr const char* kI2cAdapterName = "sim-i2c";

class SimBus {
  public:
    explicit SimBus(std::string path);

    const std::string& path() const { return path_; }
    // Major/minor of the character device (89:N for /dev/i2c-N).
    unsigned minor() const { return minor_; }

    // A protocol-speaking node at a 7-bit address; replaces one already there.
    SimNode& addNode(uint8_t address);
    // A device that only answers the scan probe (same object, probe preset).
    SimNode& addDevice(uint8_t address, Probe probe = Probe::Ack);
    void removeNode(uint8_t address);
    // The node or device at `address`; none when it is silent.
    SimNode* node(uint8_t address);
    SimNode& nodeAt(uint8_t address);  // throws std::out_of_range when absent
    const std::map<uint8_t, std::unique_ptr<SimNode>>& nodes() const { return nodes_; }

    // A silent node keeps its state but answers nothing, as an empty address does.
    void silence(uint8_t address, bool silent) {
        if (silent) {
            silent_.insert(address);
        } else {
            silent_.erase(address);
        }
    }

    // I2C_SLAVE on this address fails with EBUSY.
    void holdByDriver(uint8_t address) { held_.insert(address); }
    // I2C_FUNCS fails with `error` (0 = succeeds again).
    void failFuncs(int error = EIO) { funcsError_ = error; }
    void setFuncs(unsigned long bits) { funcs_ = bits; }
    // open() fails with `error` (0 = opens again); e.g. EACCES.
    void failOpen(int error) { openError_ = error; }
    // errno of a transaction nobody answers: ENXIO (default) or EIO.
    void setNoAnswerErrno(int error) { noAnswerErrno_ = error; }

    // Bits per second on the wire; 0: transactions take no time.
    void setSpeedHz(uint32_t hz) { speedHz_ = hz; }
    uint32_t speedHz() const { return speedHz_; }
    // Microseconds that `bits` take on the wire, rounded up.
    uint64_t bitsUs(uint64_t bits) const {
        return speedHz_ == 0 ? 0 : (bits * 1'000'000 + speedHz_ - 1) / speedHz_;
    }
    // When the bits of the last transaction have left the wire (board clock).
    uint64_t freeAtUs() const { return freeAtUs_; }
    void occupyUntil(uint64_t us) { freeAtUs_ = us; }

    int openError() const { return openError_; }
    int funcsError() const { return funcsError_; }
    unsigned long funcs() const { return funcs_; }
    int noAnswerErrno() const { return noAnswerErrno_; }
    bool heldByDriver(uint8_t address) const { return held_.count(address) != 0; }

    // Successful opens so far, and descriptors of this bus open now.
    std::size_t openCount() const { return openCount_; }
    std::size_t openDescriptors() const { return openNow_; }

    // Bus side, used by the interposer.
    void noteOpened() { ++openCount_, ++openNow_; }
    void noteClosed() { --openNow_; }

  private:
    std::string path_;
    unsigned minor_;
    std::map<uint8_t, std::unique_ptr<SimNode>> nodes_;
    std::set<uint8_t> held_;
    std::set<uint8_t> silent_;
    int funcsError_ = 0;
    int openError_ = 0;
    int noAnswerErrno_ = ENXIO;
    // I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL, as a typical adapter reports.
    unsigned long funcs_ = 0x0eff0009UL;
    std::size_t openCount_ = 0;
    std::size_t openNow_ = 0;
    uint32_t speedHz_ = 0;
    uint64_t freeAtUs_ = 0;
};

}  // namespace sim
