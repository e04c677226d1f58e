#pragma once

#include <cstddef>
#include <cstdint>

// Every libcurl transfer of this process, instead of going to the network,
// delivers the bytes given here as the response body, through the write
// callback the caller installed, and succeeds. The bytes must outlive the
// transfer.
void serveBody(const uint8_t* data, size_t size);
