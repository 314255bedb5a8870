#include "plot/spectrogram.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>

#include "fft/fftw_owner.hpp"
#include "pi4/frame.hpp"

namespace beacon::plot {
namespace {

constexpr int N = SPECTROGRAM_FFT;
constexpr int NBINS = N / 2 + 1;

// Single precision: a picture needs no more.
struct FftwfFree {
    void operator()(void* p) const { fftwf_free(p); }
};
template <typename T>
using Buffer = std::unique_ptr<T[], FftwfFree>;
template <typename T>
Buffer<T> allocate(std::size_t n) {
    return Buffer<T>(static_cast<T*>(fftwf_malloc(n * sizeof(T))));
}

// The one plan of the process, made on first use and kept. Its arrays only
// fix the alignment that every call's own arrays (from the same allocator)
// share.
struct SharedPlan {
    Buffer<float> in = allocate<float>(N);
    Buffer<fftwf_complex> out = allocate<fftwf_complex>(NBINS);
    fftwf_plan plan = nullptr;
    std::vector<float> window;  // periodic Hann
    ~SharedPlan() {
        if (plan == nullptr) return;
        const std::lock_guard<std::mutex> lock(fft::planner_mutex());
        fftwf_destroy_plan(plan);
    }
};

const SharedPlan* shared_plan() {
    static std::mutex mutex;
    static std::unique_ptr<SharedPlan> made;
    const std::lock_guard<std::mutex> lock(mutex);
    if (made) return made.get();
    try {
        auto p = std::make_unique<SharedPlan>();
        if (!p->in || !p->out) return nullptr;
        {
            const std::lock_guard<std::mutex> planner(fft::planner_mutex());
            // Measuring would take a second of planning for no gain that
            // shows among a minute's other costs.
            p->plan = fftwf_plan_dft_r2c_1d(N, p->in.get(), p->out.get(), FFTW_ESTIMATE);
        }
        if (p->plan == nullptr) return nullptr;
        p->window.resize(N);
        for (int i = 0; i < N; ++i)
            p->window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / N));
        made = std::move(p);
    } catch (const std::bad_alloc&) {
        return nullptr;  // tried again on the next call
    }
    return made.get();
}

}  // namespace

double Spectrogram::bin_hz() {
    return static_cast<double>(PI4_SAMPLE_RATE) / N;
}

double Spectrogram::hop_s() {
    return static_cast<double>(SPECTROGRAM_HOP) / PI4_SAMPLE_RATE;
}

Spectrogram spectrogram_shape(std::size_t n_samples, double t0_s, double f_lo_hz, double f_hi_hz) {
    Spectrogram s;
    s.t0_s = t0_s + 0.5 * N / PI4_SAMPLE_RATE;
    if (n_samples >= static_cast<std::size_t>(N))
        s.columns = static_cast<int>((n_samples - N) / SPECTROGRAM_HOP + 1);
    const double lo = std::max(f_lo_hz, 0.0) / Spectrogram::bin_hz();
    const double hi = std::min(f_hi_hz, PI4_SAMPLE_RATE / 2.0) / Spectrogram::bin_hz();
    if (std::isfinite(lo) && std::isfinite(hi) && std::ceil(lo) <= std::floor(hi)) {
        s.first_bin = static_cast<int>(std::ceil(lo));
        s.rows = static_cast<int>(std::floor(hi)) - s.first_bin + 1;
    }
    return s;
}

SpectrogramStatus for_each_column(std::span<const float> samples, const Spectrogram& shape,
                                  const std::function<void(int, const float*)>& column) {
    if (shape.columns == 0) return SpectrogramStatus::too_short;
    if (shape.rows == 0) return SpectrogramStatus::empty_band;
    const SharedPlan* shared = shared_plan();
    Buffer<float> in = allocate<float>(N);
    Buffer<fftwf_complex> spectrum = allocate<fftwf_complex>(NBINS);
    Buffer<float> power = allocate<float>(static_cast<std::size_t>(shape.rows));
    if (shared == nullptr || !in || !spectrum || !power) return SpectrogramStatus::out_of_memory;
    const float* w = shared->window.data();
    for (int c = 0; c < shape.columns; ++c) {
        const float* x = samples.data() + static_cast<std::size_t>(c) * SPECTROGRAM_HOP;
        // The arrays are distinct: ivdep spares the vectoriser its overlap test.
#pragma GCC ivdep
        for (int i = 0; i < N; ++i)
            in[i] = w[i] * x[i];
        fftwf_execute_dft_r2c(shared->plan, in.get(), spectrum.get());
        for (int r = 0; r < shape.rows; ++r) {
            const fftwf_complex& z = spectrum[shape.first_bin + r];
            power[r] = z[0] * z[0] + z[1] * z[1];
        }
        column(c, power.get());
    }
    return SpectrogramStatus::ok;
}

SpectrogramStatus compute_spectrogram(std::span<const float> samples, double t0_s, double f_lo_hz,
                                      double f_hi_hz, Spectrogram& out) {
    out = spectrogram_shape(samples.size(), t0_s, f_lo_hz, f_hi_hz);
    if (out.columns > 0 && out.rows > 0) {
        try {
            out.power.resize(static_cast<std::size_t>(out.columns) * out.rows);
        } catch (const std::bad_alloc&) {
            return SpectrogramStatus::out_of_memory;
        }
    }
    return for_each_column(samples, out, [&out](int c, const float* power) {
        std::copy(power, power + out.rows,
                  out.power.begin() + static_cast<std::ptrdiff_t>(c) * out.rows);
    });
}

}  // namespace beacon::plot
