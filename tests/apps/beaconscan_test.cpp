// beaconscan: its pieces (inputs, options, reports, progress) called
// directly, and the program over a mixed batch of files, standard input
// included, whose records must say what each file holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "beaconscan/inputs.hpp"
#include "beaconscan/options.hpp"
#include "beaconscan/progress.hpp"
#include "common/parse.hpp"
#include "support/support.hpp"
#include "util/format.hpp"

namespace beacon::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string SCAN = BEACONSCAN_PATH;

TEST(BeaconscanUnits, InputsInTheirOrderDirectoriesAsSortedTrees) {
    const TempDir dir;
    const std::string r = dir.file("rec");
    fs::create_directories(r + "/b/deep");
    fs::create_directories(r + "/a");
    fs::create_directories(r + "/dir.wav");
    for (const char* f : {"z.wav", "b.wav", "B.WAV", "a.Wav", "notes.txt", "wav", "x.wav.bak",
                          "b/deep/2.wav", "b/1.wav", "a/x.wav", "dir.wav/in.wav"})
        write_file(r + "/" + f, Bytes(3, 0));
    fs::create_symlink(r + "/z.wav", r + "/link.wav");
    fs::create_directory_symlink(r + "/b", r + "/loop.wav");  // links to directories: not followed
    std::vector<std::string> paths;
    for (const ScanInput& in : find_inputs({dir.file("notes.txt"), r, "-", r + "/b/1.wav"})) {
        paths.push_back(in.path);
        EXPECT_EQ(in.kind,
                  in.path == "-" ? ScanInput::Kind::standard_input : ScanInput::Kind::file);
        EXPECT_EQ(in.bytes, in.path == "-" || in.path == dir.file("notes.txt") ? 0u : 3u)
            << in.path;
    }
    EXPECT_EQ(paths, (std::vector<std::string>{dir.file("notes.txt"), r + "/B.WAV", r + "/a/x.wav",
                                               r + "/a.Wav", r + "/b/1.wav", r + "/b/deep/2.wav",
                                               r + "/b.wav", r + "/dir.wav/in.wav", r + "/link.wav",
                                               r + "/z.wav", "-", r + "/b/1.wav"}));
}

TEST(BeaconscanUnits, OptionsAndTheirRefusals) {
    ScanCommand d, c;
    ASSERT_EQ(parse_args("beaconscan", {"rec"}, d).status, PARSE_CONTINUE);
    EXPECT_EQ(std::tuple(d.settings.decode.freq, d.settings.decode.tol, d.settings.decode.dtmax),
              std::tuple(800.0, 150.0, 2.0));  // beacondec's search
    EXPECT_EQ(std::tuple(d.settings.start, d.format, d.jobs, d.quiet),
              std::tuple(std::nullopt, OutputFormat::text, 0, false));
    ASSERT_EQ(parse_args("beaconscan",
                         {"-f", "1000", "a.wav", "--tol=50", "-d", "-1.5", "-", "--format", "csv",
                          "-j1024", "--start", "2026-12-06T12:00:00Z", "-q", "-f", "900", "--",
                          "-odd.wav"},
                         c)
                  .status,
              PARSE_CONTINUE);
    EXPECT_EQ(std::tuple(c.settings.decode.freq, c.settings.decode.tol, c.settings.decode.dtmax),
              std::tuple(900.0, 50.0, -1.5));
    EXPECT_EQ(std::tuple(c.settings.start, c.format, c.jobs, c.quiet),
              std::tuple(std::optional<std::int64_t>(1796558400), OutputFormat::csv, 1024, true));
    EXPECT_EQ(c.paths, (std::vector<std::string>{"a.wav", "-", "-odd.wav"}));

    const std::pair<std::vector<const char*>, std::string> refused[] = {
        {{"-q"}, "no file or directory given (see --help)"},
        {{"-", "a", "-"}, "- (standard input) can be given only once"},
        {{"a", "-x"}, "unknown option '-x' (see --help)"},
        {{"-f", "800Hz", "a"}, "--freq: '800Hz' is not a number"},
        {{"-t", "nan", "a"}, "--tol: must be a finite number, got nan"},
        {{"-d", "inf", "a"}, "--dtmax: must be a finite number, got inf"},
        {{"-j", "0", "a"}, "--jobs: must be from 1 to 1024, got 0"},
        {{"-j", "1025", "a"}, "--jobs: must be from 1 to 1024, got 1025"},
        {{"--format", "json", "a"}, "--format: 'json' is not one of text, jsonl, csv"},
        {{"--start", "yesterday", "a"},
         "--start: 'yesterday' is not a date and time such as 2026-12-06T12:00:00Z"},
    };
    for (const auto& [args, message] : refused) {
        ScanCommand cmd;
        expect_run(parse_args("beaconscan", args, cmd), "", "beaconscan: " + message + "\n", 2);
    }
}

TEST(BeaconscanUnits, ReportsInEveryFormat) {
    FileReport r{.file = "rec/20261206_123456.wav", .status = ScanStatus::spots};
    ScanSpot a{.utc_ms = 1796560497017};
    a.spot.frame = {.sync = {.ccfpeak = 12345.64, .flip = -1},
                    .dt_abs = 1.0166666666666666,
                    .df_carrier = 799.8046875,
                    .snr_db = -15.5};
    std::strcpy(a.spot.display, "__AB1");
    a.spot.fano_metric = -42;
    ScanSpot b = a;
    b.utc_ms.reset();
    b.spot.frame.snr_db = -99.0;
    b.spot.frame.dt_abs = 61.0;
    b.spot.frame.sync.flip = 1;
    b.spot.display[0] = '\0';
    r.spots = {a, b};
    EXPECT_EQ(format_report(OutputFormat::text, r),
              "rec/20261206_123456.wav 2026-12-06T12:34:57Z -16  1.0  800 : __AB1\n"
              "rec/20261206_123456.wav - -99 61.0  800 : \n");
    EXPECT_EQ(format_header(OutputFormat::csv),
              "file,status,utc,snr_db,dt_s,freq_hz,message,fano_metric,ccfpeak,flip,error,"
              "warning\n");
    EXPECT_EQ(format_report(OutputFormat::csv, r),
              "rec/20261206_123456.wav,spot,2026-12-06T12:34:57.017Z,-15.5,1.0166666666666666,"
              "799.8046875,__AB1,-42,12345.64,-1,,\n"
              "rec/20261206_123456.wav,spot,,-99,61,799.8046875,,-42,12345.64,1,,\n");
    r.warning = "truncated";
    EXPECT_EQ(format_report(OutputFormat::text, r).substr(0, 43),
              "rec/20261206_123456.wav warning: truncated\n");
    EXPECT_EQ(
        format_report(OutputFormat::jsonl, r),
        "{\"file\":\"rec/20261206_123456.wav\",\"status\":\"spot\",\"utc\":\"2026-12-06T12:34:"
        "57.017Z\",\"snr_db\":-15.5,\"dt_s\":1.0166666666666666,\"freq_hz\":799.8046875,"
        "\"message\":\"__AB1\",\"fano_metric\":-42,\"ccfpeak\":12345.64,\"flip\":-1,"
        "\"warning\":\"truncated\"}\n"
        "{\"file\":\"rec/20261206_123456.wav\",\"status\":\"spot\",\"utc\":null,"
        "\"snr_db\":-99.0,\"dt_s\":61.0,\"freq_hz\":799.8046875,\"message\":\"\","
        "\"fano_metric\":-42,\"ccfpeak\":12345.64,\"flip\":1,\"warning\":\"truncated\"}\n");
    // Bytes that are not UTF-8 are replaced in JSON, kept in text and CSV.
    const FileReport none{
        .file = "x,\"y\"\xe9", .status = ScanStatus::read_error, .error = "no, none"};
    EXPECT_EQ(format_report(OutputFormat::text, none), "x,\"y\"\xe9 read_error: no, none\n");
    EXPECT_EQ(format_report(OutputFormat::jsonl, none),
              "{\"file\":\"x,\\\"y\\\"\xef\xbf\xbd\",\"status\":\"read_error\",\"error\":\"no, "
              "none\"}\n");
    EXPECT_EQ(format_report(OutputFormat::csv, none),
              "\"x,\"\"y\"\"\xe9\",read_error,,,,,,,,,\"no, none\",\n");
    EXPECT_EQ(format_header(OutputFormat::text) + format_header(OutputFormat::jsonl), "");
}

TEST(BeaconscanUnits, ProgressLine) {
    ProgressCounts c{.files_done = 0, .files_total = 200};
    EXPECT_EQ(progress_line(c, 0.0), "0/200 files, 0.00 h of audio");
    c = {.files_done = 50,
         .files_total = 200,
         .bytes_done = 400,
         .bytes_total = 4000,
         .audio_seconds = 3000};
    // By the bytes still to read when they are known, else by files.
    EXPECT_EQ(progress_line(c, 20.0),
              "50/200 files, 0.83 h of audio, 2.5 files/s (150x real time), about 3:00 left");
    c.bytes_total = 0;
    EXPECT_EQ(progress_line(c, 20.0),
              "50/200 files, 0.83 h of audio, 2.5 files/s (150x real time), about 1:00 left");
    c.files_done = 200;
    EXPECT_EQ(progress_line(c, 80.0),
              "200/200 files, 0.83 h of audio, 2.5 files/s (38x real time)");
    EXPECT_EQ(format_duration(59.4), "59 s");
    EXPECT_EQ(format_duration(187), "3:07");
    EXPECT_EQ(format_duration(3903), "1:05:03");

    // Drawn, redrawn over and erased on a terminal; nothing elsewhere.
    const auto shown = [](bool enabled) {
        return capture([&](FILE* out, FILE*) {
                   ProgressDisplay p(out, enabled, 2, 0);
                   p.refresh(true);
                   p.file_done(10, 7200);
                   p.refresh(true);
                   p.hide();
                   return 0;
               })
            .out;
    };
    const std::string drawn = "\r0/2 files, 0.00 h of audio\r1/2 files, 2.00 h of audio, ";
    const std::string on = shown(true);
    EXPECT_EQ(on.substr(0, drawn.size()), drawn);
    EXPECT_EQ(on.substr(on.size() - 4), "   \r");
    EXPECT_EQ(shown(false), "");
}

// Beacon recordings, noise, a file too short, one that is not a WAV file and
// one the resampler refuses, in a tree with a file that is not *.wav.
struct Batch {
    TempDir dir;
    Bytes beacon = recording_wav({.seconds = 26, .rate = 4000, .frames = {{"PA0ABC", 0.5}}});
    Batch() {
        fs::create_directories(dir.file("tree/deeper"));
        write_file(dir.file("a.wav"), beacon);
        write_file(dir.file("tree/20261206_120000.wav"),
                   recording_wav({.seconds = 52,
                                  .rate = 6000,
                                  .carrier_hz = 760,
                                  .frames = {{"OZ7IGY/B", 1.0}, {"  AB1", 26}}}));
        write_file(dir.file("tree/deeper/noise.wav"),
                   recording_wav({.seconds = 25, .rate = 4000, .frames = {}}));
        write_file(dir.file("tree/short.wav"), recording_wav({.seconds = 20, .rate = 4000}));
        write_file(dir.file("tree/bad.wav"), Bytes{'n', 'o', 't'});
        write_file(dir.file("tree/rate0.wav"),
                   riff({fmt_chunk(1, 1, 0, 16), chunk("data", Bytes(400, 1))}));
        write_file(dir.file("tree/readme.txt"), Bytes(100, 'x'));
    }
    RunResult scan(const char* jobs, const char* format) const {
        return run(
            {SCAN, "-j", jobs, "--format", format, "-f", "780", "--start", "2026-12-06T10:00:00Z",
             dir.file("a.wav"), dir.file("tree"), dir.file("missing.wav"), "-"},
            std::string(beacon.begin(), beacon.end()));
    }
};

TEST(BeaconscanRuns, EveryFileGetsItsRecordsInOrder) {
    const Batch b;
    const RunResult r = b.scan("2", "jsonl");
    EXPECT_EQ(r.status, 1);  // files that cannot be read or prepared
    EXPECT_EQ(r.err, "");    // no progress line: standard error is not a terminal
    const std::vector<json> got = jsonl(r.out);
    struct Want {
        std::string file, status, message_or_error, utc;
        double dt, freq;
    };
    const std::string start = "2026-12-06T10:00:00.500Z";
    const Want want[] = {
        {"a.wav", "spot", "PA0ABC", start, 0.5, 800},
        {"tree/20261206_120000.wav", "spot", "OZ7IGY/B", "2026-12-06T12:00:01.000Z", 1.0, 760},
        {"tree/20261206_120000.wav", "spot", "__AB1", "2026-12-06T12:00:26.000Z", 26.0, 760},
        {"tree/bad.wav", "read_error",
         "'" + b.dir.file("tree/bad.wav") + "' is not a valid RIFF/WAVE file"},
        {"tree/deeper/noise.wav", "no_spot", "no valid message decoded (candidate at DT="},
        {"tree/rate0.wav", "prepare_error", "resampling failed"},
        {"tree/short.wav", "too_short",
         "recording too short to search (240000 samples at 12000 Hz, at least 294400 needed)"},
        {"missing.wav", "read_error", "cannot open '" + b.dir.file("missing.wav") + "'"},
        {"-", "spot", "PA0ABC", start, 0.5, 800},
    };
    ASSERT_EQ(got.size(), std::size(want)) << r.out;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const json& g = got[i];
        const Want& w = want[i];
        SCOPED_TRACE(w.file);
        EXPECT_EQ(g["file"], w.file == "-" ? "-" : b.dir.file(w.file));
        EXPECT_EQ(g["status"], w.status);
        if (w.status != "spot") {
            EXPECT_EQ(g.size(), 3u);
            EXPECT_EQ(g["error"].get<std::string>().substr(0, w.message_or_error.size()),
                      w.message_or_error);
            continue;
        }
        EXPECT_EQ(g.size(), 10u);
        EXPECT_EQ(g["message"], w.message_or_error);
        EXPECT_NEAR(g["dt_s"].get<double>(), w.dt, 1.0 / 120);
        EXPECT_NEAR(g["freq_hz"].get<double>(), w.freq, 0.75);
        EXPECT_NEAR(g["snr_db"].get<double>(), -10, 1.5);
        EXPECT_EQ(g["utc"], w.utc);
        EXPECT_TRUE(g["fano_metric"].is_number_integer() && g["fano_metric"] > 0);
        EXPECT_TRUE(g["ccfpeak"].get<double>() > 0 && g["flip"] == 1);
    }
    EXPECT_EQ(b.scan("1", "jsonl").out, r.out);  // whatever the number of jobs
}

TEST(BeaconscanRuns, TextIsBeacondecsLineAndStatusesAreKept) {
    const Batch b;
    const std::string file = b.dir.file("tree/20261206_120000.wav");
    const auto dec = lines(run({BEACONDEC_PATH, "-f", "780", "-T", "000000", file}).out);
    ASSERT_EQ(dec.size(), 2u);
    // The frame's UTC time in place of the time stamp.
    expect_run(run({SCAN, "-q", "-f", "780", file}),
               file + " 2026-12-06T12:00:01Z" + dec[0].substr(6) + "\n" + file +
                   " 2026-12-06T12:00:26Z" + dec[1].substr(6) + "\n",
               "", 0);

    // Every file read, even without a spot: 0. No file at all: 0, and said.
    EXPECT_EQ(run({SCAN, b.dir.file("tree/deeper"), b.dir.file("tree/short.wav")}).status, 0);
    EXPECT_EQ(run({SCAN, b.dir.file("tree/rate0.wav")}).status, 1);  // cannot be prepared
    fs::create_directory(b.dir.file("empty"));
    expect_run(run({SCAN, b.dir.file("empty")}), "", "beaconscan: no WAV files found\n", 0);
    const RunResult r = run({SCAN, "-"});  // nothing on standard input: a file that cannot be read
    EXPECT_EQ(std::tuple(r.status, r.out),
              std::tuple(1, "- read_error: '-' is not a valid RIFF/WAVE file\n"));
}

}  // namespace
}  // namespace beacon::test
