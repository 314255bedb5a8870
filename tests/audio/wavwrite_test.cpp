// The WAV writer: sample encoding at every depth, the canonical header, and
// files written in pieces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "audio/audio.hpp"
#include "support/test_support.hpp"

namespace beacon::test {
namespace {

struct Captured {
    int status = 0;
    std::string err;
};

// Runs f(err_stream) and captures what it writes there.
template <typename F>
Captured capture(F&& f) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* err = open_memstream(&buf, &len);
    Captured c{f(err), {}};
    std::fclose(err);
    c.err.assign(buf, len);
    std::free(buf);
    return c;
}

TEST(WavWrite, EncodesEachDepthRoundingAndHoldingAtTheEnds) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // 1.5 / 128 lies exactly between two 8-bit steps: ties go to even.
    const std::vector<double> x = {0.0, 0.5, -0.5, -1.0, 1.0, -1.5, 1.5 / 128, nan};
    struct Case {
        int bits;
        Bytes want;
        std::size_t clipped;
    };
    const Case cases[] = {
        {8, {128, 192, 64, 0, 255, 0, 130, 0}, 3},
        {16, {0, 0, 0, 0x40, 0, 0xc0, 0, 0x80, 0xff, 0x7f, 0, 0x80, 0x80, 0x01, 0, 0x80}, 3},
        {24,
         {0,    0,    0,    0, 0, 0x40, 0, 0,    0xc0, 0, 0, 0x80,
          0xff, 0xff, 0x7f, 0, 0, 0x80, 0, 0x80, 0x01, 0, 0, 0x80},
         3},
        {32,
         {0,    0,    0,    0,    0, 0, 0, 0x40, 0, 0, 0,    0xc0, 0, 0, 0, 0x80,
          0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0x80, 0, 0, 0x80, 0x01, 0, 0, 0, 0x80},
         3},
    };
    for (const Case& c : cases) {
        Bytes out = {9};  // appended to, not replaced
        EXPECT_EQ(wav_pcm_encode(x, c.bits, out), c.clipped) << c.bits;
        Bytes want = {9};
        want.insert(want.end(), c.want.begin(), c.want.end());
        EXPECT_EQ(out, want) << c.bits;
    }
    // The limit is stored unclipped; half a step above it is not.
    for (int bits : {8, 16, 24, 32}) {
        Bytes out;
        const double lim = wav_pcm_limit(bits);
        const double half_step = std::ldexp(0.5, 1 - bits);
        EXPECT_EQ(wav_pcm_encode(std::vector<double>{lim, -lim}, bits, out), 0u) << bits;
        EXPECT_EQ(wav_pcm_encode(std::vector<double>{lim + half_step}, bits, out), 1u) << bits;
    }
}

TEST(WavWrite, CanonicalHeader) {
    const auto h = wav_header(44100, 2, 24, 600);
    const Bytes want = {'R', 'I', 'F',  'F',  0x7c, 0x02, 0,    0,    'W',  'A', 'V',
                        'E', 'f', 'm',  't',  ' ',  16,   0,    0,    0,    1,   0,
                        2,   0,   0x44, 0xac, 0,    0,    0x98, 0x09, 0x04, 0,   6,
                        0,   24,  0,    'd',  'a',  't',  'a',  0x58, 0x02, 0,   0};
    EXPECT_EQ(Bytes(h.begin(), h.end()), want);
}

TEST(WavWrite, PiecesMakeTheSameFileAsOneWhole) {
    TempDir dir;
    const std::string path = dir.file("w.wav");
    // Three channels of a ramp, written in pieces that split frames.
    std::vector<double> frames;
    for (int i = 0; i < 3000; ++i)
        frames.push_back((i - 1500) / 1536.0);
    WavWriter w;
    ASSERT_EQ(w.open(path.c_str(), 11025, 3, 16, 1000), 0);
    const std::span<const double> all(frames);
    ASSERT_EQ(w.write(all.subspan(0, 1)), 0);
    ASSERT_EQ(w.write(all.subspan(1, 1500)), 0);
    ASSERT_EQ(w.write(all.subspan(1501)), 0);
    ASSERT_EQ(w.close(), 0);
    EXPECT_EQ(w.clipped(), 0u);

    // The header and every sample encoded as in one piece.
    const std::string bytes = read_file(path);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), pcm_wav(frames, 11025, 3, 16));
}

TEST(WavWrite, RefusesWhatWouldMakeABrokenFile) {
    TempDir dir;
    const std::string path = dir.file("w.wav");
    const std::vector<double> two = {0.1, 0.2};

    // More samples than declared, and fewer.
    WavWriter w;
    Captured c = capture([&](std::FILE* err) {
        if (w.open(path.c_str(), 8000, 1, 16, 3, err) != 0) return 9;
        if (w.write(two) != 0) return 8;
        return w.write(two);
    });
    EXPECT_EQ(c.status, -1);
    EXPECT_EQ(c.err, "wav_write: more samples than declared for '" + path + "'\n");
    c = capture([&](std::FILE* err) {
        if (w.open(path.c_str(), 8000, 1, 16, 3, err) != 0) return 9;
        if (w.write(two) != 0) return 8;
        return w.close();
    });
    EXPECT_EQ(c.status, -1);
    EXPECT_EQ(c.err, "wav_write: fewer samples than declared for '" + path + "'\n");

    const std::string missing = dir.file("no/such/dir.wav");
    c = capture([&](std::FILE* err) { return w.open(missing.c_str(), 8000, 1, 16, 3, err); });
    EXPECT_EQ(c.status, -1);
    EXPECT_EQ(c.err, "wav_write: cannot create '" + missing + "': No such file or directory\n");
    EXPECT_EQ(w.write(two), -1);  // nothing open

    // A data chunk past the 32-bit size field.
    c = capture([&](std::FILE* err) {
        return w.open(path.c_str(), 8000, 2, 32, (WAV_MAX_DATA_BYTES / 8) + 1, err);
    });
    EXPECT_EQ(c.status, -1);
    EXPECT_EQ(c.err, "wav_write: '" + path + "' would be too large for a WAV file\n");
}

}  // namespace
}  // namespace beacon::test
