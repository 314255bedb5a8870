// The spot loop over synthetic recordings: every frame of a recording with
// its display text, the 20-spot cap, later windows without a frame, the
// statuses and their texts.
#include <gtest/gtest.h>

#include "support/support.hpp"
#include "util/format.hpp"

namespace beacon::test {
namespace {

const DecodeSettings NARROW = {.freq = 800, .tol = 20};  // quicker, the frames are on 800 Hz

void expect_spots(const Decoded& d, const std::vector<std::pair<double, std::string>>& want) {
    EXPECT_EQ(std::tuple(d.result.status, d.result.spots),
              std::tuple(DecodeStatus::ok, static_cast<int>(want.size())));
    EXPECT_TRUE(d.events.empty());  // 12000 Hz: not resampled
    ASSERT_EQ(d.spots.size(), want.size()) << d.failure;
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_NEAR(d.spots[i].frame.dt_abs, want[i].first, 1.0 / 120) << i;
        EXPECT_NEAR(d.spots[i].frame.df_carrier, 800, 0.75) << i;
        EXPECT_EQ(d.spots[i].display, want[i].second) << i;
    }
}

TEST(SpotLoop, EveryFrameOfARecording) {
    // A beaconsim recording at 11025 Hz, a frame each minute, drifting: the
    // windows between frames hold Morse code and carrier, and the search
    // goes on behind them. Each frame has the time, the carrier (at its
    // middle) and the SNR that were sent.
    const sim::SimSettings s{.message = "OZ7IGY/B",
                             .start_s = 1.95,
                             .frames = 3,
                             .duration_s = 150,  // no window behind the last frame
                             .snr_db = -15,
                             .drift_hz_per_min = 6,
                             .id = "OZ7IGY",
                             .rate = 11025};
    const Decoded d = decode(mix(s), s.rate, {.freq = s.carrier_hz + 20, .tol = 40});
    EXPECT_EQ(d.events, (std::vector<std::string>{"11025", "12000"}));
    ASSERT_EQ(d.spots.size(), 3u) << d.failure;
    for (int k = 0; k < 3; ++k) {
        const Candidate& c = d.spots[k].frame;
        // DT on a grid of 1/60 s, DF of 12000 / 8192 Hz.
        EXPECT_NEAR(c.dt_abs, s.start_s + 60 * k, 1.0 / 120 + 1e-9) << k;
        EXPECT_NEAR(c.df_carrier, s.carrier_hz + s.drift_hz_per_min * (60 * k + 12.1667) / 60,
                    1.46484375 / 2 + 1e-3)
            << k;
        EXPECT_NEAR(c.snr_db, *s.snr_db, 1.5) << k;
        EXPECT_STREQ(d.spots[k].display, "OZ7IGY/B") << k;
    }
    std::vector<int> numbers;  // two later windows without a frame among them
    for (const Candidate& c : d.candidates)
        numbers.push_back(c.number);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 2, 3, 3}));

    // Frames back to back, with the display rules: leading blanks as '_',
    // inner ones kept, trailing ones and an all-blank text cut.
    expect_spots(
        decode(
            render({.seconds = 102,
                    .snr_db = -5,
                    .frames = {{"  AB1", 0.5}, {"A B     ", 25.5}, {"", 50.5}, {"/ 9 Z /", 75.5}}}),
            12000, NARROW),
        {{0.5, "__AB1"}, {25.5, "A B"}, {50.5, ""}, {75.5, "/ 9 Z /"}});
}

TEST(SpotLoop, StopsAfterTwentySpots) {
    Recording r{.seconds = 21 * 25 + 1, .snr_db = -5, .frames = {}};
    std::vector<std::pair<double, std::string>> want;
    for (int i = 0; i < 21; ++i) {
        r.frames.push_back({"N" + std::to_string(i), 0.5 + 25 * i});
        if (i < MAX_SPOTS) want.push_back({0.5 + 25 * i, "N" + std::to_string(i)});
    }
    expect_spots(decode(render(r), 12000, NARROW), want);
}

TEST(SpotLoop, RunsThatEndWithoutASpot) {
    // Noise: the first candidate does not decode, and says where it was.
    const auto noise = render({.seconds = 30, .frames = {}});
    Decoded d = decode(noise);
    EXPECT_EQ(d.result.status, DecodeStatus::no_message);
    ASSERT_EQ(d.candidates.size(), 1u);
    const Candidate& c = d.candidates[0];
    EXPECT_EQ(c.number, 1);
    EXPECT_EQ(d.result.failed.dt_abs, c.dt_abs);
    EXPECT_EQ(c.df_carrier, c.sync.df_tone0 + PI4_CARRIER_OFFSET);
    EXPECT_EQ(d.failure, format("no valid message decoded (candidate at DT=+%.3f s, DF=%.0f Hz)",
                                c.dt_abs, c.df_carrier));
    EXPECT_FALSE(is_run_failure(d.result.status));

    d = decode(noise, 12000, {.freq = 799.6, .tol = -1, .dtmax = 3});
    EXPECT_EQ(d.result.status, DecodeStatus::no_candidate);  // its text: beacondec's test
    EXPECT_TRUE(d.candidates.empty());

    // The shortest recording searched decodes; one sample less is not
    // searched, and not reported either.
    auto edge =
        render({.seconds = MIN_SEARCH_SAMPLES / 12000.0, .snr_db = 0, .frames = {{"EDGE", 0.2}}});
    expect_spots(decode(edge, 12000, NARROW), {{0.2, "EDGE"}});
    edge.pop_back();
    d = decode(edge);
    EXPECT_EQ(d.result.status, DecodeStatus::too_short);
    EXPECT_TRUE(is_run_failure(d.result.status));
    EXPECT_EQ(d.failure, "");
    EXPECT_TRUE(d.candidates.empty());

    // A rate the resampler refuses is announced (its status and text: the
    // programs' tests).
    EXPECT_EQ(decode(std::vector<double>(300, 0.1), 0).events, std::vector<std::string>{"0"});

    // The texts of what cannot be staged cheaply.
    EXPECT_EQ(failure_text({.status = DecodeStatus::too_long}, 2147483648, {}),
              "recording too long (2147483648 samples at 12000 Hz, at most 2147483647)");
    EXPECT_EQ(failure_text({.status = DecodeStatus::no_memory}, 1, {}), "memory allocation failed");
    EXPECT_EQ(failure_text({.status = DecodeStatus::past_end}, 1, {}),
              "demodulation window runs past the end of the file (signal too short after the "
              "sync point)");
    EXPECT_EQ(failure_text({.status = DecodeStatus::ok}, 1, {}), "");
    for (DecodeStatus s : {DecodeStatus::too_long, DecodeStatus::no_memory})
        EXPECT_TRUE(is_run_failure(s));
    for (DecodeStatus s : {DecodeStatus::ok, DecodeStatus::past_end, DecodeStatus::no_candidate})
        EXPECT_FALSE(is_run_failure(s));
}

}  // namespace
}  // namespace beacon::test
