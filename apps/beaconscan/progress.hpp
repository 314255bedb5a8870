// The progress line that beaconscan keeps on a terminal: files done of the
// total, hours of audio decoded, the rate, and an estimate of the time left
// (from the bytes still to read, which follow the audio's length more
// closely than the count of files does).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace beacon {

struct ProgressCounts {
    std::size_t files_done = 0;
    std::size_t files_total = 0;
    std::uint64_t bytes_done = 0;
    std::uint64_t bytes_total = 0;  // 0 when the sizes are unknown
    double audio_seconds = 0.0;     // decoded so far
};

// "37/200 files, 0.62 h of audio, 2.9 files/s (170x real time), 56 s left".
std::string progress_line(const ProgressCounts& c, double elapsed_s);

// A duration as "42 s", "3:07" or "1:05:03".
std::string format_duration(double seconds);

// The progress line on a stream (standard error), redrawn in place. Files
// may be counted from any thread; drawing happens on the thread that calls
// refresh(), hide() and finish().
class ProgressDisplay {
  public:
    // Draws nothing at all unless `enabled`.
    ProgressDisplay(std::FILE* stream, bool enabled, std::size_t files_total,
                    std::uint64_t bytes_total);

    void file_done(std::uint64_t bytes, double audio_seconds);
    // Redraws the line if it is due (at most five times a second), or now.
    void refresh(bool now = false);
    // Erases the line, so that other output can take its place.
    void hide();
    // Erases the line and writes `summary`, " in " and the time taken.
    void finish(const std::string& summary);

  private:
    void draw(const std::string& line);

    std::FILE* stream_;
    bool enabled_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_draw_{};
    std::size_t shown_length_ = 0;
    std::mutex mutex_;  // guards counts_
    ProgressCounts counts_;
};

}  // namespace beacon
