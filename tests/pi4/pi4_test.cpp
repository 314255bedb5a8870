// The PI4 frame, the sync search (the run-long one against the plain one,
// bit for bit), the tone energy against a sincos per sample, symbol metrics
// and the SNR estimate, on frames of the synthesiser.
#include "pi4/pi4.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "sim/synth.hpp"

namespace beacon {
namespace {

constexpr double BIN = 1.46484375, TSTEP = 1.0 / 60;
const double NaN = std::numeric_limits<double>::quiet_NaN();

// Tone indices of random data with the sync bits, or their inverse.
std::array<std::uint8_t, PI4_NSYM> random_symbols(sim::Noise& rng, bool inverted = false) {
    std::array<std::uint8_t, PI4_NSYM> sym{};
    for (int k = 0; k < PI4_NSYM; ++k)
        sym[k] = static_cast<std::uint8_t>(2 * (rng.uniform() < 0.5) + (PI4_SYNCVEC[k] ^ inverted));
    return sym;
}

std::vector<double> frame_signal(int n, double start_s, double tone0_hz, double sigma,
                                 bool inverted = false, double amplitude = 0.1) {
    sim::Noise rng(7);
    std::vector<double> x(n, 0.0);
    sim::add_pi4_frame(x, 12000, random_symbols(rng, inverted), start_s,
                       tone0_hz + PI4_CARRIER_OFFSET, amplitude);
    if (sigma > 0) sim::add_white_noise(x, sigma, 99);
    return x;
}

TEST(Frame, InterleaverAndMessageValue) {
    const int first[] = {0, 128, 64, 32, 96, 16, 144, 80, 48, 112, 8, 136};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(PI4_INTERLEAVE[i], first[i]) << i;
    EXPECT_EQ(PI4_INTERLEAVE[145], 127);
    // "OZ7/ a0B": O=24, Z=35, 7=7, /=37, blank (and lower case) 36, 0, B=11.
    char text[9];
    const std::uint64_t v =
        ((((((24ull * 38 + 35) * 38 + 7) * 38 + 37) * 38 + 36) * 38 + 36) * 38) * 38 + 11;
    pi4_unpack_value(v, text);
    EXPECT_STREQ(text, "OZ7/  0B");
    std::array<int, 8> codes;
    for (int i = 0; i < 8; ++i)
        codes[i] = pi4_char_code("OZ7/ a0B"[i]);
    EXPECT_EQ(pi4_pack_codes(codes), v);
}

TEST(SyncGrid, DerivesStepOffsetsRowsAndBins) {
    SyncGrid p = pi4_sync_grid(720000, 682.8125, 150, 2.0, TSTEP);
    EXPECT_EQ(std::tuple(p.step, p.L, p.noff, p.nrows, p.offsets, p.lo, p.hi),
              std::tuple(200, 10, 120LL, 1571LL, 121LL, 364, 569));
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, 2.0, 0.0085).step, 100);  // a divisor of 2000
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, 2.0, -3.0).step, 1);
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, 2.0, 1.0).L, 1);
    // Exactly one frame of samples: offset 0 alone, whatever dtmax.
    for (double dtmax : {0.0, 2.0, 1e300, std::numeric_limits<double>::infinity()}) {
        p = pi4_sync_grid(292000, 700, 100, dtmax, TSTEP);
        EXPECT_EQ(p.nrows, 1451) << dtmax;
        EXPECT_EQ(p.offsets, 1) << dtmax;
    }
    EXPECT_EQ(pi4_sync_grid(291999, 700, 100, 2.0, TSTEP).offsets, 0);
    p = pi4_sync_grid(720000, 700, 100, 1e300, TSTEP);  // never more rows than samples hold
    EXPECT_EQ(p.nrows, (720000 - 2000) / 200 + 1);
    EXPECT_EQ(p.offsets, p.nrows - 1450);
    // Negative dtmax: offset 0 while lround(12000 dtmax) > -step, else none.
    EXPECT_EQ(pi4_sync_grid(720000, 700, 100, -0.008, TSTEP).offsets, 1);
    for (double dtmax : {-0.02, -1e300, NaN})
        EXPECT_EQ(pi4_sync_grid(720000, 700, 100, dtmax, TSTEP).offsets, 0) << dtmax;
    // Bins are cut at 0 and 3615; ranges outside or reversed are empty.
    p = pi4_sync_grid(720000, 10, 100, 2.0, TSTEP);
    EXPECT_EQ(std::pair(p.lo, p.hi), std::pair(0, 75));
    EXPECT_EQ(pi4_sync_grid(720000, 5290, 100, 2.0, TSTEP).hi, 3615);
    for (const auto& [f, t] : {std::pair{-500.0, 100.0}, {6000, 100}, {700, -1}, {NaN, 1}}) {
        p = pi4_sync_grid(720000, f, t, 2.0, TSTEP);
        EXPECT_GT(p.lo, p.hi) << f << " " << t;
    }
}

TEST(Sync, FindsFramesAtTheirOffsetBinAndPolarity) {
    // Start, bin, noise and polarity.
    for (const auto& [start_s, bin, sigma, inverted] : {std::tuple{1.5, 466, 0.0, false},
                                                        {0.0, 400, 0.3, false},
                                                        {1.95, 500, 0.3, true},
                                                        {0.35, 465, 0.0, true}}) {
        const auto x = frame_signal(320000, start_s, bin * BIN, sigma, inverted);
        SyncResult r;
        ASSERT_EQ(pi4_sync(x.data(), 320000, r, 682.8125, 150, 2.0, TSTEP), SyncStatus::found);
        EXPECT_EQ(std::tuple(r.dt, r.df_tone0, r.flip),
                  std::tuple(start_s, bin * BIN, inverted ? -1 : 1));
        EXPECT_GT(r.ccfpeak, 0.0);
    }
    // Silence scores 0 everywhere: the earliest offset and lowest bin win.
    const std::vector<double> silence(300000, 0.0);
    SyncResult r;
    ASSERT_EQ(pi4_sync(silence.data(), 300000, r, 682.8125, 150, 2.0, TSTEP), SyncStatus::found);
    EXPECT_EQ(std::tuple(r.dt, r.df_tone0, r.ccfpeak, r.flip), std::tuple(0.0, 364 * BIN, 0.0, 1));

    // No whole frame, no frequency or no offset: nothing, and nothing written.
    const auto x = frame_signal(292000, 0.0, 466 * BIN, 0.0);
    r.dt = 123.0;
    EXPECT_EQ(pi4_sync(x.data(), 291999, r, 682.8125, 150, 2.0, TSTEP), SyncStatus::none);
    EXPECT_EQ(pi4_sync(x.data(), 292000, r, 682.8125, -1, 2.0, TSTEP), SyncStatus::none);
    EXPECT_EQ(pi4_sync(x.data(), 292000, r, 682.8125, 150, NaN, TSTEP), SyncStatus::none);
    EXPECT_EQ(r.dt, 123.0);
    ASSERT_EQ(pi4_sync(x.data(), 292000, r, 682.8125, 150, 0.0, TSTEP), SyncStatus::found);
    EXPECT_EQ(std::pair(r.dt, r.df_tone0), std::pair(0.0, 466 * BIN));
}

void expect_same(SyncStatus a, const SyncResult& x, SyncStatus b, const SyncResult& y,
                 const std::string& where) {
    ASSERT_EQ(a, b) << where;
    if (a != SyncStatus::found) return;
    // Bit for bit, not merely equal as numbers.
    EXPECT_EQ(0, std::memcmp(&x.dt, &y.dt, sizeof x.dt)) << where;
    EXPECT_EQ(0, std::memcmp(&x.df_tone0, &y.df_tone0, sizeof x.df_tone0)) << where;
    EXPECT_EQ(0, std::memcmp(&x.ccfpeak, &y.ccfpeak, sizeof x.ccfpeak)) << where;
    EXPECT_EQ(x.flip, y.flip) << where;
}

// The run-long search on one and on two threads against pi4_sync on each
// window, over random recordings, ranges, steps and windows that move as
// the spot loop's do.
TEST(SyncSearch, MatchesThePlainSearchWindowForWindow) {
    sim::Noise rng(2024);
    auto pick = [&](double lo, double hi) { return lo + (hi - lo) * rng.uniform(); };
    const double tsteps[] = {TSTEP, TSTEP, 1.0 / 120, 0.03, 1.0 / 6};
    for (int rec = 0; rec < 10; ++rec) {
        const int n = static_cast<int>(pick(292000, 900000));
        std::vector<double> x(n, 0.0);
        // Some begin with exact silence, where only the tie-break decides.
        const bool silent_start = rec % 3 == 2;
        for (int f = 0; f < 3; ++f)
            sim::add_pi4_frame(x, 12000, random_symbols(rng, rng.uniform() < 0.3),
                               silent_start ? pick(45, 70) : pick(-5, n / 12000.0), pick(700, 900),
                               0.05);
        if (!silent_start) sim::add_white_noise(x, pick(0.0, 0.5), 100 + rec);
        const double tstep = tsteps[rec % 5], f0 = pick(550, 800);
        const double tol = rec == 4 ? 5000 : pick(0, 40);  // once: cut at both ends
        Pi4SyncSearch one(x.data(), n, f0, tol, tstep), two(x.data(), n, f0, tol, tstep, 2);
        long start = 0;
        double dtmax = rec == 7 ? 1e300 : pick(-0.05, 3.0);
        for (int w = 0; w < 8; ++w) {
            const std::string where = std::to_string(rec) + " window " + std::to_string(w);
            SyncResult a, b, plain;
            const SyncStatus sa = one.search(start, dtmax, a), sb = two.search(start, dtmax, b);
            const SyncStatus sp = pi4_sync(x.data() + start, n - static_cast<int>(start), plain, f0,
                                           tol, dtmax, tstep);
            expect_same(sa, a, sp, plain, where);
            expect_same(sb, b, sp, plain, where + ", two threads");
            // Behind a frame, or past a later window without one.
            if (sa == SyncStatus::found && (w == 0 || rng.uniform() < 0.5))
                start += std::lround((PI4_FRAME_SECONDS + a.dt) * 12000.0);
            else if (w > 0)
                start += (std::lround(12000.0 * dtmax) / 200 + 1) * 200;
            else
                break;
            const double remaining = (n - start) / 12000.0;
            if (remaining < 24.53333333333333) break;
            dtmax = std::min(remaining - PI4_FRAME_SECONDS - 0.1, 24.0);
        }
    }
    // Windows off the grid, backwards and at the end fall back to the same.
    std::vector<double> x(400000);
    sim::add_white_noise(x, 0.1, 5);
    Pi4SyncSearch search(x.data(), 400000, 682.8125, 30, TSTEP, 2);
    for (long start : {20000L, 137L, 0L, 20000L, 90000L, 108001L, 400000L, 400001L}) {
        SyncResult fast, plain;
        const SyncStatus sf = search.search(start, 2.0, fast);
        const SyncStatus sp = start > 400000
                                  ? SyncStatus::none
                                  : pi4_sync(x.data() + start, 400000 - static_cast<int>(start),
                                             plain, 682.8125, 30, 2.0, TSTEP);
        expect_same(sf, fast, sp, plain, std::to_string(start));
    }
    // A frame at the last offsets of a window, which are scored one at a
    // time after the groups of offsets, at bins that fall in every part of
    // the four-wide sums (the frame's own bin wins there).
    for (int b = 1; b < 16; b += 2) {
        std::vector<double> y(324000);
        sim::add_white_noise(y, 0.1, 9);
        sim::add_pi4_frame(y, 12000, random_symbols(rng), 1.0, 680 + b * BIN + PI4_CARRIER_OFFSET,
                           0.05);
        Pi4SyncSearch tail(y.data(), 324000, 700, 30, TSTEP);
        SyncResult fast, plain;
        const SyncStatus sf = tail.search(0, 1.05, fast);
        const SyncStatus sp = pi4_sync(y.data(), 324000, plain, 700, 30, 1.05, TSTEP);
        EXPECT_EQ(fast.dt, 1.0);
        expect_same(sf, fast, sp, plain, "bin " + std::to_string(b));
    }
}

TEST(ToneEnergy, TablesGiveTheBitsOfASincosPerSample) {
    sim::Noise rng(3);
    std::vector<float> x(PI4_NSPS);
    for (int trial = 0; trial < 20; ++trial) {
        for (float& v : x)
            v = static_cast<float>(rng.gaussian());
        const double df = rng.uniform() * 3000;
        const ToneTables tables(df);
        for (int tone = 0; tone < 4; ++tone) {
            const double w = pi4_phase_step(tone, df);
            EXPECT_NEAR(w, (tone * PI4_TONE_SPACING + df) * 2 * std::numbers::pi / 12000, 1e-15);
            double I = 0, Q = 0, p = 0;
            for (int n = 0; n < PI4_NSPS; ++n) {
                p += w;
                double s, c;
                ::sincos(p, &s, &c);
                I += c * x[n];
                Q -= s * x[n];
            }
            const double e = pi4_tone_energy(x.data(), tables, tone), want = I * I + Q * Q;
            EXPECT_EQ(0, std::memcmp(&e, &want, sizeof e)) << trial << " " << tone;
        }
    }
}

TEST(SymbolMetrics, SignFollowsTheStrongerDataTone) {
    constexpr double TONE0 = 466 * BIN;
    for (int bit : {0, 1}) {
        std::array<std::uint8_t, PI4_NSYM> sym{};
        for (int k = 0; k < PI4_NSYM; ++k)
            sym[k] = static_cast<std::uint8_t>(2 * bit + PI4_SYNCVEC[k]);
        std::vector<double> x(300000, 0.0);
        sim::add_pi4_frame(x, 12000, sym, 0.0, TONE0 + PI4_CARRIER_OFFSET, 0.5);
        const std::vector<float> f(x.begin(), x.end());
        std::array<float, PI4_NSYM> m{}, a{}, b{}, c{};
        ASSERT_EQ(pi4_symbol_metrics(f.data(), 300000, 1, m, 0.0, TONE0), 0);
        for (float v : m)
            EXPECT_EQ(v > 0, bit == 1);
        // flip 0 reads as -1; a negative dt measures from sample 0.
        ASSERT_EQ(pi4_symbol_metrics(f.data(), 300000, 0, a, 0.0, TONE0), 0);
        ASSERT_EQ(pi4_symbol_metrics(f.data(), 300000, -1, b, 0.0, TONE0), 0);
        EXPECT_EQ(a, b);
        EXPECT_NE(a, m);
        ASSERT_EQ(pi4_symbol_metrics(f.data(), 300000, 1, c, -3.0, TONE0), 0);
        EXPECT_EQ(c, m);
    }
    // The frame must end inside the samples; the metrics are left alone if not.
    const std::vector<float> f(292000, 0.25f);
    std::array<float, PI4_NSYM> m;
    m.fill(7.0f);
    EXPECT_EQ(pi4_symbol_metrics(f.data(), 291999, 1, m, 0.0, 500), -1);
    EXPECT_EQ(pi4_symbol_metrics(f.data(), 292000, 1, m, 1.0 / 12000, 500), -1);
    EXPECT_EQ(pi4_symbol_metrics(f.data(), 292000, 1, m, NaN, 500), -1);
    EXPECT_EQ(m[0], 7.0f);
    EXPECT_EQ(pi4_symbol_metrics(f.data(), 292000, 1, m, 0.0, 500), 0);
}

TEST(Snr, TheToneToNoiseRatioIn2500Hz) {
    constexpr double A = 0.05, SIGMA = 0.05;
    const auto x = frame_signal(300000, 0.5, 466 * BIN, SIGMA, false, A);
    const std::vector<float> f(x.begin(), x.end());
    const double expect = 10 * std::log10((A * A / 2) / (SIGMA * SIGMA * 2500 / 6000));
    EXPECT_NEAR(pi4_estimate_snr(f.data(), 300000, 0.5, 466 * BIN), expect, 0.5);

    // -99 when no estimate can be made: no power, no whole frame, a start
    // before the file (lround(12000 dt) = -1) or none at all.
    const std::vector<float> zero(300000, 0.0f);
    EXPECT_EQ(pi4_estimate_snr(zero.data(), 300000, 0.0, 500), -99.0);
    EXPECT_NE(pi4_estimate_snr(f.data(), 292000, 0.0, 500), -99.0);
    EXPECT_EQ(pi4_estimate_snr(f.data(), 291999, 0.0, 500), -99.0);
    EXPECT_EQ(pi4_estimate_snr(f.data(), 300000, -0.5 / 12000, 500), -99.0);
    EXPECT_NE(pi4_estimate_snr(f.data(), 300000, -0.4 / 12000, 500), -99.0);
    EXPECT_EQ(pi4_estimate_snr(f.data(), 300000, NaN, 500), -99.0);
}

}  // namespace
}  // namespace beacon
