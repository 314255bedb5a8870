#include "beaconmon/minute_ring.hpp"

#include <algorithm>
#include <cmath>

namespace beacon::mon {

SampleRing::SampleRing(std::size_t capacity) : buffer_(capacity) {}

void SampleRing::restart(std::int64_t index) {
    end_ = index;
    held_ = 0;
}

void SampleRing::push(std::span<const double> samples) {
    const std::size_t cap = buffer_.size();
    std::size_t at = static_cast<std::size_t>(end_ % static_cast<std::int64_t>(cap));
    for (std::size_t done = 0; done < samples.size();) {
        const std::size_t n = std::min(samples.size() - done, cap - at);
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(done), n, buffer_.begin() + at);
        done += n;
        at = (at + n) % cap;
    }
    end_ += static_cast<std::int64_t>(samples.size());
    held_ = std::min(cap, held_ + samples.size());
}

void SampleRing::copy(std::int64_t first, std::int64_t count, double* out) const {
    const std::size_t cap = buffer_.size();
    std::size_t at = static_cast<std::size_t>(first % static_cast<std::int64_t>(cap));
    for (std::size_t done = 0; done < static_cast<std::size_t>(count);) {
        const std::size_t n = std::min(static_cast<std::size_t>(count) - done, cap - at);
        std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(at), n, out + done);
        done += n;
        at = 0;
    }
}

namespace {
// A minute and the longest span (S = 10 s), and the piece being pushed.
std::size_t ring_capacity(double window) {
    return static_cast<std::size_t>(std::ceil((MINUTE_S + 2 * window + SPAN_AFTER_S) * RATE)) +
           2 * RATE;
}
}  // namespace

MinuteCutter::MinuteCutter(double window, bool whole_minutes)
    : window_(window), whole_minutes_(whole_minutes), ring_(ring_capacity(window)) {}

void MinuteCutter::begin_stretch(const std::string& input, double start) {
    input_ = input;
    ring_.restart(0);
    const double first = next_minute(start);
    if (!first_minute_) {
        first_minute_ = first;
        next_ = first;
    }
    next_ = std::max(next_, first);
}

std::optional<MinuteWork> MinuteCutter::next_ready(const SampleMap& map, bool stretch_ended) {
    for (;;) {
        const auto span = minute_span(next_, window_, 0, map);
        if (!span) {  // the stretch begins after this minute
            next_ += MINUTE_S;
            continue;
        }
        if (span->first + span->count > ring_.end()) return std::nullopt;
        // The whole minute: from the minute (or the stretch's first sample)
        // to the next minute, or to the stretch's end when it has ended.
        std::int64_t w0 = 0, w1 = 0;
        if (whole_minutes_) {
            w0 = std::max<std::int64_t>(0, map.first_at_or_after(next_));
            w1 = map.first_at_or_after(next_ + MINUTE_S);
            if (w1 > ring_.end()) {
                if (!stretch_ended) return std::nullopt;
                w1 = ring_.end();
            }
        }
        MinuteWork w;
        w.minute = next_;
        w.index = std::llround((next_ - *first_minute_) / MINUTE_S);
        next_ += MINUTE_S;
        if (span->first < ring_.begin() || span->count <= 0) continue;  // never with a sized ring
        w.span = *span;
        w.input = input_;
        w.samples.resize(static_cast<std::size_t>(span->count));
        ring_.copy(span->first, span->count, w.samples.data());
        if (w1 > w0 && w0 >= ring_.begin()) {
            std::vector<double> whole(static_cast<std::size_t>(w1 - w0));
            ring_.copy(w0, w1 - w0, whole.data());
            w.whole.assign(whole.begin(), whole.end());
            w.whole_t0_s = map.time_of(w0) - w.minute;
        }
        return w;
    }
}

}  // namespace beacon::mon
