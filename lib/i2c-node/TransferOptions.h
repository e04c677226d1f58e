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
};
