// Every row of docs/bad-input.md: beacondec run on a bad input as a user runs
// it, with stdout, stderr and the exit status compared exactly. The path of
// the input appears as "F" in the expected texts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "sim/synth.hpp"
#include "support/recording.hpp"

namespace beacon::test {
namespace {

const std::string kBin = BEACONDEC_PATH;

using Maker = std::function<void(const std::string&)>;  // makes the input at a path

struct Row {
    std::string name;
    Maker make;
    std::string err;
    int status = 1;
    std::vector<std::string> options = {};
    std::string out = "";
};

std::string failed(const std::string& reason) {
    return "wav_read: " + reason + "\nbeacondec: failed to read 'F'\n";
}

void check_rows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TempDir dir;
        const std::string path = dir.file("input.wav");
        if (row.make) row.make(path);
        std::vector<std::string> args = {"beacondec", "-T", "120000"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back(path);
        RunResult r = run_program(kBin, args);
        for (std::size_t p; (p = r.err.find(path)) != std::string::npos;)
            r.err.replace(p, path.size(), "F");
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.status, row.status);
    }
}

Maker bytes(const Bytes& b) {
    return [b](const std::string& path) { write_file(path, b); };
}

// A 16-bit mono file at 12000 Hz of the given samples.
Maker mono(std::vector<double> x) {
    return
        [x = std::move(x)](const std::string& path) { write_file(path, pcm_wav(x, 12000, 1, 16)); };
}

// 100 samples of 16-bit audio.
const Bytes kAudio = pcm_bytes(std::vector<double>(100, 0.125), 16);

// A file with the given format fields and kAudio.
Maker with_format(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                  std::uint32_t fmt_size = 16, std::uint16_t sub = 1) {
    return bytes(WavBuilder().fmt(tag, channels, rate, bits, fmt_size, sub).data(kAudio).bytes());
}

TEST(BadInput, FilesThatCannotBeRead) {
    const std::string not_regular = failed("'F' is not a regular file");
    const Maker directory = [](const std::string& p) { mkdir(p.c_str(), 0700); };
    const Maker fifo = [](const std::string& p) { mkfifo(p.c_str(), 0600); };
    check_rows({{"missing file", nullptr, failed("cannot open 'F'")},
                {"directory", directory, not_regular},
                {"FIFO", fifo, not_regular}});
    const RunResult r = run_program(kBin, {"beacondec", "/dev/null"});
    EXPECT_EQ(r.err,
              "wav_read: '/dev/null' is not a regular file\n"
              "beacondec: failed to read '/dev/null'\n");
    EXPECT_EQ(r.status, 1);
}

TEST(BadInput, BrokenHeaders) {
    const std::string not_riff = failed("'F' is not a valid RIFF/WAVE file");
    const std::string missing = failed("'F' - missing fmt or data chunk");
    const Bytes good = WavBuilder().fmt(1, 1, 12000, 16).data(kAudio).bytes();
    auto changed = [&](std::size_t at, std::string_view id) {
        Bytes b = good;
        std::copy(id.begin(), id.end(), b.begin() + at);
        return bytes(b);
    };
    auto first = [&](std::size_t n) { return bytes(Bytes(good.begin(), good.begin() + n)); };
    const Bytes fmt14(good.begin() + 20, good.begin() + 34);
    check_rows({
        {"empty file", bytes({}), not_riff},
        {"11 bytes", first(11), not_riff},
        {"big-endian RIFX", changed(0, "RIFX"), not_riff},
        {"RF64", changed(0, "RF64"), not_riff},
        {"RIFF but not WAVE", changed(8, "AVI "), not_riff},
        {"header only", first(12), missing},
        {"fmt chunk cut off", first(30), missing},
        {"no data chunk", bytes(WavBuilder().fmt(1, 1, 12000, 16).bytes()), missing},
        {"no fmt chunk", bytes(WavBuilder().data(kAudio).bytes()), missing},
        {"fmt chunk of 14 bytes", bytes(WavBuilder().chunk("fmt ", fmt14).data(kAudio).bytes()),
         missing},
    });
}

TEST(BadInput, InvalidFormatFields) {
    auto format = [](int tag) {
        return failed("unsupported audio format " + std::to_string(tag) +
                      " (integer PCM required)");
    };
    auto depth = [](int bits) { return failed("unsupported bit depth " + std::to_string(bits)); };
    const std::string rate_failed = "beacondec: resampling failed\n";
    check_rows({
        {"float", with_format(3, 1, 12000, 32), format(3)},
        {"format tag 0", with_format(0, 1, 12000, 16), format(0)},
        {"ADPCM", with_format(2, 1, 12000, 4), format(2)},
        {"mu-law", with_format(7, 1, 8000, 8), format(7)},
        {"extensible float", with_format(0xFFFE, 1, 12000, 32, 40, 3), format(3)},
        {"bit depth 0", with_format(1, 1, 12000, 0), depth(0)},
        {"bit depth 12", with_format(1, 1, 12000, 12), depth(12)},
        {"bit depth 64", with_format(1, 1, 12000, 64), depth(64)},
        {"no channels", with_format(1, 0, 12000, 16), failed("invalid channel count")},
        {"65535 channels",
         bytes(WavBuilder().fmt(1, 65535, 12000, 8).data(Bytes(65535 * 3, 0x80)).bytes()),
         "File: F (12000 Hz, 65535 channel(s), 8-bit, 3 samples = 0.0 s)\n",
         1,
         {"-D"}},
        {"sample rate 0",
         with_format(1, 1, 0, 16),
         "File: F (0 Hz, 1 channel(s), 16-bit, 100 samples = inf s)\n"
         "File is at 0 Hz, resampling to 12000 Hz...\n" +
             rate_failed,
         1,
         {"-D"}},
        {"sample rate 2^31",
         with_format(1, 1, 0x80000000u, 16),
         "File: F (-2147483648 Hz, 1 channel(s), 16-bit, 100 samples = -0.0 s)\n"
         "File is at -2147483648 Hz, resampling to 12000 Hz...\n" +
             rate_failed,
         1,
         {"-D"}},
        {"sample rate 2^32 - 1", with_format(1, 1, 0xFFFFFFFFu, 16), rate_failed},
    });
}

// 25 s of a beacon at 4000 Hz, 8 bits: small, and decodable.
Bytes beacon_recording() {
    return pi4_recording({.seconds = 25,
                          .rate = 4000,
                          .bits = 8,
                          .amplitude = 0.3,
                          .snr_db = 10,
                          .frames = {{"G4ABC", 0.4}}});
}

TEST(BadInput, DataSizesAndLengths) {
    const std::string no_audio = failed("no usable audio data in 'F'");
    auto claims = [](const std::string& declared, const std::string& held) {
        return "wav_read: warning - data chunk claims " + declared + " bytes but only " + held +
               " are available in the file; truncating.\n";
    };
    // The data chunk's size field is at offset 40 of a canonical file.
    auto declare = [](Bytes b, std::uint32_t size) {
        for (int i = 0; i < 4; ++i)
            b[40 + i] = static_cast<std::uint8_t>(size >> (8 * i));
        return bytes(b);
    };
    const Bytes beacon = beacon_recording();
    Bytes wrong_rates = beacon;  // byte rate and block align
    std::fill(wrong_rates.begin() + 28, wrong_rates.begin() + 34, 0xEE);
    const std::string spot = "120000  10  0.4  800 : G4ABC\n";
    check_rows({
        {"data size 0", bytes(WavBuilder().fmt(1, 1, 12000, 16).data({}).bytes()), no_audio},
        {"less than one frame", bytes(WavBuilder().fmt(1, 2, 12000, 16).data({1, 2}).bytes()),
         no_audio},
        {"data size beyond the file",
         declare(WavBuilder().fmt(1, 1, 12000, 16).data(kAudio).bytes(), 1000),
         claims("1000", "200")},
        {"4 GB declared, 1 KB held",
         declare(WavBuilder().fmt(1, 1, 12000, 16).data(Bytes(1024, 1)).bytes(), 0xFFFFFFFFu),
         claims("4294967295", "1024") +
             "File: F (12000 Hz, 1 channel(s), 16-bit, 512 samples = 0.0 s)\n",
         1,
         {"-D"}},
        {"decodable recording, data size beyond the file",
         declare(beacon, 0x7FFFFFFFu),
         claims("2147483647", "100000"),
         0,
         {},
         spot},
        {"byte rate and block align wrong (ignored)", bytes(wrong_rates), "", 0, {}, spot},
        {"shorter than a frame",
         mono(std::vector<double>(120000, 0.0)),
         "File: F (12000 Hz, 1 channel(s), 16-bit, 120000 samples = 10.0 s)\n",
         1,
         {"-D"}},
        // 200000 samples at 1 Hz would be 2.4e9 samples at 12000 Hz, more
        // than an FFT length (int) can hold.
        {"resampled beyond the int range",
         bytes(WavBuilder().fmt(1, 1, 1, 8).data(Bytes(200000, 0x80)).bytes()),
         "beacondec: resampling failed\n"},
    });
}

TEST(BadInput, ResultsThatCannotBeWrittenAreNoSuccess) {
    // Standard output on a full device: the result line (or the help) is
    // lost, so the run must not end with status 0.
    const TempDir dir;
    const std::string path = dir.file("beacon.wav");
    write_file(path, beacon_recording());
    auto run_full = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"sh", "-c", "exec \"$0\" \"$@\" >/dev/full", kBin});
        return run_program("/bin/sh", args);
    };
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"-T", "120000", path}, {"-V"}, {"-v"}, {"-h"}}) {
        const RunResult r = run_full(args);
        EXPECT_EQ(r.err, "beacondec: cannot write to standard output\n") << args[0];
        EXPECT_EQ(r.status, 1) << args[0];
    }
    // Nothing to write: the status stays.
    EXPECT_EQ(run_full({"-x"}).status, 2);
    EXPECT_EQ(run_full({"-T", "120000", dir.file("absent.wav")}).status, 1);
}

TEST(BadInput, RecordingsWithoutABeacon) {
    const std::size_t n = 30 * 12000;
    std::vector<double> noise(n, 0.0);
    sim::add_white_noise(noise, 0.1, 7);
    std::vector<double> clipped(n);
    sim::Noise signs(11);
    for (double& v : clipped)
        v = signs.uniform() < 0.5 ? -1.0 : 1.0;
    auto no_message = [](const std::string& where) {
        return "beacondec: no valid message decoded (candidate at " + where + ")\n";
    };
    auto no_spot = [](const std::string& window) {
        return "beacondec: no PI4 spot found in the search window (" + window + " of the file)\n";
    };
    check_rows({
        {"silence", mono(std::vector<double>(n, 0.0)), no_message("DT=+0.000 s, DF=650 Hz")},
        {"DC", mono(std::vector<double>(n, 0.5)), no_message("DT=+0.000 s, DF=655 Hz")},
        {"full-scale clipping", mono(clipped), no_message("DT=+0.800 s, DF=744 Hz")},
        {"pure noise", mono(noise), no_message("DT=+0.250 s, DF=668 Hz")},
        {"no frequency to search (-f nan)",
         mono(noise),
         no_spot("carrier nan +/- 150 Hz, first 2.0 s"),
         1,
         {"-f", "nan"}},
        {"no offset to search (-d -1)",
         mono(noise),
         no_spot("carrier 800 +/- 150 Hz, first -1.0 s"),
         1,
         {"-d", "-1"}},
    });
}

}  // namespace
}  // namespace beacon::test
