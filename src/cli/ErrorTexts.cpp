#include "ErrorTexts.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "NodeStatus.h"
#include "Parse.h"
#include "SBC.h"

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

std::string boardErrorHint(int32_t error) {
    const std::string name = sbcErrorText(error);
    switch (error) {
        case CONFIG_FILE:
            return name + ": check the configuration file given with --config";
        case GPIOD_CHIP:
            return name + ": no GPIO chip 0 (is this the board, and is its GPIO driver loaded?)";
        case GPIOD_LINE:
        case GPIOD_LINE_REQUEST:
            return name + ": GPIO line 7 cannot be had (another program may hold it; see gpioinfo)";
        case SERVER_RESPONSE:
            return name + ": the device API cannot be reached (check \"endpoint\" and the network)";
        case NODES_CONFIG_PARSE:
            return name + ": the device API's answer is not a device list (check \"endpoint\")";
        case UNSOLVED_ADDR_CONFLIC:
            return name + ": a device document from the API lacks config.addr";
        default:
            return name;
    }
}

}  // namespace cli
