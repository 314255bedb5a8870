// The sync search on synthetic frames at known offsets and frequencies.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pi4/pi4.hpp"
#include "sim/synth.hpp"

namespace beacon {
namespace {

constexpr double BIN = 1.46484375;
constexpr double TSTEP = 0.016666666666666666;

// Tone indices with the frame's sync bits (or their inverse) and random data.
std::array<std::uint8_t, PI4_NSYM> random_symbols(std::uint64_t seed, bool invert_sync = false) {
    sim::Noise rng(seed);
    std::array<std::uint8_t, PI4_NSYM> sym{};
    for (int k = 0; k < PI4_NSYM; ++k) {
        const int data = rng.uniform() < 0.5 ? 0 : 1;
        sym[k] = static_cast<std::uint8_t>(2 * data +
                                           (invert_sync ? 1 - PI4_SYNCVEC[k] : PI4_SYNCVEC[k]));
    }
    return sym;
}

std::vector<double> frame_signal(std::size_t n, double start_s, double tone0_hz, double sigma,
                                 bool invert_sync = false) {
    std::vector<double> x(n, 0.0);
    sim::add_pi4_frame(x, 12000, random_symbols(7, invert_sync), start_s, tone0_hz + 117.1875, 0.1);
    if (sigma > 0) sim::add_white_noise(x, sigma, 99);
    return x;
}

TEST(SyncGrid, DerivesStepOffsetsRowsAndBins) {
    SyncGrid p = pi4_sync_grid(720000, 682.8125, 150, 2.0, TSTEP);
    EXPECT_EQ(p.step, 200);
    EXPECT_EQ(p.L, 10);
    EXPECT_EQ(p.noff, 120);
    EXPECT_EQ(p.nrows, 1571);
    EXPECT_EQ(p.offsets, 121);
    EXPECT_EQ(p.lo, 364);
    EXPECT_EQ(p.hi, 569);

    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, 2.0, 0.0085).step, 100);
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, 2.0, 0.0).step, 1);
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, 2.0, -3.0).step, 1);
    p = pi4_sync_grid(720000, 700, 100, 2.0, 1.0 / 6);
    EXPECT_EQ(p.step, 2000);
    EXPECT_EQ(p.L, 1);

    // Exactly one frame's worth of samples: offset 0 alone, whatever dtmax.
    for (double dtmax : {0.0, 2.0, 1e300, std::numeric_limits<double>::infinity()}) {
        p = pi4_sync_grid(292000, 700, 100, dtmax, TSTEP);
        EXPECT_EQ(p.nrows, 1451) << dtmax;
        EXPECT_EQ(p.offsets, 1) << dtmax;
    }
    EXPECT_EQ(pi4_sync_grid(291999, 700, 100, 2.0, TSTEP).offsets, 0);
    // A huge dtmax never asks for more rows than the samples hold.
    p = pi4_sync_grid(720000, 700, 100, 1e300, TSTEP);
    EXPECT_EQ(p.nrows, (720000 - 2000) / 200 + 1);
    EXPECT_EQ(p.offsets, p.nrows - 1450);
    // Negative dtmax: offset 0 while lround(12000 dtmax) > -step, else none.
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, -0.008, TSTEP).offsets, 1);
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, -0.02, TSTEP).offsets, 0);
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, -1e300, TSTEP).offsets, 0);
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, std::nan(""), TSTEP).offsets, 0);

    // Frequency ranges are cut at bins 0 and 3615; outside or reversed: empty.
    p = pi4_sync_grid(720000, 10, 100, 2.0, TSTEP);
    EXPECT_EQ(p.lo, 0);
    EXPECT_EQ(p.hi, 75);
    p = pi4_sync_grid(720000, 5290, 100, 2.0, TSTEP);
    EXPECT_EQ(p.hi, 3615);
    for (const auto& [f, t] : std::vector<std::pair<double, double>>{
             {-500, 100}, {6000, 100}, {700, -1}, {1e308, 1}, {-1e308, 1}, {std::nan(""), 1}}) {
        p = pi4_sync_grid(720000, f, t, 2.0, TSTEP);
        EXPECT_GT(p.lo, p.hi) << f << " " << t;
    }
}

TEST(Sync, FindsFramesAtTheirOffsetAndBin) {
    struct Case {
        double start_s;
        int bin;
        double sigma;
        bool inverted;
    };
    for (const Case& c : {Case{1.5, 466, 0.0, false}, Case{0.0, 400, 0.3, false},
                          Case{1.95, 500, 0.3, true}, Case{0.35, 465, 0.0, true}}) {
        const auto x = frame_signal(320000, c.start_s, c.bin * BIN, c.sigma, c.inverted);
        SyncResult r;
        ASSERT_EQ(pi4_sync(x.data(), static_cast<int>(x.size()), r, 682.8125, 150, 2.0, TSTEP), 0);
        EXPECT_EQ(r.dt, c.start_s) << c.start_s;
        EXPECT_EQ(r.df_tone0, c.bin * BIN) << c.start_s;
        EXPECT_EQ(r.flip, c.inverted ? -1 : 1) << c.start_s;
        EXPECT_GT(r.ccfpeak, 0.0);
    }
}

TEST(Sync, TiesGoToTheEarliestOffsetThenTheLowestBin) {
    // Silence scores 0 everywhere: the first candidate visited wins.
    const std::vector<double> x(300000, 0.0);
    SyncResult r;
    ASSERT_EQ(pi4_sync(x.data(), 300000, r, 682.8125, 150, 2.0, TSTEP), 0);
    EXPECT_EQ(r.dt, 0.0);
    EXPECT_EQ(r.df_tone0, 364 * BIN);
    EXPECT_EQ(r.ccfpeak, 0.0);
    EXPECT_EQ(r.flip, 1);
}

TEST(Sync, FailsWithoutAWholeFrameOrAFrequencyRange) {
    const auto x = frame_signal(292000, 0.0, 466 * BIN, 0.0);
    SyncResult r;
    r.dt = 123.0;
    EXPECT_EQ(pi4_sync(x.data(), 291999, r, 682.8125, 150, 2.0, TSTEP), -1);
    EXPECT_EQ(pi4_sync(x.data(), 1999, r, 682.8125, 150, 2.0, TSTEP), -1);
    EXPECT_EQ(pi4_sync(x.data(), 292000, r, 682.8125, -1, 2.0, TSTEP), -1);
    EXPECT_EQ(pi4_sync(x.data(), 292000, r, 682.8125, 150, std::nan(""), TSTEP), -1);
    EXPECT_EQ(r.dt, 123.0);  // nothing written on failure
    ASSERT_EQ(pi4_sync(x.data(), 292000, r, 682.8125, 150, 0.0, TSTEP), 0);
    EXPECT_EQ(r.dt, 0.0);
    EXPECT_EQ(r.df_tone0, 466 * BIN);
}

TEST(SymbolMetrics, SignFollowsTheStrongerDataTone) {
    constexpr double TONE0 = 466 * BIN;
    for (int data_bit : {0, 1}) {
        std::array<std::uint8_t, PI4_NSYM> sym{};
        for (int k = 0; k < PI4_NSYM; ++k)
            sym[k] = static_cast<std::uint8_t>(2 * data_bit + PI4_SYNCVEC[k]);
        std::vector<float> f(300000);
        std::vector<double> x(300000, 0.0);
        sim::add_pi4_frame(x, 12000, sym, 0.0, TONE0 + 117.1875, 0.5);
        for (std::size_t i = 0; i < x.size(); ++i)
            f[i] = static_cast<float>(x[i]);
        std::array<float, PI4_NSYM> m{};
        ASSERT_EQ(pi4_symbol_metrics(f.data(), 300000, 1, m, 0.0, TONE0), 0);
        for (float v : m)
            EXPECT_EQ(v > 0, data_bit == 1);
        // flip 0 reads like -1; a negative dt measures from sample 0.
        std::array<float, PI4_NSYM> a{}, b{}, c{};
        ASSERT_EQ(pi4_symbol_metrics(f.data(), 300000, 0, a, 0.0, TONE0), 0);
        ASSERT_EQ(pi4_symbol_metrics(f.data(), 300000, -1, b, 0.0, TONE0), 0);
        EXPECT_EQ(a, b);
        EXPECT_NE(a, m);
        ASSERT_EQ(pi4_symbol_metrics(f.data(), 300000, 1, c, -3.0, TONE0), 0);
        EXPECT_EQ(c, m);
    }
}

TEST(SymbolMetrics, FrameMustEndInsideTheSamples) {
    const std::vector<float> f(292000, 0.25f);
    std::array<float, PI4_NSYM> m;
    m.fill(7.0f);
    EXPECT_EQ(pi4_symbol_metrics(f.data(), 291999, 1, m, 0.0, 500), -1);
    EXPECT_EQ(m[0], 7.0f);
    EXPECT_EQ(pi4_symbol_metrics(f.data(), 292000, 1, m, 1.0 / 12000, 500), -1);
    EXPECT_EQ(pi4_symbol_metrics(f.data(), 292000, 1, m, 0.0, 500), 0);
}

TEST(Snr, MatchesTheToneToNoiseRatioIn2500Hz) {
    constexpr double A = 0.05, SIGMA = 0.05, TONE0 = 466 * BIN;
    std::vector<double> x(300000, 0.0);
    sim::add_pi4_frame(x, 12000, random_symbols(3), 0.5, TONE0 + 117.1875, A);
    sim::add_white_noise(x, SIGMA, 5);
    std::vector<float> f(x.begin(), x.end());
    const double expect = 10 * std::log10((A * A / 2) / (SIGMA * SIGMA * 2500 / 6000));
    const double snr = pi4_estimate_snr(f.data(), 300000, 0.5, TONE0);
    EXPECT_NEAR(snr, expect, 0.5);
    // The simulator's calibration follows the same definition.
    EXPECT_NEAR(sim::noise_sigma_for_snr(expect, A, 12000), SIGMA, 1e-12);
}

TEST(Snr, NoEstimateGivesMinus99) {
    const std::vector<float> zero(300000, 0.0f);
    EXPECT_EQ(pi4_estimate_snr(zero.data(), 300000, 0.0, 500), -99.0);
    std::vector<float> noise(300000);
    sim::Noise rng(1);
    for (float& v : noise)
        v = static_cast<float>(rng.gaussian());
    EXPECT_NE(pi4_estimate_snr(noise.data(), 292000, 0.0, 500), -99.0);
    EXPECT_EQ(pi4_estimate_snr(noise.data(), 291999, 0.0, 500), -99.0);
    // lround(dt * 12000) = -1: before the file (the metrics would clamp to 0).
    EXPECT_EQ(pi4_estimate_snr(noise.data(), 300000, -0.5 / 12000, 500), -99.0);
    EXPECT_NE(pi4_estimate_snr(noise.data(), 300000, -0.4 / 12000, 500), -99.0);
}

}  // namespace
}  // namespace beacon
