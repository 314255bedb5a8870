// Audio files: integer-PCM WAV files read into mono double samples, the FFT
// resampler that brings a recording to the decoder's working rate, and a
// writer of canonical WAV files for the tools that make recordings.
//
// The reader accepts any chunk order, any channel count (mixed down by
// averaging) and 8/16/24/32-bit integer PCM; every malformed file gets one
// line on the error stream. The writer produces what the reader reads: a
// 44-byte header and interleaved little-endian PCM. Nothing here keeps state
// between calls.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace beacon {

// An open FILE*, closed when it goes.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The decoded audio of one file. After resampling `samples` and
// `sample_rate` describe the new signal; `channels` and `bits_per_sample`
// keep describing the file.
struct wav_data {
    std::int32_t sample_rate = 0;  // frames per second, as stored (not validated)
    std::int32_t channels = 0;
    std::int32_t bits_per_sample = 0;
    std::vector<double> samples;  // one mono sample per frame, nominally in [-1, 1)
};

// Why a file could not be read.
enum class WavError {
    none,
    not_regular_file,  // exists, but is a directory, FIFO, device, ...
    cannot_open,
    not_riff_wave,          // fewer than 12 bytes, or no "RIFF" / "WAVE"
    missing_chunk,          // no complete "fmt " chunk or no "data" chunk
    unsupported_format,     // detail: the format tag (or the extensible sub-format)
    unsupported_bit_depth,  // detail: the bit depth
    invalid_channel_count,  // no channels
    no_audio_data,          // less than one whole frame
    incomplete_read,        // the audio bytes could not be held or read
    no_memory,              // the samples could not be held
};

// A data chunk that claims more bytes than the file holds: reading goes on
// with those that are there.
struct WavTruncation {
    std::uint32_t declared = 0;
    long available = 0;
};

// What reading a file came to: its error, if any, and the warning that
// comes before it (a truncation is noticed before the last checks).
struct WavReadResult {
    WavError error = WavError::none;
    unsigned detail = 0;
    std::optional<WavTruncation> truncated;
    bool ok() const { return error == WavError::none; }
};

// Reads the file at `path` into `wav`. On failure the record is empty; the
// file is closed on every path.
WavReadResult wav_read(const char* path, wav_data& wav);

// The same for a whole file held in memory.
WavReadResult wav_read_memory(std::span<const std::uint8_t> bytes, wav_data& wav);

// The reader's texts, as programs print them after "wav_read: ": the reason
// of a failure (`name` stands for the file), and the truncation warning
// (after "wav_read: warning - ").
std::string wav_error_text(const WavReadResult& r, const char* name);
std::string wav_truncation_text(const WavTruncation& t);

// Converts a mono signal from rate_in to rate_out Hz by cutting or
// zero-padding its spectrum: one forward transform of the whole signal, one
// backward transform of the new length, scaled by 1 / in.size(). The output
// spans the same time as the input. Returns 0, or -1 (output untouched)
// when a rate or length is unusable, a length exceeds FFTW's int range, or
// memory runs out.
int resample_to_rate(std::span<const double> in, std::int32_t rate_in, std::int32_t rate_out,
                     std::vector<double>& out);

// ---- Writing ----

inline constexpr std::size_t WAV_HEADER_BYTES = 44;
// The RIFF size field (36 + data bytes) is 32 bits wide.
inline constexpr std::uint64_t WAV_MAX_DATA_BYTES = 0xFFFFFFFFull - 36;

// True for the depths the reader and writer handle: 8, 16, 24 and 32 bits.
bool wav_bits_supported(int bits);

// Largest magnitude a depth stores without clipping, (2^(bits-1) - 1) / 2^(bits-1):
// full scale is 1.0, and the positive side ends one step short of it.
double wav_pcm_limit(int bits);

// Appends the PCM bytes of `samples` (full scale 1.0) to `out`: each sample
// times 2^(bits-1), rounded to nearest (ties to even), held to the depth's
// range and stored little-endian; 8-bit samples are unsigned, 128 for zero.
// Returns how many samples were held at the range's ends (clipped).
std::size_t wav_pcm_encode(std::span<const double> samples, int bits,
                           std::vector<std::uint8_t>& out);

// The canonical header: RIFF, a 16-byte PCM fmt chunk and the data chunk's
// head, for `data_bytes` bytes of audio (at most WAV_MAX_DATA_BYTES).
std::array<std::uint8_t, WAV_HEADER_BYTES> wav_header(std::uint32_t rate, std::uint16_t channels,
                                                      std::uint16_t bits, std::uint32_t data_bytes);

// Writes a WAV file in pieces: open() writes the header for a known number of
// frames, write() appends interleaved samples, close() checks that exactly
// that many frames came and that everything reached the file. Each returns 0,
// or -1 with the reason in error(). The file is closed on every path; a
// writer destroyed before close() leaves an incomplete file behind.
class WavWriter {
  public:
    int open(const char* path, std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
             std::uint64_t frames);
    int write(std::span<const double> interleaved);
    int close();
    // Why the last call failed, as printed after "wav_write: ".
    const std::string& error() const { return error_; }

  private:
    int fail(std::string why);
    int fail_errno(const char* what);
    FilePtr file_;
    std::string path_;
    std::string error_;
    int bits_ = 16;
    std::uint16_t channels_ = 1;
    std::uint64_t samples_left_ = 0;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace beacon
