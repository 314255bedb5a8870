#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <vector>

#include "coding/coding.hpp"
#include "decoder/decoder.hpp"
#include "util/format.hpp"

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

std::string result_line(const char* stamp, const Spot& spot) {
    return format("%s %3.0f %4.1f %4.0f : %s\n", stamp, spot.frame.snr_db, spot.frame.dt_abs,
                  spot.frame.df_carrier, spot.display);
}

bool is_run_failure(DecodeStatus s) {
    switch (s) {
        case DecodeStatus::resampling_failed:
        case DecodeStatus::too_long:
        case DecodeStatus::no_memory:
        case DecodeStatus::too_short:
            return true;
        case DecodeStatus::ok:
        case DecodeStatus::no_candidate:
        case DecodeStatus::past_end:
        case DecodeStatus::no_message:
            break;
    }
    return false;
}

namespace {

// Measures and decodes the candidate of one window. Returns how far it got:
// ok for a spot (handed to the sink), else past_end or no_message.
DecodeStatus decode_candidate(const float* fsamples, int nsamples, Candidate& c, long window_start,
                              SpotSink& sink) {
    c.dt_abs = window_start / PI4_RATE_HZ + c.sync.dt;
    c.df_carrier = PI4_CARRIER_OFFSET + c.sync.df_tone0;
    c.snr_db = pi4_estimate_snr(fsamples, nsamples, c.dt_abs, c.sync.df_tone0);
    std::array<float, PI4_NSYM> metrics{};
    const int metrics_status =
        pi4_symbol_metrics(fsamples, nsamples, c.sync.flip, metrics, c.dt_abs, c.sync.df_tone0);
    sink.candidate(c);
    if (metrics_status != 0) return DecodeStatus::past_end;

    char message[PI4_MESSAGE_LENGTH + 1] = {};
    Spot spot;
    const MessageStatus m = pi4_decode_message(metrics, message, &spot.fano_metric);
    if (m == MessageStatus::no_memory) sink.decoder_out_of_memory();
    if (m != MessageStatus::decoded) return DecodeStatus::no_message;
    spot.frame = c;
    make_display_text(message, spot.display);
    sink.spot(spot);
    return DecodeStatus::ok;
}

}  // namespace

DecodeResult run_spot_loop(const double* samples, const float* fsamples, int nsamples,
                           const DecodeSettings& settings, SpotSink& sink, int threads) {
    DecodeResult result;
    long window_start = 0;
    double window_dtmax = settings.dtmax;
    Pi4SyncSearch search(samples, nsamples, settings.freq - PI4_CARRIER_OFFSET, settings.tol,
                         SYNC_TSTEP, threads);

    for (;;) {
        Candidate c;
        c.number = result.spots + 1;
        DecodeStatus status = DecodeStatus::no_candidate;
        switch (search.search(window_start, window_dtmax, c.sync)) {
            case SyncStatus::no_memory:
                result.status = DecodeStatus::no_memory;
                return result;
            case SyncStatus::found:
                status = decode_candidate(fsamples, nsamples, c, window_start, sink);
                break;
            case SyncStatus::none:
                break;
        }

        if (status == DecodeStatus::ok) {
            ++result.spots;
            // The next window begins at the first sample after the frame.
            window_start += std::lround((PI4_FRAME_SECONDS + c.sync.dt) * PI4_RATE_HZ);
        } else if (result.spots == 0) {
            result.status = status;
            result.failed = c;
            return result;
        } else {
            // A later window without a spot: move past every offset it
            // searched and go on, so that no frame behind it is lost.
            window_start += (std::lround(PI4_RATE_HZ * window_dtmax) / SYNC_STEP_SAMPLES + 1) *
                            SYNC_STEP_SAMPLES;
        }

        if (result.spots == MAX_SPOTS) break;
        const double remaining = (nsamples - window_start) / PI4_RATE_HZ;
        if (remaining < MIN_SEARCH_SECONDS) break;
        window_dtmax =
            std::min(remaining - PI4_FRAME_SECONDS - LATER_WINDOW_MARGIN, LATER_WINDOW_SECONDS);
    }
    return result;
}

DecodeResult decode_recording(wav_data& wav, const DecodeSettings& settings, SpotSink& sink,
                              int threads) {
    DecodeResult result;
    if (wav.sample_rate != PI4_SAMPLE_RATE) {
        sink.resampling(wav);
        std::vector<double> resampled;
        if (resample_to_rate(wav.samples, wav.sample_rate, PI4_SAMPLE_RATE, resampled) != 0) {
            result.status = DecodeStatus::resampling_failed;
            return result;
        }
        wav.samples = std::move(resampled);
        wav.sample_rate = PI4_SAMPLE_RATE;
        sink.resampled(wav);
    }
    // The search counts samples in int.
    if (wav.samples.size() > static_cast<std::size_t>(INT_MAX)) {
        result.status = DecodeStatus::too_long;
        return result;
    }
    std::vector<float> fsamples;
    try {
        fsamples.assign(wav.samples.begin(), wav.samples.end());
    } catch (const std::exception&) {
        result.status = DecodeStatus::no_memory;
        return result;
    }
    if (static_cast<double>(wav.samples.size()) / PI4_RATE_HZ < MIN_SEARCH_SECONDS) {
        result.status = DecodeStatus::too_short;
        return result;
    }
    return run_spot_loop(wav.samples.data(), fsamples.data(), static_cast<int>(wav.samples.size()),
                         settings, sink, threads);
}

std::string failure_text(const DecodeResult& r, std::int64_t num_samples,
                         const DecodeSettings& settings) {
    switch (r.status) {
        case DecodeStatus::ok:
        case DecodeStatus::too_short:
            return {};
        case DecodeStatus::resampling_failed:
            return "resampling failed";
        case DecodeStatus::too_long:
            return format("recording too long (%ld samples at 12000 Hz, at most %d)",
                          static_cast<long>(num_samples), INT_MAX);
        case DecodeStatus::no_memory:
            return "memory allocation failed";
        case DecodeStatus::no_candidate:
            return format(
                "no PI4 spot found in the search window (carrier %.0f +/- %.0f Hz, first %.1f s "
                "of the file)",
                settings.freq, settings.tol, settings.dtmax);
        case DecodeStatus::past_end:
            return "demodulation window runs past the end of the file (signal too short after "
                   "the sync point)";
        case DecodeStatus::no_message:
            return format("no valid message decoded (candidate at DT=%+.3f s, DF=%.0f Hz)",
                          r.failed.dt_abs, r.failed.df_carrier);
    }
    return {};
}

}  // namespace beacon
