// WAV and FLAC input: the same doubles as beacondec's reader, whichever way
// the bytes come (libsndfile on a file, our header parser on a pipe or on an
// open-ended file), and one failure text for each broken header.
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>

#include "audio/audio.hpp"
#include "stream/stream.hpp"
#include "stream_test_support.hpp"

namespace beacon::test {
namespace {

using stream::ReadStatus;

std::vector<double> random_samples(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v)
        x = u(rng);
    return v;
}

// A WAV file with its data size field replaced (RIFF size too).
Bytes with_data_size(Bytes wav, std::uint32_t size) {
    for (std::size_t at : {std::size_t{4}, std::size_t{40}})
        for (int k = 0; k < 4; ++k)
            wav[at + k] = static_cast<std::uint8_t>(size >> (8 * k));
    return wav;
}

Drained read_path(const std::string& path) {
    auto opened = stream::open_audio_file(path);
    if (opened.failure) ADD_FAILURE() << opened.failure->text;
    if (!opened.reader) return {};
    return drain(*opened.reader, 777);
}

std::string failure_text(const std::string& path) {
    auto opened = stream::open_audio_file(path);
    EXPECT_FALSE(opened.reader);
    return opened.failure ? opened.failure->text : "(no failure)";
}

// Every integer depth and several channel counts: libsndfile on the file,
// our parser on a pipe and on files whose data size is 0 or 0xFFFFFFFF, all
// bit-identical to wav_read.
TEST(AudioFile, SameDoublesAsWavReaderEveryWay) {
    TempDir dir;
    for (int bits : {8, 16, 24, 32}) {
        for (int channels : {1, 2, 3}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
            const Bytes wav = pcm_wav(random_samples(3001 * channels, bits * 10 + channels), 12000,
                                      channels, bits);
            const std::string path = dir.file("a.wav");
            write_file(path, wav);
            wav_data want;
            ASSERT_EQ(wav_read(path.c_str(), want), 0);
            ASSERT_EQ(want.samples.size(), 3001u);

            const Drained file = read_path(path);
            EXPECT_EQ(file.status, ReadStatus::end);
            EXPECT_EQ(file.samples, want.samples);
            for (std::uint32_t size : {0u, 0xFFFFFFFFu}) {
                const Bytes open_ended = with_data_size(wav, size);
                write_file(dir.file("b.wav"), open_ended);
                EXPECT_EQ(read_path(dir.file("b.wav")).samples, want.samples) << size;
                FeedPipe pipe(dir, open_ended, 1000);
                EXPECT_EQ(read_path(pipe.path()).samples, want.samples) << size;
            }
            FeedPipe pipe(dir, wav, 509);
            EXPECT_EQ(read_path(pipe.path()).samples, want.samples);
        }
    }
}

// Float WAV (plain and extensible) through libsndfile and through a pipe.
TEST(AudioFile, FloatWav) {
    const std::vector<float> lr = {0.5f, -0.25f, 1.5f, -3.0f, 1e-30f, 0.0f, -0.75f, 0.125f};
    const std::vector<double> mono = {0.125, -0.75, 5e-31, -0.3125};
    Bytes payload;
    for (float f : lr) {
        std::uint32_t u;
        std::memcpy(&u, &f, 4);
        put_u32(payload, u);
    }
    TempDir dir;
    for (int extensible = 0; extensible < 2; ++extensible) {
        WavBuilder b;
        if (extensible) {
            // The whole sub-format GUID: libsndfile checks all of it.
            Bytes fmt;
            for (std::uint32_t v : {0x0002FFFEu, 44100u, 44100u * 8, 0x00200008u, 0x00200016u, 3u})
                put_u32(fmt, v);
            for (std::uint32_t v : {3u, 0x00100000u, 0xaa000080u, 0x719b3800u})
                put_u32(fmt, v);
            b.chunk("fmt ", fmt);
        } else {
            b.fmt(3, 2, 44100, 32);
        }
        b.data(payload);
        write_file(dir.file("f.wav"), b.bytes());
        FeedPipe pipe(dir, b.bytes());
        for (const std::string& path : {dir.file("f.wav"), pipe.path()}) {
            auto opened = stream::open_audio_file(path);
            ASSERT_TRUE(opened.reader) << opened.failure->text;
            EXPECT_EQ(opened.reader->rate(), 44100);
            EXPECT_EQ(opened.reader->channels(), 2);
            const Drained d = drain(*opened.reader);
            ASSERT_EQ(d.samples.size(), mono.size());
            for (std::size_t i = 0; i < mono.size(); ++i)
                EXPECT_EQ(d.samples[i], (static_cast<double>(lr[2 * i]) + lr[2 * i + 1]) / 2) << i;
        }
    }
}

// FLAC written by libsndfile reads back at the WAV reader's scale; on a pipe
// it is refused by name.
TEST(AudioFile, Flac) {
    TempDir dir;
    for (int bits : {16, 24}) {
        const std::string path = dir.file("t.flac");
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_FLAC | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_TRUE(f);
        std::vector<int> codes(2 * 5000);
        std::mt19937 rng(bits);
        for (int& c : codes)
            c = static_cast<int>(rng() >> (33 - bits)) - (1 << (bits - 2));
        const int shift = 32 - bits;  // sf_write_int takes left-justified samples
        std::vector<int> left_justified(codes.size());
        for (std::size_t i = 0; i < codes.size(); ++i)
            left_justified[i] = static_cast<int>(static_cast<unsigned>(codes[i]) << shift);
        ASSERT_EQ(sf_write_int(f, left_justified.data(), static_cast<sf_count_t>(codes.size())),
                  static_cast<sf_count_t>(codes.size()));
        sf_close(f);

        const Drained d = read_path(path);
        ASSERT_EQ(d.samples.size(), 5000u);
        for (std::size_t i = 0; i < 5000; ++i) {
            const double want =
                (std::ldexp(codes[2 * i], 1 - bits) + std::ldexp(codes[2 * i + 1], 1 - bits)) / 2;
            ASSERT_EQ(d.samples[i], want) << bits << " bits, frame " << i;
        }
        const std::string flac = read_file(path);
        FeedPipe pipe(dir, Bytes(flac.begin(), flac.end()));
        EXPECT_EQ(failure_text(pipe.path()),
                  "'" + pipe.path() + "': FLAC is read from files only, not from a pipe");
    }
}

// A pipe stops at a declared data size (a chunk after the audio is not
// audio) and drops a partial last frame.
TEST(AudioFile, PipeDataSizeAndPartialFrame) {
    TempDir dir;
    Bytes pcm;
    for (int v : {100, -200, 300, -400, 500, -600})
        put_u16(pcm, static_cast<std::uint16_t>(v));
    WavBuilder declared;
    // An odd-sized chunk before the audio: its pad byte is not audio either.
    declared.fmt(1, 2, 12000, 16)
        .chunk("LIST", Bytes(3, 1))
        .chunk_declared("data", 8, pcm)
        .chunk("LIST", Bytes(6, 1));
    const std::vector<double> first_two = {-50.0 / 32768, -50.0 / 32768};
    FeedPipe pipe(dir, declared.bytes(), 5);
    EXPECT_EQ(read_path(pipe.path()).samples, first_two);

    WavBuilder partial;
    partial.fmt(1, 2, 12000, 16).chunk_declared("data", 0, Bytes(pcm.begin(), pcm.begin() + 10));
    FeedPipe pipe2(dir, partial.bytes());
    const Drained d = read_path(pipe2.path());
    EXPECT_EQ(d.samples, first_two);  // the third frame was cut in half
    EXPECT_EQ(d.status, ReadStatus::end);
}

// "-" reads standard input (here a pipe, then a regular file) and leaves it open.
TEST(AudioFile, StandardInput) {
    TempDir dir;
    const Bytes wav = pcm_wav({0.5, -0.25, 0.125}, 8000, 1, 16);
    write_file(dir.file("a.wav"), wav);
    const int saved = ::dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    for (int regular = 0; regular < 2; ++regular) {
        FeedPipe pipe(dir, wav);
        const int fd = ::open((regular ? dir.file("a.wav") : pipe.path()).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::dup2(fd, STDIN_FILENO), STDIN_FILENO);
        ::close(fd);
        EXPECT_EQ(read_path("-").samples, (std::vector<double>{0.5, -0.25, 0.125})) << regular;
        EXPECT_EQ(::fcntl(STDIN_FILENO, F_GETFD), 0) << "standard input was closed";
    }
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
}

// One failure text per broken header on a pipe; files that do not exist or
// that libsndfile does not take.
TEST(AudioFile, Failures) {
    TempDir dir;
    const Bytes pcm(8, 0);
    struct Case {
        Bytes bytes;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{}, "not a WAV stream (empty)"},
        {Bytes{'R', 'I', 'F', 'F', 0, 0}, "the WAV header ends early"},
        {Bytes{'h', 'i', '\n'}, "not a WAV stream (no RIFF/WAVE header)"},
        {Bytes(64, 'x'), "not a WAV stream (no RIFF/WAVE header)"},
        {WavBuilder().chunk("data", pcm).fmt(1, 1, 12000, 16).bytes(),
         "no fmt chunk before the data chunk"},
        {WavBuilder().fmt(2, 1, 12000, 16).data(pcm).bytes(),
         "unsupported audio format 2 (integer PCM or float required)"},
        {WavBuilder().fmt(0xFFFE, 1, 12000, 16, 40, 2).data(pcm).bytes(),
         "unsupported audio format 2 (integer PCM or float required)"},
        {WavBuilder().fmt(1, 1, 12000, 12).data(pcm).bytes(), "unsupported PCM bit depth 12"},
        {WavBuilder().fmt(3, 1, 12000, 16).data(pcm).bytes(), "unsupported float bit depth 16"},
        {WavBuilder().fmt(1, 0, 12000, 16).data(pcm).bytes(), "invalid channel count 0"},
        {WavBuilder().fmt(1, 1, 0, 16).data(pcm).bytes(), "invalid sample rate 0"},
        {WavBuilder().fmt(1, 1, 12000, 16).chunk_declared("LIST", 1u << 30, {}).bytes(),
         "a chunk of 1073741824 bytes before the audio"},
        {WavBuilder().fmt(1, 1, 12000, 16).bytes(), "the WAV header ends early"},
    };
    for (const Case& c : cases) {
        FeedPipe pipe(dir, c.bytes);
        EXPECT_EQ(failure_text(pipe.path()), "'" + pipe.path() + "': " + c.text);
    }
    EXPECT_EQ(failure_text(dir.file("none.wav")),
              "cannot open '" + dir.file("none.wav") + "': No such file or directory");
    write_file(dir.file("junk.wav"), Bytes(64, 'x'));
    EXPECT_EQ(
        failure_text(dir.file("junk.wav")).rfind("cannot read '" + dir.file("junk.wav") + "': ", 0),
        0u);
}

// Past 4 GB: a sparse file whose data chunk runs to its end, with the size
// field 0xFFFFFFFF or wrapped modulo 2^32. Every frame is read, the last
// ones carry the values written there.
TEST(AudioFile, PastFourGigabytes) {
    // On tmpfs where there is one: reading a hole there costs no disk cache.
    std::string path =
        (std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                   : std::filesystem::temp_directory_path()) /
        "beacontest-big.XXXXXX";
    const int made = ::mkstemp(path.data());
    ASSERT_GE(made, 0);
    ::close(made);
    struct Remove {
        const std::string& path;
        ~Remove() { std::remove(path.c_str()); }
    } remove{path};
    constexpr int channels = 8;  // 64-bit float: few samples to convert per byte
    constexpr std::uint64_t frame_bytes = 8 * channels;
    constexpr std::uint64_t frames = (std::uint64_t{1} << 32) / frame_bytes + 1000;
    const std::uint64_t data_bytes = frames * frame_bytes;
    for (std::uint32_t size : {0xFFFFFFFFu, static_cast<std::uint32_t>(data_bytes)}) {
        WavBuilder b;
        b.fmt(3, channels, 12000, 64).chunk_declared("data", size, {});
        write_file(path, b.bytes());
        {
            const int fd = ::open(path.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            Bytes last;
            for (int c = 0; c < channels; ++c) {
                const double v = c == 0 ? 0.5 * channels : 0.0;
                std::uint64_t u;
                std::memcpy(&u, &v, 8);
                put_u32(last, static_cast<std::uint32_t>(u));
                put_u32(last, static_cast<std::uint32_t>(u >> 32));
            }
            const off_t at = static_cast<off_t>(b.bytes().size() + data_bytes - frame_bytes);
            ASSERT_EQ(::pwrite(fd, last.data(), last.size(), at),
                      static_cast<ssize_t>(frame_bytes));
            ::close(fd);
        }
        auto opened = stream::open_audio_file(path);
        ASSERT_TRUE(opened.reader);
        std::vector<double> buf(1 << 16);
        std::uint64_t total = 0;
        double last = -1;
        for (;;) {
            const auto r = opened.reader->read(buf);
            if (r.status != ReadStatus::ok) {
                EXPECT_EQ(r.status, ReadStatus::end);
                break;
            }
            total += r.frames;
            last = buf[r.frames - 1];
        }
        EXPECT_EQ(total, frames) << size;
        EXPECT_EQ(last, 0.5) << size;
    }
}

}  // namespace
}  // namespace beacon::test
