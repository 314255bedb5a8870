// beacondec as a user runs it: the command line's texts and statuses, a
// recording decoded with and without diagnostics (the same figures as the
// library's), files without a spot, output that cannot be written, and a
// memory limit. The reader's own messages are tested on the reader.
#include <gtest/gtest.h>

#include <ctime>

#include "beacondec/options.hpp"
#include "support/support.hpp"
#include "util/format.hpp"

namespace beacon::test {
namespace {

const std::string DEC = BEACONDEC_PATH;

TEST(BeacondecCommandLine, HelpVersionAndErrors) {
    const std::string usage = run({DEC, "-h"}).out;
    EXPECT_NE(usage.find("\nUsage: " + DEC + " [options] file.wav\n"), std::string::npos);
    const std::string version = format("beacondec %s\n", VERSION),
                      credit = format("beacondec %s - beacondec authors\n", VERSION);
    // Help and version end the run where they stand; letters after them are
    // ignored, and what came before has been looked at.
    expect_run(run({DEC, "-help", "-x", "a.wav", "b.wav"}), usage, "", 0);
    expect_run(run({DEC, "-f", "900", "-V", "-T"}), version, "", 0);
    expect_run(run({DEC, "-verbose"}), credit, "", 0);
    const std::pair<std::vector<std::string>, std::string> errors[] = {
        {{}, "missing .wav file\n\n" + usage},
        {{"-D", "-f", "x.wav"}, "missing .wav file\n\n" + usage},
        {{"a.wav", "b.wav"}, "unexpected extra argument 'b.wav'\n\n" + usage},
        {{"", "-"}, "unexpected extra argument '-'\n\n" + usage},
        {{"-x", "-h"}, "unknown option '-x'\n\n" + usage},
        {{"--help"}, "unknown option '--help'\n\n" + usage},
        {{"a.wav", "-t"}, "option -t requires an argument\n"},
        {{"-T", "12", "-x"}, "-T expects 6 digits (HHMMSS), got '12'\n"},
        {{"-T1234567", "a.wav"}, "-T expects 6 digits (HHMMSS), got '1234567'\n"},
    };
    for (const auto& [args, err] : errors)
        expect_run(run(std::vector{DEC} + args), "", DEC + ": " + err, 2);
    // Values in the same or the next argument, any text: on to the file.
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{DEC, "-f800", "-t", "abc", "-d", "-1", "-"},
          {DEC, "-", "-Dq", "-T", "ABCDEF"}})
        expect_run(run(argv), "", "wav_read: cannot open '-'\nbeacondec: failed to read '-'\n", 1);
}

TEST(BeacondecCommandLine, NoArgumentsAtAll) {
    // exec() may pass no arguments at all: the fixed name.
    RunSettings s;
    char* none[] = {nullptr};
    const RunResult c =
        capture([&](FILE* out, FILE* err) { return parse_options(0, none, s, out, err); });
    EXPECT_EQ(c.status, 2);
    EXPECT_EQ(c.err.rfind("beacondec: missing .wav file\n\nbeacondec ", 0), 0u);
}

// A recording at 8000 Hz of one frame, and what the library makes of it.
struct Beacon {
    TempDir dir;
    std::string path = dir.file("beacon.wav");
    Decoded d;
    Beacon() {
        write_file(path,
                   recording_wav({.seconds = 26, .rate = 8000, .frames = {{"G4ABC", 0.4}}}, 2, 16));
        wav_data wav;
        EXPECT_TRUE(wav_read(path.c_str(), wav).ok());
        d = decode(wav.samples, wav.sample_rate);
    }
};

TEST(BeacondecRuns, ARecordingWithAndWithoutDiagnostics) {
    const Beacon b;
    ASSERT_EQ(b.d.spots.size(), 1u);
    const Spot& s = b.d.spots[0];
    EXPECT_STREQ(s.display, "G4ABC");
    const std::string line = result_line("120000", s);
    expect_run(run({DEC, "-T", "120000", b.path}), line, "", 0);
    // Without -T: the UTC time of day of the run.
    const std::time_t before = std::time(nullptr);
    const RunResult now = run({DEC, b.path});
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(now.out.substr(6), line.substr(6));
    const long secs = std::stol(now.out.substr(0, 2)) * 3600 +
                      std::stol(now.out.substr(2, 2)) * 60 + std::stol(now.out.substr(4, 2));
    EXPECT_TRUE((secs >= before % 86400 && secs <= after % 86400) ||
                before / 86400 != after / 86400)
        << now.out;
    const Candidate& c = s.frame;
    expect_run(run({DEC, "-D", "-T120000", b.path}), line,
               format("File: %s (8000 Hz, 2 channel(s), 16-bit, 208000 samples = 26.0 s)\n"
                      "File is at 8000 Hz, resampling to 12000 Hz...\n"
                      "Resampled: 312000 samples at 12000 Hz (26.0 s)\n"
                      "Spot 1: DT=%+.3f s  DF(tone0)=%.2f Hz  DF(carrier)=%.2f Hz  flip=%+d  "
                      "ccfpeak=%.1f  SNR=%.1f dB\n(Fano metric = %ld)\n",
                      b.path.c_str(), c.dt_abs, c.sync.df_tone0, c.df_carrier, c.sync.flip,
                      c.sync.ccfpeak, c.snr_db, static_cast<long>(s.fano_metric)),
               0);
}

TEST(BeacondecRuns, FilesWithoutASpot) {
    const TempDir dir;
    const std::string p = dir.file("in.wav");
    const std::vector<std::tuple<Bytes, std::string>> rows = {
        {riff({fmt_chunk(1, 1, 12000, 16), chunk("data", {}, 100)}),
         "wav_read: warning - data chunk claims 100 bytes but only 0 are available in the file; "
         "truncating.\nwav_read: no usable audio data in '" +
             p + "'\nbeacondec: failed to read '" + p + "'\n"},
        {recording_wav({.seconds = 24.5, .rate = 4000, .frames = {}}), ""},  // too short
        {recording_wav({.seconds = 24.6, .rate = 4000, .frames = {}}), "no valid"},
    };
    for (const auto& [bytes, err] : rows) {
        write_file(p, bytes);
        const RunResult r = run({DEC, p});
        EXPECT_EQ(r.out, "");
        if (err == "no valid")
            EXPECT_EQ(r.err.rfind("beacondec: no valid message decoded (candidate at DT=", 0), 0u)
                << r.err;
        else
            EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.status, 1) << r.err;
    }
    // -f, -t and -d as the search's failure shows them: the last -f counts,
    // values are read as far as they are numbers.
    expect_run(run({DEC, "-f", "700", "-f799.6Hz", "-t", "-1e0", "-d3x", p}), "",
               "beacondec: no PI4 spot found in the search window (carrier 800 +/- -1 Hz, first "
               "3.0 s of the file)\n",
               1);
}

TEST(BeacondecRuns, OutputThatCannotBeWrittenIsNoSuccess) {
    const Beacon b;
    for (const char* option : {"-V", "-h", "-T120000"}) {
        const RunResult r =
            run({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", DEC, option, b.path}, "", false);
        expect_run(r, "", "beacondec: cannot write to standard output\n", 1);
    }
}

TEST(BeacondecCommandLine, OutOfMemoryEndsWithAMessage) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitized program cannot start under the limit";
#else
    // A prime length (1000003 samples at 11025 Hz) makes FFTW plan with
    // Bluestein's algorithm, whose buffers do not fit in 100 MB though the
    // resampler's own do; FFTW's planner would abort the process.
    const TempDir dir;
    const std::string p = dir.file("prime.wav");
    write_file(p, riff({fmt_chunk(1, 1, 11025, 8), chunk("data", Bytes(1000003, 0x80))}));
    expect_run(run({"/bin/sh", "-c", "ulimit -v 102400 && exec \"$0\" \"$@\"", DEC, p}, "", false),
               "", "beacondec: resampling failed\n", 1);
#endif
}

}  // namespace
}  // namespace beacon::test
