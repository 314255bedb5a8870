// The Fano decoder on arbitrary soft symbols with a small cycle budget. A
// decoded path must be a real path of the code whose metric is the one
// reported; the search must stay inside the block.
#include <algorithm>
#include <vector>

#include "coding/coding.hpp"
#include "fuzz_support.hpp"

using namespace beacon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Byte 0: cycles per bit (1..16); byte 1: threshold step (1..256, or
    // the table's own for 0). The rest: soft symbols, two per bit.
    const std::uint32_t cycles_per_bit = data[0] % 16 + 1;
    MetricTable mettab;
    std::int32_t step = 0;
    pi4_getmet(mettab, step);
    if (data[1] != 0) step = data[1];
    const std::uint32_t bit_count =
        static_cast<std::uint32_t>(std::min<std::size_t>((size - 2) / 2, 4096));
    const std::uint8_t* soft = data + 2;

    std::vector<std::uint8_t> decoded(bit_count / 8 + 1, 0xA5);
    std::int32_t metric = 0;
    std::uint32_t cycles = 0, furthest = 0;
    const int rc = fano(metric, cycles, furthest, decoded.data(), soft, bit_count, mettab, step,
                        cycles_per_bit);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(furthest <= bit_count);
    FUZZ_CHECK(decoded.back() == 0xA5);  // nothing written past bit_count / 8 bytes
    if (rc != 0) return 0;

    // Re-encode the decoded bits (then the zero tail) and add up the metric
    // of that path: it must equal what the decoder reported.
    std::uint64_t state = 0;
    std::int64_t sum = 0;
    for (std::uint32_t n = 0; n < bit_count; ++n) {
        const unsigned bit = n / 8 < bit_count / 8 ? (decoded[n / 8] >> (7 - n % 8)) & 1u : 0u;
        if (bit_count - n <= 31) FUZZ_CHECK(bit == 0);  // the tail is zero
        state = (state << 1) | bit;
        const unsigned pair =
            2u * conv_parity(state, CONV_POLY_A) + conv_parity(state, CONV_POLY_B);
        sum += mettab[pair >> 1][soft[2 * n]] + mettab[pair & 1u][soft[2 * n + 1]];
    }
    FUZZ_CHECK(sum == metric);
    return 0;
}
