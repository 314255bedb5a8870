// The sync search of a whole run. pi4_sync computes, for each window, the
// power spectra of its rows and the score of each of its candidates. Both
// depend only on the absolute position in the recording: the row at sample
// R * step is the same 2000 samples whichever window asks, and a candidate's
// score at absolute offset J and bin k reads the rows J, J + L, ..., J + 145 L.
// So this search streams the rows once, forward, keeping only those that
// the offsets being scored still read (a frame's 145 L + 1 and a batch's
// worth more), and remembers for every absolute offset its best bin.
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
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "fft/fftw_owner.hpp"
#include "pi4/pi4.hpp"
#include "pi4/sync_common.hpp"

namespace beacon {
namespace {

using namespace sync_detail;

typedef double v4d __attribute__((vector_size(32), aligned(8)));

// Macros rather than functions: a function passing 32-byte vectors would
// have a different calling convention in the clones with and without AVX.
#define LOAD4(p) (*reinterpret_cast<const v4d*>(p))
#define SPLAT(x) (v4d{(x), (x), (x), (x)})
#define STORE4(p, v) std::memcpy((p), &(v), sizeof(v4d))

// Offsets L rows apart read the same rows, one symbol shifted: offset J + bL
// reads row J + uL as its symbol u - b. GROUP such offsets are scored in one
// pass over their rows, so each row is loaded once for all of them.
constexpr int GROUP = 3;

// Scores GROUP offsets: rows[u] is the row of offset J + u L, for u = 0 ..
// 145 + GROUP - 1, and out[b * nbins + k] receives, for every bin k, the sum
// over s of PR[s] * rows[s + b][k], added in order of s. Each sum runs over
// s alone, so computing bins side by side in vector lanes, and offsets side
// by side, changes no rounding. Multiplying by +/-1 is exact; there is no
// fused multiply-add (the build forbids contraction).
__attribute__((target_clones("avx2", "default"))) void correlate_group(const double* const* rows,
                                                                       int nbins, double* out) {
    static_assert(GROUP == 3);
    int k = 0;
    for (; k + 8 <= nbins; k += 8) {
        v4d a00 = SPLAT(0.0), a01 = a00, a10 = a00, a11 = a00, a20 = a00, a21 = a00;
        // Row u adds to offset b as its symbol s = u - b, when 0 <= s <= 145.
        {
            const v4d x0 = LOAD4(rows[0] + k), x1 = LOAD4(rows[0] + k + 4);
            a00 += SPLAT(PR[0]) * x0, a01 += SPLAT(PR[0]) * x1;
        }
        {
            const v4d x0 = LOAD4(rows[1] + k), x1 = LOAD4(rows[1] + k + 4);
            a00 += SPLAT(PR[1]) * x0, a01 += SPLAT(PR[1]) * x1;
            a10 += SPLAT(PR[0]) * x0, a11 += SPLAT(PR[0]) * x1;
        }
        for (int u = 2; u < PI4_NSYM; ++u) {
            const v4d x0 = LOAD4(rows[u] + k), x1 = LOAD4(rows[u] + k + 4);
            const v4d f0 = SPLAT(PR[u]), f1 = SPLAT(PR[u - 1]), f2 = SPLAT(PR[u - 2]);
            a00 += f0 * x0, a01 += f0 * x1;
            a10 += f1 * x0, a11 += f1 * x1;
            a20 += f2 * x0, a21 += f2 * x1;
        }
        {
            const v4d x0 = LOAD4(rows[PI4_NSYM] + k), x1 = LOAD4(rows[PI4_NSYM] + k + 4);
            a10 += SPLAT(PR[PI4_NSYM - 1]) * x0, a11 += SPLAT(PR[PI4_NSYM - 1]) * x1;
            a20 += SPLAT(PR[PI4_NSYM - 2]) * x0, a21 += SPLAT(PR[PI4_NSYM - 2]) * x1;
        }
        {
            const v4d x0 = LOAD4(rows[PI4_NSYM + 1] + k), x1 = LOAD4(rows[PI4_NSYM + 1] + k + 4);
            a20 += SPLAT(PR[PI4_NSYM - 1]) * x0, a21 += SPLAT(PR[PI4_NSYM - 1]) * x1;
        }
        STORE4(out + k, a00), STORE4(out + k + 4, a01);
        STORE4(out + nbins + k, a10), STORE4(out + nbins + k + 4, a11);
        STORE4(out + 2 * nbins + k, a20), STORE4(out + 2 * nbins + k + 4, a21);
    }
    for (; k < nbins; ++k) {
        for (int b = 0; b < GROUP; ++b) {
            double S = 0.0;
            for (int s = 0; s < PI4_NSYM; ++s)
                S += PR[s] * rows[s + b][k];
            out[b * nbins + k] = S;
        }
    }
}

// The same for a single offset: rows[s] is its row of symbol s.
__attribute__((target_clones("avx2", "default"))) void correlate_one(const double* const* rows,
                                                                     int nbins, double* out) {
    int k = 0;
    for (; k + 16 <= nbins; k += 16) {
        v4d a0 = SPLAT(0.0), a1 = a0, a2 = a0, a3 = a0;
        for (int s = 0; s < PI4_NSYM; ++s) {
            const double* r = rows[s] + k;
            const v4d f = SPLAT(PR[s]);
            a0 += f * LOAD4(r);
            a1 += f * LOAD4(r + 4);
            a2 += f * LOAD4(r + 8);
            a3 += f * LOAD4(r + 12);
        }
        STORE4(out + k, a0), STORE4(out + k + 4, a1);
        STORE4(out + k + 8, a2), STORE4(out + k + 12, a3);
    }
    for (; k < nbins; ++k) {
        double S = 0.0;
        for (int s = 0; s < PI4_NSYM; ++s)
            S += PR[s] * rows[s][k];
        out[k] = S;
    }
}

// Offsets are scored in batches of this many chunks of GROUP * L offsets
// (or what the window still asks for, if fewer). With a second thread, each
// batch's rows are computed half on each thread, then its chunks are scored
// half on each: handing work over costs tens of microseconds, a row or an
// offset about ten.
constexpr int BATCH_CHUNKS = 8;

// A second thread that runs one task at a time: start() hands it a task,
// wait() returns once the task is done. Every start() is followed by a
// wait() before the next.
class Helper {
  public:
    Helper() : thread_([this] { run(); }) {}
    ~Helper() {
        {
            const std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    void start(std::function<void()> task) {
        {
            const std::lock_guard<std::mutex> lock(m_);
            task_ = std::move(task);
        }
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return !task_; });
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [this] { return task_ || stop_; });
            if (stop_) return;
            lock.unlock();
            task_();  // start() does not touch task_ until wait() has seen it done
            lock.lock();
            task_ = nullptr;
            cv_.notify_all();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> task_;  // empty: nothing to do
    bool stop_ = false;
    std::thread thread_;  // last: it starts once the members above exist
};

}  // namespace

struct Pi4SyncSearch::State {
    const double* samples;
    int nsamples;
    double f0_center, tol, tstep;
    SyncGrid grid;      // step, L, lo and hi; the same for every window
    int nbins = 0;      // tone-0 bins searched: hi - lo + 1
    int span = 0;       // rows one frame covers: 145 L + 1
    int chunk = 0;      // offsets scored together: GROUP * L
    int ring_rows = 0;  // rows held: those of a batch of offsets

    // Best candidate of one offset.
    struct OffsetBest {
        double v;
        int bin;
        int flip;
    };

    // What one thread computes with: the transform's arrays and the scores'
    // scratch space.
    struct Lane {
        fft::Buffer<double> in;
        fft::Buffer<fftw_complex> out;
        std::vector<double> scores;       // GROUP offsets' bin scores
        std::vector<const double*> rows;  // the rows of the offsets being scored
        // False when the transform's arrays cannot be had; throws when the
        // scratch space cannot.
        bool allocate(int nbins) {
            in = fft::allocate<double>(FFT_SIZE);
            out = fft::allocate<fftw_complex>(FFT_SIZE / 2 + 1);
            if (!in || !out) return false;
            // The zero padding stays zero: an out-of-place real-to-complex
            // transform leaves its input alone.
            std::memset(in.get() + PI4_NSPS, 0, (FFT_SIZE - PI4_NSPS) * sizeof(double));
            scores.resize(static_cast<std::size_t>(GROUP) * nbins);
            rows.resize(PI4_NSYM + GROUP - 1);
            return true;
        }
    };
    Lane lane;         // the calling thread's
    Lane helper_lane;  // the helper's
    fft::Plan plan;

    // Streaming rows: balances of rows [first_row, next_row) in a ring of
    // `ring_rows` rows, row R at slot R % ring_rows.
    std::vector<double> ring;
    long long first_row = 0, next_row = 0;

    // Best candidate of every absolute offset in [first_offset, first_offset + bests.size()).
    std::vector<OffsetBest> bests;
    long long first_offset = 0;
    std::vector<OffsetBest> batch_bests;  // a batch's bests before they join `bests`

    bool out_of_memory = false;  // the working storage could not be had

    // Last, so that its thread ends before anything it works on goes.
    std::unique_ptr<Helper> helper;  // none: all work on the calling thread

    double* row(long long r) { return &ring[static_cast<std::size_t>(r % ring_rows) * nbins]; }

    // Computes rows [begin, end) with the arrays of `ln`: spectrum of each
    // row's 2000 samples, then each bin's sync balance.
    void compute_range(long long begin, long long end, Lane& ln) {
        for (long long r = begin; r < end; ++r) {
            std::memcpy(ln.in.get(), samples + r * grid.step, PI4_NSPS * sizeof(double));
            plan.execute_r2c(ln.in.get(), ln.out.get());
            double* dst = row(r);
            const fftw_complex* c = ln.out.get() + grid.lo;
            for (int k = 0; k < nbins; ++k) {
                auto power = [&](int b) { return c[b][0] * c[b][0] + c[b][1] * c[b][1]; };
                const double one = std::max(power(k + TONE_BINS), power(k + 3 * TONE_BINS));
                const double zero = std::max(power(k), power(k + 2 * TONE_BINS));
                dst[k] = one - zero;
            }
        }
    }

    // Makes rows up to `end` (exclusive) available, the later half on the
    // helper when there is one. A batch's offsets need at most ring_rows
    // rows, so no row still needed is overwritten and the two halves fill
    // different slots. Each row's figures are the same whichever thread
    // computes it.
    void compute_rows(long long end) {
        if (end <= next_row) return;
        if (helper) {
            const long long mid = next_row + (end - next_row) / 2;
            helper->start([this, mid, end] { compute_range(mid, end, helper_lane); });
            compute_range(next_row, mid, lane);
            helper->wait();
        } else {
            compute_range(next_row, end, lane);
        }
        next_row = end;
        if (next_row - first_row > ring_rows) first_row = next_row - ring_rows;
    }

    // The best of one offset's bin scores, the lowest bin winning ties.
    OffsetBest best_of(const double* bin_scores) const {
        OffsetBest best{-1.0, -1, 1};
        for (int k = 0; k < nbins; ++k) {
            const double S = bin_scores[k];
            const double v = S >= 0 ? S + S : S * -2.0;
            if (v > best.v) best = {v, grid.lo + k, S >= 0 ? 1 : -1};
        }
        return best;
    }

    // Scores offsets [j, j_end), whose rows are held, into out[0 .. j_end - j).
    void score(long long j, long long j_end, OffsetBest* out, Lane& ln) {
        const long long L = grid.L;
        if (j_end - j == chunk) {
            // Offsets J, J + L, J + 2L share their rows.
            for (long long J = j; J < j + L; ++J) {
                for (int u = 0; u < PI4_NSYM + GROUP - 1; ++u)
                    ln.rows[u] = row(J + u * L);
                correlate_group(ln.rows.data(), nbins, ln.scores.data());
                for (int b = 0; b < GROUP; ++b)
                    out[(J - j) + b * L] = best_of(ln.scores.data() + b * nbins);
            }
            return;
        }
        for (long long J = j; J < j_end; ++J) {
            for (int s = 0; s < PI4_NSYM; ++s)
                ln.rows[s] = row(J + s * L);
            correlate_one(ln.rows.data(), nbins, ln.scores.data());
            out[J - j] = best_of(ln.scores.data());
        }
    }

    // Scores the chunks of offsets [j, j_end), the later half of them on the
    // helper when there is one, into out[0 .. j_end - j).
    void score_batch(long long j, long long j_end, OffsetBest* out) {
        const long long chunks = (j_end - j + chunk - 1) / chunk;
        const long long split = helper && chunks > 1 ? j + chunks / 2 * chunk : j_end;
        const auto score_chunks = [this, j, out](long long from, long long to, Lane& ln) {
            for (long long c = from; c < to; c += chunk)
                score(c, std::min(c + chunk, to), out + (c - j), ln);
        };
        if (split < j_end) helper->start([&] { score_chunks(split, j_end, helper_lane); });
        score_chunks(j, split, lane);
        if (split < j_end) helper->wait();
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
        // In batches of whole chunks, as far as the window reaches.
        long long j = first_offset + static_cast<long long>(bests.size());
        while (j < j1) {
            if (j < first_row) return false;
            const long long j_end = std::min(j + BATCH_CHUNKS * static_cast<long long>(chunk), j1);
            compute_rows(j_end + span - 1);
            score_batch(j, j_end, batch_bests.data());
            bests.insert(bests.end(), batch_bests.data(), batch_bests.data() + (j_end - j));
            j = j_end;
        }
        return true;
    }
};

Pi4SyncSearch::Pi4SyncSearch(const double* samples, int nsamples, double f0_center, double tol,
                             double tstep, int threads)
    : state_(std::make_unique<State>()) {
    State& st = *state_;
    st.samples = samples;
    st.nsamples = nsamples;
    st.f0_center = f0_center;
    st.tol = tol;
    st.tstep = tstep;
    st.grid = pi4_sync_grid(nsamples, f0_center, tol, 0.0, tstep);
    if (st.grid.lo > st.grid.hi) return;  // no candidate in any window
    st.nbins = st.grid.hi - st.grid.lo + 1;
    st.span = 145 * st.grid.L + 1;
    st.chunk = GROUP * st.grid.L;
    st.ring_rows = st.span - 1 + BATCH_CHUNKS * st.chunk;
    try {
        st.out_of_memory =
            !st.lane.allocate(st.nbins) || !fft::planner_memory_available(PLANNER_RESERVE);
        if (st.out_of_memory) return;
        st.ring.resize(static_cast<std::size_t>(st.ring_rows) * st.nbins);
        st.batch_bests.resize(static_cast<std::size_t>(BATCH_CHUNKS) * st.chunk);
    } catch (const std::exception&) {
        st.out_of_memory = true;
        return;
    }
    st.plan = fft::Plan::r2c_1d(FFT_SIZE, st.lane.in.get(), st.lane.out.get());
    // A helper thread is an aid, not a need: without its memory or its
    // thread, all work is done on the calling thread.
    if (threads > 1) {
        try {
            if (st.helper_lane.allocate(st.nbins)) st.helper = std::make_unique<Helper>();
        } catch (const std::exception&) {
        }
    }
}

Pi4SyncSearch::~Pi4SyncSearch() = default;

SyncStatus Pi4SyncSearch::search(long window_start, double dtmax, SyncResult& result) {
    State& st = *state_;
    const auto fallback = [&] {
        return pi4_sync(st.samples + window_start, static_cast<int>(st.nsamples - window_start),
                        result, st.f0_center, st.tol, dtmax, st.tstep);
    };
    if (window_start < 0 || window_start > st.nsamples) return SyncStatus::none;
    const SyncGrid grid = pi4_sync_grid(static_cast<int>(st.nsamples - window_start), st.f0_center,
                                        st.tol, dtmax, st.tstep);
    if (grid.offsets < 1 || grid.lo > grid.hi) return SyncStatus::none;
    if (st.out_of_memory) return SyncStatus::no_memory;
    if (window_start % grid.step != 0) return fallback();

    const long long j0 = window_start / grid.step;
    bool prepared = false;
    try {
        prepared = st.prepare(j0, j0 + grid.offsets);
    } catch (const std::exception&) {
        return SyncStatus::no_memory;
    }
    if (!prepared) return fallback();

    State::OffsetBest best{-1.0, -1, 1};
    long long best_j = 0;
    for (long long j = 0; j < grid.offsets; ++j) {
        const State::OffsetBest& b = st.bests[static_cast<std::size_t>(j)];
        if (b.v > best.v) {
            best = b;
            best_j = j;
        }
    }
    if (best.bin < 0) return SyncStatus::none;
    result.dt = static_cast<double>(best_j) * static_cast<double>(grid.step) / PI4_RATE_HZ;
    result.df_tone0 = best.bin * BIN_HZ;
    result.ccfpeak = best.v;
    result.flip = best.flip;
    return SyncStatus::found;
}

}  // namespace beacon
