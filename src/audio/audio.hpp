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
#include <span>
#include <string>
#include <vector>

namespace beacon {

// An open FILE*, closed when it goes.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The decoded audio of one file. After resampling `samples`, `num_samples`
// and `sample_rate` describe the new signal; `channels` and
// `bits_per_sample` keep describing the file.
struct wav_data {
    std::int32_t sample_rate = 0;  // frames per second, as stored (not validated)
    std::int32_t channels = 0;
    std::int32_t bits_per_sample = 0;
    std::vector<double> samples;  // one mono sample per frame, nominally in [-1, 1)
    std::int64_t num_samples = 0;
};

// Reads the file at `path` into `wav`. Returns 0 on success (at least one
// sample), -1 on failure after writing the reason to `err`; the record is
// then empty. The file is closed on every path.
int wav_read(const char* path, wav_data& wav, std::FILE* err = stderr);

// The same for a stream that is already open and seekable (an in-memory
// file, say); `name` stands for the path in messages. The stream stays open
// and belongs to the caller.
int wav_read_stream(std::FILE* file, const char* name, wav_data& wav, std::FILE* err = stderr);

// Releases the samples; the format fields stay. Safe to call repeatedly.
void wav_free(wav_data& wav);

// Converts a mono signal from rate_in to rate_out Hz by cutting or
// zero-padding its spectrum: one forward transform of the whole signal, one
// backward transform of the new length, scaled by 1 / in_len. The output
// spans the same time as the input. Returns 0, or -1 (outputs untouched)
// when a rate or length is unusable, a length exceeds FFTW's int range, or
// memory runs out.
int resample_to_rate(const double* in_samples, std::int64_t in_len, std::int32_t rate_in,
                     std::int32_t rate_out, std::vector<double>& out_samples,
                     std::int64_t& out_len);

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
// or -1 after writing the reason to `err`. The file is closed on every path;
// a writer destroyed before close() leaves an incomplete file behind.
class WavWriter {
  public:
    int open(const char* path, std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
             std::uint64_t frames, std::FILE* err = stderr);
    int write(std::span<const double> interleaved);
    int close();
    // Samples held at the range's ends so far.
    std::uint64_t clipped() const { return clipped_; }

  private:
    int fail(const char* what);
    FilePtr file_;
    std::string path_;
    std::FILE* err_ = stderr;
    int bits_ = 16;
    std::uint16_t channels_ = 1;
    std::uint64_t samples_left_ = 0;
    std::uint64_t clipped_ = 0;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace beacon
