// The command-line scanner on arbitrary argument vectors: the input split at
// NUL bytes, the first piece being the program name (an empty input gives an
// empty vector, as exec() can).
#include <cstring>
#include <string>
#include <vector>

#include "beacondec/options.hpp"
#include "fuzz_support.hpp"

using namespace beacon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces;
    if (size > 0) {
        const char* p = reinterpret_cast<const char*>(data);
        const char* end = p + size;
        for (;;) {
            const char* nul = static_cast<const char*>(std::memchr(p, '\0', end - p));
            pieces.emplace_back(p, nul ? nul : end);
            if (!nul) break;
            p = nul + 1;
        }
    }
    // Each argument in its own allocation, so that a read past one is seen.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    for (const std::string& s : pieces) {
        storage.emplace_back(new char[s.size() + 1]);
        std::memcpy(storage.back().get(), s.c_str(), s.size() + 1);
        argv.push_back(storage.back().get());
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    RunSettings settings;
    const int rc =
        parse_options(argc, argv.data(), settings, fuzz::null_stream(), fuzz::null_stream());
    FUZZ_CHECK(rc == PARSE_CONTINUE || rc == 0 || rc == 2);
    if (rc != PARSE_CONTINUE) return 0;
    // An accepted command line names a file that is one of the arguments.
    bool found = false;
    for (int i = 1; i < argc; ++i)
        found = found || settings.wav_path == argv[i];
    FUZZ_CHECK(found);
    if (settings.timestamp_given) FUZZ_CHECK(std::strlen(settings.timestamp) == 6);
    fill_timestamp(settings);
    FUZZ_CHECK(std::strlen(settings.timestamp) == 6);
    return 0;
}
