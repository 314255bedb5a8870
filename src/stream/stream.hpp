// Audio that arrives as a stream, for the programs that watch a receiver
// around the clock: readers that turn a WAV or FLAC file, a WAV stream on a
// pipe, headerless samples or an ALSA capture device into mono doubles at the
// input's own rate, a little at a time, and a streaming resampler that brings
// them to the decoder's 12000 Hz without moving them in time.
//
// Integer samples are scaled exactly as beacondec's WAV reader scales them
// (2^-(bits-1), 8-bit unsigned around 128) and channels are averaged the same
// way, so a 12000 Hz WAV file gives the very doubles that wav_read gives.
// Errors are values: nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace beacon::stream {

// The rate every reader's samples are brought to.
inline constexpr int OUTPUT_RATE = 12000;
// Input rates the resampler accepts.
inline constexpr int MIN_INPUT_RATE = 8000;
inline constexpr int MAX_INPUT_RATE = 192000;

enum class RawEncoding { s16le, s24le, s32le, f32le };
// "s16le", "s24le", "s32le", "f32le"; anything else: nullopt.
std::optional<RawEncoding> parse_raw_encoding(std::string_view name);

struct Failure {       // the program prints "beaconmon: <text>"
    std::string text;  // e.g. "cannot open 'x.wav': No such file or directory"
    // A signal arrived while an input was being opened (a FIFO waiting for
    // its writer, a header waiting for its bytes): the program decides.
    bool interrupted = false;
};

// interrupted: a signal arrived (EINTR) before any frame; call again.
enum class ReadStatus { ok, end, error, interrupted };
struct ReadResult {
    std::size_t frames = 0;  // mono frames written to `out`; 0 unless status is ok
    ReadStatus status = ReadStatus::ok;
    std::string error;  // with ReadStatus::error
};

// A source of mono samples at its own rate. Readers average channels (sum in
// channel order, divided by the channel count). A stream that ends mid-frame
// drops the partial frame.
class Reader {
  public:
    virtual ~Reader() = default;
    virtual int rate() const = 0;  // frames per second of the input
    virtual int channels() const = 0;
    // Blocks until at least one frame or the end; never returns 0 frames with
    // status ok. After `end` or `error` every further call returns the same.
    virtual ReadResult read(std::span<double> out) = 0;
    // Times the input lost samples and went on (ALSA overruns): the samples
    // before and after each loss are not contiguous in time. 0 for files and pipes.
    virtual std::uint64_t overruns() const { return 0; }
};

template <typename T>
struct Opened {
    std::unique_ptr<T> reader;
    std::optional<Failure> failure;
};

// WAV (8/16/24/32-bit integer and 32-bit float, any channels; size fields 0
// or 0xFFFFFFFF in a pipe; files past 4 GB) and FLAC files. path "-" is
// standard input, which stays open when the reader goes.
Opened<Reader> open_audio_file(const std::string& path);
// Headerless interleaved little-endian samples from a file or "-".
Opened<Reader> open_raw(const std::string& path, RawEncoding enc, int rate, int channels);
// ALSA capture at exactly `rate` (a device that cannot: one Failure),
// interleaved, channels averaged.
Opened<Reader> open_alsa(const std::string& device, int rate, int channels);

// Streaming conversion to 12000 Hz (libsoxr, high quality). At 12000 Hz input
// the samples are passed through bit for bit. `process` appends converted
// samples to `out`; `finish` appends the rest, after which only a new
// Resampler converts more. Output sample k stands at input time k / 12000 s
// (libsoxr takes its filter's delay out itself), and n input samples give
// round(n * 12000 / rate_in) output samples in all.
class Resampler {
  public:
    explicit Resampler(int rate_in);  // MIN_INPUT_RATE..MAX_INPUT_RATE
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;
    // A rate out of range or a converter that could not be made: every call fails.
    std::optional<Failure> process(std::span<const double> in, std::vector<double>& out);
    std::optional<Failure> finish(std::vector<double>& out);
    // Shift of the output in time, in output samples: output sample k stands
    // at input time (k + delay_out()) / 12000 s. Always 0 (measured within
    // 1e-6 of a sample at 8000..192000 Hz); kept so that the timeline's
    // correction term stays explicit.
    double delay_out() const;
    // Output samples the converter holds back at this moment (soxr_delay):
    // latency, not a shift in time. 0 at 12000 Hz input.
    double latency_out() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace beacon::stream
