// Where every sample sits on the UTC clock, and which samples make up the
// search span of each whole minute.
//
// Times on the timeline are seconds from an origin: a whole UTC minute (or,
// when the input's start is unknown, its first sample), so that the numbers
// stay small and exact. A stretch of contiguous samples (a file, a stream)
// is placed by a SampleMap. Files know their start; a live stream learns it
// from the system clock when its first samples arrive, and a SampleClock then
// keeps the samples on UTC: it fits the samples' arrival times, so that a
// sound card whose clock runs a few hundred ppm off does not walk the frames
// out of the search window over the days.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace beacon::mon {

inline constexpr int RATE = 12000;            // the decoder's sample rate
inline constexpr double SPAN_AFTER_S = 24.6;  // a span runs to m + S + 24.6 s
inline constexpr double MINUTE_S = 60.0;

// A UTC time: whole seconds since the epoch and a fraction of a second.
struct UtcTime {
    std::int64_t sec = 0;
    double frac = 0.0;  // [0, 1)
};

// ISO 8601 as --start takes it: any form of scan_time.hpp, with a fraction
// of a second after the seconds ("2026-12-07T10:00:00.25Z").
std::optional<UtcTime> parse_start_time(std::string_view text);

// The origin of a timeline that starts at `t`: the whole minute at or before it.
std::int64_t origin_of(const UtcTime& t);

// Seconds of `t` after the origin.
double seconds_after(const UtcTime& t, std::int64_t origin);

// The first whole minute at or after time `t` (seconds from the origin).
double next_minute(double t);

// Sample k of a stretch lies at t0 + (k - k_ref) / rate seconds from the origin.
struct SampleMap {
    double t0 = 0.0;
    std::int64_t k_ref = 0;
    double rate = RATE;

    double time_of(std::int64_t k) const { return t0 + static_cast<double>(k - k_ref) / rate; }
    // The first sample at or after `t`. A time that falls within a
    // millionth of a sample of one counts as on it, so that rounding in the
    // arithmetic does not move a span by a sample.
    std::int64_t first_at_or_after(double t) const;
};

// The samples searched for the frame of one minute.
struct MinuteSpan {
    std::int64_t first = 0;  // index of the first sample in its stretch
    std::int64_t count = 0;
    double dtmax = 0.0;      // latest frame start searched, s after the first sample
    double c_minus_m = 0.0;  // time of the first sample minus the minute: DT + this = dt_s
};

// The span of the minute at `minute` s, with the search window S = `window`,
// in a stretch whose first sample is `first` and whose samples `map` places:
// from m - S to m + S + 24.6 s, beginning with the stretch when that begins
// between m - S and m. None when the stretch begins after the minute.
std::optional<MinuteSpan> minute_span(double minute, double window, std::int64_t first,
                                      const SampleMap& map);

// Keeps a live stream's samples on the system clock. Told after every read
// how many frames have arrived and when, it fits the time of the samples: the
// earliest arrival within each stretch of BLOCK_S seconds of samples marks
// the clock best (the least delayed), and a line fitted through those marks,
// the older ones weighing less, gives the offset and the rate error of the
// sound card. A mark far off the line (lost samples, a stepped system clock)
// starts the fit afresh from there, keeping the rate.
class SampleClock {
  public:
    static constexpr double BLOCK_S = 10.0;         // samples per mark, in nominal seconds
    static constexpr double MEMORY_S = 4 * 3600.0;  // weight of a mark falls by e per this
    static constexpr double STEP_S = 0.5;           // a mark this far off restarts the fit
    static constexpr double MAX_RATE_ERROR = 1e-3;  // sound cards are closer than 1000 ppm
    static constexpr double MIN_BASELINE_S = 60.0;  // the rate is fitted over at least this

    explicit SampleClock(double nominal_rate);

    // Frames [0, frames) had all arrived at `wall` (seconds from the origin).
    void observe(std::int64_t frames, double wall);
    // Time of the position `frames` (input frames from the first).
    double time_at(double frames) const;
    // The same as a map for samples at `rate` whose sample k lies at input
    // frame k * nominal_rate / rate + shift.
    SampleMap map(double rate, double shift) const;
    // Fitted rate error: the card's clock runs fast by -rate_error().
    double rate_error() const { return beta_; }
    // Samples have come sooner than they can have been recorded: the input
    // runs faster than real time (a recording piped in), and the clock
    // cannot place it.
    bool ahead() const { return ahead_; }

  private:
    void add_mark(double x, double y);
    void refit();

    double nominal_rate_;
    bool started_ = false;
    // y = wall - x, x = frames / nominal rate: the offset of the samples.
    double block_end_ = 0.0;  // x at which the current block ends
    double block_x_ = 0.0, block_y_ = 0.0;
    bool block_has_ = false;
    // Weighted sums of the marks, x taken from x_base_ for precision.
    double x_base_ = 0.0;
    double sw_ = 0.0, sx_ = 0.0, sy_ = 0.0, sxx_ = 0.0, sxy_ = 0.0;
    double x_first_ = 0.0, x_last_ = 0.0;
    // The fit: y = alpha_ + beta_ * (x - x_base_).
    double alpha_ = 0.0, beta_ = 0.0;
    bool ahead_ = false;
};

}  // namespace beacon::mon
