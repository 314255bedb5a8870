#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "audio/audio.hpp"
#include "fft/fftw_owner.hpp"

namespace beacon {

int resample_to_rate(const double* in_samples, std::int64_t in_len, std::int32_t rate_in,
                     std::int32_t rate_out, std::vector<double>& out_samples,
                     std::int64_t& out_len) {
    if (rate_in == rate_out) {
        try {
            std::vector<double> copy(in_samples, in_samples + in_len);
            out_samples = std::move(copy);
        } catch (const std::exception&) {
            return -1;
        }
        out_len = in_len;
        return 0;
    }

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
    if (!time_out) return -1;
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
    out_samples = std::move(result);
    out_len = n_out;
    return 0;
}

}  // namespace beacon
