// Helpers shared by the fuzz targets: a sink for the messages that the code
// under test writes, an in-memory regular file, and a check that aborts (so
// that libFuzzer keeps the input) when an invariant fails.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "audio/audio.hpp"

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

using beacon::FilePtr;

// The bytes as a seekable regular file that lives in memory (memfd): seeks
// past the end and the size measured at the end behave as on disk, which an
// fmemopen stream does not do.
inline FilePtr memory_file(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("fuzz.wav", 0);
    if (fd < 0) return nullptr;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return nullptr;
        }
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    FilePtr f(fdopen(fd, "rb"));
    if (!f) close(fd);
    return f;
}

}  // namespace beacon::fuzz
