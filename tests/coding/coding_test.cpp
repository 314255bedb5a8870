// The channel code: encoder and metric table by known answers, the Fano
// decoder by known answers and against the plain reference, and messages
// through encoder -> symbols -> soft values -> decoder.
#include "coding/coding.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <random>

#include "coding/fano_reference.hpp"
#include "support/support.hpp"

namespace beacon {
namespace {

// Symbol pairs (2 * A + B) of `bytes`; nothing is written past 16 per byte.
std::vector<int> encode_pairs(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> out(16 * bytes.size() + 1, 0xaa);
    EXPECT_EQ(encode(out.data(), bytes.data(), static_cast<std::uint32_t>(bytes.size())), 0);
    EXPECT_EQ(out.back(), 0xaa);
    std::vector<int> pairs;
    for (std::size_t i = 0; i + 1 < out.size(); i += 2)
        pairs.push_back(2 * out[i] + out[i + 1]);
    return pairs;
}

// The register's response to one 1 bit: one pair per step.
const std::vector<int> IMPULSE = {3, 1, 1, 0, 2, 0, 3, 0, 2, 2, 1, 1, 3, 1, 2, 0,
                                  1, 0, 0, 0, 2, 1, 3, 2, 0, 2, 1, 0, 2, 3, 3, 3};

// The parity table shows through the encoder's output.
TEST(Encoder, ImpulseResponse) {
    EXPECT_EQ(encode_pairs({0x80, 0, 0, 0}), IMPULSE);
    EXPECT_EQ(encode_pairs({0xff}), (std::vector<int>{3, 2, 3, 3, 1, 1, 2, 2}));
    EXPECT_EQ(encode_pairs({0, 0}), std::vector<int>(16, 0));
}

TEST(MetricTable, CheckValuesAndReflection) {
    MetricTable t;
    std::int32_t step = 0;
    pi4_getmet(t, step);
    EXPECT_EQ(step, 170);
    const std::pair<int, int> row0[] = {
        {0, 25},     {48, 24},    {60, 25},    {69, 24},    {108, 15},  {118, 2},
        {119, 0},    {120, -1},   {127, -21},  {128, -25},  {129, -29}, {147, -115},
        {159, -178}, {160, -183}, {161, -188}, {200, -392}, {255, -679}};
    for (auto [s, v] : row0)
        EXPECT_EQ(t[0][s], v) << s;
    for (int s = 0; s <= 47; ++s)
        EXPECT_EQ(t[0][s], 25) << s;
    EXPECT_EQ(t[1][0], -679);
    for (int s = 1; s < 256; ++s)
        EXPECT_EQ(t[1][s], t[0][256 - s]) << s;
}

struct FanoRun {
    int rc;
    std::int32_t metric;
    std::uint32_t cycles, furthest;
    std::array<std::uint8_t, 10> decoded;
};

template <typename Decoder>
FanoRun run_fano(Decoder decoder, const std::vector<std::uint8_t>& soft,
                 std::uint32_t cycles_per_bit = PI4_CYCLES_PER_BIT) {
    MetricTable t;
    std::int32_t step;
    pi4_getmet(t, step);
    FanoRun r{-9, -9, 9, 9, {}};
    r.decoded.fill(0xee);
    r.rc = decoder(r.metric, r.cycles, r.furthest, r.decoded.data(), soft.data(),
                   static_cast<std::uint32_t>(soft.size() / 2), t, step, cycles_per_bit);
    return r;
}

// A sent block of 73 zero bits: 98 is a clean 0, 158 a wrong one.
std::vector<std::uint8_t> zeros_with_errors(std::initializer_list<int> wrong) {
    std::vector<std::uint8_t> soft(146, 98);
    for (int i : wrong)
        soft[i] = 158;
    return soft;
}

TEST(Fano, KnownAnswers) {
    std::vector<std::uint8_t> seventh(146, 98), tie_one(146, 98), tie_zero(146, 98);
    for (int i = 0; i < 146; i += 7)
        seventh[i] = 158;
    // The first bit sent as 1, received as a neutral pair: ties take the
    // 1-branch first. The same tie on a 0 needs backtracking.
    for (int n = 0; n < 32; ++n)
        tie_one[2 * n] = IMPULSE[n] >> 1 ? 158 : 98, tie_one[2 * n + 1] = IMPULSE[n] & 1 ? 158 : 98;
    tie_one[0] = tie_one[1] = tie_zero[20] = tie_zero[21] = 128;
    struct Row {
        const char* what;
        std::vector<std::uint8_t> soft;
        std::uint32_t cycles_per_bit;
        int rc;
        std::int32_t metric;
        std::uint32_t cycles, furthest;
        std::uint8_t byte0;
    };
    const Row rows[] = {
        {"0-3 wrong", zeros_with_errors({0, 1, 2, 3}), 100000, 0, 2152, 3716, 72, 0},
        {"every seventh wrong", seventh, 100000, 0, -1112, 177361, 72, 0},
        {"0-3 wrong, limit 730", zeros_with_errors({0, 1, 2, 3}), 10, -1, -416, 732, 43, 0xee},
        {"all 128, limit 219", std::vector<std::uint8_t>(146, 128), 3, -1, -300, 221, 6, 0xee},
        {"clean, limit 73", zeros_with_errors({}), 1, 0, 2920, 74, 72, 0},
        {"tie on a 1", tie_one, 100000, 0, 2830, 75, 72, 0x80},
        {"tie on a 0", tie_zero, 100000, 0, 2830, 76, 72, 0},
        {"short blocks are all tail", std::vector<std::uint8_t>(40, 200), 1000, 0, -15680, 995, 19,
         0},
        {"empty", {}, 1000, -1, 0, 2, 0, 0xee},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const FanoRun r = run_fano(fano, row.soft, row.cycles_per_bit);
        EXPECT_EQ(std::tuple(r.rc, r.metric, r.cycles, r.furthest),
                  std::tuple(row.rc, row.metric, row.cycles, row.furthest));
        EXPECT_EQ(r.decoded[0], row.byte0);
        for (std::size_t k = 1; k < row.soft.size() / 16; ++k)
            EXPECT_EQ(r.decoded[k], row.rc == 0 ? 0 : 0xee) << k;
        EXPECT_EQ(r.decoded[row.soft.size() / 16], 0xee);  // bit_count / 8 bytes written
    }
}

TEST(Fano, MatchesTheReferenceResultForResult) {
    // Clean, noisy and hopeless frames, budgets from tiny to full.
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 30.0);
    for (int trial = 0; trial < 200; ++trial) {
        std::uint8_t bytes[10] = {};
        for (int k = 0; k < 6; ++k)
            bytes[k] = static_cast<std::uint8_t>(rng());
        bytes[5] &= 0xc0;
        std::uint8_t symbols[160];
        encode(symbols, bytes, 10);
        const double signal = (trial % 4) * 12.0;
        std::vector<std::uint8_t> soft(146);
        for (int i = 0; i < 146; ++i)
            soft[i] = pi4_soft_symbol(noise(rng) + (symbols[i] ? signal : -signal));
        // The full budget: one hopeless frame (7.3 million cycles) and 15 others.
        const bool full = trial == 0 || (trial < 20 && trial % 4 != 0);
        const std::uint32_t budget = full ? PI4_CYCLES_PER_BIT : rng() % 400;
        const FanoRun a = run_fano(fano, soft, budget);
        const FanoRun b = run_fano(test::fano_reference, soft, budget);
        EXPECT_EQ(std::tuple(a.rc, a.metric, a.cycles, a.furthest, a.decoded),
                  std::tuple(b.rc, b.metric, b.cycles, b.furthest, b.decoded))
            << trial;
    }
}

TEST(Fano, NodesThatCannotBeHadAreReportedAndNothingIsWritten) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers need more address space than the limit allows";
#else
    // A child with 4 GB of address space asks for the nodes of 2^32 - 1 bits.
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{std::size_t{1} << 32, std::size_t{1} << 32};
        setrlimit(RLIMIT_AS, &limit);
        const MetricTable t{};
        std::int32_t metric = 7;
        std::uint32_t cycles = 7, furthest = 7;
        std::uint8_t decoded = 7;
        const std::uint8_t soft = 128;
        const int rc = fano(metric, cycles, furthest, &decoded, &soft, 0xffffffffu, t, 170, 1);
        _exit(rc == FANO_NO_MEMORY && metric == 7 && cycles == 7 && furthest == 7 && decoded == 7
                  ? 0
                  : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
}

using Symbols = std::array<std::uint8_t, PI4_NSYM>;
using test::symbols_of;
using Metrics = std::array<float, PI4_NSYM>;

// The frame's data bits as soft values: +1 for a 1, -1 for a 0.
Metrics clean_metrics(const Symbols& symbols) {
    Metrics m;
    for (int k = 0; k < PI4_NSYM; ++k)
        m[k] = (symbols[k] >> 1) ? 1.0f : -1.0f;
    return m;
}

TEST(Message, SymbolsCarrySyncAndCode) {
    // Message value 1: the last message bit alone, so the coded bits are
    // zeros and then the impulse response.
    const Symbols s = symbols_of("00000001");
    std::array<int, PI4_NSYM> channel{}, coded{};
    for (int k = 0; k < PI4_NSYM; ++k) {
        ASSERT_LE(s[k], 3);
        EXPECT_EQ(s[k] & 1, PI4_SYNCVEC[k]) << k;
        channel[k] = s[k] >> 1;
    }
    pi4_deinterleave(channel.data(), coded.data());
    for (int n = 0; n < 73; ++n)
        EXPECT_EQ(2 * coded[2 * n] + coded[2 * n + 1], n < 41 ? 0 : IMPULSE[n - 41]) << n;
    EXPECT_EQ(symbols_of("00000000"), PI4_SYNCVEC);
    // Texts are cut, padded and substituted; a NUL ends them.
    EXPECT_EQ(symbols_of(""), symbols_of("        "));
    EXPECT_EQ(symbols_of("ABCDEFGHIJK"), symbols_of("ABCDEFGH"));
    EXPECT_EQ(symbols_of("A#b/"), symbols_of("A  /"));
    EXPECT_EQ(symbols_of("AB\0CDEF"), symbols_of("AB"));
}

TEST(Message, SoftSymbolsRoundHalvesAwayClampAndStandardise) {
    const std::pair<double, int> q[] = {{0.5, 129},    {-0.5, 127},  {0.49999999, 128},
                                        {126.49, 254}, {126.5, 255}, {-126.49, 2},
                                        {-126.5, 1},   {1e300, 255}, {-1e300, 1}};
    for (auto [z, s] : q)
        EXPECT_EQ(pi4_soft_symbol(z), s) << z;
    EXPECT_EQ(pi4_soft_symbol(std::numeric_limits<double>::quiet_NaN()), 128);

    Symbols soft;
    // 8 values of +1 and 138 of -1: sigma divides by 145, giving z = 124.17
    // (252) and -7.21 (121); dividing by 146 would give 124.60 (253).
    Metrics few;
    few.fill(-1.0f);
    for (int k = 0; k < 8; ++k)
        few[17 * k + 3] = 1.0f;
    pi4_soft_symbols(few, soft);
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 252), 8);
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 121), 138);
    few.fill(0.25f);
    pi4_soft_symbols(few, soft);
    EXPECT_EQ(std::count(soft.begin(), soft.end(), 128), PI4_NSYM);
}

TEST(Message, DecodedOrLeftAlone) {
    char text[9] = "xxxxxxxx";
    std::int64_t metric = 0;
    EXPECT_EQ(pi4_decode_message(clean_metrics(symbols_of("")), text, &metric),
              MessageStatus::decoded);
    EXPECT_STREQ(text, "        ");
    EXPECT_EQ(metric, 2990);

    // Both quantise to 128 everywhere: the decoder's metric (negative,
    // widened with its sign), the message untouched.
    const FanoRun neutral = run_fano(fano, std::vector<std::uint8_t>(146, 128));
    Metrics equal;
    equal.fill(3.5f);
    for (const Metrics& m : {equal, clean_metrics(symbols_of("00000000"))}) {
        char untouched[9] = "UNTOUCH";
        metric = std::numeric_limits<std::int64_t>::min();
        EXPECT_EQ(pi4_decode_message(m, untouched, &metric), MessageStatus::no_message);
        EXPECT_STREQ(untouched, "UNTOUCH");
        EXPECT_EQ(metric, neutral.metric);
        EXPECT_EQ(pi4_decode_message(m, untouched, nullptr), MessageStatus::no_message);
    }
}

TEST(Message, RoundTripsCleanAndNoisy) {
    std::mt19937 rng(2024);
    std::vector<std::string> messages = {"OZ7IGY  ", "////////", "ZZZZZZZZ",
                                         "0000000/", "/0000000", "1       "};
    for (int i = 0; i < 200; ++i) {
        std::string s(8, ' ');
        for (char& c : s)
            c = PI4_ALPHABET[rng() % PI4_ALPHABET_SIZE];
        messages.push_back(s);
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        Metrics m = clean_metrics(symbols_of(messages[i].c_str()));
        if (i >= 100) {
            // Uneven amplitudes, 30 faded values and 10 sign errors.
            for (float& v : m)
                v *= 0.7f + 0.6f * static_cast<float>(rng() % 1000) / 1000.0f;
            for (int k = 0; k < 30; ++k)
                m[rng() % PI4_NSYM] *= 0.2f;
            for (int k = 0; k < 10; ++k)
                m[rng() % PI4_NSYM] *= -1.0f;
        }
        char text[9] = {};
        std::int64_t metric = 0;
        ASSERT_EQ(pi4_decode_message(m, text, &metric), MessageStatus::decoded) << messages[i];
        EXPECT_EQ(text, messages[i]);
        EXPECT_GT(metric, 0) << messages[i];
    }
}

}  // namespace
}  // namespace beacon
