#pragma once

#include "NodeStatus.h"

namespace cli {

// Exit statuses of the tool besides the library's own codes (node status, board error).
constexpr int kUsageError = 64;
// The operator did not confirm a scan; nothing was done.
constexpr int kNotConfirmed = 75;
constexpr const char* kNotConfirmedText =
    "not confirmed; nothing was probed (give -y to skip the question)";
constexpr const char* kNotConfirmedSweepText =
    "not confirmed; no node was asked (give -y to skip the question)";
// The board module (the board subcommand) cannot be loaded: the installation is incomplete.
constexpr int kBoardModuleMissing = 69;
// The board agent is not running (status), or it did not answer properly.
constexpr int kAgentUnavailable = 69;
// The bus cannot be opened or the address not selected: the node status of a channel that
// could not be made.
constexpr int kBusUnusable = NODE_TRANSPORT_FAILURE;

}  // namespace cli
