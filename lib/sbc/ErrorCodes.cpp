#include "SBC.h"

std::string sbcErrorText(int32_t code) {
    switch (code) {
        case OKEY:
            return "OKEY";
        case CONFIG_FILE:
            return "CONFIG_FILE";
        case SERVER_RESPONSE:
            return "SERVER_RESPONSE";
        case UNSOLVED_ADDR_CONFLIC:
            return "UNSOLVED_ADDR_CONFLIC";
        case GPIOD_CHIP:
            return "GPIOD_CHIP";
        case GPIOD_LINE:
            return "GPIOD_LINE";
        case GPIOD_LINE_REQUEST:
            return "GPIOD_LINE_REQUEST";
        case GPIOD_SET:
            return "GPIOD_SET";
        case NODES_CONFIG_PARSE:
            return "NODES_CONFIG_PARSE";
        default:
            return "DEFAULT UNKOWN";
    }
}

int32_t SBC::getError() const {
    return _error;
}

std::string SBC::getErrorString() const {
    return sbcErrorText(_error);
}
