// A board application as a user writes one with the library: brings the board
// up from its configuration and, when asked, sends a file to node-1 or
// fetches one from it. The launcher's tests run it under i2c-kestro-sim.
//
//   board-app CONFIG [send LOCAL REMOTE | get REMOTE LOCAL]

#include <iostream>
#include <string>

#include "NorvaneI2CNode.h"
#include "SBC.h"

namespace {

int transfer(SBC& board, const std::string& what, const std::string& from, const std::string& to) {
    NorvaneI2CNode* node = board._nodes["/dev/i2c-3"]["node-1"];
    if (node == nullptr) return 3;
    const int32_t status = what == "send" ? node->sendFile(from, to) : node->getFile(from, to);
    std::cout << what << " status " << status << std::endl;
    return status == 0 ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        std::cerr << "usage: board-app CONFIG [send LOCAL REMOTE | get REMOTE LOCAL]" << std::endl;
        return 2;
    }
    SBC board(argv[1]);
    for (const auto& [bus, nodes] : board._nodes) {
        for (const auto& [id, node] : nodes) std::cout << "found " << id << " on " << bus << std::endl;
    }
    if (board.getError() != 0) return 1;
    return argc == 5 ? transfer(board, argv[2], argv[3], argv[4]) : 0;
}
