#pragma once

#include <cstdint>

/// What a node step leaves in `NorvaneI2CNode::status` when it fails; 0 is success.
enum NodeStatus : int32_t {
    NODE_SUCCESS = 0,
    NODE_LOCAL_FILE_FAILURE = 1,
    NODE_NO_REQUEST_FRAME = 5,
    NODE_WRONG_REPLY_LENGTH = 8,
    NODE_TRANSPORT_FAILURE = 10,
    NODE_REPLY_NOT_OK = 11,
    /// A file transfer stopped between its steps because TransferOptions::stop asked it to.
    NODE_TRANSFER_STOPPED = 12,
};
