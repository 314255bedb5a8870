// The channel code of PI4. Message bits are protected by a rate-1/2,
// constraint-length-32 convolutional code (`encode`) and recovered from soft
// symbols by Fano's sequential search (`fano`), which scores hypotheses with an
// integer metric table (`pi4_getmet`). On the receive side
// `pi4_decode_message` turns a frame's 146 soft values into its 8-character
// message; on the transmit side `pi4_make_symbols` turns a message into the
// 146 tone indices of a frame. Nothing here keeps state between calls.
#pragma once

#include <array>
#include <cstdint>

#include "pi4/frame.hpp"

namespace beacon {

// Generator polynomials: bit k taps the input bit that entered k steps before
// the newest. Both are odd, so a 1 entering the register inverts both symbols.
inline constexpr std::uint32_t CONV_POLY_A = 0xf2d05351u, CONV_POLY_B = 0xe4613c47u;

// Parity of every byte value: 1 for an odd number of one bits.
extern const std::array<std::uint8_t, 256> Partab;

// Parity of the low 32 bits of a register masked by a polynomial, folded to a
// byte and looked up.
inline std::uint8_t conv_parity(std::uint64_t state, std::uint32_t poly) {
    std::uint32_t t = static_cast<std::uint32_t>(state) & poly;
    t ^= t >> 16;
    t ^= t >> 8;
    return Partab[t & 0xffu];
}

// Encodes byte_count bytes, most significant bit first, from a zero register.
// Writes 16 * byte_count symbols (0 or 1), two per input bit. Returns 0.
int encode(std::uint8_t* out_symbols, const std::uint8_t* data, std::uint32_t byte_count);

// Fano metrics, [transmitted bit][received soft symbol].
using MetricTable = std::array<std::array<std::int32_t, 256>, 2>;

// Builds the PI4 metric table and the decoder's threshold step (170).
void pi4_getmet(MetricTable& mettab, std::int32_t& threshold_step);

// Sequential decoding of a block of bit_count bits whose last 31 are zero,
// from 2 * bit_count soft symbols (128 neutral, above speaks for a 1).
// Returns 0 and writes bit_count / 8 decoded bytes when a complete path was
// found within cycles_per_bit * bit_count cycles, else -1 (decoded is then
// left untouched). final_metric, cycle_count and furthest_node are written in
// both cases, except when the node array cannot be allocated: then the result
// is FANO_NO_MEMORY and nothing is written. threshold_step must be positive.
inline constexpr int FANO_NO_MEMORY = -2;
inline constexpr std::uint32_t PI4_CYCLES_PER_BIT = 100000;  // the decoder's budget in PI4
int fano(std::int32_t& final_metric, std::uint32_t& cycle_count, std::uint32_t& furthest_node,
         std::uint8_t* decoded, const std::uint8_t* soft_symbols, std::uint32_t bit_count,
         const MetricTable& mettab, std::int32_t threshold_step, std::uint32_t cycles_per_bit);

// Soft symbol (1..255) of a standardised value z = 30 * (v - mean) / sigma:
// rounded half away from zero, clamped to +-127, offset by 128. NaN maps to
// the neutral 128.
std::uint8_t pi4_soft_symbol(double z);

// De-interleaves a frame's 146 soft values (channel order) and quantises them
// by their own mean and spread into soft symbols in coded-bit order.
void pi4_soft_symbols(const std::array<float, PI4_NSYM>& metrics,
                      std::array<std::uint8_t, PI4_NSYM>& soft);

// How decoding a frame's message ended.
enum class MessageStatus {
    decoded,
    no_message,  // the Fano decoder ran out of cycles
    no_memory,   // the Fano decoder could not allocate its nodes
};

// Decodes a frame's 146 soft values (channel order, larger means data bit 1).
// Once decoded writes 8 characters and a NUL to message; otherwise leaves
// message alone. fano_metric, when not null, receives the decoder's final
// metric after every run of the decoder.
MessageStatus pi4_decode_message(const std::array<float, PI4_NSYM>& metrics, char* message,
                                 std::int64_t* fano_metric);

// The 146 tone indices (0..3) of a frame carrying message: up to 8 characters,
// padded with spaces; characters outside the alphabet count as spaces.
void pi4_make_symbols(const char* message, std::array<std::uint8_t, PI4_NSYM>& symbols);

}  // namespace beacon
