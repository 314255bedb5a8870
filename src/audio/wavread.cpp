#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <new>

#include "audio/audio.hpp"

namespace beacon {
namespace {

constexpr std::uint16_t FORMAT_PCM = 1;
constexpr std::uint16_t FORMAT_EXTENSIBLE = 0xFFFE;
constexpr std::size_t FMT_BUFFER = 40;  // the longest fmt layout (extensible)
constexpr std::size_t FMT_BASIC = 16;   // tag, channels, rate, byte rate, align, bits

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// What the header walk learns, and the raw audio bytes it reads.
struct PcmPayload {
    std::uint16_t channels = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t bits = 0;
    std::size_t frames = 0;
    std::unique_ptr<unsigned char[]> bytes;
};

void skip(std::FILE* f, std::uint64_t n) {
    if (n > 0) fseeko(f, static_cast<off_t>(n), SEEK_CUR);
}

// Walks the chunks of an open file, validates the format and reads the whole
// audio payload into memory. Returns 0 or -1 (message written).
int read_payload(std::FILE* f, const char* name, PcmPayload& out, std::FILE* err) {
    unsigned char header[12];
    if (std::fread(header, 1, 12, f) != 12 || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        std::fprintf(err, "wav_read: '%s' is not a valid RIFF/WAVE file\n", name);
        return -1;
    }

    bool have_fmt = false;
    bool have_data = false;
    std::uint16_t tag = 0;
    std::uint16_t sub_format = 0;
    bool has_sub_format = false;
    std::uint16_t channels = 0;
    std::uint32_t rate = 0;
    std::uint16_t bits = 0;
    off_t data_pos = 0;
    std::uint32_t data_size = 0;

    // The walk runs to the physical end of the file: later chunks of the same
    // kind replace earlier ones.
    for (;;) {
        unsigned char ch[8];
        if (std::fread(ch, 1, 8, f) != 8) break;
        const std::uint32_t size = le32(ch + 4);
        if (std::memcmp(ch, "fmt ", 4) == 0 && size >= FMT_BASIC) {
            unsigned char buf[FMT_BUFFER] = {};
            const std::size_t want = size < FMT_BUFFER ? size : FMT_BUFFER;
            if (std::fread(buf, 1, want, f) != want) break;
            skip(f, size - want);
            tag = le16(buf);
            channels = le16(buf + 2);
            rate = le32(buf + 4);
            bits = le16(buf + 14);
            // The sub-format tag of the extensible layout is only there in
            // a chunk that holds the whole extension.
            has_sub_format = size >= FMT_BUFFER;
            sub_format = le16(buf + 24);
            have_fmt = true;
        } else if (std::memcmp(ch, "data", 4) == 0) {
            data_pos = ftello(f);
            data_size = size;
            skip(f, size);
            have_data = true;
        } else {
            // Other chunks, and fmt chunks too short to hold the four fields,
            // are skipped unread.
            skip(f, size);
        }
        if (size % 2 == 1) skip(f, 1);
    }

    if (!have_fmt || !have_data) {
        std::fprintf(err, "wav_read: '%s' - missing fmt or data chunk\n", name);
        return -1;
    }
    // An extensible file that names another sub-format (3: float) must not
    // be read as integers.
    const unsigned shown_format = tag == FORMAT_EXTENSIBLE && has_sub_format ? sub_format : tag;
    const bool integer_pcm =
        tag == FORMAT_PCM || (tag == FORMAT_EXTENSIBLE && (!has_sub_format || sub_format == 1));
    if (!integer_pcm) {
        std::fprintf(err, "wav_read: unsupported audio format %u (integer PCM required)\n",
                     shown_format);
        return -1;
    }
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        std::fprintf(err, "wav_read: unsupported bit depth %u\n", static_cast<unsigned>(bits));
        return -1;
    }
    if (channels == 0) {
        std::fprintf(err, "wav_read: invalid channel count\n");
        return -1;
    }

    fseeko(f, 0, SEEK_END);
    const off_t file_size = ftello(f);
    long available = static_cast<long>(file_size - data_pos);
    if (available < 0) available = 0;
    std::uint64_t usable = data_size;
    if (static_cast<std::uint64_t>(data_size) > static_cast<std::uint64_t>(available)) {
        std::fprintf(err,
                     "wav_read: warning - data chunk claims %u bytes but only %ld are available "
                     "in the file; truncating.\n",
                     data_size, available);
        usable = static_cast<std::uint64_t>(available);
    }

    const std::size_t frame_bytes = static_cast<std::size_t>(channels) * (bits / 8u);
    const std::size_t frames = static_cast<std::size_t>(usable / frame_bytes);
    if (frames == 0) {
        std::fprintf(err, "wav_read: no usable audio data in '%s'\n", name);
        return -1;
    }

    fseeko(f, data_pos, SEEK_SET);
    const std::size_t nbytes = frames * frame_bytes;
    out.bytes.reset(new (std::nothrow) unsigned char[nbytes]);
    if (!out.bytes || std::fread(out.bytes.get(), 1, nbytes, f) != nbytes) {
        out.bytes.reset();
        std::fprintf(err, "wav_read: incomplete read of audio data\n");
        return -1;
    }
    out.channels = channels;
    out.sample_rate = rate;
    out.bits = bits;
    out.frames = frames;
    return 0;
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

// Mixes the payload down to mono doubles: channels scaled, summed in order,
// divided by the channel count.
int convert(PcmPayload& payload, wav_data& wav, std::FILE* err) {
    try {
        wav.samples.resize(payload.frames);
    } catch (const std::exception&) {
        wav.samples = {};
        std::fprintf(err, "wav_read: memory allocation failed\n");
        return -1;
    }
    const int bits = payload.bits;
    const std::size_t bytes_per_sample = static_cast<std::size_t>(bits / 8);
    const unsigned channels = payload.channels;
    const double divisor = static_cast<double>(channels);
    const unsigned char* p = payload.bytes.get();
    for (std::size_t i = 0; i < payload.frames; ++i) {
        double sum = 0.0;
        for (unsigned c = 0; c < channels; ++c, p += bytes_per_sample)
            sum += sample_value(p, bits);
        wav.samples[i] = sum / divisor;
    }
    payload.bytes.reset();
    wav.sample_rate = static_cast<std::int32_t>(payload.sample_rate);
    wav.channels = payload.channels;
    wav.bits_per_sample = payload.bits;
    wav.num_samples = static_cast<std::int64_t>(payload.frames);
    return 0;
}

}  // namespace

int wav_read(const char* path, wav_data& wav, std::FILE* err) {
    wav = wav_data{};
    // A FIFO would block the open and a directory cannot be walked: refuse
    // anything that exists but is not a regular file before opening it.
    struct stat st {};
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fprintf(err, "wav_read: '%s' is not a regular file\n", path);
        return -1;
    }
    FilePtr file(std::fopen(path, "rb"));
    if (!file) {
        std::fprintf(err, "wav_read: cannot open '%s'\n", path);
        return -1;
    }
    PcmPayload payload;
    if (read_payload(file.get(), path, payload, err) != 0) return -1;
    file.reset();  // closed before the samples are allocated
    return convert(payload, wav, err);
}

int wav_read_stream(std::FILE* file, const char* name, wav_data& wav, std::FILE* err) {
    wav = wav_data{};
    PcmPayload payload;
    if (read_payload(file, name, payload, err) != 0) return -1;
    return convert(payload, wav, err);
}

void wav_free(wav_data& wav) {
    wav.samples = std::vector<double>();
    wav.num_samples = 0;
}

}  // namespace beacon
