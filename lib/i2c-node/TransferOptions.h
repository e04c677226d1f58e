#pragma once

#include <cstdint>
#include <functional>

/// Opt-in behaviour of a file transfer beyond the protocol's defaults.
struct TransferOptions {
    /// A chunk exchange that failed with status 10 is repeated up to this many times,
    /// after the chunk wait again.
    uint32_t retries = 0;
    /// getFile only: keep a partial file "<destination>.part" on failure and, when one is
    /// there, continue from its length; the whole file's digest is still checked.
    bool resume = false;
    /// Called with (bytes moved so far, file size) once after the start reply and after each chunk.
    std::function<void(uint64_t done, uint64_t total)> progress;
    /// Asked before the start and before each chunk exchange (a repeat too); when it answers
    /// true the transfer goes no further: after its start, the node's side is ended with the end
    /// step, a fetch's temporary file removed (its partial file kept with `resume`), and the
    /// transfer returns NODE_TRANSFER_STOPPED. A step under way is finished first, its wait in
    /// full. It may be called from no signal handler; a handler sets a flag that it reads.
    std::function<bool()> stop = nullptr;
};
