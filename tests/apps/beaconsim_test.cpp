// beaconsim as a user runs it: the file it writes is, byte for byte, the
// synthesiser's mix in the format asked for; every bad value is refused
// with one line before anything is written.
#include <gtest/gtest.h>

#include <filesystem>

#include "beaconsim/options.hpp"
#include "common/parse.hpp"
#include "support/support.hpp"
#include "util/format.hpp"

namespace beacon::test {
namespace {

const std::string SIM = BEACONSIM_PATH;

// The file beaconsim should write for `s`: its mix, times `gain`, on every
// channel. Compared with EXPECT_TRUE: megabytes of difference are not worth printing.
std::string expected_file(const sim::SimSettings& s, double gain = 1.0) {
    std::vector<double> frames;
    for (double v : mix(s))
        frames.insert(frames.end(), static_cast<std::size_t>(s.channels), v * gain);
    const Bytes b = pcm_wav(frames, s.rate, s.channels, s.bits);
    return {b.begin(), b.end()};
}

TEST(BeaconsimCommandLine, WritesTheMixOfItsSettings) {
    const TempDir dir;
    const std::string path = dir.file("out.wav");
    expect_run(run({SIM, path}), "", "", 0);
    EXPECT_TRUE(read_file(path) == expected_file({}));

    // clang-format off
    expect_run(run({SIM, "-m", "TEST 1", "-f", "1000", "-s", "0.5", "-n", "2", "-p", "30", "-l",
        "70", "--snr", "-10", "-r", "8000", "-b", "24", "-c", "2", "--seed", "9", "--drift", "3",
        "--id", "AB1", "--rate=7000", "-r", "8000", path}), "", "", 0);  // the last value counts
    EXPECT_TRUE(read_file(path) == expected_file({.message = "TEST 1", .carrier_hz = 1000,
        .start_s = 0.5, .frames = 2, .period_s = 30, .duration_s = 70, .snr_db = -10,
        .drift_hz_per_min = 3, .id = "AB1", .rate = 8000, .bits = 24, .channels = 2, .seed = 9}));
    // clang-format on
}

TEST(BeaconsimCommandLine, NotesAboutTheMessageAndClipping) {
    const TempDir dir;
    const std::string path = dir.file("out.wav");
    EXPECT_EQ(run({SIM, "-m", "oz7igy/b", "-l", "26", path}).err,
              "beaconsim: note: the message is sent as '  7   / ' (8 characters of 0-9, A-Z, blank "
              "and '/')\n");
    EXPECT_EQ(run({SIM, "-m", "AB", "-l", "26", path}).err, "");  // padding is no change

    // Too loud: scaled down to just fit, not clipped.
    const RunResult r = run({SIM, "-m", "LOUD", "-a", "1", "--snr", "10", "-b", "8", path});
    EXPECT_EQ(r.status, 0);
    const sim::SimSettings s{.message = "LOUD", .snr_db = 10, .amplitude = 1, .bits = 8};
    double peak = 0;
    for (double v : mix(s))
        peak = std::max(peak, std::abs(v));
    const double gain = wav_pcm_limit(8) / peak;
    EXPECT_EQ(r.err, format("beaconsim: note: the signal would clip (peak %.3f of full scale); "
                            "scaled down by %.1f dB, the SNR is unchanged\n",
                            peak, -20 * std::log10(gain)));
    EXPECT_TRUE(read_file(path) == expected_file(s, gain));
}

TEST(BeaconsimCommandLine, HelpAndFailures) {
    EXPECT_EQ(run({SIM, "-h"}).status, 0);
    const TempDir dir;
    const std::string bad = dir.file("bad.wav"), missing = dir.file("no/dir.wav");
    expect_run(run({SIM, "-b", "12", bad}), "",
               "beaconsim: --bits: unsupported bit depth 12 (use 8, 16, 24 or 32)\n", 2);
    EXPECT_FALSE(std::filesystem::exists(bad));
    expect_run(run({SIM, missing}), "",
               "wav_write: cannot create '" + missing +
                   "': No such file or directory\nbeaconsim: failed to write '" + missing + "'\n",
               1);
}

TEST(BeaconsimCommandLine, BadValuesAreRefusedWithOneLine) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, "missing OUTPUT.wav (see --help)"},
        {{"--frequency", "800", "o.wav"}, "unknown option '--frequency' (see --help)"},
        {{"o.wav", "second.wav"}, "unexpected extra argument 'second.wav'"},
        {{"-r", "0", "o.wav"}, "--rate: must be above 0, got 0"},
        {{"-r", "12k", "o.wav"}, "--rate: '12k' is not a whole number"},
        {{"-c", "0", "o.wav"}, "--channels: must be from 1 to 65535, got 0"},
        {{"-c", "65536", "o.wav"}, "--channels: must be from 1 to 65535, got 65536"},
        {{"-l", "-1", "o.wav"}, "--duration: must not be negative, got -1"},
        {{"-s", "-0.5", "o.wav"}, "--start: must not be negative, got -0.5"},
        {{"-n", "3", "-l", "140", "o.wav"},
         "--duration: the last frame ends at 145.333 s, after the end of the recording (140 s)"},
        {{"-l", "1e9", "o.wav"},
         "--duration: 1e+09 s at 12000 Hz, 1 channel(s) and 16 bits do not fit in a WAV file (4 "
         "GiB at most)"},
        {{"-n", "0", "o.wav"}, "--frames: must be at least 1, got 0"},
        {{"-n", "2", "-p", "20", "o.wav"},
         "--period: 20 s is shorter than a frame (24.333 s); the frames would overlap"},
        {{"-p", "0", "o.wav"}, "--period: must be above 0, got 0"},
        {{"-f", "abc", "o.wav"}, "--freq: 'abc' is not a number"},
        {{"-f", "inf", "o.wav"}, "--freq: must be a finite number, got inf"},
        {{"--drift", "nan", "o.wav"}, "--drift: must be a finite number, got nan"},
        {{"-f", "3000", "-r", "7000", "o.wav"},
         "the signal would span 2882.81 to 3585.94 Hz, which does not fit between 0 and 3500 Hz "
         "(half the --rate)"},
        {{"--drift", "-2000", "o.wav"},
         "the signal would span -128.299 to 1385.94 Hz, which does not fit between 0 and 6000 Hz "
         "(half the --rate)"},
        {{"--seed", "-1", "o.wav"},
         "--seed: '-1' is not a whole number from 0 to 18446744073709551615"},
        {{"--seed", "18446744073709551616", "o.wav"},
         "--seed: '18446744073709551616' is not a whole number from 0 to 18446744073709551615"},
        {{"-a", "0", "o.wav"}, "--amplitude: must be above 0 and at most 1, got 0"},
        {{"-a", "1.5", "o.wav"}, "--amplitude: must be above 0 and at most 1, got 1.5"},
        {{"--id", "DL0@", "o.wav"},
         "--id: '@' has no Morse code (use letters, digits, '/' and blanks)"},
        {{"--id", "  ", "o.wav"}, "--id: nothing to send (letters, digits and '/')"},
        {{"--id", "OZ7IGY", "-n", "2", "-p", "30", "o.wav"},
         "--id: a frame and the identification take 31.8 s, which with 1 s of quiet does not fit "
         "in the period of 30 s"},
        {{"--rate"}, "--rate: 1 required HZ missing"},
    };
    const auto parse = [](std::vector<const char*> args) {
        SimCommand cmd;
        return parse_args("beaconsim", std::move(args), cmd);
    };
    for (const auto& [args, message] : cases)
        expect_run(parse(args), "", "beaconsim: " + message + "\n", 2);
    // At the edges: accepted.
    EXPECT_EQ(parse({"-a", "1", "-n", "2", "-p", "24.333333333333332", "o.wav"}).status,
              PARSE_CONTINUE);
    EXPECT_EQ(parse({"--id", "OZ7IGY", "-n", "2", "-p", "32.84", "-s", "0", "o.wav"}).status,
              PARSE_CONTINUE);
}

}  // namespace
}  // namespace beacon::test
