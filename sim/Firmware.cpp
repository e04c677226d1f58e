#include "Firmware.h"

#include <dlfcn.h>

#include <string>

namespace sim {

template <typename Function>
void Firmware::bind(Function& function, const char* name) {
    dlerror();
    void* symbol = dlsym(handle_, name);
    if (symbol == nullptr) throw FirmwareError(path_ + " does not export " + name);
    function = reinterpret_cast<Function>(symbol);
}

std::shared_ptr<const Firmware> Firmware::load(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        // The loader's message starts with the path, which the complaint names already.
        std::string why = dlerror();
        if (why.starts_with(path + ": ")) why.erase(0, path.size() + 2);
        throw FirmwareError("cannot load " + path + " (" + why + ")");
    }
    std::shared_ptr<Firmware> firmware(new Firmware(path, handle));
    firmware->bind(firmware->contextSize, "kn_firmware_context_size");
    firmware->bind(firmware->init, "kn_firmware_init");
    firmware->bind(firmware->receive, "kn_on_receive");
    firmware->bind(firmware->readStart, "kn_on_read_start");
    firmware->bind(firmware->nextByte, "kn_next_tx_byte");
    firmware->bind(firmware->poll, "kn_poll");
    return firmware;
}

Firmware::~Firmware() {
    dlclose(handle_);
}

FirmwareNode::FirmwareNode(std::shared_ptr<const Firmware> firmware, uint8_t address)
    : firmware_(std::move(firmware)) {
    const std::size_t size = firmware_->contextSize();
    const std::size_t slots = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    context_ = std::make_unique<std::max_align_t[]>(slots == 0 ? 1 : slots);
    firmware_->init(context(), address);
}

}  // namespace sim
