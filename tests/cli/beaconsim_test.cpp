// beaconsim run as a user runs it, and its recordings decoded by beacondec:
// the two programs must agree on the signal, the timing, the carrier and
// the meaning of the SNR.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>

#include "audio/audio.hpp"
#include "decoder/decoder.hpp"
#include "sim/simulate.hpp"
#include "support/recording.hpp"

namespace beacon::test {
namespace {

const std::string kSim = BEACONSIM_PATH;
const std::string kDec = BEACONDEC_PATH;

RunResult simulate(std::vector<std::string> args) {
    args.insert(args.begin(), "beaconsim");
    return run_program(kSim, args);
}

// Writes `path` with beaconsim, expecting success and silence.
void make(const std::string& path, std::vector<std::string> args) {
    args.push_back(path);
    const RunResult r = simulate(args);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.err, "");
    ASSERT_EQ(r.out, "");
}

struct Decoded {
    RunResult run;
    std::vector<ResultLine> lines;
};

Decoded decode(const std::string& path, std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"beacondec", "-T", "120000"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    Decoded d{run_program(kDec, args), {}};
    d.lines = parse_result_lines(d.run.out);
    return d;
}

struct Spot {
    double dt, df;
    std::string message;
};

void expect_spots(const Decoded& d, const std::vector<Spot>& want) {
    ASSERT_EQ(d.lines.size(), want.size()) << d.run.out << d.run.err;
    for (std::size_t i = 0; i < want.size(); ++i) {
        // DT is found on a 1/60 s grid and printed to 0.1 s; DF on a grid of
        // 1.46484375 Hz and printed to 1 Hz.
        EXPECT_NEAR(d.lines[i].dt, want[i].dt, 1.0 / 120 + 0.05) << i;
        EXPECT_NEAR(d.lines[i].df, want[i].df, 1.46484375 / 2 + 0.5) << i;
        EXPECT_EQ(d.lines[i].message, want[i].message) << i;
    }
    EXPECT_EQ(d.run.status, 0);
}

wav_data read_wav(const std::string& path) {
    wav_data wav;
    EXPECT_EQ(wav_read(path.c_str(), wav), 0);
    return wav;
}

std::string display_of(const std::string& message) {
    char display[PI4_MESSAGE_LENGTH + 1];
    make_display_text(sim::sent_message(message).c_str(), display);
    return display;
}

std::string fixed(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

TEST(BeaconSim, DefaultsGiveOneFrameOneSecondIn) {
    TempDir dir;
    const std::string path = dir.file("d.wav");
    make(path, {});
    const wav_data wav = read_wav(path);
    EXPECT_EQ(wav.sample_rate, 12000);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.bits_per_sample, 16);
    // The frame and one second after it.
    EXPECT_EQ(wav.num_samples, 12000 + 292000 + 12000);
    expect_spots(decode(path), {{1.0, 800, "PI4TEST"}});
}

TEST(BeaconSim, RoundTripsRandomMessagesRatesDepthsChannelsStartsAndCarriers) {
    sim::Noise rng(2026);
    auto pick = [&](int n) { return static_cast<int>(rng.uniform() * n); };
    const int rates[] = {8000, 11025, 12000, 16000, 22050, 44100, 48000};
    const int depths[] = {8, 16, 24, 32};
    TempDir dir;
    for (int trial = 0; trial < 6; ++trial) {
        std::string message;
        for (int k = 1 + pick(8); k > 0; --k)
            message += PI4_ALPHABET[pick(PI4_ALPHABET_SIZE)];
        const int rate = rates[pick(7)];
        const int bits = depths[trial % 4];
        const int channels = 1 + pick(3);
        const double start = 1.9 * rng.uniform();
        const double carrier = 500 + 2500 * rng.uniform();
        const std::string path = dir.file("t" + std::to_string(trial) + ".wav");
        std::vector<std::string> args = {"-m",     message,
                                         "-r",     std::to_string(rate),
                                         "-b",     std::to_string(bits),
                                         "-c",     std::to_string(channels),
                                         "-s",     fixed(start),
                                         "-f",     fixed(carrier),
                                         "--seed", std::to_string(trial)};
        if (trial % 2 == 0) args.insert(args.end(), {"--snr", "-10"});
        std::string shown = "'" + message + "'";
        for (std::size_t k = 2; k < args.size(); ++k)
            shown += " " + args[k];
        SCOPED_TRACE(shown);
        make(path, args);

        const wav_data wav = read_wav(path);
        EXPECT_EQ(wav.sample_rate, rate);
        EXPECT_EQ(wav.channels, channels);
        EXPECT_EQ(wav.bits_per_sample, bits);
        EXPECT_EQ(wav.num_samples, std::llround((start + PI4_FRAME_SECONDS + 1) * rate));
        // The search is centred within 100 Hz of the carrier, not on it.
        const double nominal = std::round(carrier + 200 * rng.uniform() - 100);
        expect_spots(decode(path, {"-f", fixed(nominal)}), {{start, carrier, display_of(message)}});
    }
}

TEST(BeaconSim, DriftingFramesAMinuteApartAtMinus15DbAllDecode) {
    // At 48000 Hz: the noise for an SNR referred to 2500 Hz depends on the rate.
    TempDir dir;
    const std::string path = dir.file("m.wav");
    make(path, {"-m", "OZ7IGY/B", "-n", "3", "--drift", "6", "--snr", "-15", "-r", "48000", "-c",
                "2", "-b", "24"});
    EXPECT_EQ(read_wav(path).num_samples, std::llround((121 + PI4_FRAME_SECONDS + 1) * 48000));
    // The drift is linear in Hz per minute: the frequency at the middle of
    // frame k, 12.17 s after its start.
    const double mid = 6 * PI4_FRAME_SECONDS / 2 / 60;
    const Decoded d = decode(path);
    expect_spots(
        d, {{1, 800 + mid, "OZ7IGY/B"}, {61, 806 + mid, "OZ7IGY/B"}, {121, 812 + mid, "OZ7IGY/B"}});
    // The decoder measures the SNR that was asked for.
    for (const ResultLine& line : d.lines)
        EXPECT_NEAR(line.snr, -15, 1.5);
}

TEST(BeaconSim, IdentificationAndCarrierFollowEachFrame) {
    // Without noise the keying can be seen: after each frame the Morse code
    // (O begins with a dash), carrier until a quiet second before the next
    // cycle, which the recording's default length includes.
    TempDir dir;
    const std::string path = dir.file("id.wav");
    make(path, {"-m", "OZ7IGY/B", "-n", "2", "--id", "OZ7IGY"});
    expect_spots(decode(path), {{1, 800, "OZ7IGY/B"}, {61, 800, "OZ7IGY/B"}});
    const wav_data wav = read_wav(path);
    ASSERT_EQ(wav.num_samples, 12000 * (1 + 2 * 60));
    auto mean_square = [&](double t0, double t1) {
        double e = 0;
        const auto a = std::llround(t0 * 12000), b = std::llround(t1 * 12000);
        for (auto n = a; n < b; ++n)
            e += wav.samples[n] * wav.samples[n];
        return e / static_cast<double>(b - a);
    };
    const double tone = 0.5 * 0.5 / 2;
    const double morse_end = 1 + PI4_FRAME_SECONDS + sim::morse_duration("OZ7IGY", sim::ID_WPM);
    for (int k = 0; k < 2; ++k) {
        const double t = 60.0 * k;
        SCOPED_TRACE(k);
        EXPECT_NEAR(mean_square(t + 25.4, t + 25.6), tone, 1e-3);               // first dash
        EXPECT_EQ(mean_square(t + 25.64, t + 25.725), 0.0);                     // the gap after it
        EXPECT_NEAR(mean_square(t + morse_end + 0.35, t + 59.95), tone, 1e-3);  // carrier
        EXPECT_EQ(mean_square(t + 60.05, t + 60.95), 0.0);                      // quiet
    }
}

TEST(BeaconSim, TheSeedAloneDecidesTheNoise) {
    TempDir dir;
    const std::vector<std::string> args = {"-m", "SEED", "--snr", "-5", "-l", "30"};
    auto bytes_of = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = args;
        a.insert(a.end(), extra.begin(), extra.end());
        const std::string path = dir.file("s.wav");
        make(path, a);
        return read_file(path);
    };
    const std::string seed7 = bytes_of({"--seed", "7"});
    EXPECT_EQ(bytes_of({"--seed", "7"}), seed7);
    EXPECT_NE(bytes_of({"--seed", "8"}), seed7);
    EXPECT_EQ(bytes_of({}), bytes_of({"--seed", std::to_string(sim::DEFAULT_SEED)}));
}

TEST(BeaconSim, HelpAndVersion) {
    RunResult r = simulate({"--version"});
    EXPECT_EQ(r.out, "beaconsim 1.4.2\n");
    EXPECT_EQ(r.status, 0);
    r = simulate({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char* spelling :
         {"beaconsim [OPTIONS] OUTPUT.wav", "-m,--message TEXT", "-f,--freq HZ",
          "-s,--start SECONDS", "-n,--frames N", "-p,--period SECONDS", "-l,--duration SECONDS",
          "--snr DB", "-r,--rate HZ", "-b,--bits N", "-c,--channels N", "--seed N",
          "--drift HZ_PER_MIN", "--id CALLSIGN", "-h,--help", "--version"})
        EXPECT_NE(r.out.find(spelling), std::string::npos) << spelling;
    EXPECT_EQ(simulate({"--help"}).out, r.out);
}

TEST(BeaconSim, BadValuesAreRefusedWithOneLineAndStatusTwo) {
    TempDir dir;
    const std::string out = dir.file("never.wav");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{}, "missing OUTPUT.wav (see --help)"},
        {{"--frequency", "800", out}, "unknown option '--frequency' (see --help)"},
        {{out, "second.wav"}, "unexpected extra argument 'second.wav'"},
        {{"-r", "0", out}, "--rate: must be above 0, got 0"},
        {{"-r", "12k", out}, "--rate: '12k' is not a whole number"},
        {{"-b", "12", out}, "--bits: unsupported bit depth 12 (use 8, 16, 24 or 32)"},
        {{"-c", "0", out}, "--channels: must be from 1 to 65535, got 0"},
        {{"-l", "-1", out}, "--duration: must not be negative, got -1"},
        {{"-s", "-0.5", out}, "--start: must not be negative, got -0.5"},
        {{"-n", "3", "-l", "140", out},
         "--duration: the last frame ends at 145.333 s, after the end of the recording (140 s)"},
        {{"-l", "1e9", out},
         "--duration: 1e+09 s at 12000 Hz, 1 channel(s) and 16 bits do not fit in a WAV file (4 "
         "GiB at most)"},
        {{"-n", "0", out}, "--frames: must be at least 1, got 0"},
        {{"-n", "2", "-p", "20", out},
         "--period: 20 s is shorter than a frame (24.333 s); the frames would overlap"},
        {{"-p", "0", out}, "--period: must be above 0, got 0"},
        {{"-f", "abc", out}, "--freq: 'abc' is not a number"},
        {{"-f", "inf", out}, "--freq: must be a finite number, got inf"},
        {{"-f", "3000", "-r", "7000", out},
         "the signal would span 2882.81 to 3585.94 Hz, which does not fit between 0 and 3500 "
         "Hz (half the --rate)"},
        {{"--drift", "-2000", out},
         "the signal would span -128.299 to 1385.94 Hz, which does not fit between 0 and 6000 Hz "
         "(half the --rate)"},
        {{"--seed", "-1", out},
         "--seed: '-1' is not a whole number from 0 to 18446744073709551615"},
        {{"--seed", "18446744073709551616", out},
         "--seed: '18446744073709551616' is not a whole number from 0 to 18446744073709551615"},
        {{"-a", "0", out}, "--amplitude: must be above 0 and at most 1, got 0"},
        {{"-a", "1.5", out}, "--amplitude: must be above 0 and at most 1, got 1.5"},
        {{"--id", "DL0@", out},
         "--id: '@' has no Morse code (use letters, digits, '/' and blanks)"},
        {{"--id", "  ", out}, "--id: nothing to send (letters, digits and '/')"},
        {{"--id", "OZ7IGY", "-n", "2", "-p", "30", out},
         "--id: a frame and the identification take 31.8 s, which with 1 s of quiet does not fit "
         "in the period of 30 s"},
        {{"--rate"}, "--rate: 1 required HZ missing"},
    };
    for (const Case& c : cases) {
        const RunResult r = simulate(c.args);
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        EXPECT_EQ(r.err, "beaconsim: " + c.err + "\n") << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_FALSE(std::filesystem::exists(out)) << shown;
    }
}

TEST(BeaconSim, UnwritableOutputFailsWithStatusOne) {
    TempDir dir;
    const std::string path = dir.file("missing/dir.wav");
    const RunResult r = simulate({path});
    EXPECT_EQ(r.err, "wav_write: cannot create '" + path +
                         "': No such file or directory\nbeaconsim: failed to write '" + path +
                         "'\n");
    EXPECT_EQ(r.status, 1);
}

TEST(BeaconSim, ASignalThatWouldClipIsScaledWithANote) {
    TempDir dir;
    const std::string path = dir.file("loud.wav");
    const RunResult r = simulate({"-m", "LOUD", "-a", "1", "--snr", "10", "-b", "8", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(
        r.err,
        std::regex("beaconsim: note: the signal would clip \\(peak [0-9]+\\.[0-9]{3} of full "
                   "scale\\); scaled down by [0-9]+\\.[0-9] dB, the SNR is unchanged\n")))
        << r.err;
    // The loudest sample reaches the largest 8-bit code (+-127), and none is
    // held at the ends of the range: it was scaled, not clipped, which would
    // have put hundreds of samples at the ends, the negative ones at -128.
    const std::string bytes = read_file(path);
    int at_limit = 0, below = 0;
    for (std::size_t i = WAV_HEADER_BYTES; i < bytes.size(); ++i) {
        const int v = static_cast<unsigned char>(bytes[i]);
        at_limit += v == 1 || v == 255;
        below += v == 0;
    }
    EXPECT_EQ(below, 0);
    EXPECT_GE(at_limit, 1);
    EXPECT_LE(at_limit, 3);
    const Decoded d = decode(path);
    expect_spots(d, {{1, 800, "LOUD"}});
    EXPECT_NEAR(d.lines[0].snr, 10, 1.5);
}

TEST(BeaconSim, MessagesAreSentAsTheEncoderSendsThem) {
    TempDir dir;
    const std::string path = dir.file("m.wav");
    const std::string rule = "' (8 characters of 0-9, A-Z, blank and '/')\n";
    for (const auto& [given, sent, shown] : {std::tuple{"oz7igy/b", "  7   / ", "__7   /"},
                                             {"LONGER THAN 8", "LONGER T", "LONGER T"}}) {
        const RunResult r = simulate({"-m", given, "-l", "26", path});
        EXPECT_EQ(r.err, "beaconsim: note: the message is sent as '" + std::string(sent) + rule);
        expect_spots(decode(path), {{1, 800, shown}});
    }
}

}  // namespace
}  // namespace beacon::test
