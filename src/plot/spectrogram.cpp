#include "plot/spectrogram.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>

#include "fft/fftw_owner.hpp"
#include "pi4/frame.hpp"

namespace beacon::plot {
namespace {

constexpr int N = SPECTROGRAM_FFT;
constexpr int MAX_DECIMATION = 16;
static_assert(SPECTROGRAM_HOP % MAX_DECIMATION == 0 && N % MAX_DECIMATION == 0);

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

// A complex FFT of one size and its periodic Hann window, made on first use
// and kept for the life of the process. The plan's arrays only fix the
// alignment that every call's own arrays (from the same allocator) share.
struct SizedPlan {
    int size = 0;
    Buffer<fftwf_complex> in, out;
    fftwf_plan plan = nullptr;
    std::vector<float> window;
    ~SizedPlan() {
        if (plan == nullptr) return;
        const std::lock_guard<std::mutex> lock(fft::planner_mutex());
        fftwf_destroy_plan(plan);
    }
};

const SizedPlan* plan_of_size(int size) {
    static std::mutex mutex;
    static std::map<int, std::unique_ptr<SizedPlan>> made;
    const std::lock_guard<std::mutex> lock(mutex);
    if (const auto it = made.find(size); it != made.end()) return it->second.get();
    try {
        auto p = std::make_unique<SizedPlan>();
        p->size = size;
        p->in = allocate<fftwf_complex>(size);
        p->out = allocate<fftwf_complex>(size);
        if (!p->in || !p->out) return nullptr;
        {
            const std::lock_guard<std::mutex> planner(fft::planner_mutex());
            // Measuring would take time for no gain that shows among a
            // minute's other costs.
            p->plan =
                fftwf_plan_dft_1d(size, p->in.get(), p->out.get(), FFTW_FORWARD, FFTW_ESTIMATE);
        }
        if (p->plan == nullptr) return nullptr;
        p->window.resize(size);
        for (int i = 0; i < size; ++i)
            p->window[i] =
                static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / size));
        return made.emplace(size, std::move(p)).first->second.get();
    } catch (const std::bad_alloc&) {
        return nullptr;  // tried again on the next call
    }
}

// A signal as two arrays, real and imaginary parts, which the compiler
// vectorises better than interleaved pairs.
struct Complex {
    std::vector<float> re, im;
    std::size_t size() const { return re.size(); }
    void append(const float* r, const float* i, std::size_t n) {
        re.insert(re.end(), r, r + n);
        im.insert(im.end(), i, i + n);
    }
};

// A half-band low-pass filter (cut-off at a quarter of its input rate) that
// passes up to `pass` and stops from 1/2 - `pass` (both in cycles per
// sample) by some 80 dB: a Kaiser-windowed sinc. Its taps but the centre
// (1/2) are zero at even offsets; kept are those at offsets 1, 3, 5, ...,
// scaled for a gain of exactly 1 at 0 Hz.
std::vector<float> half_band(double pass) {
    constexpr double ATTENUATION_DB = 80.0;
    const double beta = 0.1102 * (ATTENUATION_DB - 8.7);
    const double transition = 0.5 - 2.0 * pass;
    const double length = (ATTENUATION_DB - 7.95) / (14.36 * transition) + 1.0;
    int reach = static_cast<int>(std::ceil((length - 1.0) / 2.0));
    if (reach % 2 == 0) ++reach;
    std::vector<double> h;
    double sum = 0.0;
    for (int n = 1; n <= reach; n += 2) {
        const double u = static_cast<double>(n) / (reach + 1);
        const double w =
            std::cyl_bessel_i(0.0, beta * std::sqrt(1.0 - u * u)) / std::cyl_bessel_i(0.0, beta);
        h.push_back(std::sin(std::numbers::pi * n / 2) / (std::numbers::pi * n) * w);
        sum += 2.0 * h.back();
    }
    std::vector<float> taps;
    for (double v : h)
        taps.push_back(static_cast<float>(v * 0.5 / sum));
    return taps;
}

// Outputs are made in blocks of this many, four at a time in a vector of
// four floats (GCC's generic vectors: SSE on x86-64, whatever the target
// has elsewhere).
constexpr std::size_t BLOCK = 64;
using V4 = float __attribute__((vector_size(16)));
using I4 = int __attribute__((vector_size(16)));
// The lanes of two vectors picked by constant indices: GCC and clang spell
// it differently (the fuzz build uses clang).
#if defined(__clang__)
#define SHUFFLE4(a, b, i0, i1, i2, i3) __builtin_shufflevector(a, b, i0, i1, i2, i3)
#else
#define SHUFFLE4(a, b, i0, i1, i2, i3) __builtin_shuffle(a, b, I4{i0, i1, i2, i3})
#endif
V4 load4(const float* p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void store4(float* p, V4 v) {
    std::memcpy(p, &v, sizeof v);
}

void product(float* __restrict y, const float* __restrict a, const float* __restrict b) {
    for (std::size_t m = 0; m < BLOCK; ++m)
        y[m] = a[m] * b[m];
}

// Halves the rate of a complex stream given piece by piece, the samples
// before the first and after the last taken as zero: output m is
// in[2m] / 2 + sum_j taps[j] * (in[2m - 2j - 1] + in[2m + 2j + 1]). Input is
// kept split into even and odd samples, so that each tap runs over
// neighbouring elements, and only as far back as outputs still need it: a
// minute passes through kilobytes rather than megabytes of fresh memory
// (whose page faults would cost more than the filtering). Outputs go on to
// the next halver, or to `out` after the last.
class Halver {
  public:
    Halver(std::vector<float> taps, Halver* next, Complex* out)
        : taps_(std::move(taps)),
          reach_(static_cast<std::ptrdiff_t>(2 * taps_.size() - 1)),
          next_stage_(next),
          out_(out) {
        for (std::vector<float>* v : {&even_re_, &even_im_, &odd_re_, &odd_im_})
            v->assign(taps_.size(), 0.0f);
        first_ = -(reach_ + 1);
    }

    void push(const float* re, const float* im, std::size_t n) {
        take(re, im, n);
        // Output m needs the input up to 2m + reach; whole blocks only.
        const std::ptrdiff_t ready = (last() - reach_) / 2 + 1 - next_;
        if (ready >= static_cast<std::ptrdiff_t>(BLOCK)) emit(next_ + ready / BLOCK * BLOCK);
    }

    // Makes the outputs that remain, of the samples up to the last pushed,
    // and passes the call on.
    void finish() {
        const std::vector<float> zeros(static_cast<std::size_t>(reach_ + 1), 0.0f);
        const std::ptrdiff_t received = last() + 1;
        take(zeros.data(), zeros.data(), zeros.size());
        emit((received + 1) / 2);
        if (next_stage_ != nullptr) next_stage_->finish();
    }

  private:
    std::ptrdiff_t last() const {
        return first_ + static_cast<std::ptrdiff_t>(even_re_.size() + odd_re_.size()) - 1;
    }

    void take(const float* re, const float* im, std::size_t n) {
        std::size_t i = 0;
        if (odd_re_.size() < even_re_.size() && n > 0) {
            odd_re_.push_back(re[0]);
            odd_im_.push_back(im[0]);
            i = 1;
        }
        const std::size_t pairs = (n - i) / 2, e = even_re_.size(), o = odd_re_.size();
        for (std::vector<float>* v : {&even_re_, &even_im_})
            v->resize(e + pairs);
        for (std::vector<float>* v : {&odd_re_, &odd_im_})
            v->resize(o + pairs);
        std::size_t k = 0;
        for (; k + 4 <= pairs; k += 4, i += 8) {  // deinterleaved four pairs at a time
            const V4 r0 = load4(re + i), r1 = load4(re + i + 4);
            const V4 i0 = load4(im + i), i1 = load4(im + i + 4);
            store4(even_re_.data() + e + k, SHUFFLE4(r0, r1, 0, 2, 4, 6));
            store4(odd_re_.data() + o + k, SHUFFLE4(r0, r1, 1, 3, 5, 7));
            store4(even_im_.data() + e + k, SHUFFLE4(i0, i1, 0, 2, 4, 6));
            store4(odd_im_.data() + o + k, SHUFFLE4(i0, i1, 1, 3, 5, 7));
        }
        for (; k < pairs; ++k, i += 2) {
            even_re_[e + k] = re[i];
            even_im_[e + k] = im[i];
            odd_re_[o + k] = re[i + 1];
            odd_im_[o + k] = im[i + 1];
        }
        if (i < n) {
            even_re_.push_back(re[i]);
            even_im_.push_back(im[i]);
        }
    }

    // Outputs next_ .. end - 1, then drops input that no later output needs.
    void emit(std::ptrdiff_t end) {
        float re[BLOCK], im[BLOCK];
        for (std::ptrdiff_t m = next_; m < end; m += BLOCK) {
            // even[b] is input 2m, odd[b + j] is 2m + 2j + 1.
            const std::ptrdiff_t b = m - first_ / 2;
            const std::size_t count = std::min<std::size_t>(BLOCK, end - m);
            if (count == BLOCK) {
                filter(even_re_.data() + b, odd_re_.data() + b, re);
                filter(even_im_.data() + b, odd_im_.data() + b, im);
            } else {
                filter_slowly(even_re_.data() + b, odd_re_.data() + b, re, count);
                filter_slowly(even_im_.data() + b, odd_im_.data() + b, im, count);
            }
            if (next_stage_ != nullptr)
                next_stage_->push(re, im, count);
            else
                out_->append(re, im, count);
        }
        next_ = std::max(next_, end);
        // Dropped a few thousand at a time, so that what stays is seldom moved.
        const std::ptrdiff_t drop = (2 * next_ - reach_ - 1 - first_) / 2;
        if (drop < 4096) return;
        for (std::vector<float>* v : {&even_re_, &even_im_, &odd_re_, &odd_im_})
            v->erase(v->begin(), v->begin() + drop);
        first_ += 2 * drop;
    }

    // Sixteen outputs at a time: four independent sums (named, so that
    // they stay in registers) hide the adder's latency.
    void filter(const float* even, const float* odd, float* y) const {
        static_assert(BLOCK % 16 == 0);
        for (std::size_t m = 0; m < BLOCK; m += 16) {
            V4 v0 = 0.5f * load4(even + m), v1 = 0.5f * load4(even + m + 4);
            V4 v2 = 0.5f * load4(even + m + 8), v3 = 0.5f * load4(even + m + 12);
            for (std::size_t j = 0; j < taps_.size(); ++j) {
                const float t = taps_[j];
                const float* a = odd + m - j - 1;
                const float* b = odd + m + j;
                v0 += t * (load4(a) + load4(b));
                v1 += t * (load4(a + 4) + load4(b + 4));
                v2 += t * (load4(a + 8) + load4(b + 8));
                v3 += t * (load4(a + 12) + load4(b + 12));
            }
            store4(y + m, v0);
            store4(y + m + 4, v1);
            store4(y + m + 8, v2);
            store4(y + m + 12, v3);
        }
    }
    void filter_slowly(const float* even, const float* odd, float* y, std::size_t count) const {
        for (std::size_t m = 0; m < count; ++m) {
            float v = 0.5f * even[m];
            for (std::size_t j = 0; j < taps_.size(); ++j)
                v += taps_[j] * (odd[m - j - 1] + odd[m + j]);
            y[m] = v;
        }
    }

    std::vector<float> taps_;
    std::ptrdiff_t reach_;
    Halver* next_stage_;
    Complex* out_;
    // Input from index first_ (even) on: even_[k] is first_ + 2k, odd_[k] first_ + 2k + 1.
    std::vector<float> even_re_, even_im_, odd_re_, odd_im_;
    std::ptrdiff_t first_ = 0;
    std::ptrdiff_t next_ = 0;  // the next output
};

// The samples times exp(-2 pi i k n / N), which moves bin k to 0, halved in
// rate `halvings` times (half-band filters passing `pass` cycles per sample
// of the input rate either side of 0) and appended to `out`; `more` is
// called whenever some were. The oscillator repeats every N samples: one
// period is made (by rotation in double, exact enough over N steps) and the
// samples pass in pieces of that length.
template <typename More>
void mix_and_decimate(std::span<const float> x, int k, int halvings, double pass, Complex& out,
                      const More& more) {
    std::vector<float> c(N), s(N), re(N), im(N);
    const std::complex<double> step = std::polar(1.0, -2.0 * std::numbers::pi * k / N);
    std::complex<double> z = 1.0;
    for (int i = 0; i < N; ++i, z *= step) {
        c[i] = static_cast<float>(z.real());
        s[i] = static_cast<float>(z.imag());
    }
    std::vector<std::unique_ptr<Halver>> halvers(static_cast<std::size_t>(halvings));
    for (int h = halvings - 1; h >= 0; --h)  // the last first, for the links
        halvers[h] = std::make_unique<Halver>(
            half_band(pass * (1 << h)), h + 1 < halvings ? halvers[h + 1].get() : nullptr, &out);
    static_assert(N % BLOCK == 0);
    for (std::size_t base = 0; base < x.size(); base += N) {
        const std::size_t n = std::min<std::size_t>(N, x.size() - base);
        const float* in = x.data() + base;
        std::size_t i = 0;
        for (; i + BLOCK <= n; i += BLOCK) {
            product(re.data() + i, in + i, c.data() + i);
            product(im.data() + i, in + i, s.data() + i);
        }
        for (; i < n; ++i) {
            re[i] = in[i] * c[i];
            im[i] = in[i] * s[i];
        }
        if (halvers.empty())
            out.append(re.data(), im.data(), n);
        else
            halvers[0]->push(re.data(), im.data(), n);
        more();
    }
    if (!halvers.empty()) halvers[0]->finish();
    more();
}

// out[i] = gain |z[i]|^2 for n complex numbers z (interleaved).
void powers(const float* z, int n, float gain, float* out) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const V4 a = load4(z + 2 * i), b = load4(z + 2 * i + 4);
        const V4 re = SHUFFLE4(a, b, 0, 2, 4, 6);
        const V4 im = SHUFFLE4(a, b, 1, 3, 5, 7);
        store4(out + i, gain * (re * re + im * im));
    }
    for (; i < n; ++i)
        out[i] = gain * (z[2 * i] * z[2 * i] + z[2 * i + 1] * z[2 * i + 1]);
}

// The band's half width in Hz that the filters must pass: its bins and the
// window's main lobe (two bins) beyond each end.
double pass_half_width(int rows) {
    return 0.5 * (rows + 4) * Spectrogram::bin_hz();
}

}  // namespace

double Spectrogram::bin_hz() {
    return static_cast<double>(PI4_SAMPLE_RATE) / N;
}

double Spectrogram::hop_s() {
    return static_cast<double>(SPECTROGRAM_HOP) / PI4_SAMPLE_RATE;
}

int spectrogram_decimation(int rows) {
    const double width = 2.0 * pass_half_width(rows);
    int d = 1;
    while (d < MAX_DECIMATION && width <= 0.8 * PI4_SAMPLE_RATE / (2 * d))
        d *= 2;
    return d;
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
    const int d = spectrogram_decimation(shape.rows);
    const int size = N / d, hop = SPECTROGRAM_HOP / d;
    const SizedPlan* plan = plan_of_size(size);
    Buffer<fftwf_complex> in = allocate<fftwf_complex>(size);
    Buffer<fftwf_complex> spectrum = allocate<fftwf_complex>(size);
    Buffer<float> power = allocate<float>(static_cast<std::size_t>(shape.rows));
    if (plan == nullptr || !in || !spectrum || !power) return SpectrogramStatus::out_of_memory;
    const int centre = shape.first_bin + shape.rows / 2;
    // Decimation divides a tone's DFT amplitude, and the noise's, by d.
    const auto gain = static_cast<float>(d) * static_cast<float>(d);
    const float* w = plan->window.data();
    // The decimated samples from index z_first on; columns are made as soon
    // as their samples are there, and samples no later column needs are
    // dropped, so that a minute's decimated signal is never held whole.
    Complex z;
    std::size_t z_first = 0;
    int c = 0;
    auto columns_ready = [&] {
        for (; c < shape.columns; ++c) {
            const std::size_t from = static_cast<std::size_t>(c) * hop;
            if (from + size > z_first + z.size()) break;
            const float* re = z.re.data() + (from - z_first);
            const float* im = z.im.data() + (from - z_first);
            float* to = in[0];
            for (int i = 0; i < size; i += 4) {  // interleaved, windowed
                const V4 r = load4(re + i) * load4(w + i), m = load4(im + i) * load4(w + i);
                store4(to + 2 * i, SHUFFLE4(r, m, 0, 4, 1, 5));
                store4(to + 2 * i + 4, SHUFFLE4(r, m, 2, 6, 3, 7));
            }
            fftwf_execute_dft(plan->plan, in.get(), spectrum.get());
            // The band's bins: from row 0's up to the end of the spectrum,
            // then on from its start (the negative frequencies).
            const int k = ((shape.first_bin - centre) % size + size) % size;  // of row 0
            const int upper = std::min(shape.rows, size - k);
            powers(spectrum[k], upper, gain, power.get());
            powers(spectrum[0], shape.rows - upper, gain, power.get() + upper);
            column(c, power.get());
        }
        const std::size_t spent =
            std::min(static_cast<std::size_t>(c) * hop, z_first + z.size()) - z_first;
        if (spent >= 4 * static_cast<std::size_t>(size)) {
            z.re.erase(z.re.begin(), z.re.begin() + static_cast<std::ptrdiff_t>(spent));
            z.im.erase(z.im.begin(), z.im.begin() + static_cast<std::ptrdiff_t>(spent));
            z_first += spent;
        }
    };
    try {
        // Each halving passes the band and stops what would fold onto it.
        mix_and_decimate(samples, centre, std::countr_zero(static_cast<unsigned>(d)),
                         pass_half_width(shape.rows) / PI4_SAMPLE_RATE, z, columns_ready);
    } catch (const std::bad_alloc&) {
        return SpectrogramStatus::out_of_memory;
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
