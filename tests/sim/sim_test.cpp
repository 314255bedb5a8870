// The synthesiser: phase continuity, sub-sample timing, Morse keying and
// block-wise rendering. (A recording through the decoder, which must find
// the time, carrier, drift and SNR asked for: the decoder's tests; the
// keying after a frame, to the sample: the carrier's.)
#include <gtest/gtest.h>

#include <numbers>

#include "sim/simulate.hpp"
#include "support/support.hpp"

namespace beacon::sim {
namespace {

std::vector<double> render(const Transmitter& tx, double rate, double seconds) {
    std::vector<double> x(static_cast<std::size_t>(std::llround(seconds * rate)), 0.0);
    tx.render(rate, 0, x, 1.0);
    return x;
}

TEST(Transmitter, TonesChangeWithoutPhaseJumps) {
    // A unit sine of frequency f moves at most 2 pi f / rate per sample; a
    // phase jump at a symbol boundary would move it further.
    Transmitter tx(1000.0, 0.5, 0.3);
    tx.add_frame(0.3, test::symbols_of("OZ7IGY/B"));
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
    const auto sym = test::symbols_of("SUBSAMPL");
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
    const std::vector<double> whole = test::mix(s);
    std::vector<double> pieces(whole.size());
    Renderer r(make_transmitter(s), s.rate, levels(s), s.seed);
    for (std::size_t pos = 0, len = 1; pos < pieces.size(); pos += len, len = len * 3 + 1)
        r.next(std::span<double>(pieces).subspan(pos, std::min(len, pieces.size() - pos)));
    EXPECT_EQ(pieces, whole);
    SimSettings other_seed = s;
    other_seed.seed = 2;
    EXPECT_NE(test::mix(other_seed), whole);
    // The default level leaves five noise sigmas of room below half scale.
    const Levels lv = levels(s);
    EXPECT_DOUBLE_EQ(lv.amplitude + NOISE_PEAK_SIGMAS * lv.sigma, NOMINAL_PEAK);
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
    EXPECT_EQ(sent_message("LONGER THAN 8"), "LONGER T");
}

}  // namespace
}  // namespace beacon::sim
