// beacondec decoding recordings that the tests synthesise, run as a user
// runs it.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "support/recording.hpp"

namespace beacon::test {
namespace {

const std::string kBin = BEACONDEC_PATH;

struct Decoded {
    RunResult run;
    std::vector<ResultLine> lines;
};

Decoded decode(const Bytes& wav, std::vector<std::string> options = {}) {
    TempDir dir;
    const std::string path = dir.file("rec.wav");
    write_file(path, wav);
    std::vector<std::string> args = {"beacondec", "-T", "120000"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    Decoded d{run_program(kBin, args), {}};
    d.lines = parse_result_lines(d.run.out);
    // Messages name the file; compare them against "F".
    for (std::size_t p; (p = d.run.err.find(path)) != std::string::npos;)
        d.run.err.replace(p, path.size(), "F");
    return d;
}

void expect_spots(const Decoded& d, const std::vector<std::pair<double, std::string>>& want,
                  double carrier = 800) {
    ASSERT_EQ(d.lines.size(), want.size()) << d.run.out << d.run.err;
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(d.lines[i].stamp, "120000");
        EXPECT_NEAR(d.lines[i].dt, want[i].first, 0.051) << i;
        EXPECT_NEAR(d.lines[i].df, carrier, 1.0) << i;
        EXPECT_EQ(d.lines[i].message, want[i].second) << i;
    }
    EXPECT_EQ(d.run.status, 0);
}

TEST(Decode, OneFrameWithDiagnostics) {
    RecordingSpec recording;
    recording.frames = {{"OZ7IGY/B", 1.0}};
    const Bytes wav = pi4_recording(recording);
    Decoded d = decode(wav);
    expect_spots(d, {{1.0, "OZ7IGY/B"}});
    EXPECT_EQ(d.run.err, "");
    EXPECT_EQ(d.lines[0].dt, 1.0);
    EXPECT_NEAR(d.lines[0].snr, -10, 1.5);

    d = decode(wav, {"-D"});
    expect_spots(d, {{1.0, "OZ7IGY/B"}});
    // A 12000 Hz file is not resampled; the later window's candidate gets its
    // Spot line and fails silently.
    const std::regex diag(
        "File: F \\(12000 Hz, 1 channel\\(s\\), 16-bit, 720000 samples = 60\\.0 s\\)\n"
        "Spot 1: DT=\\+1\\.000 s  DF\\(tone0\\)=682\\.62 Hz  DF\\(carrier\\)=799\\.80 Hz  "
        "flip=\\+1  "
        "ccfpeak=[0-9]+\\.[0-9]  SNR=-[0-9]+\\.[0-9] dB\n"
        "\\(Fano metric = [0-9]+\\)\n"
        "Spot 2: DT=\\+[0-9]+\\.[0-9]{3} s  DF\\(tone0\\)=[0-9.]+ Hz  DF\\(carrier\\)=[0-9.]+ Hz  "
        "flip=[-+]1  ccfpeak=[0-9.]+  SNR=-?[0-9.]+ dB\n");
    EXPECT_TRUE(std::regex_match(d.run.err, diag)) << d.run.err;
}

TEST(Decode, EveryCycleOfARecordingGetsItsLine) {
    // A beacon each minute: the later windows between frames hold only
    // noise, and the search must go on behind them.
    RecordingSpec minute;
    minute.seconds = 300;
    for (int i = 0; i < 5; ++i)
        minute.frames.push_back({"PA0ABC", 1.0 + 60 * i});
    expect_spots(
        decode(pi4_recording(minute)),
        {{1, "PA0ABC"}, {61, "PA0ABC"}, {121, "PA0ABC"}, {181, "PA0ABC"}, {241, "PA0ABC"}});

    // Frames back to back, 25 s apart, with the display-text rules: leading
    // blanks as '_', inner blanks kept, trailing blanks and all-blank cut.
    RecordingSpec close;
    close.seconds = 102;
    close.frames = {{"  AB1", 0.5}, {"A B     ", 25.5}, {"", 50.5}, {"/ 9 Z /", 75.5}};
    expect_spots(decode(pi4_recording(close)),
                 {{0.5, "__AB1"}, {25.5, "A B"}, {50.5, ""}, {75.5, "/ 9 Z /"}});
}

TEST(Decode, StopsAfterTwentySpots) {
    RecordingSpec recording;
    recording.seconds = 21 * 25 + 1;
    recording.snr_db = -5;
    for (int i = 0; i < 21; ++i)
        recording.frames.push_back({"N" + std::to_string(i), 0.5 + 25 * i});
    const Decoded d = decode(pi4_recording(recording));
    std::vector<std::pair<double, std::string>> want;
    for (int i = 0; i < 20; ++i)
        want.push_back({0.5 + 25 * i, "N" + std::to_string(i)});
    expect_spots(d, want);
}

TEST(Decode, AnyRateDepthAndChannelCount) {
    struct Case {
        int rate, bits, channels;
    };
    for (const Case& c : {Case{8000, 8, 1}, Case{11025, 16, 2}, Case{44100, 24, 3},
                          Case{48000, 32, 1}, Case{12000, 8, 2}}) {
        RecordingSpec recording;
        recording.seconds = 30;
        recording.rate = c.rate;
        recording.bits = c.bits;
        recording.channels = c.channels;
        recording.frames = {{"TEST42", 1.7, 860}};
        const Decoded d = decode(pi4_recording(recording));
        SCOPED_TRACE(c.rate);
        expect_spots(d, {{1.7, "TEST42"}}, 860);
    }
}

TEST(Decode, FirstSearchFailuresAreReportedWithStatusOne) {
    RecordingSpec noise;
    noise.seconds = 40;
    const Bytes noise_wav = pi4_recording(noise);
    Decoded d = decode(noise_wav);
    EXPECT_EQ(d.run.out, "");
    EXPECT_TRUE(std::regex_match(
        d.run.err,
        std::regex("beacondec: no valid message decoded \\(candidate at DT=\\+[01]\\.[0-9]{3} "
                   "s, DF=[0-9]+ Hz\\)\n")))
        << d.run.err;
    EXPECT_EQ(d.run.status, 1);

    d = decode(noise_wav, {"-t", "-1", "-f", "799.6", "-d", "3"});
    EXPECT_EQ(d.run.err,
              "beacondec: no PI4 spot found in the search window (carrier 800 +/- -1 Hz, first "
              "3.0 s of the file)\n");
    EXPECT_EQ(d.run.status, 1);

    // 294400 samples are searched: offsets up to 0.2 s, each frame inside the
    // file (so the frame-runs-past-the-end failure cannot arise from a search).
    RecordingSpec shortest;
    shortest.seconds = 294400 / 12000.0;
    shortest.snr_db = 0;
    shortest.frames = {{"EDGE", 0.2}};
    d = decode(pi4_recording(shortest), {"-D"});
    EXPECT_TRUE(std::regex_match(
        d.run.err,
        std::regex("File: F \\(12000 Hz, 1 channel\\(s\\), 16-bit, 294400 samples = 24\\.5 s\\)\n"
                   "Spot 1: DT=\\+0\\.200 s .*\n"
                   "\\(Fano metric = [0-9]+\\)\n")))
        << d.run.err;
    expect_spots(d, {{0.2, "EDGE"}});
}

TEST(Decode, RecordingsTooShortOrUnreadable) {
    // 294399 samples: no search, no message.
    RecordingSpec shorter;
    shorter.seconds = 294399 / 12000.0;
    Decoded d = decode(pi4_recording(shorter));
    EXPECT_EQ(d.run.err, "");
    EXPECT_EQ(d.run.status, 1);
    d = decode(pi4_recording(shorter), {"-D"});
    EXPECT_EQ(d.run.err, "File: F (12000 Hz, 1 channel(s), 16-bit, 294399 samples = 24.5 s)\n");
    EXPECT_EQ(d.run.status, 1);

    // A sample rate of 0 passes the reader; the resampler refuses it.
    d = decode(WavBuilder().fmt(1, 1, 0, 16).data(Bytes(400, 1)).bytes(), {"-D"});
    EXPECT_EQ(d.run.err,
              "File: F (0 Hz, 1 channel(s), 16-bit, 200 samples = inf s)\n"
              "File is at 0 Hz, resampling to 12000 Hz...\n"
              "beacondec: resampling failed\n");
    EXPECT_EQ(d.run.status, 1);

    d = decode(WavBuilder().fmt(3, 1, 12000, 32).data(Bytes(400, 1)).bytes());
    EXPECT_EQ(d.run.err,
              "wav_read: unsupported audio format 3 (integer PCM required)\n"
              "beacondec: failed to read 'F'\n");
    EXPECT_EQ(d.run.status, 1);
}

}  // namespace
}  // namespace beacon::test
