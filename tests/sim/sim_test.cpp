// The synthesiser: phase continuity, sub-sample timing, Morse keying and
// block-wise rendering; and its recordings through the whole decoder, which
// must find the message, time, carrier, drift and SNR that were asked for.
#include <gtest/gtest.h>

#include <numbers>

#include "coding/coding.hpp"
#include "sim/simulate.hpp"
#include "support/support.hpp"

namespace beacon::sim {
namespace {

std::array<std::uint8_t, PI4_NSYM> symbols_of(const char* message) {
    std::array<std::uint8_t, PI4_NSYM> s{};
    pi4_make_symbols(message, s);
    return s;
}

std::vector<double> render(const Transmitter& tx, double rate, double seconds) {
    std::vector<double> x(static_cast<std::size_t>(std::llround(seconds * rate)), 0.0);
    tx.render(rate, 0, x, 1.0);
    return x;
}

// The whole recording of a beaconsim run, in one block.
std::vector<double> mix(const SimSettings& s) {
    std::vector<double> x(static_cast<std::size_t>(sample_count(recording_duration(s), s.rate)));
    Renderer(make_transmitter(s), s.rate, levels(s), s.seed).next(x);
    return x;
}

TEST(Transmitter, TonesChangeWithoutPhaseJumps) {
    // A unit sine of frequency f moves at most 2 pi f / rate per sample; a
    // phase jump at a symbol boundary would move it further.
    Transmitter tx(1000.0, 0.5, 0.3);
    tx.add_frame(0.3, symbols_of("OZ7IGY/B"));
    const std::vector<double> x = render(tx, 12000, 25.0);
    const double fmax = 1000.0 + 3 * PI4_TONE_SPACING - PI4_CARRIER_OFFSET + 0.5 * 24.4;
    const double bound = 2 * std::numbers::pi * fmax / 12000;
    double largest = 0;
    for (std::size_t n = 3601; n + 1 < 3600 + 292000; ++n)
        largest = std::max(largest, std::abs(x[n + 1] - x[n]));
    EXPECT_LE(largest, bound * (1 + 1e-9));
    EXPECT_GT(largest, bound * 0.9);
}

TEST(Transmitter, StartsBetweenSamples) {
    // The same frame at twice the rate, half a 12000 Hz sample later: every
    // other sample is the original one, to rounding.
    const auto sym = symbols_of("SUBSAMPL");
    const double t0 = 1.0 + 0.3 / 12000, t1 = t0 + 1.0 / 24000;
    Transmitter a(900.0, 3.0, t0), b(900.0, 3.0, t1);
    a.add_frame(t0, sym);
    b.add_frame(t1, sym);
    const std::vector<double> x = render(a, 12000, 26.0), y = render(b, 24000, 26.0);
    double worst = 0;
    for (std::size_t m = 0; m < x.size(); ++m)
        worst = std::max(worst, std::abs(y[2 * m + 1] - x[m]));
    EXPECT_LT(worst, 1e-8);
    EXPECT_EQ(x[12000], 0.0);  // before the start
    EXPECT_NE(x[12001], 0.0);
}

TEST(Transmitter, KeysMorseWithStandardTiming) {
    EXPECT_DOUBLE_EQ(morse_duration("PARIS", 12), 4.3);  // 43 dots
    EXPECT_DOUBLE_EQ(morse_duration("paris", 12), 4.3);
    EXPECT_DOUBLE_EQ(morse_duration(" E  E ", 12), 0.9);  // dot, word space, dot
    EXPECT_EQ(morse_code('@'), nullptr);
    EXPECT_STREQ(morse_code('9'), "----.");

    // "ET/" at 12 wpm in 0.1 s slots from 2 s, a letter space, then carrier.
    Transmitter tx(130.0);
    const double end = tx.add_morse(2.0, "ET/", 12);
    EXPECT_DOUBLE_EQ(end, 2.0 + 0.1 * (1 + 3 + 3 + 3 + 13));
    tx.add_carrier(end + 0.3, 5.0);
    EXPECT_THROW(tx.add_carrier(4.0, 6.0), std::invalid_argument);
    const std::vector<double> x = render(tx, 1000, 6.0);
    std::string keyed;
    for (std::size_t k = 0; k < 32; ++k) {
        double e = 0;  // a slot is keyed if its middle 60 ms carry the tone
        for (int n = 20; n < 80; ++n)
            e += x[2000 + 100 * k + n] * x[2000 + 100 * k + n];
        keyed += e > 10 ? '#' : '_';
    }
    EXPECT_EQ(keyed, "#___###___###_#_#_###_#___####__");
}

TEST(Renderer, BlocksOfAnySizeGiveTheSameMix) {
    const SimSettings s{.frames = 2, .period_s = 30, .snr_db = -10, .id = "AB1", .rate = 8000};
    const std::vector<double> whole = mix(s);
    std::vector<double> pieces(whole.size());
    Renderer r(make_transmitter(s), s.rate, levels(s), s.seed);
    for (std::size_t pos = 0, len = 1; pos < pieces.size(); pos += len, len = len * 3 + 1)
        r.next(std::span<double>(pieces).subspan(pos, std::min(len, pieces.size() - pos)));
    EXPECT_EQ(pieces, whole);
    EXPECT_NE(
        mix({.frames = 2, .period_s = 30, .snr_db = -10, .id = "AB1", .rate = 8000, .seed = 2}),
        whole);
    // The default level leaves five noise sigmas of room below half scale.
    const Levels lv = levels(s);
    EXPECT_DOUBLE_EQ(lv.amplitude + NOISE_PEAK_SIGMAS * lv.sigma, NOMINAL_PEAK);
    EXPECT_DOUBLE_EQ(lv.sigma, noise_sigma_for_snr(-10, lv.amplitude, 8000));
}

TEST(Simulate, PlannedEndMatchesWhatIsSent) {
    SimSettings s{.start_s = 2.0, .frames = 2, .id = "OZ7IGY"};
    EXPECT_DOUBLE_EQ(keyed_end(s), 2.0 + 60 + 60 - ID_QUIET_S);  // carrier to the quiet second
    EXPECT_DOUBLE_EQ(make_transmitter(s).end_s(), keyed_end(s));
    // No room for carrier: sending ends with the Morse code.
    const double morse = morse_duration("OZ7IGY", ID_WPM);
    s.period_s = PI4_FRAME_SECONDS + morse + 0.2;
    EXPECT_NEAR(keyed_end(s), 2.0 + s.period_s + PI4_FRAME_SECONDS + morse, 1e-9);
    EXPECT_DOUBLE_EQ(make_transmitter(s).end_s(), keyed_end(s));
    s.id.clear();
    EXPECT_DOUBLE_EQ(make_transmitter(s).end_s(), keyed_end(s));
    EXPECT_EQ(sent_message("oz7igy/b"), "  7   / ");
    EXPECT_EQ(sent_message("LONGER THAN 8"), "LONGER T");
}

// Recordings as WAV files of several rates, depths and channel counts
// hold, decoded: the message, time, carrier (drifting, at the middle of
// each frame) and SNR asked for. Without noise the keying after each frame
// shows: the Morse code (O begins with a dash), then carrier until a quiet
// second before the next cycle.
TEST(Simulate, RecordingsDecodeAsAskedFor) {
    const SimSettings cases[] = {{.message = "  7 /",
                                  .carrier_hz = 1210.3,
                                  .start_s = 0.4,
                                  .snr_db = -12,
                                  .rate = 8000,
                                  .bits = 8},
                                 {.message = "ZZZZZZZZ",
                                  .carrier_hz = 733.7,
                                  .start_s = 0.0,
                                  .snr_db = -12,
                                  .rate = 44100,
                                  .bits = 32,
                                  .channels = 3},
                                 {.message = "OZ7IGY/B",
                                  .start_s = 1.95,
                                  .frames = 3,
                                  .snr_db = -15,
                                  .drift_hz_per_min = 6,
                                  .id = "OZ7IGY",
                                  .rate = 11025,
                                  .bits = 24,
                                  .channels = 2}};
    const char* shown[] = {"__7 /", "ZZZZZZZZ", "OZ7IGY/B"};
    for (int i = 0; i < 3; ++i) {
        const SimSettings& s = cases[i];
        std::vector<double> frames;
        for (double v : mix(s))
            frames.insert(frames.end(), static_cast<std::size_t>(s.channels), v);
        wav_data wav;
        ASSERT_TRUE(wav_read_memory(test::pcm_wav(frames, s.rate, s.channels, s.bits), wav).ok());
        const auto d =
            test::decode(wav.samples, wav.sample_rate, {.freq = s.carrier_hz + 20, .tol = 40});
        ASSERT_EQ(d.spots.size(), static_cast<std::size_t>(s.frames)) << i << d.failure;
        for (int k = 0; k < s.frames; ++k) {
            const Candidate& c = d.spots[k].frame;
            const double carrier = s.carrier_hz + s.drift_hz_per_min * (60 * k + 12.1667) / 60;
            // DT on a grid of 1/60 s, DF of 12000 / 8192 Hz.
            EXPECT_NEAR(c.dt_abs, s.start_s + 60 * k, 1.0 / 120 + 1e-9) << i;
            EXPECT_NEAR(c.df_carrier, carrier, 1.46484375 / 2 + 1e-3) << i;
            EXPECT_NEAR(c.snr_db, *s.snr_db, 1.5) << i;
            EXPECT_STREQ(d.spots[k].display, shown[i]) << i;
        }
    }
    SimSettings quiet = cases[2];
    quiet.snr_db.reset();
    quiet.rate = 12000;
    const std::vector<double> x = mix(quiet);
    ASSERT_EQ(x.size(), static_cast<std::size_t>(std::llround((1.95 + 121 + 60 - 1) * 12000)));
    auto mean_square = [&](double t0, double t1) {
        double e = 0;
        for (auto n = std::llround(t0 * 12000); n < std::llround(t1 * 12000); ++n)
            e += x[n] * x[n];
        return e / ((t1 - t0) * 12000);
    };
    const double tone = NOMINAL_PEAK * NOMINAL_PEAK / 2, end = 1.95 + PI4_FRAME_SECONDS;
    const double morse_end = end + morse_duration("OZ7IGY", ID_WPM);
    for (double t : {0.0, 60.0, 120.0}) {
        EXPECT_NEAR(mean_square(t + end + 0.05, t + end + 0.25), tone, 1e-3) << t;  // a dash
        EXPECT_EQ(mean_square(t + end + 0.31, t + end + 0.39), 0.0) << t;  // the gap after it
        EXPECT_NEAR(mean_square(t + morse_end + 0.35, t + 60.9), tone, 1e-3) << t;  // carrier
        EXPECT_EQ(mean_square(t + 60.95 + 0.01, t + 61.9), 0.0) << t;               // quiet
    }
}

}  // namespace
}  // namespace beacon::sim
