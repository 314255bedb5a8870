// The beacon transmitter and the mix that beaconsim renders: phase
// continuity, sub-sample timing, Morse keying, block-wise rendering and the
// SNR as the decoder measures it.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "coding/coding.hpp"
#include "pi4/pi4.hpp"
#include "sim/simulate.hpp"

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

TEST(Transmitter, TonesChangeWithoutPhaseJumps) {
    // Each sample-to-sample step of a unit sine of frequency f is at most
    // 2 pi f / rate; a phase jump at a symbol boundary would exceed it.
    const double rate = 12000;
    Transmitter tx(1000.0, 0.5, 0.3);  // drifting, so the frequency moves too
    tx.add_frame(0.3, symbols_of("OZ7IGY/B"));
    const std::vector<double> x = render(tx, rate, 25.0);
    const double fmax = 1000.0 + 3 * PI4_TONE_SPACING - PI4_CARRIER_OFFSET + 0.5 * 24.4;
    const double bound = 2 * std::numbers::pi * fmax / rate;
    double largest = 0;
    for (std::size_t n = 3601; n + 1 < 3600 + 292000; ++n)
        largest = std::max(largest, std::abs(x[n + 1] - x[n]));
    EXPECT_LE(largest, bound * (1 + 1e-9));
    EXPECT_GT(largest, bound * 0.9);  // the bound is not loose
}

TEST(Transmitter, StartsBetweenSamples) {
    // The same frame at twice the rate, starting half a 12000 Hz sample
    // later: every other sample must be the original one, to rounding. The
    // starts lie 0.3 and 0.6 samples past a sample, so no symbol boundary
    // falls on one.
    const auto sym = symbols_of("SUBSAMPL");
    const double t0 = 1.0 + 0.3 / 12000;
    Transmitter a(900.0, 3.0, t0);
    a.add_frame(t0, sym);
    Transmitter b(900.0, 3.0, t0 + 1.0 / 24000);
    b.add_frame(t0 + 1.0 / 24000, sym);
    const std::vector<double> x = render(a, 12000, 26.0);
    const std::vector<double> y = render(b, 24000, 26.0);
    double worst = 0;
    for (std::size_t m = 0; m < x.size(); ++m)
        worst = std::max(worst, std::abs(y[2 * m + 1] - x[m]));
    EXPECT_LT(worst, 1e-8);
    // Nothing before the start; from the first sample after it, the tone.
    EXPECT_EQ(x[12000], 0.0);
    EXPECT_NE(x[12001], 0.0);
}

TEST(Transmitter, KeysMorseWithStandardTiming) {
    // PARIS: 43 dot lengths from the first element to the last.
    EXPECT_DOUBLE_EQ(morse_duration("PARIS", 12), 4.3);
    EXPECT_DOUBLE_EQ(morse_duration("paris", 12), 4.3);
    EXPECT_DOUBLE_EQ(morse_duration("E E", 12), 0.9);   // dot, word space, dot
    EXPECT_DOUBLE_EQ(morse_duration(" E  ", 12), 0.1);  // outer blanks send nothing
    EXPECT_EQ(morse_code('@'), nullptr);
    EXPECT_STREQ(morse_code('/'), "-..-.");

    // "ET/" at 12 wpm, in 0.1 s slots from 2 s: E, a letter space, T, a
    // letter space, / (-..-.), a letter space, then carrier.
    Transmitter tx(130.0);
    const double end = tx.add_morse(2.0, "ET/", 12);
    EXPECT_DOUBLE_EQ(end, 2.0 + 0.1 * (1 + 3 + 3 + 3 + 13));
    tx.add_carrier(end + 0.3, 5.0);
    EXPECT_THROW(tx.add_carrier(4.0, 6.0), std::invalid_argument);
    const std::vector<double> x = render(tx, 1000, 6.0);
    const std::string want =
        "#___###___###_#_#_###_#___"  // Morse, then the letter space
        "####";                       // carrier to 5.0 s
    std::string keyed;
    for (std::size_t k = 0; k < want.size() + 2; ++k) {
        // A 100 ms slot is keyed if its middle 60 ms carry the tone.
        double e = 0;
        for (int n = 20; n < 80; ++n)
            e += x[2000 + 100 * k + n] * x[2000 + 100 * k + n];
        keyed += e > 10 ? '#' : '_';
    }
    EXPECT_EQ(keyed, want + "__");
}

TEST(Renderer, BlocksOfAnySizeGiveTheSameMix) {
    SimSettings s;
    s.frames = 2;
    s.period_s = 30;
    s.id = "AB1";
    s.snr_db = -10;
    s.rate = 8000;
    const Transmitter tx = make_transmitter(s);
    const std::int64_t n = sample_count(recording_duration(s), s.rate);
    std::vector<double> whole(static_cast<std::size_t>(n));
    Renderer(tx, s.rate, levels(s), 7).next(whole);

    std::vector<double> pieces(whole.size());
    Renderer r(tx, s.rate, levels(s), 7);
    std::size_t pos = 0;
    for (std::size_t len = 1; pos < pieces.size(); len = len * 3 + 1) {
        const std::size_t k = std::min(len, pieces.size() - pos);
        r.next(std::span<double>(pieces).subspan(pos, k));
        pos += k;
    }
    EXPECT_EQ(pieces, whole);

    std::vector<double> other(whole.size());
    Renderer(tx, s.rate, levels(s), 8).next(other);
    EXPECT_NE(other, whole);
}

TEST(Simulate, DecoderMeasuresTheSnrThatWasAskedFor) {
    // The decoder's own estimate, averaged over seeds, on a frame rendered at
    // 12000 Hz: the two meanings of SNR must agree.
    for (double snr : {-20.0, -10.0}) {
        SimSettings s;
        s.message = "SNR";
        s.snr_db = snr;
        const Transmitter tx = make_transmitter(s);
        const auto n = static_cast<std::size_t>(sample_count(recording_duration(s), s.rate));
        double sum = 0;
        const int seeds = 6;
        for (int seed = 1; seed <= seeds; ++seed) {
            std::vector<double> x(n);
            Renderer(tx, s.rate, levels(s), static_cast<std::uint64_t>(seed)).next(x);
            const std::vector<float> f(x.begin(), x.end());
            sum += pi4_estimate_snr(f.data(), static_cast<int>(n), 1.0, 800 - PI4_CARRIER_OFFSET);
        }
        EXPECT_NEAR(sum / seeds, snr, 1.0) << snr;
    }
}

TEST(Simulate, PlannedEndMatchesWhatIsSent) {
    // keyed_end() sets the default duration and the frequency check without
    // building the transmitter; both must agree on when sending stops.
    SimSettings s;
    s.start_s = 2.0;
    s.frames = 2;
    s.id = "OZ7IGY";
    EXPECT_DOUBLE_EQ(keyed_end(s), 2.0 + 60 + 60 - 1);  // carrier to 1 s before the next cycle
    EXPECT_DOUBLE_EQ(make_transmitter(s).end_s(), keyed_end(s));
    // A period too short for any carrier: sending ends with the Morse code.
    const double morse = morse_duration("OZ7IGY", ID_WPM);
    s.period_s = PI4_FRAME_SECONDS + morse + 0.2;
    EXPECT_NEAR(keyed_end(s), 2.0 + s.period_s + PI4_FRAME_SECONDS + morse, 1e-9);
    EXPECT_DOUBLE_EQ(make_transmitter(s).end_s(), keyed_end(s));
    s.id.clear();
    EXPECT_DOUBLE_EQ(make_transmitter(s).end_s(), keyed_end(s));
}

}  // namespace
}  // namespace beacon::sim
