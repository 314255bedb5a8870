#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <new>

#include "audio/audio.hpp"
#include "util/format.hpp"

namespace beacon {
namespace {

constexpr std::uint16_t FORMAT_PCM = 1;
constexpr std::uint16_t FORMAT_EXTENSIBLE = 0xFFFE;
constexpr std::size_t RIFF_HEADER = 12;  // "RIFF", size, "WAVE"
constexpr std::size_t CHUNK_HEADER = 8;  // identifier, payload size
constexpr std::size_t FMT_BUFFER = 40;   // the longest fmt layout (extensible)
constexpr std::size_t FMT_BASIC = 16;    // tag, channels, rate, byte rate, align, bits
constexpr std::size_t SUB_FORMAT_AT = 24;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Where the bytes of a WAV file come from: an open file, which is skipped
// through by seeking, or a file held in memory. Positions past the end are
// allowed; reading there gives nothing.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual std::size_t read(void* to, std::size_t n) = 0;
    virtual void skip(std::uint64_t n) = 0;
    virtual void seek(std::int64_t pos) = 0;
    virtual std::int64_t position() = 0;
    virtual std::int64_t size() = 0;
};

class FileSource : public ByteSource {
  public:
    explicit FileSource(std::FILE* f) : f_(f) {}
    std::size_t read(void* to, std::size_t n) override { return std::fread(to, 1, n, f_); }
    void skip(std::uint64_t n) override {
        if (n > 0) fseeko(f_, static_cast<off_t>(n), SEEK_CUR);
    }
    void seek(std::int64_t pos) override { fseeko(f_, static_cast<off_t>(pos), SEEK_SET); }
    std::int64_t position() override { return ftello(f_); }
    std::int64_t size() override {
        fseeko(f_, 0, SEEK_END);
        return ftello(f_);
    }

  private:
    std::FILE* f_;
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::size_t read(void* to, std::size_t n) override {
        if (pos_ >= bytes_.size()) return 0;
        const std::size_t k = std::min<std::uint64_t>(n, bytes_.size() - pos_);
        std::memcpy(to, bytes_.data() + pos_, k);
        pos_ += k;
        return k;
    }
    void skip(std::uint64_t n) override { pos_ += n; }
    void seek(std::int64_t pos) override { pos_ = static_cast<std::uint64_t>(pos); }
    std::int64_t position() override { return static_cast<std::int64_t>(pos_); }
    std::int64_t size() override {
        pos_ = bytes_.size();
        return static_cast<std::int64_t>(pos_);
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t pos_ = 0;
};

// What the chunk walk finds: the last complete fmt chunk and the last data
// chunk.
struct Chunks {
    bool have_fmt = false, have_data = false;
    std::uint16_t tag = 0, channels = 0, bits = 0;
    std::uint32_t rate = 0;
    bool has_sub_format = false;  // the fmt chunk holds the whole extension
    std::uint16_t sub_format = 0;
    std::int64_t data_pos = 0;
    std::uint32_t data_size = 0;
};

// Walks the chunks behind the RIFF header to the physical end of the file:
// later chunks of the same kind replace earlier ones.
Chunks walk_chunks(ByteSource& src) {
    Chunks c;
    for (;;) {
        unsigned char ch[CHUNK_HEADER];
        if (src.read(ch, CHUNK_HEADER) != CHUNK_HEADER) break;
        const std::uint32_t size = le32(ch + 4);
        if (std::memcmp(ch, "fmt ", 4) == 0 && size >= FMT_BASIC) {
            unsigned char buf[FMT_BUFFER] = {};
            const std::size_t want = size < FMT_BUFFER ? size : FMT_BUFFER;
            if (src.read(buf, want) != want) break;
            src.skip(size - want);
            c.tag = le16(buf);
            c.channels = le16(buf + 2);
            c.rate = le32(buf + 4);
            c.bits = le16(buf + 14);
            c.has_sub_format = size >= FMT_BUFFER;
            c.sub_format = le16(buf + SUB_FORMAT_AT);
            c.have_fmt = true;
        } else if (std::memcmp(ch, "data", 4) == 0) {
            c.data_pos = src.position();
            c.data_size = size;
            src.skip(size);
            c.have_data = true;
        } else {
            // Other chunks, and fmt chunks too short to hold the four fields,
            // are skipped unread.
            src.skip(size);
        }
        if (size % 2 == 1) src.skip(1);
    }
    return c;
}

// The checks of the format, in the order their failures are reported.
WavError check_format(const Chunks& c, unsigned& detail) {
    if (!c.have_fmt || !c.have_data) return WavError::missing_chunk;
    // An extensible file that names another sub-format (3: float) must not
    // be read as integers.
    const bool integer_pcm =
        c.tag == FORMAT_PCM ||
        (c.tag == FORMAT_EXTENSIBLE && (!c.has_sub_format || c.sub_format == FORMAT_PCM));
    if (!integer_pcm) {
        detail = c.tag == FORMAT_EXTENSIBLE && c.has_sub_format ? c.sub_format : c.tag;
        return WavError::unsupported_format;
    }
    if (!wav_bits_supported(c.bits)) {
        detail = c.bits;
        return WavError::unsupported_bit_depth;
    }
    if (c.channels == 0) return WavError::invalid_channel_count;
    return WavError::none;
}

// One raw sample scaled to [-1, 1).
double sample_value(const unsigned char* p, int bits) {
    switch (bits) {
        case 8:
            return (static_cast<int>(p[0]) - 128) * 0.0078125;
        case 16:
            return static_cast<std::int16_t>(le16(p)) * 3.0517578125e-05;
        case 24: {
            std::int32_t v = static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
            if (v & 0x800000) v -= 0x1000000;
            return v * 1.1920928955078125e-07;
        }
        default:
            return static_cast<std::int32_t>(le32(p)) * 4.656612873077393e-10;
    }
}

// Reads the whole file from `src` into `wav`. `close` is called once the
// audio bytes are in memory, before the samples are allocated.
template <typename Close>
WavReadResult read_wav(ByteSource& src, wav_data& wav, Close&& close) {
    WavReadResult r;
    unsigned char header[RIFF_HEADER];
    if (src.read(header, RIFF_HEADER) != RIFF_HEADER || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        r.error = WavError::not_riff_wave;
        return r;
    }
    const Chunks c = walk_chunks(src);
    r.error = check_format(c, r.detail);
    if (!r.ok()) return r;

    // What the file really holds behind the start of the audio.
    const std::int64_t file_size = src.size();
    long available = static_cast<long>(file_size - c.data_pos);
    if (available < 0) available = 0;
    std::uint64_t usable = c.data_size;
    if (static_cast<std::uint64_t>(c.data_size) > static_cast<std::uint64_t>(available)) {
        r.truncated = WavTruncation{c.data_size, available};
        usable = static_cast<std::uint64_t>(available);
    }

    const std::size_t sample_bytes = c.bits / 8u;
    const std::size_t frame_bytes = static_cast<std::size_t>(c.channels) * sample_bytes;
    const std::size_t frames = static_cast<std::size_t>(usable / frame_bytes);
    if (frames == 0) {
        r.error = WavError::no_audio_data;
        return r;
    }

    src.seek(c.data_pos);
    const std::size_t nbytes = frames * frame_bytes;
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[nbytes]);
    if (!bytes || src.read(bytes.get(), nbytes) != nbytes) {
        r.error = WavError::incomplete_read;
        return r;
    }
    close();

    try {
        wav.samples.resize(frames);
    } catch (const std::exception&) {
        wav.samples = {};
        r.error = WavError::no_memory;
        return r;
    }
    // Channels scaled, summed in order, divided by the channel count.
    const double divisor = static_cast<double>(c.channels);
    const unsigned char* p = bytes.get();
    for (std::size_t i = 0; i < frames; ++i) {
        double sum = 0.0;
        for (unsigned ch = 0; ch < c.channels; ++ch, p += sample_bytes)
            sum += sample_value(p, c.bits);
        wav.samples[i] = sum / divisor;
    }
    wav.sample_rate = static_cast<std::int32_t>(c.rate);
    wav.channels = c.channels;
    wav.bits_per_sample = c.bits;
    return r;
}

}  // namespace

WavReadResult wav_read(const char* path, wav_data& wav) {
    wav = wav_data{};
    WavReadResult r;
    // A FIFO would block the open and a directory cannot be walked: refuse
    // anything that exists but is not a regular file before opening it.
    struct stat st {};
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        r.error = WavError::not_regular_file;
        return r;
    }
    FilePtr file(std::fopen(path, "rb"));
    if (!file) {
        r.error = WavError::cannot_open;
        return r;
    }
    FileSource src(file.get());
    return read_wav(src, wav, [&] { file.reset(); });
}

WavReadResult wav_read_memory(std::span<const std::uint8_t> bytes, wav_data& wav) {
    wav = wav_data{};
    MemorySource src(bytes);
    return read_wav(src, wav, [] {});
}

std::string wav_error_text(const WavReadResult& r, const char* name) {
    switch (r.error) {
        case WavError::none:
            return {};
        case WavError::not_regular_file:
            return format("'%s' is not a regular file", name);
        case WavError::cannot_open:
            return format("cannot open '%s'", name);
        case WavError::not_riff_wave:
            return format("'%s' is not a valid RIFF/WAVE file", name);
        case WavError::missing_chunk:
            return format("'%s' - missing fmt or data chunk", name);
        case WavError::unsupported_format:
            return format("unsupported audio format %u (integer PCM required)", r.detail);
        case WavError::unsupported_bit_depth:
            return format("unsupported bit depth %u", r.detail);
        case WavError::invalid_channel_count:
            return "invalid channel count";
        case WavError::no_audio_data:
            return format("no usable audio data in '%s'", name);
        case WavError::incomplete_read:
            return "incomplete read of audio data";
        case WavError::no_memory:
            return "memory allocation failed";
    }
    return {};
}

std::string wav_truncation_text(const WavTruncation& t) {
    return format("data chunk claims %u bytes but only %ld are available in the file; truncating.",
                  t.declared, t.available);
}

}  // namespace beacon
