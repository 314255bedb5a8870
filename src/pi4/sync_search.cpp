// The sync search of a whole run. pi4_sync computes, for each window, the
// power spectra of its rows and the score of each of its candidates. Both
// depend only on the absolute position in the recording: the row at sample
// R * step is the same 2000 samples whichever window asks, and a candidate's
// score at absolute offset J and bin k reads the rows J, J + L, ..., J + 145 L.
// So this search streams the rows once, forward, keeping only the last
// 145 L + 1 of them, and remembers for every absolute offset its best bin.
// A window's result is then the best of its offsets' bests, visited in
// order with the same strict comparison: the earliest offset, then the
// lowest bin, wins a tie.
//
// A row is kept as one value per tone-0 bin, the sync balance
// max(P(k + 160), P(k + 480)) - max(P(k), P(k + 320)), which is all a score
// reads, and each score is summed over the symbols in order with the +/-1
// factor applied as an exact sign: the same double as pi4_sync's.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "fft/fftw_owner.hpp"
#include "pi4/pi4.hpp"

namespace beacon {
namespace {

constexpr int FFT_SIZE = 8192;
constexpr double BIN_HZ = 1.46484375;
constexpr int TONE_BINS = 160;

// The sync vector as +1.0 / -1.0, the factor of each symbol's term.
constexpr std::array<double, PI4_NSYM> PR = [] {
    std::array<double, PI4_NSYM> pr{};
    for (int s = 0; s < PI4_NSYM; ++s) pr[s] = 2 * PI4_SYNCVEC[s] - 1.0;
    return pr;
}();

typedef double v4d __attribute__((vector_size(32), aligned(8)));

// Sums, for every bin, the rows' balances times the symbols' factors, in
// order of the symbols: out[k] = sum over s of PR[s] * rows[s][k]. Each sum
// runs over s alone, so computing many bins side by side in vector lanes
// changes no rounding. Multiplying by +/-1 is exact; there is no fused
// multiply-add (the build forbids contraction).
__attribute__((target_clones("avx2", "default"))) void correlate(const double* const* rows,
                                                                  int nbins, double* out) {
    int k = 0;
    for (; k + 16 <= nbins; k += 16) {
        v4d a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
        for (int s = 0; s < PI4_NSYM; ++s) {
            const double* r = rows[s] + k;
            const v4d f = {PR[s], PR[s], PR[s], PR[s]};
            a0 += f * *reinterpret_cast<const v4d*>(r);
            a1 += f * *reinterpret_cast<const v4d*>(r + 4);
            a2 += f * *reinterpret_cast<const v4d*>(r + 8);
            a3 += f * *reinterpret_cast<const v4d*>(r + 12);
        }
        std::memcpy(out + k, &a0, sizeof a0);
        std::memcpy(out + k + 4, &a1, sizeof a1);
        std::memcpy(out + k + 8, &a2, sizeof a2);
        std::memcpy(out + k + 12, &a3, sizeof a3);
    }
    for (; k < nbins; ++k) {
        double S = 0.0;
        for (int s = 0; s < PI4_NSYM; ++s) S += PR[s] * rows[s][k];
        out[k] = S;
    }
}

}  // namespace

struct Pi4SyncSearch::State {
    const double* samples;
    int nsamples;
    double f0_center, tol, tstep;
    SyncPlan grid;  // step, L, lo and hi; the same for every window
    int nbins = 0;  // tone-0 bins searched: hi - lo + 1
    int span = 0;   // rows one frame covers: 145 L + 1

    // Streaming rows: balances of rows [first_row, next_row) in a ring of
    // `span` rows, row R at slot R % span.
    fft::Buffer<double> in;
    fft::Buffer<fftw_complex> out;
    fft::Plan plan{nullptr};
    std::vector<double> ring;
    long long first_row = 0, next_row = 0;

    // Best candidate of every absolute offset in [first_offset, first_offset + bests.size()).
    struct OffsetBest {
        double v;
        int bin;
        int flip;
    };
    std::vector<OffsetBest> bests;
    long long first_offset = 0;
    std::vector<double> scores;
    std::vector<const double*> rows;

    bool ready() const { return static_cast<bool>(plan); }

    double* row(long long r) { return &ring[static_cast<std::size_t>(r % span) * nbins]; }

    // Computes row `next_row`: spectrum of its 2000 samples, then each bin's
    // sync balance. The input's zero padding stays zero: an out-of-place
    // real-to-complex transform leaves its input alone.
    void compute_row() {
        std::memcpy(in.get(), samples + next_row * grid.step, 2000 * sizeof(double));
        plan.execute();
        double* dst = row(next_row);
        const fftw_complex* c = out.get() + grid.lo;
        for (int k = 0; k < nbins; ++k) {
            auto power = [&](int b) { return c[b][0] * c[b][0] + c[b][1] * c[b][1]; };
            const double one = std::max(power(k + TONE_BINS), power(k + 3 * TONE_BINS));
            const double zero = std::max(power(k), power(k + 2 * TONE_BINS));
            dst[k] = one - zero;
        }
        ++next_row;
        if (next_row - first_row > span) first_row = next_row - span;
    }

    // Scores every bin at absolute offset j (its rows must be held) and
    // returns the best, the lowest bin winning ties.
    OffsetBest score_offset(long long j) {
        for (int s = 0; s < PI4_NSYM; ++s) rows[s] = row(j + static_cast<long long>(s) * grid.L);
        correlate(rows.data(), nbins, scores.data());
        OffsetBest best{-1.0, -1, 1};
        for (int k = 0; k < nbins; ++k) {
            const double S = scores[k];
            const double v = S >= 0 ? S + S : S * -2.0;
            if (v > best.v) best = {v, grid.lo + k, S >= 0 ? 1 : -1};
        }
        return best;
    }

    // Makes the bests of offsets [j0, j1) available. Offsets come in
    // increasing order; returns false when a window reaches back before what
    // is held (the caller then searches the window from scratch).
    bool prepare(long long j0, long long j1) {
        if (j0 < first_offset) return false;
        const long long held_end = first_offset + static_cast<long long>(bests.size());
        if (j0 > held_end) {
            // Offsets between are never asked for: skip them, and rows too.
            bests.clear();
            first_offset = j0;
            if (next_row < j0) first_row = next_row = j0;
        } else {
            // Forget what lies before this window.
            bests.erase(bests.begin(), bests.begin() + (j0 - first_offset));
            first_offset = j0;
        }
        for (long long j = first_offset + static_cast<long long>(bests.size()); j < j1; ++j) {
            if (j < first_row) return false;
            while (next_row <= j + span - 1) compute_row();
            bests.push_back(score_offset(j));
        }
        return true;
    }
};

Pi4SyncSearch::Pi4SyncSearch(const double* samples, int nsamples, double f0_center, double tol,
                             double tstep)
    : state_(std::make_unique<State>()) {
    State& st = *state_;
    st.samples = samples;
    st.nsamples = nsamples;
    st.f0_center = f0_center;
    st.tol = tol;
    st.tstep = tstep;
    st.grid = pi4_sync_plan(nsamples, f0_center, tol, 0.0, tstep);
    if (st.grid.lo > st.grid.hi) return;  // no candidate in any window
    st.nbins = st.grid.hi - st.grid.lo + 1;
    st.span = 145 * st.grid.L + 1;
    st.in = fft::allocate<double>(FFT_SIZE);
    st.out = fft::allocate<fftw_complex>(FFT_SIZE / 2 + 1);
    if (!st.in || !st.out) return;
    try {
        st.ring.resize(static_cast<std::size_t>(st.span) * st.nbins);
        st.scores.resize(st.nbins);
        st.rows.resize(PI4_NSYM);
    } catch (const std::exception&) {
        return;
    }
    std::memset(st.in.get() + 2000, 0, (FFT_SIZE - 2000) * sizeof(double));
    st.plan = fft::Plan(
        fftw_plan_dft_r2c_1d(FFT_SIZE, st.in.get(), st.out.get(), FFTW_ESTIMATE));
}

Pi4SyncSearch::~Pi4SyncSearch() = default;

int Pi4SyncSearch::search(long window_start, double dtmax, SyncResult& result) {
    State& st = *state_;
    const auto fallback = [&] {
        return pi4_sync(st.samples + window_start, static_cast<int>(st.nsamples - window_start),
                        result, st.f0_center, st.tol, dtmax, st.tstep);
    };
    if (window_start < 0 || window_start > st.nsamples) return -1;
    const SyncPlan plan = pi4_sync_plan(static_cast<int>(st.nsamples - window_start),
                                        st.f0_center, st.tol, dtmax, st.tstep);
    if (plan.offsets < 1 || plan.lo > plan.hi) return -1;
    if (!st.ready() || window_start % plan.step != 0) return fallback();

    const long long j0 = window_start / plan.step;
    bool prepared = false;
    try {
        prepared = st.prepare(j0, j0 + plan.offsets);
    } catch (const std::exception&) {
        prepared = false;
    }
    if (!prepared) return fallback();

    State::OffsetBest best{-1.0, -1, 1};
    long long best_j = 0;
    for (long long j = 0; j < plan.offsets; ++j) {
        const State::OffsetBest& b = st.bests[static_cast<std::size_t>(j)];
        if (b.v > best.v) {
            best = b;
            best_j = j;
        }
    }
    if (best.bin < 0) return -1;
    result.dt = static_cast<double>(best_j) * static_cast<double>(plan.step) / 12000.0;
    result.df_tone0 = best.bin * BIN_HZ;
    result.ccfpeak = best.v;
    result.flip = best.flip;
    return 0;
}

}  // namespace beacon
