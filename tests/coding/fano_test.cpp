#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "coding/coding.hpp"
#include "coding/fano_reference.hpp"
#include "support/test_support.hpp"

namespace beacon {
namespace {

std::vector<int> encode_bytes(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> out(16 * data.size() + 1, 0xaa);
    EXPECT_EQ(encode(out.data(), data.data(), static_cast<std::uint32_t>(data.size())), 0);
    EXPECT_EQ(out.back(), 0xaa);  // nothing written past 16 symbols per byte
    return {out.begin(), out.end() - 1};
}

TEST(Encoder, ParityTableAndImpulseResponses) {
    const int first16[] = {0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(Partab[i], first16[i]) << i;
    EXPECT_EQ(Partab[255], 0);

    EXPECT_EQ(encode_bytes({0x80}),
              (std::vector<int>{1, 1, 0, 1, 0, 1, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0}));
    EXPECT_EQ(encode_bytes({0xff}),
              (std::vector<int>{1, 1, 1, 0, 1, 1, 1, 1, 0, 1, 0, 1, 1, 0, 1, 0}));
    EXPECT_EQ(encode_bytes({0, 0, 0}), std::vector<int>(48, 0));
    EXPECT_TRUE(encode_bytes({}).empty());

    const std::vector<int> impulse = {3, 1, 1, 0, 2, 0, 3, 0, 2, 2, 1, 1, 3, 1, 2, 0,
                                      1, 0, 0, 0, 2, 1, 3, 2, 0, 2, 1, 0, 2, 3, 3, 3};
    const std::vector<int> symbols = encode_bytes({0x80, 0, 0, 0});
    std::vector<int> pairs;
    for (std::size_t i = 0; i < symbols.size(); i += 2)
        pairs.push_back(2 * symbols[i] + symbols[i + 1]);
    EXPECT_EQ(pairs, impulse);
    EXPECT_EQ(encode_bytes({0x80, 0, 0, 0}), symbols);  // no state carried between calls
}

TEST(MetricTable, CheckValuesAndReflection) {
    MetricTable t;
    std::int32_t step = 0;
    pi4_getmet(t, step);
    EXPECT_EQ(step, 170);

    const std::pair<int, int> row0[] = {
        {0, 25},     {48, 24},    {60, 25},    {61, 25},    {64, 25},    {69, 24},   {108, 15},
        {118, 2},    {119, 0},    {120, -1},   {127, -21},  {128, -25},  {129, -29}, {147, -115},
        {156, -160}, {159, -178}, {160, -183}, {161, -188}, {200, -392}, {255, -679}};
    for (auto [s, v] : row0)
        EXPECT_EQ(t[0][s], v) << "[0][" << s << "]";
    for (int s = 0; s <= 47; ++s)
        EXPECT_EQ(t[0][s], 25) << s;
    EXPECT_EQ(t[1][0], -679);
    EXPECT_EQ(t[1][1], -679);
    EXPECT_EQ(t[1][128], -25);
    EXPECT_EQ(t[1][137], 0);
    EXPECT_EQ(t[1][255], 25);
    for (int s = 1; s < 256; ++s)
        EXPECT_EQ(t[1][s], t[0][256 - s]) << s;

    MetricTable again;
    std::int32_t step2 = 0;
    pi4_getmet(again, step2);
    EXPECT_EQ(again, t);
    EXPECT_EQ(step2, 170);
}

struct FanoResult {
    int rc;
    std::int32_t metric;
    std::uint32_t cycles;
    std::uint32_t furthest;
    std::array<std::uint8_t, 10> decoded;
};

FanoResult run_fano(const std::vector<std::uint8_t>& soft, std::uint32_t cycles_per_bit = 100000) {
    MetricTable t;
    std::int32_t step;
    pi4_getmet(t, step);
    FanoResult r{-9, -9, 9, 9, {}};  // outputs must all be written
    r.decoded.fill(0xee);
    r.rc = fano(r.metric, r.cycles, r.furthest, r.decoded.data(), soft.data(),
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

TEST(Fano, KnownAnswersForAZeroBlock) {
    struct Row {
        const char* what;
        std::vector<std::uint8_t> soft;
        std::uint32_t cycles_per_bit;
        int rc;
        std::int32_t metric;
        std::uint32_t cycles, furthest;
    };
    std::vector<std::uint8_t> seventh(146, 98);
    for (int i = 0; i < 146; i += 7)
        seventh[i] = 158;
    const std::vector<Row> rows = {
        {"clean", zeros_with_errors({}), 100000, 0, 2920, 74, 72},
        {"0 wrong", zeros_with_errors({0}), 100000, 0, 2728, 77, 72},
        {"0-1 wrong", zeros_with_errors({0, 1}), 100000, 0, 2536, 265, 72},
        {"0-2 wrong", zeros_with_errors({0, 1, 2}), 100000, 0, 2344, 847, 72},
        {"0-3 wrong", zeros_with_errors({0, 1, 2, 3}), 100000, 0, 2152, 3716, 72},
        {"10-11 wrong", zeros_with_errors({10, 11}), 100000, 0, 2536, 118, 72},
        {"every seventh wrong", seventh, 100000, 0, -1112, 177361, 72},
        {"0-3 wrong, limit 730", zeros_with_errors({0, 1, 2, 3}), 10, -1, -416, 732, 43},
        {"all 128, limit 219", std::vector<std::uint8_t>(146, 128), 3, -1, -300, 221, 6},
        {"clean, limit 73", zeros_with_errors({}), 1, 0, 2920, 74, 72},
        {"clean, no budget", zeros_with_errors({}), 0, -1, 0, 2, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const FanoResult r = run_fano(row.soft, row.cycles_per_bit);
        EXPECT_EQ(r.rc, row.rc);
        EXPECT_EQ(r.metric, row.metric);
        EXPECT_EQ(r.cycles, row.cycles);
        EXPECT_EQ(r.furthest, row.furthest);
        for (int k = 0; k < 9; ++k)
            EXPECT_EQ(r.decoded[k], row.rc == 0 ? 0 : 0xee) << k;
        EXPECT_EQ(r.decoded[9], 0xee);  // 73 bits give exactly 9 bytes
    }
}

TEST(Fano, AllNeutralExhaustsTheFullBudget) {
    const FanoResult r = run_fano(std::vector<std::uint8_t>(146, 128));
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.cycles, 7300002u);
    EXPECT_LT(r.furthest, 73u);
}

// Soft symbols that cleanly carry the code of `bytes`: 98 for a 0, 158 for a 1.
std::vector<std::uint8_t> clean_soft(const std::vector<std::uint8_t>& bytes) {
    const std::vector<int> sym = encode_bytes(bytes);
    std::vector<std::uint8_t> soft(146);
    for (int i = 0; i < 146; ++i)
        soft[i] = sym[i] ? 158 : 98;
    return soft;
}

TEST(Fano, TiesTakeTheOneBranchFirst) {
    // A neutral pair where the sent bit is 1 is taken without a backward step.
    // At the root its metric (-50) is below the threshold: one lowering first.
    std::vector<std::uint8_t> soft = clean_soft({0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    soft[0] = soft[1] = 128;
    FanoResult r = run_fano(soft);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.cycles, 75u);
    EXPECT_EQ(r.decoded[0], 0x80);

    soft = clean_soft({0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0});  // bit 10 is 1
    soft[20] = soft[21] = 128;
    r = run_fano(soft, 1);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.cycles, 74u);
    EXPECT_EQ(r.decoded[1], 0x20);

    // The same tie where a 0 was sent needs backtracking.
    soft = clean_soft({0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    soft[20] = soft[21] = 128;
    r = run_fano(soft);
    EXPECT_EQ(r.rc, 0);
    EXPECT_GT(r.cycles, 74u);
    EXPECT_EQ(r.decoded[1], 0);
}

TEST(Fano, ShortBlocksAreAllTail) {
    // 31 bits or fewer: every bit is a known zero, whatever is received.
    std::vector<std::uint8_t> soft(40, 200);
    const FanoResult r = run_fano(soft, 1000);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.decoded[0], 0);
    EXPECT_EQ(r.decoded[1], 0);
    EXPECT_EQ(r.decoded[2], 0xee);

    const FanoResult empty = run_fano({}, 1000);
    EXPECT_EQ(empty.rc, -1);
    EXPECT_EQ(empty.metric, 0);
    EXPECT_EQ(empty.cycles, 2u);
}

TEST(Fano, AllocationFailureReportsOnStdoutAndWritesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit allows";
#else
    // In a child with limited address space, a block of 2^32 - 1 bits cannot
    // get its node array (the soft symbols are never read). The child exits
    // with 0 when the call failed without writing any output.
    const test::TempDir dir;
    const std::string out = dir.file("stdout.txt");
    auto child = [&] {
        const rlimit limit{std::size_t{1} << 32, std::size_t{1} << 32};
        setrlimit(RLIMIT_AS, &limit);
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) _exit(3);
        const MetricTable t{};
        std::int32_t metric = 7;
        std::uint32_t cycles = 7, furthest = 7;
        std::uint8_t decoded = 7;
        const std::uint8_t soft = 128;
        const int rc = fano(metric, cycles, furthest, &decoded, &soft, 0xffffffffu, t, 170, 1);
        std::fflush(stdout);
        const bool untouched = metric == 7 && cycles == 7 && furthest == 7 && decoded == 7;
        _exit(rc == -1 && untouched ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
    EXPECT_EQ(test::read_file(out), "malloc failed\n");
#endif
}

TEST(Fano, MatchesThePlainDecoderResultForResult) {
    // Clean, noisy and hopeless frames, with budgets from tiny to full: every
    // output of the fast decoder equals the plain one's.
    MetricTable mettab;
    std::int32_t step = 0;
    pi4_getmet(mettab, step);
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
        std::uint8_t soft[146];
        for (int i = 0; i < 146; ++i)
            soft[i] = pi4_soft_symbol(noise(rng) + (symbols[i] ? signal : -signal));
        const std::uint32_t cycles_per_bit = trial < 20 ? 100000 : rng() % 400;

        std::int32_t m1 = 1, m2 = 2;
        std::uint32_t c1 = 1, c2 = 2, f1 = 1, f2 = 2;
        std::uint8_t d1[9] = {}, d2[9] = {};
        const int r1 = fano(m1, c1, f1, d1, soft, 73, mettab, step, cycles_per_bit);
        const int r2 = test::fano_reference(m2, c2, f2, d2, soft, 73, mettab, step, cycles_per_bit);
        ASSERT_EQ(r1, r2) << trial;
        EXPECT_EQ(m1, m2) << trial;
        EXPECT_EQ(c1, c2) << trial;
        EXPECT_EQ(f1, f2) << trial;
        if (r1 == 0) {
            EXPECT_EQ(0, std::memcmp(d1, d2, sizeof d1)) << trial;
        }
    }
}

}  // namespace
}  // namespace beacon
