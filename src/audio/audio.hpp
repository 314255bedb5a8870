// Audio input: integer-PCM WAV files read into mono double samples, and the
// FFT resampler that brings a recording to the decoder's working rate.
//
// The reader accepts any chunk order, any channel count (mixed down by
// averaging) and 8/16/24/32-bit integer PCM; every malformed file gets one
// line on the error stream. It keeps no state between calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace beacon {

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

}  // namespace beacon
