#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "audio/audio.hpp"
#include "fft/fftw_owner.hpp"

namespace beacon {
namespace {

// FFTW's planner aborts the process when it cannot allocate its own working
// memory (twiddle tables, and for a length with a large prime factor p the
// buffers of Bluestein's algorithm, of a power of two at least 2p - 1). So
// before a transform of n points is planned, an upper bound of that memory is
// allocated and released again: when it cannot be had, the resampler fails
// instead of the process. The bound, 16 * (2n + 2p + 4 * nb) bytes, is at
// least 1.7 times what the planner was measured to take (peak address space,
// for 27 lengths up to 5e6: primes, semiprimes and smooth lengths); for
// smooth lengths it is about the size of the resampler's own two buffers.
std::size_t largest_prime_factor(std::size_t n) {
    std::size_t p = 1;
    for (std::size_t d = 2; d * d <= n; ++d) {
        while (n % d == 0) {
            p = d;
            n /= d;
        }
    }
    return n > 1 ? n : p;
}

bool planner_memory_available(int n) {
    const std::size_t len = static_cast<std::size_t>(n);
    const std::size_t p = largest_prime_factor(len);
    std::size_t nb = 1;
    while (nb < 2 * p - 1)
        nb *= 2;
    const std::size_t complex_elements = 2 * len + 2 * p + 4 * nb;
    return fft::planner_memory_available(complex_elements * sizeof(fftw_complex));
}

}  // namespace

int resample_to_rate(std::span<const double> in, std::int32_t rate_in, std::int32_t rate_out,
                     std::vector<double>& out) {
    if (rate_in == rate_out) {
        try {
            out.assign(in.begin(), in.end());
        } catch (const std::exception&) {
            return -1;
        }
        return 0;
    }
    const double* const in_samples = in.data();
    const auto in_len = static_cast<std::int64_t>(in.size());

    // A zero or negative rate gives an infinite or negative quotient: no
    // usable length. FFTW takes lengths as int.
    const double q =
        static_cast<double>(rate_out) * static_cast<double>(in_len) / static_cast<double>(rate_in);
    if (in_len <= 1 || !(q >= 1.5) || !(q < INT_MAX + 0.5) || in_len > INT_MAX) return -1;
    const long long n_out = std::llround(q);
    const int n_in = static_cast<int>(in_len);
    const int n = static_cast<int>(n_out);

    fft::Buffer<fftw_complex> spectrum;
    {
        auto time_in = fft::allocate<fftw_complex>(n_in);
        spectrum = fft::allocate<fftw_complex>(n_in);
        if (!time_in || !spectrum) return -1;
        for (int t = 0; t < n_in; ++t) {
            time_in[t][0] = in_samples[t];
            time_in[t][1] = 0.0;
        }
        if (!planner_memory_available(n_in)) return -1;
        const fft::Plan forward =
            fft::Plan::dft_1d(n_in, time_in.get(), spectrum.get(), FFTW_FORWARD);
        forward.execute();
    }

    auto out_spectrum = fft::allocate<fftw_complex>(n);
    if (!out_spectrum) return -1;
    std::memset(out_spectrum.get(), 0, sizeof(fftw_complex) * static_cast<std::size_t>(n));
    // Bins 0..h on the positive side; 1..h-1 mirrored on the negative side.
    // For an odd shorter length bin -h is not copied.
    const int h = std::min(n_in, n) / 2;
    for (int k = 0; k <= h; ++k) {
        out_spectrum[k][0] = spectrum[k][0];
        out_spectrum[k][1] = spectrum[k][1];
    }
    if (h > 1) {
        for (int k = 1; k <= h - 1; ++k) {
            out_spectrum[n - k][0] = spectrum[n_in - k][0];
            out_spectrum[n - k][1] = spectrum[n_in - k][1];
        }
    }
    spectrum.reset();

    auto time_out = fft::allocate<fftw_complex>(n);
    if (!time_out || !planner_memory_available(n)) return -1;
    {
        const fft::Plan backward =
            fft::Plan::dft_1d(n, out_spectrum.get(), time_out.get(), FFTW_BACKWARD);
        backward.execute();
    }
    out_spectrum.reset();

    std::vector<double> result;
    try {
        result.resize(static_cast<std::size_t>(n));
    } catch (const std::exception&) {
        return -1;
    }
    const double scale = 1.0 / static_cast<double>(in_len);
    for (int t = 0; t < n; ++t)
        result[t] = time_out[t][0] * scale;
    out = std::move(result);
    return 0;
}

}  // namespace beacon
