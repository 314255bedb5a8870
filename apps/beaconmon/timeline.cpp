#include "beaconmon/timeline.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "util/utc_time.hpp"

namespace beacon::mon {

std::optional<UtcTime> parse_start_time(std::string_view text) {
    // A fraction is the only thing scan_time's forms lack: take ".digits"
    // out after the seconds and read the rest as a time stamp.
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) {
        const auto sec = parse_time_stamp(text);
        if (!sec) return std::nullopt;
        return UtcTime{*sec, 0.0};
    }
    std::size_t end = dot + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        ++end;
    if (dot == 0 || end == dot + 1 || text[dot - 1] < '0' || text[dot - 1] > '9')
        return std::nullopt;
    std::string rest(text.substr(0, dot));
    rest += text.substr(end);
    const auto sec = parse_time_stamp(rest);
    if (!sec) return std::nullopt;
    const double frac = std::stod("0" + std::string(text.substr(dot, end - dot)));
    // A fraction that rounds to 1 in a double is the next second.
    if (frac >= 1.0) return UtcTime{*sec + 1, 0.0};
    return UtcTime{*sec, frac};
}

std::int64_t origin_of(const UtcTime& t) {
    const std::int64_t m = t.sec / 60 * 60;
    return m > t.sec ? m - 60 : m;  // floor for times before the epoch too
}

double seconds_after(const UtcTime& t, std::int64_t origin) {
    return static_cast<double>(t.sec - origin) + t.frac;
}

double next_minute(double t) {
    return std::ceil(t / MINUTE_S) * MINUTE_S;
}

std::int64_t SampleMap::first_at_or_after(double t) const {
    const double x = (t - t0) * rate + static_cast<double>(k_ref);
    const double nearest = std::round(x);
    if (std::fabs(x - nearest) < 1e-6) return static_cast<std::int64_t>(nearest);
    return static_cast<std::int64_t>(std::ceil(x));
}

std::optional<MinuteSpan> minute_span(double minute, double window, std::int64_t first,
                                      const SampleMap& map) {
    const double begins = map.time_of(first);
    if (begins > minute) return std::nullopt;
    const double start = minute - window;
    const std::int64_t k0 = begins >= start ? first : std::max(first, map.first_at_or_after(start));
    const double c = map.time_of(k0);
    MinuteSpan span;
    span.first = k0;
    span.count = std::lround(RATE * (minute + window + SPAN_AFTER_S - c));
    span.dtmax = minute + window - c;
    span.c_minus_m = c - minute;
    return span;
}

SampleClock::SampleClock(double nominal_rate) : nominal_rate_(nominal_rate) {}

void SampleClock::observe(std::int64_t frames, double wall) {
    const double x = static_cast<double>(frames) / nominal_rate_;
    const double y = wall - x;
    if (!started_) {
        started_ = true;
        block_end_ = (std::floor(x / BLOCK_S) + 1.0) * BLOCK_S;
    } else if (x >= block_end_) {
        if (block_has_) add_mark(block_x_, block_y_);
        block_has_ = false;
        block_end_ = (std::floor(x / BLOCK_S) + 1.0) * BLOCK_S;
    }
    if (!block_has_ || y < block_y_) {
        block_x_ = x;
        block_y_ = y;
        block_has_ = true;
    }
}

void SampleClock::add_mark(double x, double y) {
    const double off = y - (alpha_ + beta_ * (x - x_base_));
    if (sw_ > 0.0 && std::fabs(off) > STEP_S) {
        if (off < 0.0) ahead_ = true;
        sw_ = 0.0;
    }
    if (sw_ == 0.0) {
        x_base_ = x;
        x_first_ = x;
        sx_ = sy_ = sxx_ = sxy_ = 0.0;
    }
    const double keep = std::exp(-BLOCK_S / MEMORY_S);
    const double u = x - x_base_;
    sw_ = sw_ * keep + 1.0;
    sx_ = sx_ * keep + u;
    sy_ = sy_ * keep + y;
    sxx_ = sxx_ * keep + u * u;
    sxy_ = sxy_ * keep + u * y;
    x_last_ = x;
    refit();
}

void SampleClock::refit() {
    if (x_last_ - x_first_ >= MIN_BASELINE_S) {
        const double det = sw_ * sxx_ - sx_ * sx_;
        if (det > 0.0) {
            beta_ = std::clamp((sw_ * sxy_ - sx_ * sy_) / det, -MAX_RATE_ERROR, MAX_RATE_ERROR);
        }
    }
    alpha_ = (sy_ - beta_ * sx_) / sw_;
}

double SampleClock::time_at(double frames) const {
    const double x = frames / nominal_rate_;
    if (sw_ == 0.0) return x + (block_has_ ? block_y_ : 0.0);
    return x + alpha_ + beta_ * (x - x_base_);
}

SampleMap SampleClock::map(double rate, double shift) const {
    SampleMap m;
    m.t0 = time_at(shift);
    m.k_ref = 0;
    m.rate = rate / (1.0 + beta_);
    return m;
}

}  // namespace beacon::mon
