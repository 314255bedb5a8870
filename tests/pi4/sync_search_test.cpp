// The run-long sync search against pi4_sync, the plain search of one window:
// bit-identical results over random recordings, search ranges, time steps and
// window sequences like the spot loop's, on one thread and on two.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "pi4/pi4.hpp"
#include "sim/synth.hpp"

namespace beacon {
namespace {

void expect_same(const SyncResult& a, const SyncResult& b, const std::string& where) {
    // Bit for bit, not merely equal as numbers.
    EXPECT_EQ(0, std::memcmp(&a.dt, &b.dt, sizeof a.dt)) << where;
    EXPECT_EQ(0, std::memcmp(&a.df_tone0, &b.df_tone0, sizeof a.df_tone0)) << where;
    EXPECT_EQ(0, std::memcmp(&a.ccfpeak, &b.ccfpeak, sizeof a.ccfpeak)) << where;
    EXPECT_EQ(a.flip, b.flip) << where;
}

TEST(SyncSearch, MatchesThePlainSearchWindowForWindow) {
    sim::Noise rng(2024);
    auto pick = [&](double lo, double hi) { return lo + (hi - lo) * rng.uniform(); };
    const double tsteps[] = {1.0 / 60, 1.0 / 60, 1.0 / 60, 1.0 / 120, 0.03, 1.0 / 6};

    for (int rec = 0; rec < 12; ++rec) {
        const int n = static_cast<int>(pick(292000, 1000000));
        std::vector<double> x(n, 0.0);
        // Some recordings begin with exact silence, where every score ties
        // and only the tie-break decides.
        const bool silent_start = rec % 3 == 2;
        for (int f = 0; f < 3; ++f) {
            std::array<std::uint8_t, PI4_NSYM> sym{};
            const bool inverted = rng.uniform() < 0.3;
            for (int k = 0; k < PI4_NSYM; ++k) {
                const int sync = inverted ? 1 - PI4_SYNCVEC[k] : PI4_SYNCVEC[k];
                sym[k] = static_cast<std::uint8_t>(2 * (rng.uniform() < 0.5) + sync);
            }
            const double at = silent_start ? pick(45, 90) : pick(-5, n / 12000.0);
            sim::add_pi4_frame(x, 12000, sym, at, pick(700, 900), 0.05);
        }
        if (!silent_start) sim::add_white_noise(x, pick(0.0, 0.5), 100 + rec);

        const double tstep = tsteps[rec % 6];
        const double f0_center = pick(550, 800);
        const double tol = rec == 5 ? 5000 : pick(0, 40);  // once: cut at both ends of the bins
        Pi4SyncSearch search(x.data(), n, f0_center, tol, tstep);
        Pi4SyncSearch search2(x.data(), n, f0_center, tol, tstep, 2);

        // The spot loop's windows: the first with the user's dtmax, then behind
        // a frame or behind a window without a spot.
        long start = 0;
        double dtmax = rec == 7 ? 1e300 : pick(-0.05, 3.0);
        for (int w = 0; w < 8; ++w) {
            const std::string where = "recording " + std::to_string(rec) + " window " +
                                      std::to_string(w) + " at " + std::to_string(start);
            SyncResult fast, fast2, plain;
            fast.dt = fast2.dt = plain.dt = -1;
            const int rf = search.search(start, dtmax, fast);
            const int rf2 = search2.search(start, dtmax, fast2);
            const int rp = pi4_sync(x.data() + start, n - static_cast<int>(start), plain, f0_center,
                                    tol, dtmax, tstep);
            ASSERT_EQ(rf, rp) << where;
            ASSERT_EQ(rf2, rp) << where << ", two threads";
            expect_same(fast, plain, where);
            expect_same(fast2, plain, where + ", two threads");

            // As in the spot loop: the first window ends the run when it
            // yields no spot; a later one is stepped over.
            if (rf == 0 && (w == 0 || rng.uniform() < 0.5))
                start += std::lround((24.333333333333332 + fast.dt) * 12000.0);
            else if (w > 0)
                start += (std::lround(12000.0 * dtmax) / 200 + 1) * 200;
            else
                break;
            const double remaining = (n - start) / 12000.0;
            if (remaining < 24.53333333333333) break;
            dtmax = std::min(remaining - 24.333333333333332 - 0.1, 24.0);
        }
    }
}

TEST(SyncSearch, WindowsOffTheGridOrBackwardsStillMatch) {
    std::vector<double> x(400000);
    sim::add_white_noise(x, 0.1, 5);
    Pi4SyncSearch search(x.data(), 400000, 682.8125, 30, 1.0 / 60);
    for (long start : {20000L, 137L, 0L, 20000L, 90000L, 400000L - 291999L, 400000L}) {
        SyncResult fast, plain;
        const int rf = search.search(start, 2.0, fast);
        const int rp = pi4_sync(x.data() + start, 400000 - static_cast<int>(start), plain, 682.8125,
                                30, 2.0, 1.0 / 60);
        ASSERT_EQ(rf, rp) << start;
        if (rf == 0) expect_same(fast, plain, std::to_string(start));
    }
}

// A window that starts on a frame and reaches seconds beyond it: its first
// offset wins, and every row that offset reads is computed by the same
// search that scores it, the first row longest before its score. A row held
// too briefly would show here.
TEST(SyncSearch, AWindowStartingOnAFrameMatches) {
    std::vector<double> x(480000, 0.0);
    std::array<std::uint8_t, PI4_NSYM> sym{};
    for (int k = 0; k < PI4_NSYM; ++k)
        sym[k] = static_cast<std::uint8_t>(2 * (k % 3 == 0) + PI4_SYNCVEC[k]);
    sim::add_pi4_frame(x, 12000, sym, 3.0, 800, 0.05);
    sim::add_white_noise(x, 0.05, 9);
    for (int threads : {1, 2}) {
        for (long start : {0L, 36000L}) {
            Pi4SyncSearch search(x.data(), 480000, 682.8125, 20, 1.0 / 60, threads);
            SyncResult fast, plain;
            ASSERT_EQ(0, search.search(start, 12.0, fast));
            ASSERT_EQ(0, pi4_sync(x.data() + start, 480000 - static_cast<int>(start), plain,
                                  682.8125, 20, 12.0, 1.0 / 60));
            const std::string where = std::to_string(threads) + " threads, window at " +
                                      std::to_string(start);
            EXPECT_EQ(plain.dt, start == 0 ? 3.0 : 0.0) << where;
            expect_same(fast, plain, where);
        }
    }
}

}  // namespace
}  // namespace beacon
