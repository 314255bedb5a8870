// The PI4 demodulator: the time/frequency sync search, the soft value of
// every data bit, and the SNR estimate of a synchronised frame.
//
// The search correlates short-time power spectra with the sync vector and
// returns the best (offset, tone-0 frequency) candidate; whether it holds a
// real signal is settled later by the message decoder. Metrics and SNR then
// measure the energy of individual tones over each 2000-sample symbol.
#pragma once

#include <array>
#include <memory>

#include "pi4/frame.hpp"

namespace beacon {

struct SyncResult {
    double dt = 0.0;        // start of symbol 0, seconds from the first sample given
    double df_tone0 = 0.0;  // tone-0 frequency, Hz (a multiple of 12000 / 8192)
    double ccfpeak = 0.0;   // the winning score, twice the absolute correlation
    int flip = 1;           // +1 when the correlation is >= 0, -1 when negative
};

// The grid of one search, derived from its arguments.
struct SyncGrid {
    int step = 1;           // samples between rows of the power table, a divisor of 2000
    int L = 2000;           // rows per symbol: 2000 / step
    long long noff = -1;    // last time offset wanted, in steps (huge for an endless dtmax)
    long long nrows = 0;    // rows to compute: those the frame at noff needs that the samples hold
    int lo = 0, hi = -1;    // tone-0 bins searched (12000 / 8192 Hz each); lo > hi: none
    long long offsets = 0;  // time offsets that get scored: 0 .. offsets - 1
};
SyncGrid pi4_sync_grid(int nsamples, double f0_center, double tol, double dtmax, double tstep);

// How a search ended: a candidate in the result, no candidate at all (no
// whole frame in the samples, an empty range), or no working memory.
enum class SyncStatus { found, none, no_memory };

// Searches `samples` (12000 Hz, element 0 = search start) for the frame with
// the best sync correlation, tone 0 within f0_center +/- tol Hz and start at
// most dtmax seconds in. Fills `result` only when a candidate was found.
SyncStatus pi4_sync(const double* samples, int nsamples, SyncResult& result, double f0_center,
                    double tol, double dtmax, double tstep);

// The sync search of a whole run over one recording: the same results as
// pi4_sync on samples + window_start, but each power spectrum and each
// candidate's score is computed once per run however the windows overlap,
// and only the rows that the frame correlation still needs are held. Windows
// are served fastest when they start on the row grid and move forward, as
// the spot loop's do; any other window falls back to pi4_sync. search()
// returns what pi4_sync would.
class Pi4SyncSearch {
  public:
    // With `threads` of 2 or more, a second thread computes half of the rows
    // and half of the scores.
    Pi4SyncSearch(const double* samples, int nsamples, double f0_center, double tol, double tstep,
                  int threads = 1);
    ~Pi4SyncSearch();
    Pi4SyncSearch(const Pi4SyncSearch&) = delete;
    Pi4SyncSearch& operator=(const Pi4SyncSearch&) = delete;

    SyncStatus search(long window_start, double dtmax, SyncResult& result);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// cos and sin of the phases at which the samples of every symbol are taken,
// for each of the four tones of a tone-0 frequency: phase (n + 1) * w,
// accumulated by repeated addition. Every symbol starts its phase afresh, so
// one table serves all 146 symbols.
struct ToneTables {
    std::array<std::array<double, PI4_NSPS>, 4> cos_p, sin_p;
    explicit ToneTables(double df_tone0);
};

// Energy of one tone over one symbol: a correlation with the phase advanced
// by repeated addition of the tone's step, the first sample at one step, the
// sines and cosines looked up: the same sums in the same order as one
// sincos call per sample, so the same bits, for a 146th of the calls.
double pi4_tone_energy(const float* x, const ToneTables& tables, int tone);

// Phase step of a tone, radians per sample at 12000 Hz.
inline double pi4_phase_step(int tone, double df_tone0) {
    return (tone * PI4_TONE_SPACING + df_tone0) * 0.0005235987755982988;
}

// 146 soft values, 15 * (E1 - E0) per symbol in channel order. Returns -1
// (metrics untouched) when the frame runs past the end of the samples.
int pi4_symbol_metrics(const float* samples, int nsamples, int flip,
                       std::array<float, PI4_NSYM>& metrics, double dt, double df_tone0);

// SNR of the frame in dB, referred to 2500 Hz; PI4_SNR_NONE when no estimate
// can be made (a value that is printed like any other).
inline constexpr double PI4_SNR_NONE = -99.0;
double pi4_estimate_snr(const float* samples, int nsamples, double dt, double df_tone0);

}  // namespace beacon
