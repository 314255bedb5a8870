// Internal to src/stream: interleaved PCM bytes to mono doubles, and a file
// descriptor read in whole frames. The raw reader, the WAV-stream reader and
// the fuzz target share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "stream/stream.hpp"

namespace beacon::stream::detail {

// Every sample layout a stream can carry; u8 is WAV's 8-bit unsigned PCM.
enum class SampleFormat { u8, s16, s24, s32, f32, f64 };

int bytes_per_sample(SampleFormat f);
SampleFormat sample_format(RawEncoding enc);

// Converts `frames` frames of `channels` interleaved samples at `in` to mono:
// each sample scaled (integers by 2^-(bits-1)), summed in channel order,
// divided by the channel count.
void decode_frames(const std::uint8_t* in, std::size_t frames, int channels, SampleFormat f,
                   double* out);

// A descriptor read in whole frames of PCM; the bytes of a partial frame wait
// for the next call and are dropped at the end. `pending` bytes (already read
// from the descriptor, say while parsing a header) come first.
class FdFrameReader final : public Reader {
  public:
    FdFrameReader(int fd, bool owned, SampleFormat f, int rate, int channels,
                  std::vector<std::uint8_t> pending = {});
    ~FdFrameReader() override;
    FdFrameReader(const FdFrameReader&) = delete;
    FdFrameReader& operator=(const FdFrameReader&) = delete;
    int rate() const override { return rate_; }
    int channels() const override { return channels_; }
    ReadResult read(std::span<double> out) override;

  private:
    int fd_;
    bool owned_;
    SampleFormat format_;
    int rate_;
    int channels_;
    std::size_t frame_bytes_;
    std::vector<std::uint8_t> buffer_;  // buffer_[0, filled_) not yet converted
    std::size_t filled_ = 0;
    ReadStatus final_ = ReadStatus::ok;  // end or error once reached
    std::string error_;
};

// "cannot open 'PATH': strerror(errno)" and the like.
std::string errno_text(const char* what, const std::string& path, int err);

// Opens `path` for reading ("-": standard input, not owned). Returns the
// descriptor or -1 with `failure` set.
int open_input(const std::string& path, bool& owned, std::optional<Failure>& failure);

}  // namespace beacon::stream::detail
