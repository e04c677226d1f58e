#include <functional>
#include <iostream>

#include "SBC.h"

SBC::SBC(const std::string& configFile)
    : _chip(nullptr),
      _line(nullptr),
      _endpoint(),
      _api_key(),
      _wifis(),
      _devices(),
      _nodes(),
      _error(OKEY) {
    bringUp(configFile);
}

SBC::~SBC() {
    releaseResources();
    std::cout << "shold i free this ";
    clearDevices();
}

// Each step runs only when every earlier one left _error at OKEY.
void SBC::bringUp(const std::string& configFile) {
    // clang-format off
    const std::function<void()> steps[] = {
        [&] { parseConfigFile(configFile); },
        [this] { configureGpio(false); },
        [this] { fetchDevices(); },
        [this] { setGpio(true); },
        [this] { discoverNodes(); },
    };
    // clang-format on
    for (const auto& step : steps) {
        step();
        if (_error != OKEY) {
            return;
        }
    }
}
