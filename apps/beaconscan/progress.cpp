#include "beaconscan/progress.hpp"

#include <algorithm>
#include <cmath>

#include "util/format.hpp"

namespace beacon {
namespace {

constexpr std::chrono::milliseconds REDRAW_EVERY{200};

}  // namespace

std::string format_duration(double seconds) {
    const long s = std::lround(std::max(seconds, 0.0));
    if (s < 60) return format("%ld s", s);
    if (s < 3600) return format("%ld:%02ld", s / 60, s % 60);
    return format("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
}

std::string progress_line(const ProgressCounts& c, double elapsed_s) {
    std::string line = format("%zu/%zu files, %.2f h of audio", c.files_done, c.files_total,
                              c.audio_seconds / 3600.0);
    if (c.files_done == 0 || !(elapsed_s > 0)) return line;
    line += format(", %.1f files/s (%.0fx real time)", c.files_done / elapsed_s,
                   c.audio_seconds / elapsed_s);
    if (c.files_done == c.files_total) return line;
    // The share of the work done: by bytes when the sizes are known.
    double share = static_cast<double>(c.files_done) / c.files_total;
    if (c.bytes_total > 0 && c.bytes_done > 0)
        share = static_cast<double>(c.bytes_done) / static_cast<double>(c.bytes_total);
    if (share > 0 && share < 1)
        line += ", about " + format_duration(elapsed_s * (1 - share) / share) + " left";
    return line;
}

ProgressDisplay::ProgressDisplay(std::FILE* stream, bool enabled, std::size_t files_total,
                                 std::uint64_t bytes_total)
    : stream_(stream), enabled_(enabled) {
    counts_.files_total = files_total;
    counts_.bytes_total = bytes_total;
}

void ProgressDisplay::file_done(std::uint64_t bytes, double audio_seconds) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.files_done;
    counts_.bytes_done += bytes;
    counts_.audio_seconds += audio_seconds;
}

void ProgressDisplay::refresh(bool now) {
    if (!enabled_) return;
    const auto t = std::chrono::steady_clock::now();
    if (!now && t - last_draw_ < REDRAW_EVERY) return;
    last_draw_ = t;
    ProgressCounts c;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        c = counts_;
    }
    draw(progress_line(c, std::chrono::duration<double>(t - start_).count()));
}

void ProgressDisplay::hide() {
    if (!enabled_ || shown_length_ == 0) return;
    std::fprintf(stream_, "\r%*s\r", static_cast<int>(shown_length_), "");
    std::fflush(stream_);
    shown_length_ = 0;
}

void ProgressDisplay::finish(const std::string& summary) {
    if (!enabled_) return;
    hide();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stream_, "%s in %s\n", summary.c_str(), format_duration(elapsed).c_str());
    std::fflush(stream_);
}

void ProgressDisplay::draw(const std::string& line) {
    // Blanks over what is left of a longer line drawn before.
    const int pad = shown_length_ > line.size() ? static_cast<int>(shown_length_ - line.size()) : 0;
    std::fprintf(stream_, "\r%s%*s", line.c_str(), pad, "");
    std::fflush(stream_);
    shown_length_ = line.size() + static_cast<std::size_t>(pad);
}

}  // namespace beacon
