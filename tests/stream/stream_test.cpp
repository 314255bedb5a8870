// The stream readers and the resampler. Readers give the very doubles that
// beacondec's WAV reader gives, whichever way the bytes come (libsndfile on a
// file, our header parser on a pipe or on an open-ended file), one failure
// text per broken header, headerless samples in every encoding; the
// resampler keeps a tone's time and amplitude. A signal during a read, ALSA
// capture and an unknown device are tested end to end in beaconmon's tests.
#include "stream/stream.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <numbers>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "audio/audio.hpp"
#include "support/support.hpp"

namespace beacon::test {
namespace {

using stream::RawEncoding;
using stream::ReadStatus;

// Everything a reader gives, read in blocks of `block` frames; the last status.
struct Drained {
    std::vector<double> samples;
    ReadStatus status = ReadStatus::ok;
};
Drained drain(stream::Reader& reader, std::size_t block = 1000) {
    Drained d;
    std::vector<double> buf(block);
    for (;;) {
        const stream::ReadResult r = reader.read(buf);
        if (r.status == ReadStatus::interrupted) continue;
        if (r.status != ReadStatus::ok) {
            EXPECT_EQ(r.frames, 0u);
            d.status = r.status;
            return d;
        }
        EXPECT_GT(r.frames, 0u);
        d.samples.insert(d.samples.end(), buf.begin(), buf.begin() + r.frames);
    }
}

Drained read_path(const std::string& path) {
    auto opened = stream::open_audio_file(path);
    if (!opened.reader) {
        ADD_FAILURE() << (opened.failure ? opened.failure->text : "no reader");
        return {};
    }
    return drain(*opened.reader, 777);
}

std::string failure_text(const std::string& path) {
    auto opened = stream::open_audio_file(path);
    EXPECT_FALSE(opened.reader);
    return opened.failure ? opened.failure->text : "(no failure)";
}

// A named pipe in `dir` that a thread fills with `bytes` in pieces of
// `piece` bytes once a reader opens it, then closes: the reader sees a real
// pipe, short reads and all.
class FeedPipe {
  public:
    FeedPipe(const TempDir& dir, Bytes bytes, std::size_t piece = 4093)
        : path_(dir.file("pipe" + std::to_string(counter_++))) {
        std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not kill the test
        if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
        writer_ = std::thread([this, bytes = std::move(bytes), piece] {
            const int fd = ::open(path_.c_str(), O_WRONLY);  // waits for the reader
            for (std::size_t at = 0; fd >= 0 && at < bytes.size();) {
                const ssize_t w =
                    ::write(fd, bytes.data() + at, std::min(piece, bytes.size() - at));
                if (w <= 0) break;  // the reader went away
                at += static_cast<std::size_t>(w);
            }
            if (fd >= 0) ::close(fd);
        });
    }
    ~FeedPipe() {
        // Lets the writer's open return if no reader ever came.
        const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        writer_.join();
        if (fd >= 0) ::close(fd);
    }
    const std::string& path() const { return path_; }

  private:
    static inline int counter_ = 0;
    std::string path_;
    std::thread writer_;
};

// Known values in every encoding (names parsed), two channels averaged,
// through a file and a pipe fed in odd pieces; the partial last frame dropped.
TEST(Raw, EncodingsChannelsAndPartialFrame) {
    // Left and right of four frames, all exactly representable in 16 bits.
    const std::vector<double> lr = {0.5, -0.25, -1.0, 0.0, 0.125, 0.375, 32767.0 / 32768, -1.0};
    const std::vector<double> mono = {0.125, -0.5, 0.25, (32767.0 / 32768 - 1.0) / 2};
    const std::tuple<const char*, RawEncoding, int> encodings[] = {
        {"s16le", RawEncoding::s16le, 16},
        {"s24le", RawEncoding::s24le, 24},
        {"s32le", RawEncoding::s32le, 32},
        {"f32le", RawEncoding::f32le, 0}};
    TempDir dir;
    for (const auto& [name, enc, bits] : encodings) {
        EXPECT_EQ(stream::parse_raw_encoding(name), enc);
        Bytes bytes;
        if (bits > 0) wav_pcm_encode(lr, bits, bytes);
        for (double x : lr)
            if (bits == 0) put(bytes, std::bit_cast<std::uint32_t>(static_cast<float>(x)), 4);
        bytes.insert(bytes.end(), {0x7f, 0x01});  // a partial frame: two bytes of the next
        write_file(dir.file("a.raw"), bytes);
        FeedPipe pipe(dir, bytes, 3);
        for (const std::string& path : {dir.file("a.raw"), pipe.path()}) {
            SCOPED_TRACE(std::string(name) + " " + path);
            auto opened = stream::open_raw(path, enc, 48000, 2);
            ASSERT_TRUE(opened.reader);
            const Drained d = drain(*opened.reader, 3);
            EXPECT_EQ(d.status, ReadStatus::end);
            EXPECT_EQ(d.samples, mono);
        }
    }
    EXPECT_FALSE(stream::parse_raw_encoding("s16be"));
    write_file(dir.file("a.raw"), {});  // an empty input ends at once
    const Drained empty =
        drain(*stream::open_raw(dir.file("a.raw"), RawEncoding::s32le, 12000, 3).reader);
    EXPECT_EQ(std::pair(empty.status, empty.samples.size()), std::pair(ReadStatus::end, 0ul));
    EXPECT_EQ(stream::open_raw(dir.str(), RawEncoding::s16le, 12000, 0).failure->text,
              "invalid raw format: 12000 Hz, 0 channels");
}

// Every integer depth and several channel counts: libsndfile on the file,
// our parser on a pipe and on files and pipes whose size fields are 0 or
// 0xFFFFFFFF, all bit-identical to wav_read.
TEST(AudioFile, SameDoublesAsWavReaderEveryWay) {
    TempDir dir;
    for (int bits : {8, 16, 24, 32}) {
        for (int channels : {1, 2, 3}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
            std::vector<double> x(3001 * channels);
            sim::add_white_noise(x, 0.3, bits * 10 + channels);
            const Bytes wav = pcm_wav(x, 12000, channels, bits);
            const std::string path = dir.file("a.wav");
            write_file(path, wav);
            wav_data want;
            ASSERT_TRUE(wav_read(path.c_str(), want).ok());
            ASSERT_EQ(want.samples.size(), 3001u);
            const Drained file = read_path(path);
            EXPECT_EQ(file.status, ReadStatus::end);
            EXPECT_EQ(file.samples, want.samples);
            // On a pipe, an odd chunk (and its pad byte) before the audio and
            // one after the declared data size are no audio.
            Bytes listed = wav;
            const Bytes before = chunk("LIST", Bytes(3, 1)), after = chunk("LIST", Bytes(6, 1));
            listed.insert(listed.begin() + 36, before.begin(), before.end());
            listed.insert(listed.end(), after.begin(), after.end());
            FeedPipe pipe(dir, listed, 509);
            const Drained piped = read_path(pipe.path());
            EXPECT_EQ(std::pair(piped.status, piped.samples),
                      std::pair(ReadStatus::end, want.samples));
            for (std::uint32_t size : {0u, 0xFFFFFFFFu}) {
                Bytes open_ended = wav;  // RIFF and data size fields replaced
                for (std::size_t at : {4u, 40u})
                    for (int k = 0; k < 4; ++k)
                        open_ended[at + k] = static_cast<std::uint8_t>(size >> (8 * k));
                write_file(dir.file("b.wav"), open_ended);
                EXPECT_EQ(read_path(dir.file("b.wav")).samples, want.samples) << size;
                FeedPipe open_pipe(dir, open_ended, 1000);
                EXPECT_EQ(read_path(open_pipe.path()).samples, want.samples) << size;
            }
        }
    }
}

// Float WAV (plain and extensible) through libsndfile, a pipe, and "-":
// standard input a pipe, then the file, and left open.
TEST(AudioFile, FloatWavFromFilePipeAndStandardInput) {
    const std::vector<float> lr = {0.5f, -0.25f, 1.5f, -3.0f, 1e-30f, 0.0f, -0.75f, 0.125f};
    Bytes payload;
    for (float f : lr)
        put(payload, std::bit_cast<std::uint32_t>(f), 4);
    // Extensible with the whole sub-format GUID: libsndfile checks all of it.
    Bytes extensible;
    for (std::uint32_t v : {0x0002FFFEu, 44100u, 44100u * 8, 0x00200008u, 0x00200016u, 3u, 3u,
                            0x00100000u, 0xaa000080u, 0x719b3800u})
        put(extensible, v, 4);
    TempDir dir;
    const int saved = ::dup(STDIN_FILENO);
    for (const Bytes& fmt : {fmt_chunk(3, 2, 44100, 32), chunk("fmt ", extensible)}) {
        const Bytes wav = riff({fmt, chunk("data", payload)});
        write_file(dir.file("f.wav"), wav);
        FeedPipe pipe(dir, wav), piped_in(dir, wav);
        const std::string paths[] = {dir.file("f.wav"), pipe.path(), piped_in.path(),
                                     dir.file("f.wav")};
        for (int k = 0; k < 4; ++k) {
            if (k >= 2) {  // on standard input
                const int fd = ::open(paths[k].c_str(), O_RDONLY);
                ASSERT_EQ(::dup2(fd, STDIN_FILENO), STDIN_FILENO);
                ::close(fd);
            }
            auto opened = stream::open_audio_file(k >= 2 ? "-" : paths[k]);
            ASSERT_TRUE(opened.reader) << opened.failure->text;
            EXPECT_EQ(std::pair(opened.reader->rate(), opened.reader->channels()),
                      std::pair(44100, 2));
            const Drained d = drain(*opened.reader);
            ASSERT_EQ(d.samples.size(), lr.size() / 2) << k;
            for (std::size_t i = 0; i < d.samples.size(); ++i)
                EXPECT_EQ(d.samples[i], (static_cast<double>(lr[2 * i]) + lr[2 * i + 1]) / 2) << i;
            opened.reader.reset();
            EXPECT_TRUE(k < 2 || ::fcntl(STDIN_FILENO, F_GETFD) == 0) << "standard input closed";
        }
    }
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
}

// One failure text per broken header on a pipe; files that do not exist or
// that libsndfile does not take.
TEST(AudioFile, Failures) {
    const Bytes data = chunk("data", Bytes(8, 0));
    const std::pair<Bytes, std::string> cases[] = {
        {{}, "not a WAV stream (empty)"},
        {{'R', 'I', 'F', 'F', 0, 0}, "the WAV header ends early"},
        {{'h', 'i', '\n'}, "not a WAV stream (no RIFF/WAVE header)"},
        {Bytes(64, 'x'), "not a WAV stream (no RIFF/WAVE header)"},
        {riff({data, fmt_chunk(1, 1, 12000, 16)}), "no fmt chunk before the data chunk"},
        {riff({fmt_chunk(2, 1, 12000, 16), data}),
         "unsupported audio format 2 (integer PCM or float required)"},
        {riff({fmt_chunk(0xFFFE, 1, 12000, 16, 40, 2), data}),
         "unsupported audio format 2 (integer PCM or float required)"},
        {riff({fmt_chunk(1, 1, 12000, 12), data}), "unsupported PCM bit depth 12"},
        {riff({fmt_chunk(3, 1, 12000, 16), data}), "unsupported float bit depth 16"},
        {riff({fmt_chunk(1, 0, 12000, 16), data}), "invalid channel count 0"},
        {riff({fmt_chunk(1, 1, 0, 16), data}), "invalid sample rate 0"},
        {riff({fmt_chunk(1, 1, 12000, 16), chunk("LIST", {}, 1u << 30)}),
         "a chunk of 1073741824 bytes before the audio"},
        {riff({fmt_chunk(1, 1, 12000, 16)}), "the WAV header ends early"},
        {{'f', 'L', 'a', 'C', 0, 0, 0, 34}, "FLAC is read from files only, not from a pipe"},
    };
    TempDir dir;
    for (const auto& [bytes, text] : cases) {
        FeedPipe pipe(dir, bytes);
        EXPECT_EQ(failure_text(pipe.path()), "'" + pipe.path() + "': " + text);
    }
    EXPECT_EQ(failure_text(dir.file("none.wav")),
              "cannot open '" + dir.file("none.wav") + "': No such file or directory");
    write_file(dir.file("junk.wav"), Bytes(64, 'x'));
    EXPECT_TRUE(failure_text(dir.file("junk.wav"))
                    .starts_with("cannot read '" + dir.file("junk.wav") + "': "));
}

// Past 4 GB: a sparse file whose data chunk runs to its end, with the size
// field 0xFFFFFFFF or wrapped modulo 2^32. Every frame is read, the last
// one carries the values written there. (No thread: a suite of its own.)
TEST(AudioFileLarge, PastFourGigabytes) {
    // On tmpfs where there is one: reading a hole there costs no disk cache.
    const TempDir dir;
    const std::string path =
        std::filesystem::is_directory("/dev/shm")
            ? "/dev/shm/" + std::filesystem::path(dir.str()).filename().string() + ".wav"
            : dir.file("big.wav");
    struct Remove {
        const std::string& path;
        ~Remove() { std::remove(path.c_str()); }
    } remove{path};
    constexpr int channels = 8;  // 64-bit float: few samples to convert per byte
    constexpr std::uint64_t frame_bytes = 8 * channels;
    constexpr std::uint64_t frames = (std::uint64_t{1} << 32) / frame_bytes + 1000;
    const std::uint64_t data_bytes = frames * frame_bytes;
    Bytes last;  // the last frame: 0.5 after averaging
    put(last, std::bit_cast<std::uint64_t>(0.5 * channels), 8);
    last.resize(frame_bytes);
    for (std::uint32_t size : {0xFFFFFFFFu, static_cast<std::uint32_t>(data_bytes)}) {
        const Bytes header = riff({fmt_chunk(3, channels, 12000, 64), chunk("data", {}, size)});
        write_file(path, header);
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, last.data(), frame_bytes,
                           static_cast<off_t>(header.size() + data_bytes - frame_bytes)),
                  static_cast<ssize_t>(frame_bytes));
        ::close(fd);

        auto opened = stream::open_audio_file(path);
        ASSERT_TRUE(opened.reader);
        std::vector<double> buf(1 << 16);
        std::uint64_t total = 0;
        double last_value = -1;
        stream::ReadResult r;
        while ((r = opened.reader->read(buf)).status == ReadStatus::ok) {
            total += r.frames;
            last_value = buf[r.frames - 1];
        }
        EXPECT_EQ(r.status, ReadStatus::end) << r.error;
        EXPECT_EQ(total, frames) << size;
        EXPECT_EQ(last_value, 0.5) << size;
    }
}

// The whole input through a resampler in blocks of the given sizes (cycled).
std::vector<double> convert(int rate, const std::vector<double>& in,
                            const std::vector<std::size_t>& blocks) {
    stream::Resampler r(rate);
    std::vector<double> out;
    for (std::size_t at = 0, b = 0; at < in.size(); ++b) {
        const std::size_t n = std::min(blocks[b % blocks.size()], in.size() - at);
        const auto f = r.process(std::span(in).subspan(at, n), out);
        EXPECT_FALSE(f) << f->text;
        at += n;
    }
    const auto f = r.finish(out);
    EXPECT_FALSE(f) << f->text;
    return out;
}

// 12000 Hz passes bit for bit, in any blocks; rates out of range fail on
// every call with one text.
TEST(Resampler, PassThroughAndRange) {
    std::vector<double> in(10007);
    sim::add_white_noise(in, 0.3, 7);
    EXPECT_EQ(convert(12000, in, {1000, 1, 3}), in);
    EXPECT_EQ(stream::Resampler(12000).delay_out(), 0.0);
    for (int rate : {0, 7999, 192001}) {
        stream::Resampler r(rate);
        std::vector<double> out;
        const auto f = r.process(std::span(in).first(10), out);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->text,
                  "unsupported sample rate " + std::to_string(rate) + " Hz (8000 to 192000 Hz)");
        EXPECT_TRUE(r.finish(out));
        EXPECT_TRUE(out.empty());
    }
}

// A 1000 Hz burst that starts between two output samples comes out where
// and as strong as it went in, from every rate, in blocks of any size; the
// number of samples is the input's duration at 12000 Hz.
TEST(Resampler, ToneBurstKeepsItsTimeAndAmplitude) {
    const double t0 = 0.7 + 0.37 / 12000, w = 2 * std::numbers::pi * 1000;
    for (int rate : {8000, 11025, 16000, 44100, 48000, 96000, 192000}) {
        SCOPED_TRACE(rate);
        std::vector<double> in(static_cast<std::size_t>(rate) * 2);
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double t = static_cast<double>(i) / rate;
            if (t >= t0) in[i] = 0.5 * std::sin(w * (t - t0));
        }
        const std::vector<double> out = convert(rate, in, {4096});
        ASSERT_EQ(out.size(), 24000u);
        EXPECT_EQ(convert(rate, in, {1, 7, 333, 20000}), out);  // however the input is cut
        // Amplitude and lag (in output samples) of the tone against its ideal place.
        double s = 0, c = 0;
        for (std::size_t k = 12000; k < 20400; ++k) {
            s += out[k] * std::sin(w * (k / 12000.0 - t0));
            c += out[k] * std::cos(w * (k / 12000.0 - t0));
        }
        EXPECT_NEAR(2 * std::hypot(s, c) / 8400, 0.5, 0.5e-4);
        EXPECT_NEAR(-std::atan2(c, s) / w * 12000, 0.0, 1e-3);
        double before = 0;  // nothing rings ahead of the onset
        for (std::size_t k = 0; k < 8000; ++k)
            before = std::max(before, std::abs(out[k]));
        EXPECT_LT(before, 1e-6);
    }
}

}  // namespace
}  // namespace beacon::test
