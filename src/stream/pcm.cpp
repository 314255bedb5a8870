#include "stream/pcm.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace beacon::stream::detail {
namespace {

// The same constants as beacondec's WAV reader: exact powers of two.
constexpr double SCALE8 = 0.0078125;                // 2^-7
constexpr double SCALE16 = 3.0517578125e-05;        // 2^-15
constexpr double SCALE24 = 1.1920928955078125e-07;  // 2^-23
constexpr double SCALE32 = 4.656612873077393e-10;   // 2^-31
static_assert(SCALE16 * 32768.0 == 1.0 && SCALE24 * 8388608.0 == 1.0 &&
              SCALE32 * 2147483648.0 == 1.0 && SCALE8 * 128.0 == 1.0);

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

double sample_value(const std::uint8_t* p, SampleFormat f) {
    switch (f) {
        case SampleFormat::u8:
            return (static_cast<int>(p[0]) - 128) * SCALE8;
        case SampleFormat::s16:
            return static_cast<std::int16_t>(p[0] | (p[1] << 8)) * SCALE16;
        case SampleFormat::s24: {
            std::int32_t v = static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
            if (v & 0x800000) v -= 0x1000000;
            return v * SCALE24;
        }
        case SampleFormat::s32:
            return static_cast<std::int32_t>(le32(p)) * SCALE32;
        case SampleFormat::f32: {
            const std::uint32_t bits = le32(p);
            float v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        case SampleFormat::f64: {
            const std::uint64_t bits = le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
    }
    return 0.0;
}

// Bytes asked of the descriptor per read: a few pipe buffers.
constexpr std::size_t READ_BYTES = 1 << 16;

}  // namespace

int bytes_per_sample(SampleFormat f) {
    switch (f) {
        case SampleFormat::u8:
            return 1;
        case SampleFormat::s16:
            return 2;
        case SampleFormat::s24:
            return 3;
        case SampleFormat::s32:
        case SampleFormat::f32:
            return 4;
        case SampleFormat::f64:
            return 8;
    }
    return 1;
}

SampleFormat sample_format(RawEncoding enc) {
    switch (enc) {
        case RawEncoding::s16le:
            return SampleFormat::s16;
        case RawEncoding::s24le:
            return SampleFormat::s24;
        case RawEncoding::s32le:
            return SampleFormat::s32;
        case RawEncoding::f32le:
            return SampleFormat::f32;
    }
    return SampleFormat::s16;
}

void decode_frames(const std::uint8_t* in, std::size_t frames, int channels, SampleFormat f,
                   double* out) {
    const std::size_t step = static_cast<std::size_t>(bytes_per_sample(f));
    const double divisor = static_cast<double>(channels);
    for (std::size_t i = 0; i < frames; ++i) {
        double sum = 0.0;
        for (int c = 0; c < channels; ++c, in += step)
            sum += sample_value(in, f);
        out[i] = sum / divisor;
    }
}

FdFrameReader::FdFrameReader(int fd, bool owned, SampleFormat f, int rate, int channels,
                             std::uint64_t limit)
    : fd_(fd),
      owned_(owned),
      format_(f),
      rate_(rate),
      channels_(channels),
      frame_bytes_(static_cast<std::size_t>(channels) * bytes_per_sample(f)),
      buffer_(std::max(READ_BYTES, 2 * frame_bytes_)),
      limit_(limit) {}

FdFrameReader::~FdFrameReader() {
    if (owned_ && fd_ >= 0) ::close(fd_);
}

ReadResult FdFrameReader::read(std::span<double> out) {
    ReadResult r;
    if (out.empty()) {
        r.status = ReadStatus::error;
        r.error = "read into an empty buffer";
        return r;
    }
    while (final_ == ReadStatus::ok && filled_ < frame_bytes_) {
        const std::size_t room =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - filled_, limit_));
        const ssize_t n = room == 0 ? 0 : ::read(fd_, buffer_.data() + filled_, room);
        if (n > 0) {
            filled_ += static_cast<std::size_t>(n);
            if (limit_ != NO_LIMIT) limit_ -= static_cast<std::uint64_t>(n);
        } else if (n == 0) {
            final_ = ReadStatus::end;  // a partial frame left in the buffer is dropped
        } else if (errno == EINTR) {
            r.status = ReadStatus::interrupted;
            return r;
        } else {
            final_ = ReadStatus::error;
            error_ = std::string("read error: ") + std::strerror(errno);
        }
    }
    if (filled_ < frame_bytes_) {
        r.status = final_;
        r.error = error_;
        return r;
    }
    const std::size_t frames = std::min(out.size(), filled_ / frame_bytes_);
    decode_frames(buffer_.data(), frames, channels_, format_, out.data());
    const std::size_t used = frames * frame_bytes_;
    std::memmove(buffer_.data(), buffer_.data() + used, filled_ - used);
    filled_ -= used;
    r.frames = frames;
    return r;
}

FdGuard::~FdGuard() {
    if (owned_ && fd_ >= 0) ::close(fd_);
}

std::string errno_text(const char* what, const std::string& path, int err) {
    return std::string(what) + " '" + path + "': " + std::strerror(err);
}

int open_input(const std::string& path, bool& owned, std::optional<Failure>& failure) {
    if (path == "-") {
        owned = false;
        return STDIN_FILENO;
    }
    // Not retried on EINTR: opening a FIFO waits for its writer, and a
    // signal then is the program's to handle.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failure = Failure{errno_text("cannot open", path, errno), errno == EINTR};
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        failure = Failure{errno_text("cannot read", path, EISDIR)};
        return -1;
    }
    owned = true;
    return fd;
}

}  // namespace beacon::stream::detail
