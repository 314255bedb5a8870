// Sync search: a table of short-time power spectra on a grid of `step`
// samples, and the correlation of every (offset, bin) candidate with the
// +/-1 sync vector, symbol by symbol.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "fft/fftw_owner.hpp"
#include "pi4/pi4.hpp"
#include "pi4/sync_common.hpp"

namespace beacon {
namespace {

using namespace sync_detail;

constexpr int LAST_TONE0_BIN = 3615;                  // 3615 + 3 * 160 = 4095, the last bin kept
constexpr double LONG_LIMIT = 9223372036854775808.0;  // 2^63

}  // namespace

SyncGrid pi4_sync_grid(int nsamples, double f0_center, double tol, double dtmax, double tstep) {
    SyncGrid grid;
    // lround of the clamped value equals the clamped lround for every finite
    // input, and stays defined for infinities.
    const double x = PI4_RATE_HZ * tstep;
    grid.step =
        std::isnan(x) ? 1 : static_cast<int>(std::lround(std::clamp(x, 1.0, double{PI4_NSPS})));
    while (PI4_NSPS % grid.step != 0)
        --grid.step;
    grid.L = PI4_NSPS / grid.step;

    const long long frame_rows = 145LL * grid.L;
    const long long rows_fit =
        nsamples >= PI4_NSPS ? (nsamples - static_cast<long long>(PI4_NSPS)) / grid.step + 1 : 0;

    // A dtmax beyond the range of long searches everything the samples hold
    // (or nothing, when negative); NaN searches nothing.
    const double y = PI4_RATE_HZ * dtmax;
    if (std::isnan(y) || y < -LONG_LIMIT) return grid;
    grid.noff = y >= LONG_LIMIT ? rows_fit : std::lround(y) / grid.step;
    if (grid.noff < 0) return grid;

    // Never more rows than the samples provide.
    grid.nrows = std::min(frame_rows + std::min(grid.noff, rows_fit) + 1, rows_fit);
    grid.offsets =
        grid.nrows > frame_rows ? std::min(grid.noff, grid.nrows - frame_rows - 1) + 1 : 0;

    const double lo_bins = (f0_center - tol) / BIN_HZ;
    const double hi_bins = (f0_center + tol) / BIN_HZ;
    if (std::isnan(lo_bins) || std::isnan(hi_bins)) return grid;
    grid.lo = static_cast<int>(std::lround(std::clamp(lo_bins, 0.0, LAST_TONE0_BIN + 1.0)));
    grid.hi = static_cast<int>(std::lround(std::clamp(hi_bins, -1.0, double{LAST_TONE0_BIN})));
    return grid;
}

SyncStatus pi4_sync(const double* samples, int nsamples, SyncResult& result, double f0_center,
                    double tol, double dtmax, double tstep) {
    const SyncGrid grid = pi4_sync_grid(nsamples, f0_center, tol, dtmax, tstep);
    if (grid.offsets < 1 || grid.lo > grid.hi) return SyncStatus::none;

    // Only the bins of the four tones of the searched range are kept.
    const int first_bin = grid.lo;
    const int width = grid.hi + 3 * TONE_BINS - grid.lo + 1;
    const auto rows = static_cast<std::size_t>(grid.nrows);

    auto in = fft::allocate<double>(FFT_SIZE);
    auto out = fft::allocate<fftw_complex>(FFT_SIZE / 2 + 1);
    if (!in || !out) return SyncStatus::no_memory;
    // The planner's working memory for this transform is under 0.5 MB.
    if (!fft::planner_memory_available(PLANNER_RESERVE)) return SyncStatus::no_memory;
    const fft::Plan transform = fft::Plan::r2c_1d(FFT_SIZE, in.get(), out.get());
    std::vector<double> power;
    try {
        power.resize(rows * static_cast<std::size_t>(width));
    } catch (const std::exception&) {
        return SyncStatus::no_memory;
    }

    for (std::size_t r = 0; r < rows; ++r) {
        std::memcpy(in.get(), samples + r * grid.step, PI4_NSPS * sizeof(double));
        std::memset(in.get() + PI4_NSPS, 0, (FFT_SIZE - PI4_NSPS) * sizeof(double));
        transform.execute();
        double* row = &power[r * width];
        for (int k = 0; k < width; ++k) {
            const fftw_complex& c = out[first_bin + k];
            row[k] = c[0] * c[0] + c[1] * c[1];
        }
    }

    double best = -1.0;
    int best_bin = -1;
    int best_flip = 1;
    double best_dt = 0.0;
    for (long long j = 0; j < grid.offsets; ++j) {
        for (int k = grid.lo; k <= grid.hi; ++k) {
            const int b = k - first_bin;
            double S = 0.0;
            for (int s = 0; s < PI4_NSYM; ++s) {
                const double* row = &power[static_cast<std::size_t>(j + s * grid.L) * width];
                const double one = std::max(row[b + TONE_BINS], row[b + 3 * TONE_BINS]);
                const double zero = std::max(row[b], row[b + 2 * TONE_BINS]);
                S += PR[s] * (one - zero);
            }
            const double v = S >= 0 ? S + S : S * -2.0;
            if (v > best) {
                best = v;
                best_bin = k;
                best_flip = S >= 0 ? 1 : -1;
                best_dt = static_cast<double>(j) * static_cast<double>(grid.step) / PI4_RATE_HZ;
            }
        }
    }
    if (best_bin < 0) return SyncStatus::none;
    result.dt = best_dt;
    result.df_tone0 = best_bin * BIN_HZ;
    result.ccfpeak = best;
    result.flip = best_flip;
    return SyncStatus::found;
}

}  // namespace beacon
