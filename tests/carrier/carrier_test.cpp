// The carrier measurement on minutes made by the synthesiser: that the
// synthesiser's carrier is keyed where it says (the other tests stand on
// it), known minutes against the truth and the Cramer-Rao bound, drift, a
// differential test against a dense direct periodogram, detection at -30 dB
// and false alarms on noise, and refused searches.
#include "carrier/carrier.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "pi4/frame.hpp"
#include "sim/simulate.hpp"
#include "support/support.hpp"

namespace beacon {
namespace {

constexpr double FS = PI4_SAMPLE_RATE;
constexpr double LETTER_SPACE_S = 3 * 1.2 / sim::ID_WPM;

// One minute as beaconmon holds it (sample 0 at the minute), and what was sent.
struct Minute {
    sim::SimSettings s;
    std::vector<float> x;
    double start = 0, end = 0;  // the steady carrier
    // The carrier's mean frequency over [a, b).
    double mean_freq(double a, double b) const {
        return s.carrier_hz + s.drift_hz_per_min / 60 * (0.5 * (a + b) - s.start_s);
    }
};

Minute make_minute(double snr_db, std::uint64_t seed, double drift_hz_per_min = 0.0,
                   bool noise = true) {
    sim::Noise rng(seed * 7919 + 3);
    Minute m;
    m.s.message = "OZ7IGY/B";
    m.s.id = "OZ7IGY";
    m.s.carrier_hz = 700 + 200 * rng.uniform();
    m.s.start_s = rng.uniform() / m.s.carrier_hz;  // a random phase at the frame's start
    m.s.drift_hz_per_min = drift_hz_per_min;
    m.s.duration_s = 60.0;
    if (noise) m.s.snr_db = snr_db;
    m.s.seed = seed;
    const double frame_end = m.s.start_s + PI4_FRAME_SAMPLES / FS;
    m.start = frame_end + sim::morse_duration(m.s.id, sim::ID_WPM) + LETTER_SPACE_S;
    m.end = m.s.start_s + m.s.period_s - sim::ID_QUIET_S;
    const std::vector<double> x = test::mix(m.s);
    m.x.assign(x.begin(), x.end());
    return m;
}

constexpr CarrierSearch BAND_800 = {.f_lo_hz = 650, .f_hi_hz = 950};

TEST(SimulatedCarrier, KeyedExactlyWhenSaid) {
    // The letter space before the steady carrier and the quiet second after
    // it are silent, each boundary to the sample (its frequency and drift:
    // the measurements below, to the bound).
    const Minute m = make_minute(0, 5, 0.8, false);
    const auto first = static_cast<std::size_t>(std::ceil(m.start * FS));
    const auto last = static_cast<std::size_t>(std::ceil(m.end * FS));  // one past
    EXPECT_NE(m.x[first], 0.0f);
    EXPECT_NE(m.x[last - 1], 0.0f);
    const auto gap = static_cast<std::size_t>(std::ceil((m.start - LETTER_SPACE_S) * FS));
    for (std::size_t n = gap; n < first; ++n)
        ASSERT_EQ(m.x[n], 0.0f) << n;
    EXPECT_NE(m.x[gap - 1], 0.0f);  // the Morse code's last element ends there
    for (std::size_t n = last; n < m.x.size(); ++n)
        ASSERT_EQ(m.x[n], 0.0f) << n;
}

TEST(Carrier, MeasuresKnownMinutesToTheBound) {
    // Minutes with a random fractional frequency and phase: each within 5
    // sigma of the truth, SNR within 1 dB, the segment's ends within 0.1 s
    // where the keying can be seen, and over them all an RMS error near the
    // bound, which sigma_hz tracks.
    CarrierMeter meter;
    double sum2 = 0, sigma2 = 0;
    int count = 0;
    for (double snr : {-25.0, -15.0, -5.0, 5.0}) {
        for (std::uint64_t seed = 1; seed <= 4; ++seed) {
            const Minute m = make_minute(snr, seed);
            const CarrierMeasurement r = meter.measure(m.x, 0.0, BAND_800);
            ASSERT_TRUE(r.found()) << snr << " " << seed;
            const double crb = carrier_crb_hz(snr, m.end - m.start);
            const double err = r.freq_hz - m.mean_freq(r.start_s, r.end_s);
            EXPECT_LT(std::abs(err), 5 * crb) << snr << " " << seed;
            EXPECT_NEAR(r.snr_db, snr, 1.0) << seed;
            if (snr >= -15) {
                EXPECT_TRUE(r.keying_seen);
                EXPECT_NEAR(r.start_s, m.start, 0.1) << snr << " " << seed;
            } else {  // keying too weak to see: the default start, on the next block
                EXPECT_FALSE(r.keying_seen);
                const double start = BAND_800.seg_from_s + CARRIER_DEFAULT_ID_S;
                EXPECT_GE(r.start_s, start - 1e-9);
                EXPECT_LT(r.start_s, start + 0.02);
            }
            EXPECT_NEAR(r.end_s, m.end, snr >= -15 ? 0.1 : 1.0) << snr << " " << seed;
            sum2 += (err / crb) * (err / crb);
            sigma2 += (r.sigma_hz / crb) * (r.sigma_hz / crb);
            ++count;
        }
    }
    const double rms = std::sqrt(sum2 / count), sigma = std::sqrt(sigma2 / count);  // in bounds
    EXPECT_LT(rms, 1.5);
    EXPECT_GT(rms, 0.6);  // an error far below the bound would mean a wrong truth
    EXPECT_NEAR(sigma, 1.0, 0.2);
}

TEST(Carrier, DriftingCarrierAtItsMeanFrequency) {
    CarrierMeter meter;
    std::uint64_t seed = 20;
    for (double drift : {-1.0, 1.0}) {
        for (double snr : {-25.0, -10.0}) {
            const Minute m = make_minute(snr, ++seed, drift);
            const CarrierMeasurement r = meter.measure(m.x, 0.0, BAND_800);
            ASSERT_TRUE(r.found());
            // Over the segment the frequency moves by 0.45 Hz, a hundred
            // times the bound at -25 dB: only its mean is within reach.
            const double crb = carrier_crb_hz(snr, r.end_s - r.start_s);
            EXPECT_LT(std::abs(r.freq_hz - m.mean_freq(r.start_s, r.end_s)), 5 * crb)
                << drift << " " << snr;
            EXPECT_NEAR(r.drift_hz_per_min, drift, snr < -20 ? 0.1 : 0.02);
        }
    }
}

TEST(Carrier, FrequencyIsTheMaximumOfTheDirectPeriodogram) {
    // Over the reported segment, the raw samples' periodogram: no point of a
    // dense grid around the truth (a quarter bin apart, +/- 2 bins) above
    // the estimate, and the estimate above its neighbours 0.05 sigma away,
    // so that the maximum lies within 0.05 sigma of it.
    CarrierMeter meter;
    for (const auto& [snr, seed] :
         std::vector<std::pair<double, std::uint64_t>>{{-25, 31}, {-15, 32}, {0, 33}}) {
        const Minute m = make_minute(snr, seed);
        const CarrierMeasurement r = meter.measure(m.x, 0.0, BAND_800);
        ASSERT_TRUE(r.found());
        const auto a = static_cast<std::size_t>(std::ceil(r.start_s * FS));
        const auto b = static_cast<std::size_t>(std::ceil(r.end_s * FS));
        const double bin = FS / static_cast<double>(b - a);
        // |sum of x[n] exp(-2 pi i f n / FS)|^2 over [a, b), sample by sample.
        const auto p = [&](double f) {
            const std::complex<double> turn = std::polar(1.0, -2 * std::numbers::pi * f / FS);
            std::complex<double> s = 0, w = 1;
            for (std::size_t n = a; n < b; ++n, w *= turn)
                s += static_cast<double>(m.x[n]) * w;
            return std::norm(s);
        };
        const double at = p(r.freq_hz), d = 0.05 * r.sigma_hz;
        EXPECT_GE(at, p(r.freq_hz - d)) << snr;
        EXPECT_GE(at, p(r.freq_hz + d)) << snr;
        for (int k = -8; k <= 8; ++k)
            EXPECT_GE(at, p(m.s.carrier_hz + k * bin / 4)) << snr << " " << k;
    }
}

TEST(Carrier, FindsWeakCarriersAndRarelyNoise) {
    CarrierMeter meter;
    int found = 0;
    for (std::uint64_t seed = 40; seed < 60; ++seed)
        found += meter.measure(make_minute(-30, seed).x, 0.0, BAND_800).found();
    EXPECT_GE(found, 18);  // 90%

    // Noise alone (from 20 s: the measurement looks at nothing before the
    // frame's end): a report in at most 1% of minutes, so at most a few of 100.
    int false_alarms = 0;
    for (std::uint64_t seed = 100; seed < 200; ++seed) {
        std::vector<double> x(static_cast<std::size_t>(40 * FS), 0.0);
        sim::add_white_noise(x, 0.1, seed);
        std::vector<float> f(static_cast<std::size_t>(20 * FS), 0.0f);
        f.insert(f.end(), x.begin(), x.end());
        const CarrierMeasurement r = meter.measure(f, 0.0, BAND_800);
        EXPECT_GT(r.threshold, 0.0);
        false_alarms += r.found();
    }
    EXPECT_LE(false_alarms, 3);
}

TEST(Carrier, FrameCarrierCentresTheSearchAndBadSearchesAreRefused) {
    const Minute m = make_minute(-15, 50);  // carrier somewhere in 700 .. 900 Hz
    CarrierMeter meter;
    CarrierSearch elsewhere{.f_lo_hz = m.s.carrier_hz + 20, .f_hi_hz = m.s.carrier_hz + 120};
    EXPECT_EQ(meter.measure(m.x, 0.0, elsewhere).status, CarrierStatus::not_found);
    elsewhere.frame_carrier_hz = m.s.carrier_hz + 1.3;  // a sync bin off
    const CarrierMeasurement r = meter.measure(m.x, 0.0, elsewhere);
    ASSERT_TRUE(r.found());
    EXPECT_NEAR(r.freq_hz, m.s.carrier_hz, 0.01);
    // Samples that start before the minute: the same result.
    std::vector<float> longer(static_cast<std::size_t>(2.5 * FS), 0.0f);
    longer.insert(longer.end(), m.x.begin(), m.x.end());
    const CarrierMeasurement b = meter.measure(longer, -2.5, elsewhere);
    EXPECT_NEAR(b.freq_hz, r.freq_hz, 1e-9);
    EXPECT_NEAR(b.snr_db, r.snr_db, 1e-6);
    EXPECT_NEAR(b.start_s, r.start_s, 1e-9);
    EXPECT_NEAR(b.end_s, r.end_s, 1e-9);

    for (const CarrierSearch& bad : {CarrierSearch{.f_lo_hz = 650, .f_hi_hz = 650},
                                     CarrierSearch{.f_lo_hz = 10, .f_hi_hz = 950}})  // below 0 Hz
        EXPECT_EQ(meter.measure(m.x, 0.0, bad).status, CarrierStatus::bad_search);
    EXPECT_EQ(meter.measure(m.x, NAN, BAND_800).status, CarrierStatus::bad_search);
    const std::span<const float> short_tail(m.x.data(), static_cast<std::size_t>(28 * FS));
    EXPECT_EQ(meter.measure(short_tail, 0.0, BAND_800).status, CarrierStatus::too_short);
}

}  // namespace
}  // namespace beacon
