// The timeline: spans of known answer, the sample clock against a sound
// card simulated over days, and minutes cut from pieces of any size.
#include "beaconmon/timeline.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "beaconmon/minute_ring.hpp"

namespace beacon::mon {
namespace {

TEST(Timeline, StartTimesWithFractionsAndOffsets) {
    const auto t = parse_start_time("2026-12-07T10:00:30.25Z");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->sec % 86400, 10 * 3600 + 30);
    EXPECT_EQ(t->frac, 0.25);
    EXPECT_EQ(parse_start_time("2026-12-07T11:00:30.25+01:00").value().sec, t->sec);
    EXPECT_EQ(origin_of(*t), t->sec - 30);
    EXPECT_FALSE(parse_start_time("2026-12-07T10:00:30.Z"));
    EXPECT_FALSE(parse_start_time("2026-12-07T10:00:30,5Z"));
    EXPECT_FALSE(parse_start_time(".5"));
}

// Input on the grid, 61 s before the minute: the whole span, 28.6 s; none
// for input that begins after the minute. (Late and off-grid starts: the
// spans of beaconmon's end-to-end test, against beacondec.)
TEST(Timeline, SpanOfAWholeMinute) {
    const auto s = minute_span(60.0, 2.0, 0, SampleMap{-1.0, 0, RATE});
    ASSERT_TRUE(s);
    EXPECT_EQ(std::tuple(s->first, s->count, s->dtmax, s->c_minus_m),
              std::tuple(59 * RATE, 343200, 4.0, -2.0));
    EXPECT_FALSE(minute_span(60.0, 2.0, 0, SampleMap{60.25, 0, RATE}));
}

// A card whose clock runs `ppm` fast, read in pieces that arrive late by up
// to 0.3 s: after the first minute the clock places every sample within
// 0.1 s of its time, over three days (a card left alone drifts 52 s).
void simulate_days(double ppm, double lost_at_s) {
    const double true_rate = 12000.0 * (1.0 + ppm * 1e-6);
    SampleClock clock(12000.0);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> latency(0.005, 0.3), piece(0.02, 0.5);
    const double t_first = 1000.25;  // true time of frame 0, s from the origin
    std::int64_t produced = 0;       // frames the card made
    std::int64_t lost = 0;           // frames dropped before they reached us
    double worst = 0.0;
    for (double t = t_first + 0.1; t < t_first + 3 * 86400.0; t += piece(rng)) {
        produced = static_cast<std::int64_t>((t - t_first) * true_rate);
        if (lost == 0 && t - t_first > lost_at_s) lost = static_cast<std::int64_t>(2.0 * true_rate);
        const std::int64_t arrived = produced - lost;
        clock.observe(arrived, t + latency(rng));
        const double since = t - t_first;
        if (since > 60.0 && !(since > lost_at_s && since < lost_at_s + 120.0)) {
            const double truth = t_first + static_cast<double>(produced) / true_rate;
            worst = std::max(worst, std::fabs(clock.time_at(static_cast<double>(arrived)) - truth));
        }
    }
    EXPECT_LT(worst, 0.1) << ppm << " ppm";
    EXPECT_FALSE(clock.ahead());
    EXPECT_NEAR(clock.rate_error(), -ppm * 1e-6, 5e-6);
}

TEST(Timeline, SampleClockKeepsADriftingCardOnTime) {
    simulate_days(200.0, 1e9);
    simulate_days(-200.0, 1e9);
    // Two seconds of samples lost after a day: back on time within two minutes.
    simulate_days(200.0, 86400.0);

    // A recording piped in ten times faster than real time is noticed.
    SampleClock fast(12000.0);
    for (int i = 1; i <= 1000; ++i)
        fast.observe(i * 1200, i * 0.01);
    EXPECT_TRUE(fast.ahead());
}

// Samples numbered by their index, cut in pieces of random size: every
// minute's work holds exactly the samples of its span, whatever the pieces,
// and with whole minutes those from the minute to the next, the last one cut
// short when the stretch ends within it.
TEST(Timeline, MinutesCutFromPiecesOfAnySize) {
    const double start = 37.3;  // the stretch's first sample, s from the origin
    const SampleMap map{start, 0, RATE};
    const std::int64_t total = 15 * 60 * RATE;
    for (const bool whole : {false, true}) {
        std::mt19937 rng(3);
        std::uniform_int_distribution<int> size(1, 3 * RATE);
        MinuteCutter cutter(10.0, whole);
        cutter.begin_stretch("x", start);
        std::vector<MinuteWork> works;
        auto keep = [&](MinuteWork&& w) { works.push_back(std::move(w)); };
        std::vector<double> piece;
        for (std::int64_t k = 0; k < total;) {
            piece.resize(std::min<std::int64_t>(size(rng), total - k));
            for (double& v : piece)
                v = static_cast<double>(k++);
            cutter.push(piece, map, keep);
        }
        // Minutes 60 to 900: the input ends at 937.3 s, after the last span
        // but before the last whole minute, which waits for the end.
        ASSERT_EQ(works.size(), whole ? 14u : 15u);
        cutter.finish(map, keep);
        ASSERT_EQ(works.size(), 15u);
        for (std::size_t i = 0; i < works.size(); ++i) {
            const MinuteWork& w = works[i];
            EXPECT_EQ(w.index, static_cast<std::int64_t>(i));
            EXPECT_EQ(w.minute, 60.0 * (i + 1));
            const auto span = minute_span(w.minute, 10.0, 0, map);
            ASSERT_EQ(w.samples.size(), static_cast<std::size_t>(span->count));
            for (std::size_t j = 0; j < w.samples.size(); ++j)
                ASSERT_EQ(w.samples[j], static_cast<double>(span->first + j)) << i << " " << j;
            if (!whole) {
                EXPECT_TRUE(w.whole.empty());
                continue;
            }
            const std::int64_t w0 = map.first_at_or_after(w.minute);
            const std::int64_t w1 = std::min(map.first_at_or_after(w.minute + 60.0), total);
            ASSERT_EQ(w.whole.size(), static_cast<std::size_t>(w1 - w0)) << i;
            EXPECT_EQ(w.whole.front(), static_cast<float>(w0));
            EXPECT_EQ(w.whole.back(), static_cast<float>(w1 - 1));
            EXPECT_NEAR(w.whole_t0_s, map.time_of(w0) - w.minute, 1e-9);
        }
    }
}

}  // namespace
}  // namespace beacon::mon
