// The WAV reader on files assembled byte by byte, the writer by known bytes,
// and the resampler against a plain DFT.
#include "audio/audio.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <complex>
#include <limits>
#include <numbers>

#include "support/support.hpp"

namespace beacon::test {
namespace {

Bytes pcm16(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values)
        b.insert(b.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
    return b;
}

TEST(WavRead, BrokenFilesGiveTheirErrorAndText) {
    const Bytes fmt = fmt_chunk(1, 1, 12000, 16), data = chunk("data", pcm16({1, 2}));
    Bytes rifx = riff({fmt, data}), avi = rifx;
    rifx[3] = 'X';
    avi[8] = 'A';
    const std::string not_riff = "'F' is not a valid RIFF/WAVE file",
                      missing = "'F' - missing fmt or data chunk",
                      no_audio = "no usable audio data in 'F'",
                      float_pcm = "unsupported audio format 3 (integer PCM required)";
    using E = WavError;
    // clang-format off
    const std::tuple<Bytes, WavError, unsigned, std::string> rows[] = {
        {Bytes(rifx.begin(), rifx.begin() + 11), E::not_riff_wave, 0, not_riff},
        {rifx, E::not_riff_wave, 0, not_riff},
        {avi, E::not_riff_wave, 0, not_riff},
        {riff({fmt}), E::missing_chunk, 0, missing},
        {riff({data}), E::missing_chunk, 0, missing},
        {riff({chunk("fmt ", Bytes(13, 1)), data}), E::missing_chunk, 0, missing},  // short, padded
        {riff({data, Bytes(fmt.begin(), fmt.begin() + 18)}), E::missing_chunk, 0, missing},
        {riff({fmt_chunk(3, 1, 12000, 32), data}), E::unsupported_format, 3, float_pcm},
        {riff({fmt_chunk(0xFFFE, 1, 12000, 32, 40, 3), data}), E::unsupported_format, 3, float_pcm},
        {riff({fmt_chunk(3, 0, 8000, 12), data}), E::unsupported_format, 3, float_pcm},  // first
        {riff({fmt_chunk(1, 1, 8000, 12), data}), E::unsupported_bit_depth, 12, "unsupported bit depth 12"},
        {riff({fmt_chunk(1, 0, 8000, 16), data}), E::invalid_channel_count, 0, "invalid channel count"},
        {riff({fmt_chunk(1, 2, 8000, 16), chunk("data", pcm16({5}))}), E::no_audio_data, 0, no_audio},
    };
    // clang-format on
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& [bytes, error, detail, text] = rows[i];
        wav_data wav{8000, 2, 8, {0.5}};  // emptied by every read
        const WavReadResult r = wav_read_memory(bytes, wav);
        EXPECT_EQ(std::tuple(r.error, r.detail, wav_error_text(r, "F")),
                  std::tuple(error, detail, text))
            << i;
        EXPECT_FALSE(r.truncated) << i;
        EXPECT_TRUE(wav.samples.empty() && wav.sample_rate == 0 && wav.channels == 0) << i;
    }
    EXPECT_EQ(wav_error_text({.error = E::incomplete_read, .truncated = {}}, "F"),
              "incomplete read of audio data");
    EXPECT_EQ(wav_error_text({.error = E::no_memory, .truncated = {}}, "F"),
              "memory allocation failed");

    // Paths: missing, a FIFO (which would block an open).
    wav_data wav;
    const TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const auto& [path, text] : {std::pair{dir.file("absent"), "cannot open 'F'"},
                                     {dir.file("fifo"), "'F' is not a regular file"}})
        EXPECT_EQ(wav_error_text(wav_read(path.c_str(), wav), "F"), text) << path;
}

// (Every depth and channel count: against libsndfile, bit for bit, in
// AudioFile.SameDoublesAsWavReaderEveryWay.)
TEST(WavRead, ChunksInAnyOrderAndADataChunkCutShort) {
    const Bytes audio = chunk("data", pcm16({0x4000, 0xC000})), fmt = fmt_chunk(1, 1, 8000, 16);
    Bytes trailing = riff({fmt, audio});
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5, 6, 7});  // too few for a chunk header
    // clang-format off
    const std::vector<Bytes> files = {
        riff({audio, fmt}), riff({chunk("LIST", {1, 2, 3}), fmt, audio}),
        riff({fmt_chunk(1, 1, 8000, 16, 18), audio}), riff({fmt_chunk(1, 1, 8000, 16, 50), audio}),
        riff({fmt_chunk(0xFFFE, 1, 8000, 16, 40), audio}),
        riff({fmt_chunk(0xFFFE, 1, 8000, 16, 18, 3), audio}),  // float named, extension cut: PCM
        riff({fmt_chunk(1, 2, 44100, 8), chunk("data", {1, 2, 3}), fmt, audio}),  // later ones win
        trailing};
    // clang-format on
    const TempDir dir;
    for (std::size_t i = 0; i < files.size(); ++i) {
        wav_data wav;
        write_file(dir.file("f.wav"), files[i]);
        const WavReadResult r = wav_read(dir.file("f.wav").c_str(), wav);
        ASSERT_TRUE(r.ok() && !r.truncated) << i;
        EXPECT_EQ(std::tuple(wav.sample_rate, wav.channels, wav.bits_per_sample),
                  std::tuple(8000, 1, 16))
            << i;
        EXPECT_EQ(wav.samples, (std::vector<double>{0.5, -0.5})) << i;
    }
    wav_data wav;
    // A data chunk claiming more than the file holds: the whole frames that
    // are there, and the warning. The sample rate is not checked.
    const WavReadResult r = wav_read_memory(
        riff({fmt_chunk(1, 2, 0, 16),
              chunk("data", pcm16({0x4000, 0xC000, 0x4000, 0x4000, 7}), 0xFFFFFFF0u)}),
        wav);
    ASSERT_TRUE(r.ok() && r.truncated);
    EXPECT_EQ(std::tuple(wav.samples, wav.sample_rate),
              std::tuple(std::vector<double>{0.0, 0.5}, 0));
    EXPECT_EQ(
        wav_truncation_text(*r.truncated),
        "data chunk claims 4294967280 bytes but only 10 are available in the file; truncating.");
}

TEST(WavWrite, EncodesEachDepthRoundingToEvenAndHoldingAtTheEnds) {
    // 1.5 / 128 lies exactly between two 8-bit steps.
    const std::vector<double> x = {0.0, 0.5,  -0.5,      -1.0,
                                   1.0, -1.5, 1.5 / 128, std::numeric_limits<double>::quiet_NaN()};
    // clang-format off
    const std::pair<int, Bytes> cases[] = {
        {8, {128, 192, 64, 0, 255, 0, 130, 0}},
        {16, {0, 0, 0, 0x40, 0, 0xc0, 0, 0x80, 0xff, 0x7f, 0, 0x80, 0x80, 0x01, 0, 0x80}},
        {24, {0, 0, 0, 0, 0, 0x40, 0, 0, 0xc0, 0, 0, 0x80, 0xff, 0xff, 0x7f, 0, 0, 0x80, 0, 0x80, 0x01, 0, 0, 0x80}},
        {32, {0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0xc0, 0, 0, 0, 0x80, 0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0x80,
              0, 0, 0x80, 0x01, 0, 0, 0, 0x80}},
    };
    // clang-format on
    for (auto [bits, want] : cases) {
        Bytes out = {9};  // appended to
        EXPECT_EQ(wav_pcm_encode(x, bits, out), 3u) << bits;
        want.insert(want.begin(), 9);
        EXPECT_EQ(out, want) << bits;
        // The limit is stored unclipped; half a step above it is not.
        const double lim = wav_pcm_limit(bits);
        EXPECT_EQ(wav_pcm_encode(std::vector<double>{lim, -lim}, bits, out), 0u) << bits;
        EXPECT_EQ(wav_pcm_encode(std::vector<double>{lim + std::ldexp(0.5, 1 - bits)}, bits, out),
                  1u);
    }
    const auto h = wav_header(44100, 2, 24, 600);
    EXPECT_EQ(
        Bytes(h.begin(), h.end()),
        (Bytes{'R',  'I', 'F', 'F', 0x7c, 0x02, 0,   0,   'W', 'A',  'V',  'E',  'f', 'm',  't',
               ' ',  16,  0,   0,   0,    1,    0,   2,   0,   0x44, 0xac, 0,    0,   0x98, 0x09,
               0x04, 0,   6,   0,   24,   0,    'd', 'a', 't', 'a',  0x58, 0x02, 0,   0}));
}

// What would make a broken file is refused, with the reason. (What the
// writer writes, in blocks: beaconsim's files, byte for byte, in
// BeaconsimCommandLine; the header and samples' bytes: known answers above.)
TEST(WavWrite, RefusesWhatWouldMakeABrokenFile) {
    const TempDir dir;
    const std::string path = dir.file("w.wav");
    const std::vector<double> two = {0.1, 0.2};
    WavWriter w;
    ASSERT_EQ(w.open(path.c_str(), 8000, 1, 16, 3), 0);
    ASSERT_EQ(w.write(two), 0);
    EXPECT_EQ(w.write(two), -1);
    EXPECT_EQ(w.error(), "more samples than declared for '" + path + "'");
    EXPECT_EQ(w.write(two), -1);  // closed by the failure
    ASSERT_EQ(w.open(path.c_str(), 8000, 1, 16, 3), 0);
    ASSERT_EQ(w.write(two), 0);
    EXPECT_EQ(w.close(), -1);
    EXPECT_EQ(w.error(), "fewer samples than declared for '" + path + "'");
    EXPECT_EQ(w.open(path.c_str(), 8000, 2, 32, WAV_MAX_DATA_BYTES / 8 + 1), -1);
    EXPECT_EQ(w.error(), "'" + path + "' would be too large for a WAV file");
    EXPECT_EQ(w.open(path.c_str(), 8000, 2, 32, WAV_MAX_DATA_BYTES / 8), 0);
    EXPECT_EQ(w.error(), "");
    EXPECT_EQ(w.open(path.c_str(), 8000, 1, 12, 3), -1);
    EXPECT_EQ(w.error(), "unsupported format (1 channels, 12 bits)");
    EXPECT_EQ(w.open(path.c_str(), 8000, 0, 16, 3), -1);
}

std::vector<double> resample(const std::vector<double>& in, int rate_in, int rate_out) {
    std::vector<double> out = {-7.0};
    EXPECT_EQ(resample_to_rate(in, rate_in, rate_out, out), 0);
    return out;
}

// DFT, bins 0..h and -(h-1)..-1 of the shorter length copied, inverse DFT
// scaled by the input length, real part.
std::vector<double> naive(const std::vector<double>& x, int n_out) {
    const int n = static_cast<int>(x.size()), h = std::min(n, n_out) / 2;
    std::vector<std::complex<double>> X(n), Y(n_out);
    for (int k = 0; k < n; ++k)
        for (int t = 0; t < n; ++t)
            X[k] += x[t] * std::polar(1.0, -2 * std::numbers::pi * k * t / n);
    for (int k = -(h - 1); k <= h; ++k)
        Y[(k + n_out) % n_out] = X[(k + n) % n];
    std::vector<double> y(n_out);
    for (int t = 0; t < n_out; ++t)
        for (int k = 0; k < n_out; ++k)
            y[t] += (Y[k] * std::polar(1.0, 2 * std::numbers::pi * k * t / n_out)).real() / n;
    return y;
}

void expect_near(const std::vector<double>& a, const std::vector<double>& b, double tol) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_NEAR(a[i], b[i], tol) << i;
}

TEST(Resample, BinsOfTheShorterLengthAndLengths) {
    const std::vector<double> ten = {0.3, -0.1, 0.7, 0.2, -0.9, 0.4, 0.05, -0.6, 0.8, -0.25},
                              seven = {0.1, 0.9, -0.4, 0.3, -0.7, 0.2, 0.6};
    expect_near(resample(ten, 24000, 12000), naive(ten, 5), 1e-12);  // h 2: bin -2 not copied
    expect_near(resample(seven, 11025, 22050), naive(seven, 14), 1e-12);
    expect_near(resample(ten, 12000, 9000), naive(ten, 8), 1e-12);
    expect_near(resample({0.5, -0.25}, 8000, 12000), naive({0.5, -0.25}, 3), 1e-12);

    // The length is rate_out * n / rate_in rounded, halves away from zero.
    EXPECT_EQ(resample(std::vector<double>(1001, 0.1), 44100, 12000).size(), 272u);
    EXPECT_EQ(resample(std::vector<double>(2, 0.1), 12000, 9000).size(), 2u);  // 1.5: the least
    EXPECT_EQ(resample({0.25}, 12000, 12000), std::vector<double>{0.25});      // equal rates copy
    for (const auto& [n, rate_in] : {std::pair{3, 44100}, {1, 8000}, {100, 0}, {100, -8000}}) {
        std::vector<double> out = {-7.0};
        EXPECT_EQ(resample_to_rate(std::vector<double>(n, 0.5), rate_in, 12000, out), -1);
        EXPECT_EQ(out, std::vector<double>{-7.0}) << n << " " << rate_in;  // untouched
    }
    // Lengths past FFTW's int range are refused before anything is read.
    const double x = 0;
    std::vector<double> out;
    EXPECT_EQ(resample_to_rate({&x, 3000000000ull}, 48000, 12000, out), -1);
    EXPECT_EQ(resample_to_rate({&x, 1000000000ull}, 12000, 48000, out), -1);
}

}  // namespace
}  // namespace beacon::test
