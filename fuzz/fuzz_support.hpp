// Helpers shared by the fuzz targets: a sink for the messages that the code
// under test writes, and a check that aborts (so that libFuzzer keeps the
// input) when an invariant fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace beacon::fuzz {

// Everything the code under test writes goes here; its text is not checked.
inline std::FILE* null_stream() {
    static std::FILE* const f = std::fopen("/dev/null", "w");
    return f;
}

// Aborts with the failed condition named, so that the input is saved.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

}  // namespace beacon::fuzz
