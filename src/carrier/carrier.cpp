#include "carrier/carrier.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <map>
#include <new>
#include <numbers>
#include <vector>

#include "fft/fftw_owner.hpp"
#include "pi4/frame.hpp"

namespace beacon {
namespace {

using cd = std::complex<double>;
// Two doubles in one SSE2 register: a complex number's parts, added and
// scaled together.
typedef double Pair __attribute__((vector_size(16)));

constexpr double FS = PI4_SAMPLE_RATE;
constexpr double TWO_PI = 2.0 * std::numbers::pi;

// Baseband: the band plus room either side for the noise estimate next to
// the carrier, filtered to STOPBAND_DB, sampled at about RATE_PER_PASSBAND
// times the passband's half width.
constexpr double NOISE_MARGIN_HZ = 50.0;
constexpr double STOPBAND_DB = 60.0;
constexpr double RATE_PER_PASSBAND = 5.0;
// Detection: spectra of pieces of about PIECE_S summed without phase, so
// that a drifting carrier stays within a few bins of each.
constexpr double PIECE_S = 9.0;
constexpr double MAX_DRIFT_HZ_PER_S = 1.25 / 60.0;
// The threshold makes the chance that noise alone crosses it in a minute at
// most FALSE_ALARM, counting CELLS_PER_BIN independent cells per band bin of
// a piece and drift. Zero padding and the drift shifts make neighbouring
// cells alike, so that count is generous: on noise, 0.4% of minutes cross
// it with a band of +/- 150 Hz and 0.3% with +/- 3 Hz (bench/carrier_sweep,
// 4000 minutes each).
constexpr double FALSE_ALARM = 0.005;
constexpr double CELLS_PER_BIN = 3.0;
// Keying: 20 ms blocks resolve 100 ms Morse dots; the steady carrier follows
// a letter space of three dots at 12 words per minute.
constexpr int BLOCK_SAMPLES = 240;
constexpr double BLOCK_S = BLOCK_SAMPLES / FS;
constexpr double ID_UNIT_S = 0.1;
constexpr double LETTER_GAP_S = 3 * ID_UNIT_S;
constexpr double MIN_SEGMENT_S = 3.0;
// Below this SNR a Morse dot holds under 1.6 times the noise density in
// carrier energy (the letter space under 5 times): the keying is lost in the
// noise, the likeliest start wanders into the Morse code (at -25 dB half of
// the starts are more than 0.2 s off), and the segment starts at
// CARRIER_DEFAULT_ID_S after seg_from_s instead. Its end is still the
// likeliest one: the carrier's stop has nothing keyed after it.
constexpr double KEYING_MIN_SNR_DB = -22.0;
// Fine search: the peak lies within this of the detection's frequency; the
// noise is measured beyond NOISE_EXCLUDE_HZ of it.
constexpr double FINE_SPAN_HZ = 0.5;
constexpr double NOISE_EXCLUDE_HZ = 2.0;

double frac(double x) {
    return x - std::floor(x);
}

// Smallest 2^a 3^b at least n: sizes FFTW transforms fast.
int smooth_size(int n) {
    int best = std::numeric_limits<int>::max();
    for (long long p3 = 1; p3 < 2LL * n + 2; p3 *= 3) {
        long long v = p3;
        while (v < n)
            v *= 2;
        best = static_cast<int>(std::min<long long>(best, v));
    }
    return best;
}

// Upper tail of the sum of k unit exponentials (chi-square with 2k degrees
// of freedom, halved): exp(-g) * sum_{i<k} g^i / i!.
double gamma_tail(int k, double g) {
    double term = 1.0, sum = 1.0;
    for (int i = 1; i < k; ++i) {
        term *= g / i;
        sum += term;
    }
    return std::exp(-g) * sum;
}

// The level that the maximum of `cells` independent such sums exceeds with
// probability p.
double gamma_threshold(int k, double cells, double p) {
    const double target = p / std::max(cells, 1.0);
    double lo = 0.0, hi = 400.0;
    for (int it = 0; it < 100; ++it) {
        const double mid = 0.5 * (lo + hi);
        (gamma_tail(k, mid) > target ? lo : hi) = mid;
    }
    return hi;
}

// I0, the modified Bessel function of order 0, by its power series: the
// Kaiser window's shape. (std::cyl_bessel_i calls lgamma, which writes the
// global signgam: a data race between meters on two threads.)
double bessel_i0(double x) {
    const double q = 0.25 * x * x;
    double term = 1.0, sum = 1.0;
    for (int k = 1; k < 100 && term > 1e-17 * sum; ++k) {
        term *= q / (static_cast<double>(k) * k);
        sum += term;
    }
    return sum;
}

double median_of(std::vector<double>& v) {
    auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// exp(i (c0 + c1 k + c2 k^2)) for k = 0, 1, 2, ...: two complex products a
// step, recomputed exactly every 64 steps so that rounding cannot build up.
class Phasor {
  public:
    Phasor(double c0, double c1, double c2)
        : c0_(c0), c1_(c1), c2_(c2), step_(std::polar(1.0, 2 * c2)) {
        sync();
    }
    cd next() {
        const cd v = p_;
        if (++k_ % 64 == 0) {
            sync();
        } else {
            p_ *= inc_;
            inc_ *= step_;
        }
        return v;
    }

  private:
    void sync() {
        const double k = static_cast<double>(k_);
        p_ = std::polar(1.0, c0_ + c1_ * k + c2_ * k * k);
        inc_ = std::polar(1.0, c1_ + c2_ * (2 * k + 1));
    }
    double c0_, c1_, c2_;
    cd step_;
    long long k_ = 0;
    cd p_, inc_;
};

// exp(-i (2 pi nu tau + pi d tau^2)) at tau = tau0 + k dt, k = 0, 1, ...
Phasor dechirp(double nu, double d, double tau0, double dt) {
    const double pi = std::numbers::pi;
    return Phasor(-(2 * pi * nu * tau0 + pi * d * tau0 * tau0),
                  -(2 * pi * nu * dt + 2 * pi * d * tau0 * dt), -pi * d * dt * dt);
}

// A forward complex FFT of one size with its input and output arrays.
struct FftSlot {
    fft::Buffer<fftw_complex> in, out;
    fft::Plan plan;
    int n = 0;
    cd* input() { return reinterpret_cast<cd*>(in.get()); }
    const cd* output() const { return reinterpret_cast<const cd*>(out.get()); }
};

// Frequency (Hz) of bin j of an n-point FFT at `rate`: negative above n / 2.
double bin_hz(int j, int n, double rate) {
    return (j < n / 2 ? j : j - n) * rate / n;
}

// The carrier model over blocks: amp * exp(i (2 pi nu tau + pi drift tau^2)),
// tau in seconds from the fitted span's middle.
struct Fit {
    double nu = 0.0;     // Hz from the blocks' mixing frequency
    double drift = 0.0;  // Hz per second
    cd amp;
    double power = 0.0;   // |sum of the dechirped blocks|^2 at the peak
    int b0 = 0, b1 = 0;   // blocks fitted: [b0, b1)
    double centre = 0.0;  // block index of the middle
    double noise = 0.0;   // noise power of one block
};

struct Segment {
    int s = 0, e = 0;  // blocks [s, e)
};

}  // namespace

double carrier_crb_hz(double snr_db, double seconds) {
    const double cn0 = 2500.0 * std::pow(10.0, snr_db / 10.0);
    return std::sqrt(6.0 / (TWO_PI * TWO_PI * cn0 * seconds * seconds * seconds));
}

struct CarrierMeter::State {
    std::map<int, FftSlot> ffts;
    std::vector<Pair> taps;  // filter taps times the mixing phasor
    std::vector<cd> z;       // baseband
    std::vector<cd> y;       // 20 ms block sums
    std::vector<std::vector<double>> spectra;
    std::vector<double> stat, scratch, cum, cum_free;

    FftSlot& fft(int n);
    CarrierMeasurement run(std::span<const float> x, double t0, const CarrierSearch& search);

    // Baseband quantities of the current call.
    double fb = 0, rate = 0, passband = 0, t_z0 = 0;
    int decim = 1, ntaps = 1;
    void baseband(std::span<const float> x, std::size_t i0, std::size_t i1);

    // Detection: best statistic, its baseband frequency and drift.
    struct Coarse {
        double stat = 0, nu = 0, drift = 0, threshold = 0;
        double drift_step = 0;
    };
    Coarse detect(double half);

    // Blocks: y[b] sums Q baseband samples mixed down by nu_mix more.
    double nu_mix = 0, block_s = 0;
    int q = 1;
    void blocks();
    double block_start_s(int b) const {
        return t_z0 + (static_cast<double>(b) * q - 0.5) * decim / FS;
    }

    Fit fit(int b0, int b1, double d_lo, double d_hi);
    void newton(Fit& f) const;
    void measure_noise(Fit& f);
    Segment segment(const Fit& f, int min_blocks, int fixed_start);
};

FftSlot& CarrierMeter::State::fft(int n) {
    auto it = ffts.find(n);
    if (it != ffts.end()) return it->second;
    FftSlot slot;
    slot.n = n;
    slot.in = fft::allocate<fftw_complex>(static_cast<std::size_t>(n));
    slot.out = fft::allocate<fftw_complex>(static_cast<std::size_t>(n));
    if (!slot.in || !slot.out) throw std::bad_alloc();
    slot.plan = fft::Plan::dft_1d(n, slot.in.get(), slot.out.get(), FFTW_FORWARD);
    if (!slot.plan) throw std::bad_alloc();
    return ffts.emplace(n, std::move(slot)).first->second;
}

// Mixes x[i0, i1) down by fb and low-pass filters it to +/- passband with a
// Kaiser-windowed sinc, keeping every decim-th output. Output k is centred
// on input sample i0 + k * decim + (ntaps - 1) / 2.
void CarrierMeter::State::baseband(std::span<const float> x, std::size_t i0, std::size_t i1) {
    // The largest decimation that keeps the rate and divides a block, so
    // that blocks and Morse units are whole numbers of baseband samples.
    decim = 1;
    for (int d = 1; d <= BLOCK_SAMPLES; ++d)
        if (BLOCK_SAMPLES % d == 0 && FS / d >= RATE_PER_PASSBAND * passband) decim = d;
    rate = FS / decim;
    const double transition = (rate - passband) - passband;
    ntaps =
        static_cast<int>(std::ceil((STOPBAND_DB - 8.0) / (2.285 * TWO_PI * transition / FS))) | 1;
    const double cutoff = 0.5 * rate / FS;  // midway between passband and stopband
    const double beta = 0.1102 * (STOPBAND_DB - 8.7);
    taps.resize(static_cast<std::size_t>(ntaps));
    const double mid = 0.5 * (ntaps - 1);
    double sum = 0;
    for (int m = 0; m < ntaps; ++m) {
        const double u = (m - mid) / mid;
        const double arg = 2.0 * cutoff * (m - mid);
        const double sinc =
            arg == 0 ? 1.0 : std::sin(std::numbers::pi * arg) / (std::numbers::pi * arg);
        const double w = bessel_i0(beta * std::sqrt(std::max(0.0, 1 - u * u)));
        taps[static_cast<std::size_t>(m)] = Pair{sinc * w, 0.0};
        sum += sinc * w;
    }
    for (int m = 0; m < ntaps; ++m) {
        const double h = taps[static_cast<std::size_t>(m)][0] / sum;
        const double ph = -TWO_PI * frac(fb * m / FS);
        taps[static_cast<std::size_t>(m)] = Pair{h * std::cos(ph), h * std::sin(ph)};
    }
    const std::size_t count = (i1 - i0 - static_cast<std::size_t>(ntaps)) / decim + 1;
    z.resize(count);
    Phasor rot(-TWO_PI * frac(fb * static_cast<double>(i0) / FS), -TWO_PI * frac(fb * decim / FS),
               0.0);
    const Pair* c = taps.data();
    for (std::size_t k = 0; k < count; ++k) {
        const float* xp = x.data() + i0 + k * static_cast<std::size_t>(decim);
        // Four partial sums, so that the additions need not wait on each
        // other; each a (real, imaginary) pair in one vector register.
        Pair s0{0, 0}, s1{0, 0}, s2{0, 0}, s3{0, 0};
        int m = 0;
        for (; m + 3 < ntaps; m += 4) {
            s0 += static_cast<double>(xp[m]) * c[m];
            s1 += static_cast<double>(xp[m + 1]) * c[m + 1];
            s2 += static_cast<double>(xp[m + 2]) * c[m + 2];
            s3 += static_cast<double>(xp[m + 3]) * c[m + 3];
        }
        for (; m < ntaps; ++m)
            s0 += static_cast<double>(xp[m]) * c[m];
        const Pair sum = (s0 + s1) + (s2 + s3);
        z[k] = cd(sum[0], sum[1]) * rot.next();
    }
}

// Splits the baseband into pieces of about PIECE_S, normalises each
// piece's zero-padded power spectrum by its noise (the median over the
// passband) and sums them, each shifted by what a drift would move it, for
// every drift up to MAX_DRIFT_HZ_PER_S. The best sum within +/- half of the
// centre is the detection.
CarrierMeter::State::Coarse CarrierMeter::State::detect(double half) {
    const int nz = static_cast<int>(z.size());
    const int pieces = std::max(1, static_cast<int>(std::lround(nz / rate / PIECE_S)));
    const int len = nz / pieces;
    FftSlot& f = fft(smooth_size(2 * len));
    const int n = f.n;
    const double bin = rate / n;
    const int jmax = static_cast<int>(std::floor(half / bin));
    const double tmax = 0.5 * (pieces - 1) * len / rate;  // farthest piece centre from the middle
    const double dstep = pieces > 1 ? bin / tmax : 1.0;
    const int hmax = pieces > 1 ? static_cast<int>(std::ceil(MAX_DRIFT_HZ_PER_S / dstep)) : 0;
    auto shift_of = [&](int h, int i) {
        const double tc = (i - 0.5 * (pieces - 1)) * len / rate;
        return static_cast<int>(std::lround(h * dstep * tc / bin));
    };
    // Each piece's bins -w .. w, normalised, at band[i][j + w].
    const int w = jmax + 1 + std::abs(shift_of(hmax, 0));
    spectra.resize(static_cast<std::size_t>(pieces));
    for (int i = 0; i < pieces; ++i) {
        cd* in = f.input();
        std::copy(z.begin() + static_cast<std::ptrdiff_t>(i) * len,
                  z.begin() + static_cast<std::ptrdiff_t>(i + 1) * len, in);
        std::fill(in + len, in + n, cd(0, 0));
        f.plan.execute();
        scratch.clear();
        const int jp = std::min(n / 2 - 1, static_cast<int>(passband / bin));
        for (int j = -jp; j <= jp; j += 2)  // every other bin: the padding makes neighbours alike
            scratch.push_back(std::norm(f.output()[(j + n) % n]));
        const double noise = median_of(scratch) / std::numbers::ln2;
        std::vector<double>& band = spectra[static_cast<std::size_t>(i)];
        band.resize(static_cast<std::size_t>(2 * w + 1));
        for (int j = -w; j <= w; ++j)
            band[static_cast<std::size_t>(j + w)] =
                std::norm(f.output()[((j % n) + n) % n]) / noise;
    }

    Coarse best;
    best.stat = -1;
    best.drift_step = pieces > 1 ? dstep : MAX_DRIFT_HZ_PER_S;
    const std::size_t width = static_cast<std::size_t>(2 * jmax + 3);  // bins -jmax-1 .. jmax+1
    stat.resize(width);
    for (int h = -hmax; h <= hmax; ++h) {
        std::fill(stat.begin(), stat.end(), 0.0);
        for (int i = 0; i < pieces; ++i) {
            const double* src =
                spectra[static_cast<std::size_t>(i)].data() + (w - jmax - 1 + shift_of(h, i));
            for (std::size_t j = 0; j < width; ++j)
                stat[j] += src[j];
        }
        for (int j = -jmax; j <= jmax; ++j) {
            const double v = stat[static_cast<std::size_t>(j + jmax + 1)];
            if (v <= best.stat) continue;
            const double a = stat[static_cast<std::size_t>(j + jmax)];
            const double c = stat[static_cast<std::size_t>(j + jmax + 2)];
            const double den = a - 2 * v + c;
            const double off = den < 0 ? std::clamp(0.5 * (a - c) / den, -0.5, 0.5) : 0.0;
            best.stat = v;
            best.nu = (j + off) * bin;
            best.drift = h * dstep;
        }
    }
    const double cells = CELLS_PER_BIN * (2 * half * len / rate) * (2 * hmax + 1);
    best.threshold = gamma_threshold(pieces, cells, FALSE_ALARM);
    return best;
}

// Sums of Q baseband samples (about BLOCK_S) mixed down by nu_mix: a
// carrier near nu_mix passes unchanged, and the sums of white noise stay
// white.
void CarrierMeter::State::blocks() {
    q = BLOCK_SAMPLES / decim;
    block_s = BLOCK_S;
    const std::size_t nb = z.size() / static_cast<std::size_t>(q);
    y.resize(nb);
    for (std::size_t b = 0; b < nb; ++b) {
        cd acc(0, 0);
        const std::size_t k0 = b * static_cast<std::size_t>(q);
        Phasor mix(-TWO_PI * frac(nu_mix * static_cast<double>(k0) / rate), -TWO_PI * nu_mix / rate,
                   0.0);
        for (int j = 0; j < q; ++j)
            acc += z[k0 + static_cast<std::size_t>(j)] * mix.next();
        y[b] = acc;
    }
}

// The sum S = sum_b y_b exp(-i theta_b), theta_b = 2 pi nu tau_b + pi d tau_b^2,
// and its first and second derivatives in nu and d.
namespace {
struct Sums {
    cd s, sn, sd, snn, sdd, snd;
};
Sums periodogram_sums(const std::vector<cd>& y, int b0, int b1, double centre, double block_s,
                      double nu, double d) {
    Sums r{};
    Phasor ph = dechirp(nu, d, (b0 - centre) * block_s, block_s);
    for (int b = b0; b < b1; ++b) {
        const double tau = (b - centre) * block_s;
        const cd v = y[static_cast<std::size_t>(b)] * ph.next();
        const double gn = TWO_PI * tau;                  // d theta / d nu
        const double gd = std::numbers::pi * tau * tau;  // d theta / d d
        const cd mi(0, -1);
        r.s += v;
        r.sn += mi * gn * v;
        r.sd += mi * gd * v;
        r.snn -= gn * gn * v;
        r.sdd -= gd * gd * v;
        r.snd -= gn * gd * v;
    }
    return r;
}
}  // namespace

// Newton steps on the periodogram |S(nu, d)|^2 from the grid's best point;
// a step is kept only when the periodogram grows.
void CarrierMeter::State::newton(Fit& f) const {
    const double span = static_cast<double>(f.b1 - f.b0) * block_s;
    for (int it = 0; it < 12; ++it) {
        const Sums r = periodogram_sums(y, f.b0, f.b1, f.centre, block_s, f.nu, f.drift);
        const double p = std::norm(r.s);
        const double gn = 2 * std::real(r.sn * std::conj(r.s));
        const double gd = 2 * std::real(r.sd * std::conj(r.s));
        const double hnn = 2 * std::real(r.snn * std::conj(r.s)) + 2 * std::norm(r.sn);
        const double hdd = 2 * std::real(r.sdd * std::conj(r.s)) + 2 * std::norm(r.sd);
        const double hnd =
            2 * std::real(r.snd * std::conj(r.s)) + 2 * std::real(r.sn * std::conj(r.sd));
        const double det = hnn * hdd - hnd * hnd;
        double dn, dd;
        if (hnn < 0 && det > 0) {
            dn = -(hdd * gn - hnd * gd) / det;
            dd = -(hnn * gd - hnd * gn) / det;
        } else {
            // Not concave here: a small step uphill in frequency.
            dn = (gn > 0 ? 0.05 : -0.05) / span;
            dd = 0.0;
        }
        // Within a quarter of the main lobe and a grid step of drift, so
        // that noise far off cannot pull the estimate away.
        dn = std::clamp(dn, -0.25 / span, 0.25 / span);
        dd = std::clamp(dd, -1.0 / (span * span), 1.0 / (span * span));
        bool moved = false;
        for (int half = 0; half < 6; ++half) {
            const Sums t =
                periodogram_sums(y, f.b0, f.b1, f.centre, block_s, f.nu + dn, f.drift + dd);
            if (std::norm(t.s) >= p) {
                f.nu += dn;
                f.drift += dd;
                f.power = std::norm(t.s);
                f.amp = t.s / static_cast<double>(f.b1 - f.b0);
                moved = true;
                break;
            }
            dn *= 0.5;
            dd *= 0.5;
        }
        if (!moved) {
            f.power = p;
            f.amp = r.s / static_cast<double>(f.b1 - f.b0);
            return;
        }
        if (std::abs(dn) * span < 1e-7 && std::abs(dd) * span * span < 1e-6) return;
    }
}

// Grid of drifts from d_lo to d_hi a step 1/T^2 apart (the chirp left over
// between two steps costs under 0.1 dB); for each, a zero-padded FFT of the
// dechirped blocks. The best bin within FINE_SPAN_HZ, refined.
Fit CarrierMeter::State::fit(int b0, int b1, double d_lo, double d_hi) {
    Fit f;
    f.b0 = b0;
    f.b1 = b1;
    f.centre = 0.5 * (b0 + b1 - 1);
    const int nblk = b1 - b0;
    const double t = nblk * block_s;
    const double step = 1.0 / (t * t);
    const int steps = std::max(0, static_cast<int>(std::ceil((d_hi - d_lo) / step)));
    FftSlot& slot = fft(smooth_size(2 * nblk));
    const int n = slot.n;
    const double brate = 1.0 / block_s;
    const int jspan = static_cast<int>(std::ceil(FINE_SPAN_HZ * n / brate));
    double best = -1;
    for (int h = 0; h <= steps; ++h) {
        const double d = steps == 0 ? 0.5 * (d_lo + d_hi) : d_lo + (d_hi - d_lo) * h / steps;
        cd* in = slot.input();
        Phasor ph = dechirp(0.0, d, (b0 - f.centre) * block_s, block_s);
        for (int b = b0; b < b1; ++b)
            in[b - b0] = y[static_cast<std::size_t>(b)] * ph.next();
        std::fill(in + nblk, in + n, cd(0, 0));
        slot.plan.execute();
        const cd* out = slot.output();
        for (int j = -jspan; j <= jspan; ++j) {
            const double v = std::norm(out[(j + n) % n]);
            if (v <= best) continue;
            const double a = std::abs(out[(j - 1 + n) % n]);
            const double c = std::abs(out[(j + 1 + n) % n]);
            const double m = std::sqrt(v);
            const double den = a - 2 * m + c;
            const double off = den < 0 ? std::clamp(0.5 * (a - c) / den, -0.5, 0.5) : 0.0;
            best = v;
            f.nu = (j + off) * brate / n;
            f.drift = d;
        }
    }
    newton(f);
    return f;
}

// Noise power of one block: the median of a Hann-windowed periodogram of
// the dechirped fitted blocks, away from the carrier (the median, so that
// other weak tones in the band do not count).
void CarrierMeter::State::measure_noise(Fit& f) {
    const int nblk = f.b1 - f.b0;
    FftSlot& slot = fft(smooth_size(nblk));
    const int n = slot.n;
    cd* in = slot.input();
    double w2 = 0;
    Phasor ph = dechirp(0.0, f.drift, (f.b0 - f.centre) * block_s, block_s);
    for (int b = f.b0; b < f.b1; ++b) {
        const double w = 0.5 - 0.5 * std::cos(TWO_PI * (b - f.b0 + 0.5) / nblk);
        w2 += w * w;
        in[b - f.b0] = w * y[static_cast<std::size_t>(b)] * ph.next();
    }
    std::fill(in + nblk, in + n, cd(0, 0));
    slot.plan.execute();
    scratch.clear();
    const double brate = 1.0 / block_s;
    for (int j = 0; j < n; ++j) {
        if (std::abs(bin_hz(j, n, brate) - f.nu) > NOISE_EXCLUDE_HZ)
            scratch.push_back(std::norm(slot.output()[j]));
    }
    f.noise = median_of(scratch) / std::numbers::ln2 / w2;
}

// Log-likelihood ratio of 'on' for each block against the fitted carrier,
// then the segment [s, e) of greatest likelihood under this model: on
// within it; off in the letter space before s and from e to the end; before
// the letter space, Morse code: dot-long units back from it, each on or off
// with even odds. That model costs ln 2 a unit for its freedom, so a steady
// carrier is not taken for Morse, while a Morse gap inside [s, e) costs its
// whole ratio. With fixed_start >= 0 only the end is sought.
Segment CarrierMeter::State::segment(const Fit& f, int min_blocks, int fixed_start) {
    const int nb = static_cast<int>(y.size());
    cum.assign(static_cast<std::size_t>(nb) + 1, 0.0);
    const double a2 = std::norm(f.amp);
    Phasor ph = dechirp(f.nu, f.drift, -f.centre * block_s, block_s);
    for (int b = 0; b < nb; ++b) {
        const cd m = f.amp * std::conj(ph.next());
        // ln p(y | on) - ln p(y | off) for complex Gaussian noise of power f.noise.
        const double llr =
            (2 * std::real(y[static_cast<std::size_t>(b)] * std::conj(m)) - a2) / f.noise;
        cum[static_cast<std::size_t>(b) + 1] = cum[static_cast<std::size_t>(b)] + llr;
    }
    // cum_free[p]: the Morse model's ratio of the whole units that end at p,
    // p - unit, ...: ln((p(on) + p(off)) / 2) - ln p(off) for each.
    const int unit = std::max(1, static_cast<int>(std::lround(ID_UNIT_S / block_s)));
    cum_free.assign(static_cast<std::size_t>(nb) + 1, 0.0);
    for (int p = unit; p <= nb; ++p) {
        const double u = cum[static_cast<std::size_t>(p)] - cum[static_cast<std::size_t>(p - unit)];
        const double either =
            (u > 0 ? u + std::log1p(std::exp(-u)) : std::log1p(std::exp(u))) - std::numbers::ln2;
        cum_free[static_cast<std::size_t>(p)] =
            cum_free[static_cast<std::size_t>(p - unit)] + either;
    }
    auto C = [&](int k) { return cum[static_cast<std::size_t>(std::max(0, k))]; };
    auto M = [&](int k) { return cum_free[static_cast<std::size_t>(std::max(0, k))]; };
    if (fixed_start >= 0) {
        Segment best{fixed_start, nb};
        for (int e = fixed_start + min_blocks; e <= nb; ++e)
            if (C(e) > C(best.e)) best.e = e;
        return best;
    }
    // Against all blocks off, the log-likelihood is C(e) - C(s) + M(s - gap)
    // with C and M the running sums of the ratios and of the Morse model's
    // ratios. Maximised over e - s >= min_blocks, the best s for each e
    // carried along.
    const int gap = static_cast<int>(std::lround(LETTER_GAP_S / block_s));
    Segment best{0, nb};
    double best_j = -std::numeric_limits<double>::infinity();
    double min_g = std::numeric_limits<double>::infinity();
    int min_s = 0;
    for (int e = min_blocks; e <= nb; ++e) {
        const int s = e - min_blocks;
        const double g = C(s) - M(s - gap);
        if (g < min_g) {
            min_g = g;
            min_s = s;
        }
        const double j = C(e) - min_g;
        if (j > best_j) {
            best_j = j;
            best = {min_s, e};
        }
    }
    return best;
}

CarrierMeasurement CarrierMeter::State::run(std::span<const float> x, double t0,
                                            const CarrierSearch& search) {
    CarrierMeasurement out;
    double centre = 0.5 * (search.f_lo_hz + search.f_hi_hz);
    double half = 0.5 * (search.f_hi_hz - search.f_lo_hz);
    if (search.frame_carrier_hz) {
        centre = *search.frame_carrier_hz;
        half = CARRIER_FRAME_SEARCH_HZ;
    }
    passband = std::max(half, 1.0) + NOISE_MARGIN_HZ;
    if (!std::isfinite(centre) || !std::isfinite(half) || !(half > 0) || centre - passband <= 0 ||
        centre + passband >= 0.5 * FS || !std::isfinite(t0) || !std::isfinite(search.seg_from_s) ||
        !std::isfinite(search.seg_to_s)) {
        out.status = CarrierStatus::bad_search;
        return out;
    }
    fb = centre;
    const double n = static_cast<double>(x.size());
    const double a = std::clamp(std::ceil((search.seg_from_s - t0) * FS), 0.0, n);
    const double b = std::clamp(std::floor((search.seg_to_s - t0) * FS), 0.0, n);
    if (b - a < CARRIER_MIN_WINDOW_S * FS) {
        out.status = CarrierStatus::too_short;
        return out;
    }
    const auto i0 = static_cast<std::size_t>(a), i1 = static_cast<std::size_t>(b);
    baseband(x, i0, i1);
    t_z0 = t0 + (static_cast<double>(i0) + 0.5 * (ntaps - 1)) / FS;

    const Coarse c = detect(half);
    out.detection = c.stat;
    out.threshold = c.threshold;
    if (!(c.stat >= c.threshold)) return out;

    nu_mix = c.nu;
    blocks();
    const int nb = static_cast<int>(y.size());
    const int min_blocks = static_cast<int>(std::lround(MIN_SEGMENT_S / block_s));
    // Default start when the keying cannot be seen.
    const int def_start = std::clamp(
        static_cast<int>(
            std::ceil((search.seg_from_s + CARRIER_DEFAULT_ID_S - block_start_s(0)) / block_s)),
        0, nb - min_blocks);

    auto snr_of = [&](const Fit& f) {
        const double nblk = f.b1 - f.b0;
        const double sig =
            std::max(f.power - nblk * f.noise, 1e-3 * nblk * f.noise) / (nblk * nblk);
        return 10 * std::log10(sig / (f.noise * block_s) / 2500.0);
    };
    auto clamp_drift = [](double d) {
        return std::clamp(d, -MAX_DRIFT_HZ_PER_S, MAX_DRIFT_HZ_PER_S);
    };

    Fit f = fit(0, nb, clamp_drift(c.drift - c.drift_step), clamp_drift(c.drift + c.drift_step));
    measure_noise(f);
    // Segment, fit over it, and once more with the better model.
    bool keying = false;
    for (int pass = 0; pass < 2; ++pass) {
        keying = snr_of(f) >= KEYING_MIN_SNR_DB;
        const Segment s = segment(f, min_blocks, keying ? -1 : def_start);
        const double t = (s.e - s.s) * block_s;
        const double dstep = 2.0 / (t * t);
        f = fit(s.s, s.e, clamp_drift(f.drift - dstep), clamp_drift(f.drift + dstep));
        measure_noise(f);
    }

    const double t = (f.b1 - f.b0) * block_s;
    out.status = CarrierStatus::found;
    out.freq_hz = fb + nu_mix + f.nu;
    out.snr_db = snr_of(f);
    out.start_s = block_start_s(f.b0);
    out.end_s = block_start_s(f.b1);
    out.sigma_hz = carrier_crb_hz(out.snr_db, t);
    out.drift_hz_per_min = 60.0 * f.drift;
    out.keying_seen = keying;
    return out;
}

CarrierMeter::CarrierMeter() : state_(std::make_unique<State>()) {}
CarrierMeter::~CarrierMeter() = default;

CarrierMeasurement CarrierMeter::measure(std::span<const float> minute, double t0_s,
                                         const CarrierSearch& search) {
    return state_->run(minute, t0_s, search);
}

CarrierMeasurement measure_carrier(std::span<const float> minute, double t0_s,
                                   const CarrierSearch& search) {
    CarrierMeter meter;
    return meter.measure(minute, t0_s, search);
}

}  // namespace beacon
