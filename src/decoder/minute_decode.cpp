#include "decoder/minute_decode.hpp"

#include <climits>
#include <exception>
#include <vector>

#include "decoder/decoder.hpp"

namespace beacon {
namespace {

// Keeps what the spot loop reports of its first search.
class FirstSearch : public SpotSink {
  public:
    explicit FirstSearch(MinuteResult& r) : r_(r) {}

    void candidate(const Candidate& c) override {
        if (c.number != 1) return;
        r_.has_candidate = true;
        r_.dt_s = c.dt_abs;
        r_.freq_hz = c.df_carrier;
        r_.df_tone0 = c.sync.df_tone0;
        r_.snr_db = c.snr_db;
        r_.ccfpeak = c.sync.ccfpeak;
        r_.flip = c.sync.flip;
    }

    void spot(const Spot& s) override {
        if (s.frame.number != 1) return;
        r_.status = MinuteStatus::decoded;
        r_.message = s.display;
        r_.fano_metric = s.fano_metric;
    }

  private:
    MinuteResult& r_;
};

}  // namespace

MinuteResult minute_decode(std::span<const double> samples, double freq, double tol, double dtmax,
                           int threads) {
    MinuteResult r;
    // decode_recording's checks, in its order: the int sample count, the
    // float copy, the shortest span searched.
    if (samples.size() > static_cast<std::size_t>(INT_MAX)) {
        r.status = MinuteStatus::out_of_memory;
        return r;
    }
    std::vector<float> fsamples;
    try {
        fsamples.assign(samples.begin(), samples.end());
    } catch (const std::exception&) {
        r.status = MinuteStatus::out_of_memory;
        return r;
    }
    if (static_cast<double>(samples.size()) / PI4_RATE_HZ < MIN_SEARCH_SECONDS) {
        r.status = MinuteStatus::too_short;
        return r;
    }
    // A span holds at most one frame behind the first search's window (it
    // is shorter than two frames and 0.2 s), so the loop ends after that
    // search whatever it finds: its first search is all that runs.
    FirstSearch sink(r);
    const DecodeResult loop =
        run_spot_loop(samples.data(), fsamples.data(), static_cast<int>(samples.size()),
                      DecodeSettings{freq, tol, dtmax}, sink, threads);
    if (r.status == MinuteStatus::decoded) return r;
    switch (loop.status) {
        case DecodeStatus::no_memory:
            r.status = MinuteStatus::out_of_memory;
            break;
        case DecodeStatus::past_end:
            r.status = MinuteStatus::past_end;
            break;
        case DecodeStatus::no_message:
            r.status = MinuteStatus::no_message;
            break;
        default:
            r.status = MinuteStatus::no_candidate;
            break;
    }
    return r;
}

}  // namespace beacon
