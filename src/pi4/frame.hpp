// The PI4 frame: timing, tones, sync vector, alphabet, message packing and
// the bit-reversal interleaver. Everything that produces or consumes PI4
// symbols (search, metrics, SNR, message decoder and encoder) includes this
// header, so the signal is defined in exactly one place.
//
// A frame is 146 symbols of 2000 samples at 12000 Hz. Each symbol is one of
// four tones 234.375 Hz apart; tone index = 2 * data bit + sync bit. The 146
// data bits are the rate-1/2 convolutional code of 42 message bits and 31
// zero tail bits, interleaved by 8-bit bit reversal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace beacon {

inline constexpr int PI4_SAMPLE_RATE = 12000;
// The rate as the double that times and sample counts are converted with.
inline constexpr double PI4_RATE_HZ = 12000.0;
static_assert(PI4_RATE_HZ == PI4_SAMPLE_RATE);
inline constexpr int PI4_NSPS = 2000;  // samples per symbol
inline constexpr int PI4_NSYM = 146;   // symbols per frame
inline constexpr int PI4_FRAME_SAMPLES = PI4_NSYM * PI4_NSPS;
inline constexpr double PI4_FRAME_SECONDS = 24.333333333333332;  // 292000 / 12000
static_assert(PI4_FRAME_SECONDS == PI4_FRAME_SAMPLES / PI4_RATE_HZ);
inline constexpr double PI4_TONE_SPACING = 234.375;     // Hz
inline constexpr double PI4_CARRIER_OFFSET = 117.1875;  // carrier above tone 0, Hz
inline constexpr int PI4_NBITS = 42;                    // message bits
inline constexpr int PI4_TAIL_BITS = 31;
inline constexpr int PI4_CODE_BITS = PI4_NBITS + PI4_TAIL_BITS;  // 73 input bits of the code
inline constexpr int PI4_MESSAGE_LENGTH = 8;                     // characters
inline constexpr int PI4_ALPHABET_SIZE = 38;
inline constexpr int PI4_SPACE_CODE = 36;

// Sync bit of every symbol: the low bit of its tone index.
inline constexpr std::array<std::uint8_t, PI4_NSYM> PI4_SYNCVEC = {
    0, 0, 1, 0, 0, 1, 1, 1, 1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1,
    1, 1, 1, 0, 0, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 0, 1, 1, 0, 1, 1, 0, 1, 0,
    0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 1, 0, 0, 1, 0, 0,
    1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 1, 1, 1,
    0, 1, 1, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 1, 1};

// Character set of the message; a character's code is its index here.
inline constexpr char PI4_ALPHABET[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ /";
static_assert(sizeof(PI4_ALPHABET) == PI4_ALPHABET_SIZE + 1);

// 8-bit bit reversal: bit k of j becomes bit 7 - k.
constexpr unsigned bit_reverse8(unsigned j) {
    unsigned r = 0;
    for (int k = 0; k < 8; ++k)
        r |= ((j >> k) & 1u) << (7 - k);
    return r;
}

// The interleaver's permutation: coded bit i goes to channel position
// PI4_INTERLEAVE[i]. Built by walking j = 0..255 and keeping the reversals
// that fall inside the frame.
inline constexpr std::array<std::uint8_t, PI4_NSYM> PI4_INTERLEAVE = [] {
    std::array<std::uint8_t, PI4_NSYM> pos{};
    int i = 0;
    for (unsigned j = 0; j < 256; ++j) {
        const unsigned r = bit_reverse8(j);
        if (r < PI4_NSYM) pos[i++] = static_cast<std::uint8_t>(r);
    }
    return pos;
}();

// Coded-bit order -> channel-symbol order.
template <typename T>
constexpr void pi4_interleave(const T* coded, T* channel) {
    for (int i = 0; i < PI4_NSYM; ++i)
        channel[PI4_INTERLEAVE[i]] = coded[i];
}

// Channel-symbol order -> coded-bit order.
template <typename T>
constexpr void pi4_deinterleave(const T* channel, T* coded) {
    for (int i = 0; i < PI4_NSYM; ++i)
        coded[i] = channel[PI4_INTERLEAVE[i]];
}

// Code of a character; anything outside the alphabet (lower case included)
// counts as a space.
constexpr int pi4_char_code(char c) {
    for (int k = 0; k < PI4_ALPHABET_SIZE; ++k)
        if (PI4_ALPHABET[k] == c) return k;
    return PI4_SPACE_CODE;
}

// Message value of 8 codes, first character most significant (base 38).
constexpr std::uint64_t pi4_pack_codes(const std::array<int, PI4_MESSAGE_LENGTH>& codes) {
    std::uint64_t v = 0;
    for (int code : codes)
        v = v * PI4_ALPHABET_SIZE + static_cast<std::uint64_t>(code);
    return v;
}

// Writes the 42 message bits of v, most significant first, into bytes MSB
// first (message bit i is bit 7 - i % 8 of byte i / 8). Bytes past the
// message bits are cleared: they are the code's zero tail.
constexpr void pi4_message_bits(std::uint64_t v, std::uint8_t* bytes, std::size_t byte_count) {
    for (std::size_t k = 0; k < byte_count; ++k)
        bytes[k] = 0;
    for (int i = 0; i < PI4_NBITS; ++i) {
        if ((v >> (PI4_NBITS - 1 - i)) & 1u)
            bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] | (0x80u >> (i % 8)));
    }
}

// Inverse of pi4_message_bits: rebuilds the 42-bit value from bytes.
constexpr std::uint64_t pi4_message_value(const std::uint8_t* bytes) {
    std::uint64_t v = 0;
    for (int j = 0; j < PI4_NBITS; ++j)
        v = (v << 1) | ((bytes[j / 8] >> (7 - j % 8)) & 1u);
    return v;
}

// Eight characters from a message value, last character from the least
// significant base-38 digit; digits beyond the eighth are dropped. `text`
// receives 8 characters and a NUL.
constexpr void pi4_unpack_value(std::uint64_t v, char* text) {
    for (int pos = PI4_MESSAGE_LENGTH - 1; pos >= 0; --pos) {
        text[pos] = PI4_ALPHABET[v % PI4_ALPHABET_SIZE];
        v /= PI4_ALPHABET_SIZE;
    }
    text[PI4_MESSAGE_LENGTH] = '\0';
}

}  // namespace beacon
