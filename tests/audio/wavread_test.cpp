// The WAV reader on files that the tests assemble byte by byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "audio/audio.hpp"
#include "support/test_support.hpp"

namespace beacon::test {
namespace {

// Reads `bytes` as a file and returns the reader's status, capturing what it
// wrote to its error stream.
struct ReadResult {
    int status;
    std::string err;
    wav_data wav;
};

ReadResult read_path(const std::string& path) {
    ReadResult r;
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* err = open_memstream(&buf, &len);
    r.status = wav_read(path.c_str(), r.wav, err);
    std::fclose(err);
    r.err.assign(buf, len);
    std::free(buf);
    return r;
}

ReadResult read_bytes(const Bytes& bytes) {
    TempDir dir;
    const std::string path = dir.file("t.wav");
    write_file(path, bytes);
    ReadResult r = read_path(path);
    // Messages name the file; tests compare them against "F".
    for (std::size_t p; (p = r.err.find(path)) != std::string::npos;)
        r.err.replace(p, path.size(), "F");
    return r;
}

Bytes pcm16(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values)
        put_u16(b, static_cast<std::uint16_t>(v));
    return b;
}

void expect_failure(const Bytes& bytes, const std::string& err) {
    const ReadResult r = read_bytes(bytes);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, err);
    EXPECT_TRUE(r.wav.samples.empty());
    EXPECT_EQ(r.wav.num_samples, 0);
    EXPECT_EQ(r.wav.sample_rate, 0);
    EXPECT_EQ(r.wav.channels, 0);
}

TEST(WavRead, RefusesWhatIsNotAReadableRegularFile) {
    TempDir dir;
    ReadResult r = read_path(dir.file("absent.wav"));
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, "wav_read: cannot open '" + dir.file("absent.wav") + "'\n");

    r = read_path(dir.path().string());
    EXPECT_EQ(r.err, "wav_read: '" + dir.path().string() + "' is not a regular file\n");

    // A FIFO with no writer would block an open: it must be refused at once.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    r = read_path(fifo);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, "wav_read: '" + fifo + "' is not a regular file\n");
}

TEST(WavRead, ValidatesInOrderWithExactMessages) {
    const std::string bad_riff = "wav_read: 'F' is not a valid RIFF/WAVE file\n";
    expect_failure({}, bad_riff);
    expect_failure(Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V'}, bad_riff);
    Bytes rifx = WavBuilder().fmt(1, 1, 12000, 16).data(pcm16({1})).bytes();
    rifx[3] = 'X';
    expect_failure(rifx, bad_riff);
    Bytes rf64 = rifx;
    rf64[0] = 'R', rf64[1] = 'F', rf64[2] = '6', rf64[3] = '4';
    expect_failure(rf64, bad_riff);

    const std::string missing = "wav_read: 'F' - missing fmt or data chunk\n";
    expect_failure(WavBuilder().fmt(1, 1, 12000, 16).bytes(), missing);
    expect_failure(WavBuilder().data(pcm16({1, 2})).bytes(), missing);
    // A fmt chunk too short for its four fields is skipped, pad byte and all.
    expect_failure(WavBuilder().chunk("fmt ", Bytes(13, 1)).data(pcm16({1})).bytes(), missing);
    // A fmt chunk cut off by the end of the file is not taken.
    Bytes cut = WavBuilder().data(pcm16({1})).bytes();
    const Bytes fmt_part = WavBuilder().fmt(1, 1, 12000, 16).bytes();
    cut.insert(cut.end(), fmt_part.begin() + 12, fmt_part.begin() + 12 + 8 + 10);
    expect_failure(cut, missing);

    expect_failure(WavBuilder().fmt(3, 1, 12000, 32).data(pcm16({1, 2})).bytes(),
                   "wav_read: unsupported audio format 3 (integer PCM required)\n");
    // Extensible with a float sub-format: refused, naming the sub-format.
    expect_failure(WavBuilder().fmt(0xFFFE, 1, 12000, 32, 40, 3).data(pcm16({1, 2})).bytes(),
                   "wav_read: unsupported audio format 3 (integer PCM required)\n");
    // The format check comes before the bit depth.
    expect_failure(WavBuilder().fmt(3, 0, 12000, 12).data(pcm16({1})).bytes(),
                   "wav_read: unsupported audio format 3 (integer PCM required)\n");
    expect_failure(WavBuilder().fmt(1, 1, 12000, 12).data(pcm16({1})).bytes(),
                   "wav_read: unsupported bit depth 12\n");
    expect_failure(WavBuilder().fmt(1, 0, 12000, 16).data(pcm16({1})).bytes(),
                   "wav_read: invalid channel count\n");

    const std::string no_audio = "wav_read: no usable audio data in 'F'\n";
    expect_failure(WavBuilder().fmt(1, 1, 12000, 16).data({}).bytes(), no_audio);
    expect_failure(WavBuilder().fmt(1, 2, 12000, 16).data(pcm16({5})).bytes(), no_audio);
    // Declared but absent: the warning, then nothing usable.
    expect_failure(WavBuilder().fmt(1, 1, 12000, 16).chunk_declared("data", 100, {}).bytes(),
                   "wav_read: warning - data chunk claims 100 bytes but only 0 are available in "
                   "the file; truncating.\n" +
                       no_audio);
}

TEST(WavRead, WalksChunksInAnyOrderToTheEndOfTheFile) {
    const Bytes audio = pcm16({0x4000, 0xC000});
    const std::vector<Bytes> files = {
        WavBuilder().data(audio).fmt(1, 1, 8000, 16).bytes(),
        WavBuilder().chunk("LIST", {1, 2, 3}).fmt(1, 1, 8000, 16).data(audio).bytes(),
        WavBuilder().fmt(1, 1, 8000, 16, 18).data(audio).bytes(),
        WavBuilder().fmt(0xFFFE, 1, 8000, 16, 40).data(audio).bytes(),
        WavBuilder().fmt(1, 1, 8000, 16, 50).data(audio).bytes(),
        // Extensible naming float but without the whole extension: integer PCM.
        WavBuilder().fmt(0xFFFE, 1, 8000, 16, 18, 3).data(audio).bytes(),
        // Later chunks replace earlier ones.
        WavBuilder()
            .fmt(1, 2, 44100, 8)
            .data(pcm16({1, 2, 3}))
            .fmt(1, 1, 8000, 16)
            .data(audio)
            .bytes(),
        // Trailing bytes too few for a chunk header, and a wrong RIFF size.
        WavBuilder(0xFFFFFFFF).fmt(1, 1, 8000, 16).data(audio).raw({1, 2, 3, 4, 5, 6, 7}).bytes(),
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        const ReadResult r = read_bytes(files[i]);
        ASSERT_EQ(r.status, 0) << i << ": " << r.err;
        EXPECT_EQ(r.err, "") << i;
        EXPECT_EQ(r.wav.sample_rate, 8000) << i;
        EXPECT_EQ(r.wav.channels, 1) << i;
        EXPECT_EQ(r.wav.bits_per_sample, 16) << i;
        ASSERT_EQ(r.wav.num_samples, 2) << i;
        EXPECT_EQ(r.wav.samples, (std::vector<double>{0.5, -0.5})) << i;
    }
}

TEST(WavRead, ConvertsEveryDepthAndAveragesChannels) {
    struct Case {
        int bits;
        Bytes raw;
        std::vector<double> want;
    };
    const std::vector<Case> cases = {
        {8, {0, 128, 255}, {-1.0, 0.0, 0.9921875}},
        {16, pcm16({0x8000, 0x7FFF, 1}), {-1.0, 0.999969482421875, 3.0517578125e-05}},
        {24,
         {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF},
         {-1.0, 0.99999988079071045, -1.1920928955078125e-07}},
        {32, {0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}, {-1.0, 0.99999999953433871}},
    };
    for (const Case& c : cases) {
        const ReadResult r = read_bytes(WavBuilder().fmt(1, 1, 12000, c.bits).data(c.raw).bytes());
        ASSERT_EQ(r.status, 0) << c.bits;
        EXPECT_EQ(r.wav.samples, c.want) << c.bits;
    }

    // Stereo +0.5/-0.5 is silence; a trailing half frame is dropped.
    ReadResult r = read_bytes(
        WavBuilder().fmt(1, 2, 12000, 16).data(pcm16({0x4000, 0xC000, 0x4000, 0x4000, 7})).bytes());
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.wav.samples, (std::vector<double>{0.0, 0.5}));
    // Three channels: each scaled, summed in order, divided by three.
    r = read_bytes(WavBuilder().fmt(1, 3, 12000, 16).data(pcm16({0x4000, 0x4000, 0xC000})).bytes());
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.wav.samples, (std::vector<double>{0.5 / 3}));
}

TEST(WavRead, TruncatedDataReadsTheWholeFramesThatAreThere) {
    Bytes pcm = pcm16({100, 200, 300, 400, 500});
    const ReadResult r = read_bytes(
        WavBuilder().fmt(1, 2, 12000, 16).chunk_declared("data", 0xFFFFFFF0u, pcm).bytes());
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "wav_read: warning - data chunk claims 4294967280 bytes but only 10 are "
              "available in the file; truncating.\n");
    EXPECT_EQ(r.wav.num_samples, 2);

    // The sample rate is not validated: 0 passes here.
    const ReadResult zero = read_bytes(WavBuilder().fmt(1, 1, 0, 16).data(pcm16({1})).bytes());
    EXPECT_EQ(zero.status, 0);
    EXPECT_EQ(zero.wav.sample_rate, 0);
}

TEST(WavRead, FreeIsSafeOnEmptyAndRepeated) {
    wav_data wav;
    wav_free(wav);
    ReadResult r = read_bytes(WavBuilder().fmt(1, 1, 12000, 16).data(pcm16({1, 2, 3})).bytes());
    ASSERT_EQ(r.status, 0);
    wav_free(r.wav);
    wav_free(r.wav);
    EXPECT_TRUE(r.wav.samples.empty());
    EXPECT_EQ(r.wav.num_samples, 0);
    EXPECT_EQ(r.wav.sample_rate, 12000);  // the format stays
}

TEST(WavRead, ReadsFromAnOpenStream) {
    const Bytes bytes = WavBuilder().fmt(1, 1, 11025, 16).data(pcm16({0x4000})).bytes();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(
        fmemopen(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), "rb"), &std::fclose);
    wav_data wav;
    ASSERT_EQ(wav_read_stream(f.get(), "mem", wav), 0);
    EXPECT_EQ(wav.sample_rate, 11025);
    EXPECT_EQ(wav.samples, std::vector<double>{0.5});
}

}  // namespace
}  // namespace beacon::test
