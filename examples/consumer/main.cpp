// A board application: brings the board up from a configuration file and
// prints the nodes that answered.
#include <i2c-kestro/NorvaneI2CNode.h>
#include <i2c-kestro/SBC.h>

#include <cstdio>

int main(int argc, char** argv) {
    const char* config = argc > 1 ? argv[1] : "/etc/i2c-kestro/config.json";
    SBC board(config);
    if (board.getError() != OKEY) {
        std::fprintf(stderr, "board start-up failed: %s\n", board.getErrorString().c_str());
        return 1;
    }
    for (const auto& [bus, nodes] : board._nodes) {
        for (const auto& [id, node] : nodes) {
            std::printf("%s 0x%02x %s\n", bus.c_str(), node->addr, id.c_str());
        }
    }
    return 0;
}
