#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "GpioLine.h"
#include "NorvaneI2CNode.h"
#include "SBC.h"

namespace {

constexpr unsigned kGpioChip = 0;
constexpr unsigned kGpioLine = 7;
constexpr const char* kConsumer = "i2c-kestro-cli";
constexpr unsigned kSettleSeconds = 1;

}  // namespace

// open chip 0 -> get line 7 -> request it as an output (any nonzero initial value drives it high)
void SBC::configureGpio(bool flag) {
    _chip = gpioline::openChip(kGpioChip);
    if (_chip == nullptr) {
        reportGpioFault("Error configuring chip gpio: ", errno);
        _error = GPIOD_CHIP;
        return;
    }
    _line = gpioline::getLine(_chip, kGpioLine);
    if (_line == nullptr) {
        reportGpioFault("Error configuring line gpio: ", errno);
        _error = GPIOD_LINE;
        return;
    }
    if (gpioline::requestOutput(_line, kConsumer, 2 - static_cast<int>(flag)) == 0) {
        return;
    }
    const int refusal = errno;
    reportGpioFault("Error configuring output gpio: ", refusal);
    if (refusal == EBUSY) {
        std::cerr << "Line already used by: " << gpioline::consumer(_line) << std::endl;
    }
    _error = GPIOD_LINE_REQUEST;
}

void SBC::setGpio(bool value) {
    if (_line == nullptr) {
        _error = GPIOD_LINE;
        return;
    }
    driveLine(value ? 1 : 0);
    sleep(kSettleSeconds);
}

void SBC::releaseResources() {
    if (_line != nullptr) {
        driveLine(0);
        sleep(kSettleSeconds);
    } else {
        _error = GPIOD_LINE;
    }
    closeGpio();
    deleteNodes();
}

void SBC::reportGpioFault(const char* what, int errorNumber) {
    std::cerr << what << errorNumber << "-" << std::strerror(errorNumber) << std::endl;
}

void SBC::driveLine(int value) {
    if (gpioline::setValue(_line, value) != 0) {
        std::cerr << "Error!!!!!!!!!!!!!" << std::endl;
        _error = GPIOD_SET;
    }
}

// A chip whose line could not be obtained is closed too, so a half-configured board leaks nothing.
void SBC::closeGpio() {
    if (_line != nullptr) {
        gpioline::closeLineAndChip(_line);
    } else if (_chip != nullptr) {
        gpioline::closeChip(_chip);
    }
    _line = nullptr;
    _chip = nullptr;
}

// The entries go with their objects, so a second release cannot delete a node twice.
void SBC::deleteNodes() {
    for (auto& [bus, nodes] : _nodes) {
        for (auto& [id, node] : nodes) {
            delete node;
        }
    }
    _nodes.clear();
}
