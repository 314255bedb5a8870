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

// A descriptor read in whole frames of PCM from where it stands, up to
// `limit` bytes or its end; the bytes of a partial frame wait for the next
// call and are dropped at the end. Closes the descriptor if `owned`.
class FdFrameReader final : public Reader {
  public:
    static constexpr std::uint64_t NO_LIMIT = ~std::uint64_t{0};
    FdFrameReader(int fd, bool owned, SampleFormat f, int rate, int channels,
                  std::uint64_t limit = NO_LIMIT);
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
    std::uint64_t limit_;                // bytes still to be read from the descriptor
    ReadStatus final_ = ReadStatus::ok;  // end or error once reached
    std::string error_;
};

// "cannot open 'PATH': strerror(errno)" and the like.
std::string errno_text(const char* what, const std::string& path, int err);

// Opens `path` for reading ("-": standard input, not owned). Returns the
// descriptor or -1 with `failure` set; a directory is refused.
int open_input(const std::string& path, bool& owned, std::optional<Failure>& failure);

// A descriptor closed when it goes, unless it is not ours or was released.
class FdGuard {
  public:
    FdGuard(int fd, bool owned) : fd_(fd), owned_(owned) {}
    ~FdGuard();
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
    bool owned_;
};

// What a RIFF/WAVE header says about the audio that follows it.
struct WavHeader {
    SampleFormat format = SampleFormat::s16;
    int rate = 0;
    int channels = 0;
    std::uint32_t data_size = 0;    // the data chunk's size field, as stored
    std::uint64_t data_offset = 0;  // where the audio starts
};

// Reads a RIFF/WAVE header from the descriptor's current position up to the
// start of the audio, and checks that its format is one we decode (integer
// PCM 8/16/24/32 bits, float 32/64 bits, plain or extensible). The
// descriptor is left at the audio. `seekable`: chunks before the audio are
// skipped by seeking, else by reading. Names the input `name` in failures;
// a signal during the reads gives a failure marked `interrupted`.
std::optional<Failure> read_wav_header(int fd, const std::string& name, bool seekable,
                                       WavHeader& header);

// True when the data size field is one that writers into a pipe leave (0 or
// 0xFFFFFFFF): the audio then runs to the end of the stream.
bool open_ended_size(std::uint32_t data_size);

}  // namespace beacon::stream::detail
