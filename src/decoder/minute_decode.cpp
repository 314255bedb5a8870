#include "decoder/minute_decode.hpp"

#include <climits>
#include <exception>
#include <vector>

#include "driver/spot_search.hpp"

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

    void spot(const Candidate& c, const char* display, std::int64_t fano_metric) override {
        if (c.number != 1) return;
        r_.status = MinuteStatus::decoded;
        r_.message = display;
        r_.fano_metric = fano_metric;
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
    if (samples.size() / 12000.0 < MIN_SEARCH_SECONDS) {
        r.status = MinuteStatus::too_short;
        return r;
    }
    // A span holds at most one frame behind the first search's window (it
    // is shorter than two frames and 0.2 s), so the loop ends after that
    // search whatever it finds: its first search is all that runs.
    FirstSearch sink(r);
    const SpotLoopResult loop =
        run_spot_loop(samples.data(), fsamples.data(), static_cast<int>(samples.size()), freq, tol,
                      dtmax, sink, threads);
    if (loop.out_of_memory && r.status != MinuteStatus::decoded) {
        r.status = MinuteStatus::out_of_memory;
    } else if (r.status != MinuteStatus::decoded) {
        switch (loop.first_failure) {
            case SearchFailure::none:
            case SearchFailure::no_candidate:
                r.status = MinuteStatus::no_candidate;
                break;
            case SearchFailure::past_end:
                r.status = MinuteStatus::past_end;
                break;
            case SearchFailure::no_message:
                r.status = MinuteStatus::no_message;
                break;
        }
    }
    return r;
}

}  // namespace beacon
