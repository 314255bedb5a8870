#include "pi4/frame.hpp"

#include <gtest/gtest.h>

#include <numeric>

namespace beacon {
namespace {

TEST(Frame, InterleaverPositionsAndInverse) {
    const int first[] = {0, 128, 64, 32, 96, 16, 144, 80, 48, 112, 8, 136, 72, 40, 104, 24};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(PI4_INTERLEAVE[i], first[i]) << i;
    const int last[] = {111, 31, 95, 63, 127};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(PI4_INTERLEAVE[141 + i], last[i]);

    std::array<int, PI4_NSYM> coded{}, channel{}, back{};
    std::iota(coded.begin(), coded.end(), 0);
    pi4_interleave(coded.data(), channel.data());
    pi4_deinterleave(channel.data(), back.data());
    EXPECT_EQ(back, coded);
    std::array<int, PI4_NSYM> seen{};
    for (int p : PI4_INTERLEAVE)
        ++seen[p];
    for (int c : seen)
        EXPECT_EQ(c, 1);
}

TEST(Frame, PackingRoundTripsAndEightSpaces) {
    std::array<int, PI4_MESSAGE_LENGTH> spaces;
    spaces.fill(PI4_SPACE_CODE);
    std::uint64_t v = pi4_pack_codes(spaces);
    std::uint64_t p38 = 1;
    for (int i = 0; i < 8; ++i)
        p38 *= 38;
    EXPECT_EQ(v, 36 * (p38 - 1) / 37);

    std::uint8_t bytes[10];
    pi4_message_bits(v, bytes, sizeof bytes);
    EXPECT_EQ(pi4_message_value(bytes), v);
    EXPECT_EQ(bytes[6] & 0x3f, 0);  // bits past the 42 message bits stay clear
    EXPECT_EQ(bytes[9], 0);
    char text[9];
    pi4_unpack_value(v, text);
    EXPECT_STREQ(text, "        ");

    const std::array<int, 8> codes = {pi4_char_code('O'), pi4_char_code('Z'), pi4_char_code('7'),
                                      pi4_char_code('/'), pi4_char_code(' '), pi4_char_code('a'),
                                      pi4_char_code('0'), pi4_char_code('B')};
    pi4_unpack_value(pi4_pack_codes(codes), text);
    EXPECT_STREQ(text, "OZ7/  0B");  // lower case is not in the alphabet: a space
}

}  // namespace
}  // namespace beacon
