#pragma once

#include <cstdint>
#include <string>

namespace cli {

// What a node status means to the operator, with what to try next.
std::string nodeStatusText(int32_t status);
// Why `bus` could not be opened, for the errno of the open.
std::string busOpenText(const std::string& bus, int errorNumber);
// Why `address` could not be selected on `bus`, for the errno of the select.
std::string addressSelectText(const std::string& bus, unsigned address, int errorNumber);

}  // namespace cli
