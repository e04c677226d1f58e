#pragma once

#include <cstdio>
#include <cstdlib>

// A broken promise of the code under test must stop the fuzzer like a crash
// does, with a line that says which promise it was.
inline void require(bool holds, const char* promise) {
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", promise);
        std::abort();
    }
}
