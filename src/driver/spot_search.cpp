#include "driver/spot_search.hpp"

#include <sched.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "coding/coding.hpp"
#include "driver/text_format.hpp"

namespace beacon {

void make_display_text(const char* message, char* display) {
    int n = PI4_MESSAGE_LENGTH;
    while (n > 0 && message[n - 1] == ' ')
        --n;
    int k = 0;
    while (k < n && message[k] == ' ')
        ++k;
    for (int i = 0; i < n; ++i)
        display[i] = i < k ? '_' : message[i];
    display[n] = '\0';
}

SpotLoopResult run_spot_loop(const double* samples, const float* fsamples, int nsamples,
                             double freq, double tol, double dtmax, SpotSink& sink, int threads) {
    SpotLoopResult result;
    long window_start = 0;
    double window_dtmax = dtmax;
    const double f0_center = freq - PI4_CARRIER_OFFSET;
    Pi4SyncSearch search(samples, nsamples, f0_center, tol, SYNC_TSTEP, threads);

    for (;;) {
        Candidate c;
        c.number = result.spots + 1;
        bool decoded = false;
        const int sync_status = search.search(window_start, window_dtmax, c.sync);
        if (sync_status == PI4_SYNC_NO_MEMORY) {
            result.out_of_memory = true;
            return result;
        }
        SearchFailure failure = SearchFailure::no_candidate;
        if (sync_status == 0) {
            c.dt_abs = window_start / 12000.0 + c.sync.dt;
            c.df_carrier = PI4_CARRIER_OFFSET + c.sync.df_tone0;
            c.snr_db = pi4_estimate_snr(fsamples, nsamples, c.dt_abs, c.sync.df_tone0);
            std::array<float, PI4_NSYM> metrics{};
            const int metrics_status = pi4_symbol_metrics(fsamples, nsamples, c.sync.flip, metrics,
                                                          c.dt_abs, c.sync.df_tone0);
            sink.candidate(c);
            failure = SearchFailure::past_end;
            if (metrics_status == 0) {
                char message[PI4_MESSAGE_LENGTH + 1] = {};
                std::int64_t fano_metric = 0;
                failure = SearchFailure::no_message;
                if (pi4_decode_message(metrics, message, &fano_metric) == 0) {
                    char display[PI4_MESSAGE_LENGTH + 1];
                    make_display_text(message, display);
                    sink.spot(c, display, fano_metric);
                    decoded = true;
                }
            }
        }

        if (decoded) {
            ++result.spots;
            // The next window begins at the first sample after the frame.
            window_start += std::lround((PI4_FRAME_SECONDS + c.sync.dt) * 12000.0);
        } else if (result.spots == 0) {
            result.first_failure = failure;
            result.failed = c;
            return result;
        } else {
            // A later window without a spot: move past every offset it
            // searched and go on, so that no frame behind it is lost.
            window_start += (std::lround(12000.0 * window_dtmax) / 200 + 1) * 200;
        }

        if (result.spots == MAX_SPOTS) break;
        const double remaining = (nsamples - window_start) / 12000.0;
        if (remaining < MIN_SEARCH_SECONDS) break;
        window_dtmax = std::min(remaining - PI4_FRAME_SECONDS - 0.1, LATER_WINDOW_SECONDS);
    }
    return result;
}

DecodeResult decode_recording(wav_data& wav, double freq, double tol, double dtmax,
                              DecodeListener& listener, int threads) {
    DecodeResult result;
    if (wav.sample_rate != PI4_SAMPLE_RATE) {
        listener.resampling(wav);
        std::vector<double> resampled;
        std::int64_t resampled_len = 0;
        if (resample_to_rate(wav.samples.data(), wav.num_samples, wav.sample_rate, PI4_SAMPLE_RATE,
                             resampled, resampled_len) != 0) {
            result.prepare = PrepareFailure::resampling;
            return result;
        }
        wav.samples = std::move(resampled);
        wav.num_samples = resampled_len;
        wav.sample_rate = PI4_SAMPLE_RATE;
        listener.resampled(wav);
    }
    // The search counts samples in int.
    if (wav.num_samples > INT_MAX) {
        result.prepare = PrepareFailure::too_long;
        return result;
    }
    std::vector<float> fsamples;
    try {
        fsamples.assign(wav.samples.begin(), wav.samples.end());
    } catch (const std::exception&) {
        result.prepare = PrepareFailure::memory;
        return result;
    }
    if (wav.num_samples / 12000.0 < MIN_SEARCH_SECONDS) {
        result.prepare = PrepareFailure::too_short;
        return result;
    }
    result.loop = run_spot_loop(wav.samples.data(), fsamples.data(),
                                static_cast<int>(wav.num_samples), freq, tol, dtmax, listener,
                                threads);
    return result;
}

std::string failure_text(const DecodeResult& r, std::int64_t num_samples, double freq, double tol,
                         double dtmax) {
    switch (r.prepare) {
        case PrepareFailure::none:
            break;
        case PrepareFailure::resampling:
            return "resampling failed";
        case PrepareFailure::too_long:
            return format("recording too long (%ld samples at 12000 Hz, at most 2147483647)",
                          static_cast<long>(num_samples));
        case PrepareFailure::memory:
            return "memory allocation failed";
        case PrepareFailure::too_short:
            return {};
    }
    if (r.loop.out_of_memory) return "memory allocation failed";
    switch (r.loop.first_failure) {
        case SearchFailure::none:
            break;
        case SearchFailure::no_candidate:
            return format(
                "no PI4 spot found in the search window (carrier %.0f +/- %.0f Hz, first %.1f s "
                "of the file)",
                freq, tol, dtmax);
        case SearchFailure::past_end:
            return "demodulation window runs past the end of the file (signal too short after "
                   "the sync point)";
        case SearchFailure::no_message:
            return format("no valid message decoded (candidate at DT=%+.3f s, DF=%.0f Hz)",
                          r.loop.failed.dt_abs, r.loop.failed.df_carrier);
    }
    return {};
}

int available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace beacon
