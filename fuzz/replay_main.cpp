// A fuzz target without libFuzzer: runs LLVMFuzzerTestOneInput on every file
// of the given folders and on random mutations of each (a byte changed, a
// range cut out or repeated, the end cut off), from a fixed seed so that a
// run is repeatable. The sanitizer build runs every target this way as a
// test; `make fuzz` does the coverage-guided search with clang.
//   fuzz_NAME [--mutations N] DIR...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

// libFuzzer never passes a null pointer, not even for an empty input.
void run(const Bytes& b) {
    static const std::uint8_t none = 0;
    LLVMFuzzerTestOneInput(b.empty() ? &none : b.data(), b.size());
}

Bytes mutate(Bytes b, std::mt19937& rng) {
    const auto pick = [&rng](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n)(rng);
    };
    switch (pick(3)) {
        case 0:  // one byte set at random
            if (!b.empty()) b[pick(b.size() - 1)] = static_cast<std::uint8_t>(rng());
            break;
        case 1: {  // a range cut out
            const std::size_t at = pick(b.size());
            b.erase(b.begin() + static_cast<long>(at),
                    b.begin() + static_cast<long>(std::min(b.size(), at + pick(16))));
            break;
        }
        case 2: {  // a range repeated
            const std::size_t at = pick(b.size());
            const Bytes piece(b.begin() + static_cast<long>(at),
                              b.begin() + static_cast<long>(std::min(b.size(), at + pick(16))));
            b.insert(b.begin() + static_cast<long>(at), piece.begin(), piece.end());
            break;
        }
        default:  // the end cut off
            b.resize(pick(b.size()));
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    int mutations = 0;
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--mutations" && i + 1 < argc) {
            mutations = std::atoi(argv[++i]);
            continue;
        }
        for (const auto& e : std::filesystem::recursive_directory_iterator(a))
            if (e.is_regular_file()) files.push_back(e.path());
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s [--mutations N] DIR... (with at least one file)\n",
                     argv[0]);
        return 2;
    }
    std::sort(files.begin(), files.end());
    std::mt19937 rng(1);
    long runs = 0;
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        const Bytes seed{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        run(seed);
        ++runs;
        Bytes b = seed;
        for (int m = 0; m < mutations; ++m) {
            // Half the mutations build on the previous one, half start again.
            b = mutate(m % 2 == 0 ? seed : b, rng);
            run(b);
            ++runs;
        }
    }
    std::printf("%ld inputs from %zu files, no finding\n", runs, files.size());
    return 0;
}
