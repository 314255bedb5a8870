#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio/audio.hpp"
#include "util/format.hpp"

namespace beacon {
namespace {

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xff);
    p[1] = static_cast<std::uint8_t>((v >> 8) & 0xff);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v & 0xffff);
    put16(p + 2, v >> 16);
}

// Samples converted per call of fwrite: bounds the byte buffer.
constexpr std::size_t WRITE_BLOCK = 1 << 16;

}  // namespace

bool wav_bits_supported(int bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

double wav_pcm_limit(int bits) {
    const double full = std::ldexp(1.0, bits - 1);
    return (full - 1) / full;
}

std::size_t wav_pcm_encode(std::span<const double> samples, int bits,
                           std::vector<std::uint8_t>& out) {
    const double full = std::ldexp(1.0, bits - 1);
    const int bytes = bits / 8;
    std::size_t clipped = 0;
    out.reserve(out.size() + samples.size() * static_cast<std::size_t>(bytes));
    for (double x : samples) {
        double q = std::nearbyint(x * full);
        // NaN compares false both ways and is stored as the most negative
        // value, counted as clipped like any other value out of range.
        if (!(q >= -full && q <= full - 1)) {
            q = q > 0 ? full - 1 : -full;
            ++clipped;
        }
        const auto v = static_cast<std::int64_t>(q);
        if (bits == 8) {
            out.push_back(static_cast<std::uint8_t>(v + 128));
        } else {
            for (int k = 0; k < bytes; ++k)
                out.push_back(
                    static_cast<std::uint8_t>((static_cast<std::uint64_t>(v) >> (8 * k)) & 0xff));
        }
    }
    return clipped;
}

std::array<std::uint8_t, WAV_HEADER_BYTES> wav_header(std::uint32_t rate, std::uint16_t channels,
                                                      std::uint16_t bits,
                                                      std::uint32_t data_bytes) {
    const std::uint32_t align = channels * (bits / 8u);
    std::array<std::uint8_t, WAV_HEADER_BYTES> h{};
    std::memcpy(&h[0], "RIFF", 4);
    put32(&h[4], 36 + data_bytes);
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], "fmt ", 4);
    put32(&h[16], 16);
    put16(&h[20], 1);  // integer PCM
    put16(&h[22], channels);
    put32(&h[24], rate);
    put32(&h[28], rate * align);
    put16(&h[32], align);
    put16(&h[34], bits);
    std::memcpy(&h[36], "data", 4);
    put32(&h[40], data_bytes);
    return h;
}

int WavWriter::fail(std::string why) {
    error_ = std::move(why);
    file_.reset();
    return -1;
}

int WavWriter::fail_errno(const char* what) {
    return fail(format("%s '%s': %s", what, path_.c_str(), std::strerror(errno)));
}

int WavWriter::open(const char* path, std::uint32_t rate, std::uint16_t channels,
                    std::uint16_t bits, std::uint64_t frames) {
    file_.reset();
    error_.clear();
    path_ = path;
    if (!wav_bits_supported(bits) || channels == 0) {
        return fail(format("unsupported format (%u channels, %u bits)",
                           static_cast<unsigned>(channels), static_cast<unsigned>(bits)));
    }
    const std::uint64_t align = channels * (bits / 8u);
    if (frames > WAV_MAX_DATA_BYTES / align || rate > 0xFFFFFFFFull / align) {
        return fail(format("'%s' would be too large for a WAV file", path));
    }
    bits_ = bits;
    channels_ = channels;
    samples_left_ = frames * channels;
    file_.reset(std::fopen(path, "wb"));
    if (!file_) return fail_errno("cannot create");
    const auto header =
        wav_header(rate, channels, bits, static_cast<std::uint32_t>(frames * align));
    if (std::fwrite(header.data(), 1, header.size(), file_.get()) != header.size())
        return fail_errno("cannot write");
    return 0;
}

int WavWriter::write(std::span<const double> interleaved) {
    if (!file_) return -1;
    if (interleaved.size() > samples_left_) {
        return fail(format("more samples than declared for '%s'", path_.c_str()));
    }
    for (std::size_t pos = 0; pos < interleaved.size(); pos += WRITE_BLOCK) {
        const auto block =
            interleaved.subspan(pos, std::min(WRITE_BLOCK, interleaved.size() - pos));
        buffer_.clear();
        wav_pcm_encode(block, bits_, buffer_);
        if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_.get()) != buffer_.size())
            return fail_errno("cannot write");
    }
    samples_left_ -= interleaved.size();
    return 0;
}

int WavWriter::close() {
    if (!file_) return -1;
    if (samples_left_ != 0) {
        return fail(format("fewer samples than declared for '%s'", path_.c_str()));
    }
    std::FILE* f = file_.release();
    const bool flushed = std::fflush(f) == 0;
    const int saved = errno;
    const bool closed = std::fclose(f) == 0;
    if (!flushed || !closed) {
        if (!flushed) errno = saved;
        return fail(format("cannot write '%s': %s", path_.c_str(), std::strerror(errno)));
    }
    return 0;
}

}  // namespace beacon
