#pragma once
// A node's own firmware, built for the simulator as a shared object that links
// the node library (docs/node-sdk.md): the simulated bus drives it as the
// node's I2C interrupts and main loop would.
//
// The object is opened once per path, whatever the number of nodes that run
// it; each node gets its own context, memory the simulator owns (zeroed, as
// large as the firmware asks, aligned for any type), so one process runs
// many nodes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace sim {

// The object cannot be opened, or lacks one of the functions a firmware exports.
class FirmwareError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Firmware {
  public:
    // Opens the shared object at `path`; throws FirmwareError naming the file and
    // what is wrong with it.
    static std::shared_ptr<const Firmware> load(const std::string& path);
    ~Firmware();
    Firmware(const Firmware&) = delete;
    Firmware& operator=(const Firmware&) = delete;

    const std::string& path() const { return path_; }

    // The node's functions; `context` is the memory of one node.
    using ContextSize = std::size_t (*)();
    using Init = void (*)(void* context, uint8_t address);
    using Receive = void (*)(void* context, const uint8_t* bytes, std::size_t count);
    using Call = void (*)(void* context);
    using NextByte = uint8_t (*)(void* context);
    ContextSize contextSize = nullptr;
    Init init = nullptr;
    Receive receive = nullptr;
    Call readStart = nullptr;
    NextByte nextByte = nullptr;
    Call poll = nullptr;

  private:
    Firmware(std::string path, void* handle) : path_(std::move(path)), handle_(handle) {}
    template <typename Function>
    void bind(Function& function, const char* name);

    std::string path_;
    void* handle_;
};

// One node running a firmware: its context, set up by the firmware for `address`.
class FirmwareNode {
  public:
    FirmwareNode(std::shared_ptr<const Firmware> firmware, uint8_t address);

    const std::string& path() const { return firmware_->path(); }
    // The bytes of one write transaction addressed to the node (the receive interrupt at STOP).
    void receive(const uint8_t* bytes, std::size_t count) {
        firmware_->receive(context(), bytes, count);
    }
    // One round of the firmware's main loop.
    void poll() { firmware_->poll(context()); }
    // A read transaction addressed to the node begins; then one byte per transmit interrupt.
    void readStart() { firmware_->readStart(context()); }
    uint8_t nextByte() { return firmware_->nextByte(context()); }

  private:
    void* context() { return context_.get(); }

    std::shared_ptr<const Firmware> firmware_;
    std::unique_ptr<std::max_align_t[]> context_;
};

}  // namespace sim
