// The minutes of a stream, cut out as their samples arrive. The 12000 Hz
// samples go into a ring that holds the last few minutes' worth, whatever
// the length of the input, and as soon as the span of a whole minute is
// complete its samples are copied out as one piece of work. The ring keeps
// more than a span (a minute and a span), so that work that needs the whole
// minute, m to m + 60 s (the carrier after the frame, the waterfall), is cut
// from it too: such a minute is handed out once its last second has come.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "beaconmon/timeline.hpp"

namespace beacon::mon {

// The last `capacity` samples of a stretch, by their index in it.
class SampleRing {
  public:
    explicit SampleRing(std::size_t capacity);
    // Empties the ring; the next sample pushed has index `index`.
    void restart(std::int64_t index);
    void push(std::span<const double> samples);  // at most capacity() at once
    std::int64_t begin() const { return end_ - static_cast<std::int64_t>(held_); }
    std::int64_t end() const { return end_; }
    std::size_t capacity() const { return buffer_.size(); }
    // Copies [first, first + count), which must lie within [begin(), end()).
    void copy(std::int64_t first, std::int64_t count, double* out) const;

  private:
    std::vector<double> buffer_;
    std::int64_t end_ = 0;
    std::size_t held_ = 0;
};

// One whole minute whose span is complete.
struct MinuteWork {
    std::int64_t index = 0;  // minutes since the first whole minute of the input
    double minute = 0.0;     // seconds from the timeline's origin
    MinuteSpan span;
    std::vector<double> samples;  // the span's samples
    std::string input;            // the input holding them, as records name it
    // With whole minutes: the samples from the minute to the next one, as
    // far as the stretch holds them, the first at whole_t0_s after the minute.
    std::vector<float> whole;
    double whole_t0_s = 0.0;
};

// Cuts the minutes out of the samples of one input after another.
class MinuteCutter {
  public:
    // With `whole_minutes`, every piece of work also carries its minute's
    // samples to the next minute, and waits for them.
    MinuteCutter(double window, bool whole_minutes);

    // A stretch of contiguous samples begins (an input, or an input after a
    // gap), named `input` in the records, its first sample at `start`
    // seconds from the origin. Minutes whose spans were not complete are
    // dropped.
    void begin_stretch(const std::string& input, double start);
    // A further input continues the stretch without a gap.
    void rename(const std::string& input) { input_ = input; }

    // Appends samples of the stretch, placed by `map` (sample k of the
    // stretch at map.time_of(k)), and hands every minute whose span they
    // complete to `ready`, in order.
    template <typename Ready>
    void push(std::span<const double> samples, const SampleMap& map, Ready&& ready) {
        while (!samples.empty()) {
            const std::size_t n = std::min(samples.size(), PIECE);
            ring_.push(samples.first(n));
            samples = samples.subspan(n);
            while (auto work = next_ready(map, false))
                ready(std::move(*work));
        }
    }

    // The stretch ends: a minute whose span is complete but whose whole
    // minute is not (the input ended within it) is handed out with the
    // samples there are.
    template <typename Ready>
    void finish(const SampleMap& map, Ready&& ready) {
        while (auto work = next_ready(map, true))
            ready(std::move(*work));
    }

    std::int64_t samples() const { return ring_.end(); }  // of the stretch so far

  private:
    static constexpr std::size_t PIECE = RATE;  // pushed at once, then spans checked
    std::optional<MinuteWork> next_ready(const SampleMap& map, bool stretch_ended);

    double window_;
    bool whole_minutes_;
    SampleRing ring_;
    std::string input_;
    std::optional<double> first_minute_;  // the input's first whole minute
    double next_ = 0.0;                   // next minute looked at
};

}  // namespace beacon::mon
