// The RIFF/WAVE header of a stream, read in order: a pipe cannot go back, so
// the fmt chunk must come before the data chunk (as every writer puts it),
// and the data chunk is where reading stops.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "stream/pcm.hpp"

namespace beacon::stream::detail {
namespace {

constexpr std::uint16_t FORMAT_PCM = 1;
constexpr std::uint16_t FORMAT_FLOAT = 3;
constexpr std::uint16_t FORMAT_EXTENSIBLE = 0xFFFE;
constexpr std::uint32_t FMT_BASIC = 16;    // tag, channels, rate, byte rate, align, bits
constexpr std::uint32_t FMT_LONGEST = 40;  // the extensible layout, sub-format at 24
// A chunk before the audio that a pipe would have to read through: larger
// than this is not a header any writer makes.
constexpr std::uint32_t MAX_SKIP_IN_PIPE = 1u << 24;

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The header's bytes, read exactly, with the position counted.
class HeaderInput {
  public:
    HeaderInput(int fd, const std::string& name, bool seekable)
        : fd_(fd), name_(name), seekable_(seekable) {}

    // Fills `out` completely, or fails (the end of the input, an error, a signal).
    std::optional<Failure> read(std::uint8_t* out, std::size_t n) {
        while (n > 0) {
            const ssize_t got = ::read(fd_, out, n);
            if (got > 0) {
                out += got;
                n -= static_cast<std::size_t>(got);
                offset_ += static_cast<std::uint64_t>(got);
            } else if (got == 0) {
                at_end_ = true;
                return fail("the WAV header ends early");
            } else if (errno == EINTR) {
                Failure f = fail("interrupted while reading the header");
                f.interrupted = true;
                return f;
            } else {
                return fail(std::string("read error: ") + std::strerror(errno));
            }
        }
        return std::nullopt;
    }

    std::optional<Failure> skip(std::uint64_t n) {
        if (seekable_) {
            if (::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) < 0)
                return fail(std::string("seek error: ") + std::strerror(errno));
            offset_ += n;
            return std::nullopt;
        }
        std::uint8_t sink[4096];
        while (n > 0) {
            const std::size_t step = n < sizeof sink ? static_cast<std::size_t>(n) : sizeof sink;
            if (auto f = read(sink, step)) return f;
            n -= step;
        }
        return std::nullopt;
    }

    Failure fail(const std::string& what) const { return Failure{"'" + name_ + "': " + what}; }
    std::uint64_t offset() const { return offset_; }
    bool seekable() const { return seekable_; }
    bool at_end() const { return at_end_; }

  private:
    int fd_;
    const std::string& name_;
    bool seekable_;
    std::uint64_t offset_ = 0;
    bool at_end_ = false;
};

struct Fmt {
    std::uint16_t tag = 0;
    std::uint16_t channels = 0;
    std::uint32_t rate = 0;
    std::uint16_t bits = 0;
    bool has_sub_format = false;
    std::uint16_t sub_format = 0;
};

// The sample layout a fmt chunk describes, or a failure that says why not.
std::optional<Failure> check_format(const Fmt& fmt, const HeaderInput& in, WavHeader& header) {
    // An extensible chunk too short to hold its sub-format is read as PCM,
    // as beacondec's reader does.
    const unsigned format =
        fmt.tag == FORMAT_EXTENSIBLE ? (fmt.has_sub_format ? fmt.sub_format : FORMAT_PCM) : fmt.tag;
    if (format == FORMAT_PCM) {
        switch (fmt.bits) {
            case 8:
                header.format = SampleFormat::u8;
                break;
            case 16:
                header.format = SampleFormat::s16;
                break;
            case 24:
                header.format = SampleFormat::s24;
                break;
            case 32:
                header.format = SampleFormat::s32;
                break;
            default:
                return in.fail("unsupported PCM bit depth " + std::to_string(fmt.bits));
        }
    } else if (format == FORMAT_FLOAT) {
        switch (fmt.bits) {
            case 32:
                header.format = SampleFormat::f32;
                break;
            case 64:
                header.format = SampleFormat::f64;
                break;
            default:
                return in.fail("unsupported float bit depth " + std::to_string(fmt.bits));
        }
    } else {
        return in.fail("unsupported audio format " + std::to_string(format) +
                       " (integer PCM or float required)");
    }
    if (fmt.channels == 0) return in.fail("invalid channel count 0");
    if (fmt.rate == 0 || fmt.rate > INT_MAX)
        return in.fail("invalid sample rate " + std::to_string(fmt.rate));
    header.channels = fmt.channels;
    header.rate = static_cast<int>(fmt.rate);
    return std::nullopt;
}

}  // namespace

bool open_ended_size(std::uint32_t data_size) {
    return data_size == 0 || data_size == 0xFFFFFFFFu;
}

std::optional<Failure> read_wav_header(int fd, const std::string& name, bool seekable,
                                       WavHeader& header) {
    HeaderInput in(fd, name, seekable);
    std::uint8_t riff[12];
    if (auto f = in.read(riff, 4)) {
        if (!in.at_end()) return f;
        return in.fail(in.offset() == 0 ? "not a WAV stream (empty)"
                                        : "not a WAV stream (no RIFF/WAVE header)");
    }
    if (std::memcmp(riff, "fLaC", 4) == 0)
        return in.fail("FLAC is read from files only, not from a pipe");
    if (auto f = in.read(riff + 4, 8)) return f;
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return in.fail("not a WAV stream (no RIFF/WAVE header)");

    std::optional<Fmt> fmt;
    for (;;) {
        std::uint8_t ch[8];
        if (auto f = in.read(ch, 8)) return f;
        const std::uint32_t size = le32(ch + 4);
        if (std::memcmp(ch, "data", 4) == 0) {
            if (!fmt) return in.fail("no fmt chunk before the data chunk");
            if (auto f = check_format(*fmt, in, header)) return f;
            header.data_size = size;
            header.data_offset = in.offset();
            return std::nullopt;
        }
        const std::uint64_t padded = size + std::uint64_t{size % 2};
        if (std::memcmp(ch, "fmt ", 4) == 0 && size >= FMT_BASIC) {
            std::uint8_t buf[FMT_LONGEST] = {};
            const std::uint32_t want = size < FMT_LONGEST ? size : FMT_LONGEST;
            if (auto f = in.read(buf, want)) return f;
            if (auto f = in.skip(padded - want)) return f;
            fmt = Fmt{le16(buf),      le16(buf + 2),       le32(buf + 4),
                      le16(buf + 14), size >= FMT_LONGEST, le16(buf + 24)};
            continue;
        }
        // Other chunks (and fmt chunks too short to use) are passed over.
        if (!in.seekable() && size > MAX_SKIP_IN_PIPE) {
            return in.fail("a chunk of " + std::to_string(size) + " bytes before the audio");
        }
        if (auto f = in.skip(padded)) return f;
    }
}

}  // namespace beacon::stream::detail
