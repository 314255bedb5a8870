// Every row of docs/bad-input.md: beacondec run on a bad input as a user runs
// it, with stdout, stderr and the exit status compared exactly. The path of
// the input appears as "F" in the expected texts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <functional>

#include "sim/synth.hpp"
#include "support/recording.hpp"

namespace beacon::test {
namespace {

const std::string kBin = BEACONDEC_PATH;

struct Row {
    std::string name;
    // Makes the input at the given path.
    std::function<void(const std::string&)> make;
    std::vector<std::string> options;
    std::string out;
    std::string err;
    int status;
};

std::string failed(const std::string& reason) {
    return reason + "beacondec: failed to read 'F'\n";
}

RunResult run_row(const Row& row, const std::string& path) {
    std::vector<std::string> args = {"beacondec", "-T", "120000"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(path);
    RunResult r = run_program(kBin, args);
    for (std::size_t p; (p = r.err.find(path)) != std::string::npos;)
        r.err.replace(p, path.size(), "F");
    return r;
}

void check_rows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TempDir dir;
        const std::string path = dir.file("input.wav");
        if (row.make) row.make(path);
        const RunResult r = run_row(row, path);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.status, row.status);
    }
}

std::function<void(const std::string&)> bytes(const Bytes& b) {
    return [b](const std::string& path) { write_file(path, b); };
}

Bytes pcm16(std::size_t n, std::uint16_t v) {
    Bytes b;
    for (std::size_t i = 0; i < n; ++i)
        put_u16(b, v);
    return b;
}

// A 16-bit mono file at 12000 Hz of the given samples.
std::function<void(const std::string&)> mono(std::vector<double> x) {
    return
        [x = std::move(x)](const std::string& path) { write_file(path, pcm_wav(x, 12000, 1, 16)); };
}

const Bytes kAudio = pcm16(100, 0x1000);

TEST(BadInput, FilesThatCannotBeRead) {
    check_rows({
        {"missing file", nullptr, {}, "", failed("wav_read: cannot open 'F'\n"), 1},
        {"directory",
         [](const std::string& p) { mkdir(p.c_str(), 0700); },
         {},
         "",
         failed("wav_read: 'F' is not a regular file\n"),
         1},
        {"FIFO",
         [](const std::string& p) { mkfifo(p.c_str(), 0600); },
         {},
         "",
         failed("wav_read: 'F' is not a regular file\n"),
         1},
    });
    // A device.
    const RunResult r = run_program(kBin, {"beacondec", "/dev/null"});
    EXPECT_EQ(r.err,
              "wav_read: '/dev/null' is not a regular file\nbeacondec: failed to read "
              "'/dev/null'\n");
    EXPECT_EQ(r.status, 1);
}

TEST(BadInput, BrokenHeaders) {
    const std::string not_riff = failed("wav_read: 'F' is not a valid RIFF/WAVE file\n");
    const std::string missing = failed("wav_read: 'F' - missing fmt or data chunk\n");
    const Bytes good = WavBuilder().fmt(1, 1, 12000, 16).data(kAudio).bytes();
    Bytes rifx = good;
    rifx[3] = 'X';
    Bytes rf64 = good;
    rf64[0] = 'R', rf64[1] = 'F', rf64[2] = '6', rf64[3] = '4';
    Bytes avi = good;
    avi[8] = 'A', avi[9] = 'V', avi[10] = 'I', avi[11] = ' ';
    check_rows({
        {"empty file", bytes({}), {}, "", not_riff, 1},
        {"11 bytes", bytes(Bytes(good.begin(), good.begin() + 11)), {}, "", not_riff, 1},
        {"big-endian RIFX", bytes(rifx), {}, "", not_riff, 1},
        {"RF64", bytes(rf64), {}, "", not_riff, 1},
        {"RIFF but not WAVE", bytes(avi), {}, "", not_riff, 1},
        {"header only", bytes(Bytes(good.begin(), good.begin() + 12)), {}, "", missing, 1},
        {"fmt chunk cut off", bytes(Bytes(good.begin(), good.begin() + 30)), {}, "", missing, 1},
        {"no data chunk", bytes(WavBuilder().fmt(1, 1, 12000, 16).bytes()), {}, "", missing, 1},
        {"no fmt chunk", bytes(WavBuilder().data(kAudio).bytes()), {}, "", missing, 1},
        {"fmt chunk of 14 bytes",
         bytes(WavBuilder()
                   .chunk("fmt ", Bytes(good.begin() + 20, good.begin() + 34))
                   .data(kAudio)
                   .bytes()),
         {},
         "",
         missing,
         1},
    });
}

TEST(BadInput, InvalidFormatFields) {
    auto file = [](std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                   std::uint16_t bits, std::uint32_t fmt_size = 16, std::uint16_t sub = 1) {
        return bytes(
            WavBuilder().fmt(tag, channels, rate, bits, fmt_size, sub).data(kAudio).bytes());
    };
    auto format = [](int tag) {
        return failed("wav_read: unsupported audio format " + std::to_string(tag) +
                      " (integer PCM required)\n");
    };
    auto depth = [](int bits) {
        return failed("wav_read: unsupported bit depth " + std::to_string(bits) + "\n");
    };
    check_rows({
        {"float", file(3, 1, 12000, 32), {}, "", format(3), 1},
        {"format tag 0", file(0, 1, 12000, 16), {}, "", format(0), 1},
        {"ADPCM", file(2, 1, 12000, 4), {}, "", format(2), 1},
        {"mu-law", file(7, 1, 8000, 8), {}, "", format(7), 1},
        {"extensible float", file(0xFFFE, 1, 12000, 32, 40, 3), {}, "", format(3), 1},
        {"bit depth 0", file(1, 1, 12000, 0), {}, "", depth(0), 1},
        {"bit depth 12", file(1, 1, 12000, 12), {}, "", depth(12), 1},
        {"bit depth 64", file(1, 1, 12000, 64), {}, "", depth(64), 1},
        {"no channels",
         file(1, 0, 12000, 16),
         {},
         "",
         failed("wav_read: invalid channel count\n"),
         1},
        {"65535 channels",
         bytes(WavBuilder().fmt(1, 65535, 12000, 8).data(Bytes(65535 * 3, 0x80)).bytes()),
         {"-D"},
         "",
         "File: F (12000 Hz, 65535 channel(s), 8-bit, 3 samples = 0.0 s)\n",
         1},
        {"sample rate 0",
         file(1, 1, 0, 16),
         {"-D"},
         "",
         "File: F (0 Hz, 1 channel(s), 16-bit, 100 samples = inf s)\n"
         "File is at 0 Hz, resampling to 12000 Hz...\n"
         "beacondec: resampling failed\n",
         1},
        {"sample rate 2^31",
         file(1, 1, 0x80000000u, 16),
         {"-D"},
         "",
         "File: F (-2147483648 Hz, 1 channel(s), 16-bit, 100 samples = -0.0 s)\n"
         "File is at -2147483648 Hz, resampling to 12000 Hz...\n"
         "beacondec: resampling failed\n",
         1},
        {"sample rate 2^32 - 1",
         file(1, 1, 0xFFFFFFFFu, 16),
         {},
         "",
         "beacondec: resampling failed\n",
         1},
    });
}

// 25 s of a beacon at 4000 Hz, 8 bits: small, and decodable.
Bytes beacon_recording() {
    RecordingSpec recording;
    recording.seconds = 25;
    recording.rate = 4000;
    recording.bits = 8;
    recording.amplitude = 0.3;
    recording.snr_db = 10;
    recording.frames = {{"G4ABC", 0.4}};
    return pi4_recording(recording);
}

TEST(BadInput, DataSizesAndLengths) {
    const std::string no_audio = failed("wav_read: no usable audio data in 'F'\n");
    // The data chunk's size field is at offset 40 of a canonical file.
    auto declare = [](Bytes b, std::uint32_t size) {
        b[40] = static_cast<std::uint8_t>(size);
        b[41] = static_cast<std::uint8_t>(size >> 8);
        b[42] = static_cast<std::uint8_t>(size >> 16);
        b[43] = static_cast<std::uint8_t>(size >> 24);
        return b;
    };
    const Bytes beacon = beacon_recording();
    check_rows({
        {"data size 0",
         bytes(WavBuilder().fmt(1, 1, 12000, 16).data({}).bytes()),
         {},
         "",
         no_audio,
         1},
        {"less than one frame",
         bytes(WavBuilder().fmt(1, 2, 12000, 16).data({1, 2}).bytes()),
         {},
         "",
         no_audio,
         1},
        {"data size beyond the file",
         bytes(declare(WavBuilder().fmt(1, 1, 12000, 16).data(kAudio).bytes(), 1000)),
         {},
         "",
         "wav_read: warning - data chunk claims 1000 bytes but only 200 are available in the "
         "file; truncating.\n",
         1},
        {"4 GB declared, 1 KB held",
         bytes(
             declare(WavBuilder().fmt(1, 1, 12000, 16).data(Bytes(1024, 1)).bytes(), 0xFFFFFFFFu)),
         {"-D"},
         "",
         "wav_read: warning - data chunk claims 4294967295 bytes but only 1024 are available in "
         "the file; truncating.\n"
         "File: F (12000 Hz, 1 channel(s), 16-bit, 512 samples = 0.0 s)\n",
         1},
        {"decodable recording, data size beyond the file",
         bytes(declare(beacon, 0x7FFFFFFFu)),
         {},
         "120000  10  0.4  800 : G4ABC\n",
         "wav_read: warning - data chunk claims 2147483647 bytes but only 100000 are available "
         "in the file; truncating.\n",
         0},
        {"byte rate and block align wrong (ignored)",
         [beacon](const std::string& p) {
             Bytes b = beacon;
             for (int i = 28; i < 34; ++i)
                 b[i] = 0xEE;
             write_file(p, b);
         },
         {},
         "120000  10  0.4  800 : G4ABC\n",
         "",
         0},
        {"shorter than a frame",
         mono(std::vector<double>(120000, 0.0)),
         {"-D"},
         "",
         "File: F (12000 Hz, 1 channel(s), 16-bit, 120000 samples = 10.0 s)\n",
         1},
        // 200000 samples at 1 Hz would be 2.4e9 samples at 12000 Hz, more
        // than an FFT length (int) can hold.
        {"resampled beyond the int range",
         bytes(WavBuilder().fmt(1, 1, 1, 8).data(Bytes(200000, 0x80)).bytes()),
         {},
         "",
         "beacondec: resampling failed\n",
         1},
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
    const std::string lost = "beacondec: cannot write to standard output\n";
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"-T", "120000", path}, {"-V"}, {"-v"}, {"-h"}}) {
        const RunResult r = run_full(args);
        EXPECT_EQ(r.err, lost) << args[0];
        EXPECT_EQ(r.status, 1) << args[0];
    }
    // Nothing to write: the status stays.
    const RunResult r = run_full({"-x"});
    EXPECT_EQ(r.status, 2);
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
    check_rows({
        {"silence",
         mono(std::vector<double>(n, 0.0)),
         {},
         "",
         no_message("DT=+0.000 s, DF=650 Hz"),
         1},
        {"DC", mono(std::vector<double>(n, 0.5)), {}, "", no_message("DT=+0.000 s, DF=655 Hz"), 1},
        {"full-scale clipping", mono(clipped), {}, "", no_message("DT=+0.800 s, DF=744 Hz"), 1},
        {"pure noise", mono(noise), {}, "", no_message("DT=+0.250 s, DF=668 Hz"), 1},
        {"no frequency to search (-f nan)",
         mono(noise),
         {"-f", "nan"},
         "",
         "beacondec: no PI4 spot found in the search window (carrier nan +/- 150 Hz, first 2.0 s "
         "of the file)\n",
         1},
        {"no offset to search (-d -1)",
         mono(noise),
         {"-d", "-1"},
         "",
         "beacondec: no PI4 spot found in the search window (carrier 800 +/- 150 Hz, first -1.0 "
         "s of the file)\n",
         1},
    });
}

}  // namespace
}  // namespace beacon::test
