// The FFT resampler against a naive DFT of the same bin-copying rule, and on
// signals whose correct output is known.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

#include "audio/audio.hpp"

namespace beacon {
namespace {

using cd = std::complex<double>;
constexpr double PI = std::numbers::pi;

struct Resampled {
    int status;
    std::vector<double> out;
    std::int64_t len;
};

Resampled resample(const std::vector<double>& in, int rate_in, int rate_out) {
    Resampled r{0, {-7.0}, -7};
    r.status = resample_to_rate(in.data(), static_cast<std::int64_t>(in.size()), rate_in, rate_out,
                                r.out, r.len);
    return r;
}

// The expected output: DFT, copy bins 0..h and -(h-1)..-1, inverse DFT, real
// part over the input length. O(n^2), for short signals.
std::vector<double> naive(const std::vector<double>& x, int n_out) {
    const int n = static_cast<int>(x.size());
    std::vector<cd> X(n), Y(n_out);
    for (int k = 0; k < n; ++k)
        for (int t = 0; t < n; ++t)
            X[k] += x[t] * std::polar(1.0, -2 * PI * k * t / n);
    const int h = std::min(n, n_out) / 2;
    for (int k = 0; k <= h; ++k)
        Y[k] = X[k];
    for (int k = 1; h > 1 && k <= h - 1; ++k)
        Y[n_out - k] = X[n - k];
    std::vector<double> y(n_out);
    for (int t = 0; t < n_out; ++t) {
        cd z;
        for (int k = 0; k < n_out; ++k)
            z += Y[k] * std::polar(1.0, 2 * PI * k * t / n_out);
        y[t] = z.real() / n;
    }
    return y;
}

void expect_near(const std::vector<double>& a, const std::vector<double>& b, double tol) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_NEAR(a[i], b[i], tol) << i;
}

TEST(Resample, CopiesTheBinsOfTheShorterLength) {
    const std::vector<double> ten = {0.3, -0.1, 0.7, 0.2, -0.9, 0.4, 0.05, -0.6, 0.8, -0.25};
    Resampled r = resample(ten, 24000, 12000);  // N_out 5, h 2: bin -2 is not copied
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.len, 5);
    expect_near(r.out, naive(ten, 5), 1e-12);

    r = resample({0.5, -0.25}, 8000, 12000);  // N_out 3, h 1: bins 0 and 1 only
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.len, 3);
    expect_near(r.out, naive({0.5, -0.25}, 3), 1e-12);

    const std::vector<double> seven = {0.1, 0.9, -0.4, 0.3, -0.7, 0.2, 0.6};
    r = resample(seven, 11025, 22050);
    ASSERT_EQ(r.len, 14);
    expect_near(r.out, naive(seven, 14), 1e-12);

    // A sinusoid on bin h of an odd shorter length keeps half its amplitude.
    std::vector<double> tone(7);
    for (int t = 0; t < 7; ++t)
        tone[t] = std::cos(2 * PI * 3 * t / 7);
    r = resample(tone, 7000, 14000);
    for (int t = 0; t < 14; ++t)
        EXPECT_NEAR(r.out[t], 0.5 * std::cos(2 * PI * 3 * t / 14), 1e-12);
}

TEST(Resample, KeepsBandLimitedSignalsAndRemovesWhatLiesAbove) {
    // 48000 -> 12000 over a whole number of periods.
    std::vector<double> low(48000), high(48000), dc(48000, 0.375);
    for (int t = 0; t < 48000; ++t) {
        low[t] = 0.5 * std::sin(2 * PI * 1000 * t / 48000);
        high[t] = 0.5 * std::sin(2 * PI * 7000 * t / 48000);
    }
    Resampled r = resample(low, 48000, 12000);
    ASSERT_EQ(r.len, 12000);
    for (int t = 0; t < 12000; ++t)
        EXPECT_NEAR(r.out[t], 0.5 * std::sin(2 * PI * 1000 * t / 12000), 1e-9);
    r = resample(high, 48000, 12000);
    for (double v : r.out)
        EXPECT_NEAR(v, 0.0, 1e-9);
    r = resample(dc, 48000, 12000);
    for (double v : r.out)
        EXPECT_NEAR(v, 0.375, 1e-12);
}

TEST(Resample, RoundsTheOutputLengthToNearest) {
    EXPECT_EQ(resample(std::vector<double>(1000003, 0.1), 44100, 12000).len, 272110);
    EXPECT_EQ(resample(std::vector<double>(1000001, 0.1), 44100, 12000).len, 272109);
    EXPECT_EQ(resample(std::vector<double>(1323000, 0.1), 44100, 12000).len, 360000);
}

TEST(Resample, EqualRatesCopyAndUnusableInputsFail) {
    Resampled r = resample({0.25}, 12000, 12000);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::vector<double>{0.25});
    EXPECT_EQ(r.len, 1);

    for (const auto& [n, rate_in] : std::vector<std::pair<int, int>>{
             {3, 44100},    // N_out = llround(0.816) = 1
             {1, 8000},     // a single sample
             {100, 0},      // infinite quotient
             {100, -8000},  // negative length
         }) {
        r = resample(std::vector<double>(n, 0.5), rate_in, 12000);
        EXPECT_EQ(r.status, -1) << n << " " << rate_in;
        EXPECT_EQ(r.out, std::vector<double>{-7.0});  // outputs untouched
        EXPECT_EQ(r.len, -7);
    }
    // Lengths beyond FFTW's int range are refused before anything is allocated.
    std::vector<double> out;
    std::int64_t len = -7;
    const double x = 0;
    EXPECT_EQ(resample_to_rate(&x, 3000000000LL, 48000, 12000, out, len), -1);
    EXPECT_EQ(resample_to_rate(&x, 1000000000LL, 12000, 48000, out, len), -1);
    EXPECT_EQ(len, -7);
}

}  // namespace
}  // namespace beacon
