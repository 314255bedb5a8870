// Message encoder: text -> message bits -> code -> interleaver -> tones.
#include "coding/coding.hpp"
#include "pi4/frame.hpp"

namespace beacon {

void pi4_make_symbols(const char* message, std::array<std::uint8_t, PI4_NSYM>& symbols) {
    std::array<int, PI4_MESSAGE_LENGTH> codes;
    codes.fill(PI4_SPACE_CODE);
    // Stop at the NUL: the positions after it stay spaces.
    for (int i = 0; i < PI4_MESSAGE_LENGTH && message[i] != '\0'; ++i)
        codes[i] = pi4_char_code(message[i]);

    // 42 message bits and zeros; the zeros flush the register.
    std::uint8_t bytes[10];
    pi4_message_bits(pi4_pack_codes(codes), bytes, sizeof bytes);
    std::uint8_t coded[16 * sizeof bytes];
    encode(coded, bytes, sizeof bytes);

    std::array<std::uint8_t, PI4_NSYM> channel;
    pi4_interleave(coded, channel.data());
    for (int k = 0; k < PI4_NSYM; ++k)
        symbols[k] = static_cast<std::uint8_t>(2 * channel[k] + PI4_SYNCVEC[k]);
}

}  // namespace beacon
