// The streaming resampler: pass-through at 12000 Hz, no shift in time at
// any other rate, a tone's amplitude kept and what lies above 6000 Hz
// removed, the same output however the input is cut into blocks.
#include <cmath>
#include <numbers>
#include <random>

#include "stream/stream.hpp"
#include "stream_test_support.hpp"

namespace beacon::test {
namespace {

// The whole input through a resampler in blocks of the given sizes (cycled).
std::vector<double> convert(int rate, const std::vector<double>& in,
                            const std::vector<std::size_t>& blocks) {
    stream::Resampler r(rate);
    std::vector<double> out;
    std::size_t b = 0;
    for (std::size_t at = 0; at < in.size(); ++b) {
        const std::size_t n = std::min(blocks[b % blocks.size()], in.size() - at);
        const auto f = r.process(std::span(in).subspan(at, n), out);
        EXPECT_FALSE(f) << f->text;
        at += n;
    }
    const auto f = r.finish(out);
    EXPECT_FALSE(f) << f->text;
    return out;
}

// Amplitude and phase of the `hz` tone in y[from, to) at 12000 Hz, the phase
// taken against sin(2 pi hz (k / 12000 - t0)).
struct ToneFit {
    double amplitude;
    double shift_samples;  // output samples the tone lags its ideal place
};
ToneFit fit_tone(const std::vector<double>& y, std::size_t from, std::size_t to, double hz,
                 double t0) {
    double s = 0, c = 0;
    for (std::size_t k = from; k < to; ++k) {
        const double ph = 2 * std::numbers::pi * hz * (k / 12000.0 - t0);
        s += y[k] * std::sin(ph);
        c += y[k] * std::cos(ph);
    }
    const double n = static_cast<double>(to - from);
    return {2 * std::hypot(s, c) / n, -std::atan2(c, s) / (2 * std::numbers::pi * hz) * 12000};
}

TEST(Resampler, PassesTwelveKilohertzThroughBitForBit) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> in(10007);
    for (double& x : in)
        x = u(rng);
    EXPECT_EQ(convert(12000, in, {1000, 1, 3}), in);
    EXPECT_EQ(stream::Resampler(12000).delay_out(), 0.0);
}

// A 1000 Hz burst that starts between two output samples comes out where
// and as strong as it went in, from every rate; the number of samples is
// the input's duration at 12000 Hz.
TEST(Resampler, ToneBurstKeepsItsTimeAndAmplitude) {
    const double t0 = 0.7 + 0.37 / 12000;
    for (int rate : {8000, 11025, 16000, 44100, 48000, 96000, 192000}) {
        SCOPED_TRACE(rate);
        std::vector<double> in(static_cast<std::size_t>(rate) * 2);
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double t = static_cast<double>(i) / rate;
            if (t >= t0) in[i] = 0.5 * std::sin(2 * std::numbers::pi * 1000 * (t - t0));
        }
        const std::vector<double> out = convert(rate, in, {4096});
        ASSERT_EQ(out.size(), 24000u);
        const ToneFit fit = fit_tone(out, 12000, 20400, 1000, t0);
        EXPECT_NEAR(fit.shift_samples, 0.0, 1e-3);
        EXPECT_NEAR(fit.amplitude, 0.5, 0.5e-4);
        // The onset: silence well before t0, half amplitude reached within
        // the sample where the ideal tone reaches it.
        double before = 0;
        for (std::size_t k = 0; k < 8000; ++k)
            before = std::max(before, std::abs(out[k]));
        EXPECT_LT(before, 1e-6);
        std::size_t first = 0, ideal = 0;
        while (std::abs(out[first]) < 0.25)
            ++first;
        while (ideal / 12000.0 < t0 ||
               std::abs(std::sin(2 * std::numbers::pi * 1000 * (ideal / 12000.0 - t0))) < 0.5)
            ++ideal;
        EXPECT_LE(first > ideal ? first - ideal : ideal - first, 1u);
    }
}

// From 48000 Hz: a tone above the new Nyquist frequency (7000 Hz) is gone,
// and the output does not depend on how the input is cut into blocks.
TEST(Resampler, RemovesWhatCannotBeKeptAndIgnoresBlocking) {
    std::vector<double> in(96000);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = 0.5 * std::sin(2 * std::numbers::pi * 7000 * i / 48000.0);
    const std::vector<double> out = convert(48000, in, {4096});
    ASSERT_EQ(out.size(), 24000u);
    double peak = 0;
    for (std::size_t k = 2000; k < 22000; ++k)
        peak = std::max(peak, std::abs(out[k]));
    EXPECT_LT(20 * std::log10(peak / 0.5), -100.0);

    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (double& x : in)
        x = u(rng);
    EXPECT_EQ(convert(48000, in, {1, 7, 333, 4096, 20000}), convert(48000, in, {96000}));
}

TEST(Resampler, RefusesRatesOutOfRange) {
    for (int rate : {0, 7999, 192001}) {
        stream::Resampler r(rate);
        std::vector<double> out;
        const std::vector<double> in(10, 0.0);
        const auto f = r.process(in, out);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->text,
                  "unsupported sample rate " + std::to_string(rate) + " Hz (8000 to 192000 Hz)");
        EXPECT_TRUE(r.finish(out));
        EXPECT_TRUE(out.empty());
    }
}

}  // namespace
}  // namespace beacon::test
