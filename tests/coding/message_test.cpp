#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "coding/coding.hpp"
#include "pi4/frame.hpp"

namespace beacon {
namespace {

using Symbols = std::array<std::uint8_t, 146>;
using Metrics = std::array<float, 146>;

Symbols make(const char* text) {
    Symbols s;
    s.fill(0xff);
    pi4_make_symbols(text, s);
    return s;
}

// The frame's data bits as soft values: +1 for a 1, -1 for a 0.
Metrics clean_metrics(const Symbols& symbols) {
    Metrics m;
    for (int k = 0; k < 146; ++k)
        m[k] = (symbols[k] >> 1) ? 1.0f : -1.0f;
    return m;
}

TEST(Encoder, SymbolsCarrySyncAndCode) {
    // Message value 1: the last message bit alone, so the coded bits are zeros
    // followed by the impulse response of the register.
    const Symbols s = make("00000001");
    std::array<int, 146> channel{}, coded{};
    for (int k = 0; k < 146; ++k) {
        ASSERT_LE(s[k], 3);
        EXPECT_EQ(s[k] & 1, PI4_SYNCVEC[k]) << k;
        channel[k] = s[k] >> 1;
    }
    pi4_deinterleave(channel.data(), coded.data());
    const int impulse[] = {3, 1, 1, 0, 2, 0, 3, 0, 2, 2, 1, 1, 3, 1, 2, 0,
                           1, 0, 0, 0, 2, 1, 3, 2, 0, 2, 1, 0, 2, 3, 3, 3};
    for (int n = 0; n < 41; ++n)
        EXPECT_EQ(2 * coded[2 * n] + coded[2 * n + 1], 0) << n;
    for (int n = 41; n < 73; ++n)
        EXPECT_EQ(2 * coded[2 * n] + coded[2 * n + 1], impulse[n - 41]) << n;
    // Message value 0: no data bit set, the sync vector alone.
    EXPECT_EQ(make("00000000"), PI4_SYNCVEC);
}

TEST(Encoder, TextIsCutPaddedAndSubstituted) {
    const Symbols spaces = make("        ");
    EXPECT_EQ(make(""), spaces);
    EXPECT_EQ(make("ab"), spaces);
    EXPECT_EQ(make("ABCDEFGHIJK"), make("ABCDEFGH"));
    EXPECT_EQ(make("A#b/"), make("A  /"));
    const char stops[] = "AB\0CDEF";
    EXPECT_EQ(make(stops), make("AB"));
}

TEST(Decoder, QuantisationRoundsHalvesAwayAndClamps) {
    EXPECT_EQ(pi4_soft_symbol(0.5), 129);
    EXPECT_EQ(pi4_soft_symbol(-0.5), 127);
    EXPECT_EQ(pi4_soft_symbol(0.49999999), 128);
    EXPECT_EQ(pi4_soft_symbol(126.49), 254);
    EXPECT_EQ(pi4_soft_symbol(126.5), 255);
    EXPECT_EQ(pi4_soft_symbol(-126.5), 1);
    EXPECT_EQ(pi4_soft_symbol(1e300), 255);
    EXPECT_EQ(pi4_soft_symbol(-std::numeric_limits<double>::infinity()), 1);
    EXPECT_EQ(pi4_soft_symbol(std::numeric_limits<double>::quiet_NaN()), 128);
}

TEST(Decoder, SoftSymbolsStandardiseAndDeinterleave) {
    Metrics m;
    for (int k = 0; k < 146; ++k)
        m[k] = k % 2 ? 1.0f : -1.0f;
    Symbols soft;
    pi4_soft_symbols(m, soft);
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 158), 73);  // z = +-29.897
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 98), 73);

    // De-interleaved values 0..7 come from these channel positions.
    const int from[] = {0, 128, 64, 32, 96, 16, 144, 80};
    for (int i = 0; i < 8; ++i) {
        Metrics one;
        one.fill(-1.0f);
        one[from[i]] = 1.0f;
        pi4_soft_symbols(one, soft);
        for (int j = 0; j < 146; ++j)
            ASSERT_EQ(soft[j] > 128, j == i) << i << " " << j;
    }

    // 8 values of +1 and 138 of -1: sigma divides by 145, giving z = 124.17
    // (252) and -7.21 (121); dividing by 146 would give 124.60 (253).
    Metrics few;
    few.fill(-1.0f);
    for (int k = 0; k < 8; ++k)
        few[17 * k + 3] = 1.0f;
    pi4_soft_symbols(few, soft);
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 252), 8);
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 121), 138);

    Metrics equal;
    equal.fill(0.25f);
    pi4_soft_symbols(equal, soft);
    for (auto s : soft)
        EXPECT_EQ(s, 128);
}

TEST(Decoder, EightSpacesKnownAnswer) {
    const Metrics m = clean_metrics(make(""));
    Symbols soft;
    pi4_soft_symbols(m, soft);
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 159), 70);  // the +1.0 values
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 99), 76);

    char text[9] = "xxxxxxxx";
    std::int64_t metric = 0;
    EXPECT_EQ(pi4_decode_message(m, text, &metric), 0);
    EXPECT_STREQ(text, "        ");
    EXPECT_EQ(metric, 2990);

    char text2[9] = "xxxxxxxx";
    EXPECT_EQ(pi4_decode_message(m, text2, nullptr), 0);
    EXPECT_STREQ(text2, "        ");
}

TEST(Decoder, FailureLeavesMessageAndReportsMetric) {
    // Both inputs quantise to 128 everywhere, which cannot be decoded.
    MetricTable t;
    std::int32_t step;
    pi4_getmet(t, step);
    const std::vector<std::uint8_t> neutral(146, 128);
    std::int32_t expected = 0;
    std::uint32_t cycles, furthest;
    std::uint8_t bytes[9];
    ASSERT_EQ(fano(expected, cycles, furthest, bytes, neutral.data(), 73, t, step, 100000), -1);
    ASSERT_LT(expected, 0);

    Metrics equal;
    equal.fill(3.5f);
    for (const Metrics& m : {equal, clean_metrics(make("00000000"))}) {
        char text[9] = "UNTOUCH";
        std::int64_t metric = std::numeric_limits<std::int64_t>::min();
        EXPECT_EQ(pi4_decode_message(m, text, &metric), -1);
        EXPECT_STREQ(text, "UNTOUCH");
        EXPECT_EQ(metric, expected);  // negative, widened with its sign
        EXPECT_EQ(pi4_decode_message(m, text, nullptr), -1);
    }
}

std::string random_message(std::mt19937& rng) {
    std::string s(8, ' ');
    for (char& c : s)
        c = PI4_ALPHABET[rng() % 38];
    return s;
}

TEST(RoundTrip, CleanMessagesDecode) {
    std::mt19937 rng(2024);
    // The alphabet's ends, blanks and '/' at either end, and random texts.
    std::vector<std::string> messages = {"OZ7IGY  ", "        ", "////////", "ZZZZZZZZ",
                                         "0000000/", "/0000000", "1       "};
    for (int i = 0; i < 150; ++i)
        messages.push_back(random_message(rng));

    for (const std::string& msg : messages) {
        char text[9] = {};
        std::int64_t metric = 0;
        ASSERT_EQ(pi4_decode_message(clean_metrics(make(msg.c_str())), text, &metric), 0) << msg;
        EXPECT_EQ(std::string(text), msg);
        EXPECT_GT(metric, 0) << msg;
    }
}

TEST(RoundTrip, NoisyMessagesStillDecode) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 60; ++trial) {
        const std::string msg = random_message(rng);
        Metrics m = clean_metrics(make(msg.c_str()));
        // Uneven amplitudes, 30 faded values and 10 sign errors (a few of the
        // picks may coincide).
        for (int k = 0; k < 146; ++k)
            m[k] *= 0.7f + 0.6f * static_cast<float>(rng() % 1000) / 1000.0f;
        for (int i = 0; i < 30; ++i)
            m[rng() % 146] *= 0.2f;
        for (int i = 0; i < 10; ++i)
            m[rng() % 146] *= -1.0f;
        char text[9] = {};
        ASSERT_EQ(pi4_decode_message(m, text, nullptr), 0) << msg << " trial " << trial;
        EXPECT_EQ(std::string(text), msg);
    }
}

}  // namespace
}  // namespace beacon
