// Byte parity table for the convolutional code.
#include "coding/coding.hpp"

namespace beacon {

constexpr std::array<std::uint8_t, 256> Partab = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned ones = 0;
        for (unsigned v = i; v != 0; v >>= 1)
            ones += v & 1u;
        t[i] = static_cast<std::uint8_t>(ones & 1u);
    }
    return t;
}();

}  // namespace beacon
