#include "ErrorTexts.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "NodeStatus.h"
#include "Parse.h"

namespace cli {

namespace {

// i2c-dev numbers its adapters from 0; boards carry a handful.
constexpr int kBusesLookedFor = 32;

std::string busesHere() {
    std::string list;
    for (int number = 0; number < kBusesLookedFor; ++number) {
        const std::string path = "/dev/i2c-" + std::to_string(number);
        if (::access(path.c_str(), F_OK) == 0) {
            list += (list.empty() ? "" : " ") + path;
        }
    }
    return list;
}

}  // namespace

std::string nodeStatusText(int32_t status) {
    switch (status) {
        case NODE_SUCCESS:
            return "ok";
        case NODE_LOCAL_FILE_FAILURE:
            return "local file failure: the file cannot be read, or the fetched copy's SHA-256 "
                   "differs from the node's (check the path, then try again)";
        case NODE_NO_REQUEST_FRAME:
            return "no request could be built, or the local file cannot be created (check the "
                   "destination's directory and permissions)";
        case NODE_WRONG_REPLY_LENGTH:
            return "the reply has the wrong length (is another device answering at this "
                   "address?)";
        case NODE_TRANSPORT_FAILURE:
            return "no answer from the node (check the address with 'i2c-kestro-cli scan' and "
                   "the wiring)";
        case NODE_REPLY_NOT_OK:
            return "the node refused the command (its reply does not begin with OK)";
        case NODE_TRANSFER_STOPPED:
            return "the transfer was stopped on request before it ended";
        default:
            return "unknown status " + std::to_string(status);
    }
}

std::string busOpenText(const std::string& bus, int errorNumber) {
    if (errorNumber == ENOENT) {
        const std::string buses = busesHere();
        return "no bus " + bus +
               (buses.empty() ? " (no I2C buses here: load i2c-dev with 'modprobe i2c-dev')"
                              : " (buses here: " + buses + ")");
    }
    const std::string opening = "cannot open " + bus + ": " + std::strerror(errorNumber);
    if (errorNumber == EACCES || errorNumber == EPERM) {
        return opening + " (run as root, or add the user to the i2c group)";
    }
    return opening;
}

std::string addressSelectText(const std::string& bus, unsigned address, int errorNumber) {
    if (errorNumber == EBUSY) {
        return "address " + addressText(address) + " on " + bus +
               " is held by a kernel driver (it shows as UU in a scan; unbind the driver first)";
    }
    return "cannot select address " + addressText(address) + " on " + bus + ": " +
           std::strerror(errorNumber);
}

}  // namespace cli
