// beaconscan run as a user runs it: over a mixed batch every spot must be
// the one beacondec prints for that file, and every file without a spot must
// carry the reason beacondec gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "support/recording.hpp"

namespace beacon::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kScan = BEACONSCAN_PATH;
const std::string kDec = BEACONDEC_PATH;

RunResult scan(std::vector<std::string> args) {
    args.insert(args.begin(), "beaconscan");
    return run_program(kScan, args);
}

std::vector<json> json_lines(const std::string& out) {
    std::vector<json> objects;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        objects.push_back(json::parse(line));
    return objects;
}

// The fields of a result line after its time stamp, as beacondec prints them.
std::string result_fields(double snr, double dt, double df, const std::string& message) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%3.0f %4.1f %4.0f : %s", snr, dt, df, message.c_str());
    return buf;
}

// Recordings of several rates, depths and channel counts, some with two
// frames, one of noise, one too short, three that cannot be read or
// prepared, and a file that is not a WAV file, in a directory tree.
class MixedBatch : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const fs::path root = dir_->path();
        fs::create_directories(root / "tree" / "deeper");
        auto put = [&](const std::string& name, const Bytes& bytes) {
            write_file((root / name).string(), bytes);
        };
        put("a_8k.wav",
            pi4_recording(
                {.seconds = 30, .rate = 8000, .bits = 8, .frames = {{"TEST42", 1.7, 860}}}));
        put("tree/20261206_120000.wav",
            pi4_recording({.seconds = 90, .frames = {{"OZ7IGY/B", 1.0}, {"  AB1", 61.0}}}));
        put("tree/deeper/b_44k.WAV", pi4_recording({.seconds = 30,
                                                    .rate = 44100,
                                                    .channels = 2,
                                                    .bits = 24,
                                                    .frames = {{"PA0ABC", 0.5, 760}}}));
        put("tree/deeper/c_48k.wav",
            pi4_recording({.seconds = 30, .rate = 48000, .bits = 32, .frames = {{"A B", 1.2}}}));
        put("tree/noise.wav", pi4_recording({.seconds = 30, .seed = 7, .frames = {}}));
        put("tree/short.wav", pi4_recording({.seconds = 20, .frames = {}}));
        put("tree/bad.wav", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'});
        put("tree/float.wav", WavBuilder().fmt(3, 1, 12000, 32).data(Bytes(400, 1)).bytes());
        put("tree/rate0.wav", WavBuilder().fmt(1, 1, 0, 16).data(Bytes(400, 1)).bytes());
        put("tree/readme.txt", Bytes(100, 'x'));
    }
    static void TearDownTestSuite() {
        delete run_;
        delete dir_;
        run_ = nullptr;
    }
    static std::string path(const std::string& name) { return (dir_->path() / name).string(); }
    // The batch decoded with three jobs, run once for the tests that need it.
    static const RunResult& run() {
        if (run_ == nullptr) run_ = new RunResult(scan(args("3")));
        return *run_;
    }
    static std::vector<std::string> args(const char* jobs) {
        return {
            "-j", jobs, "--format", "jsonl", path("a_8k.wav"), path("tree"), path("missing.wav")};
    }

    static TempDir* dir_;
    static RunResult* run_;
};

TempDir* MixedBatch::dir_ = nullptr;
RunResult* MixedBatch::run_ = nullptr;

TEST_F(MixedBatch, EverySpotAndReasonIsBeacondecs) {
    const std::vector<std::pair<std::string, std::string>> want = {
        {"a_8k.wav", "spot"},
        {"tree/20261206_120000.wav", "spot"},
        {"tree/bad.wav", "read_error"},
        {"tree/deeper/b_44k.WAV", "spot"},
        {"tree/deeper/c_48k.wav", "spot"},
        {"tree/float.wav", "read_error"},
        {"tree/noise.wav", "no_spot"},
        {"tree/rate0.wav", "prepare_error"},
        {"tree/short.wav", "too_short"},
        {"missing.wav", "read_error"},
    };
    const std::set<std::string> spot_keys = {"file",    "status",  "utc",     "snr_db",
                                             "dt_s",    "freq_hz", "message", "fano_metric",
                                             "ccfpeak", "flip"};
    const std::set<std::string> other_keys = {"file", "status", "error"};
    EXPECT_EQ(run().status, 1);  // three files could not be read, one not prepared
    EXPECT_EQ(run().err, "");    // no progress line: standard error is not a terminal

    // The records of a file come together, files in the order wanted.
    std::vector<std::vector<json>> groups;
    for (const json& r : json_lines(run().out)) {
        if (groups.empty() || groups.back()[0]["file"] != r["file"]) groups.emplace_back();
        groups.back().push_back(r);
    }
    ASSERT_EQ(groups.size(), want.size()) << run().out;
    int spots = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const std::string file = path(want[i].first);
        SCOPED_TRACE(file);
        const std::vector<json>& g = groups[i];
        EXPECT_EQ(g[0]["file"], file);
        const RunResult dec = run_program(kDec, {"beacondec", "-T", "000000", file});
        const std::vector<ResultLine> lines = parse_result_lines(dec.out);
        for (const json& r : g) {
            EXPECT_EQ(r["status"], want[i].second);
            std::set<std::string> keys;
            for (const auto& [k, v] : r.items())
                keys.insert(k);
            EXPECT_EQ(keys, r["status"] == "spot" ? spot_keys : other_keys) << r;
        }
        if (want[i].second == "spot") {
            EXPECT_EQ(dec.status, 0);
            ASSERT_EQ(g.size(), lines.size());
            for (std::size_t k = 0; k < g.size(); ++k) {
                const json& r = g[k];
                EXPECT_EQ(result_fields(r["snr_db"], r["dt_s"], r["freq_hz"], r["message"]),
                          result_fields(lines[k].snr, lines[k].dt, lines[k].df, lines[k].message));
                EXPECT_TRUE(r["fano_metric"].is_number_integer());
                EXPECT_TRUE(r["ccfpeak"].is_number());
                EXPECT_TRUE(r["flip"] == 1 || r["flip"] == -1);
                // Only the file whose name holds a time gets one.
                EXPECT_EQ(r["utc"].is_string(), i == 1) << r;
                ++spots;
            }
            continue;
        }
        EXPECT_EQ(dec.status, 1);
        EXPECT_EQ(dec.out, "");
        ASSERT_EQ(g.size(), 1u);
        const std::string error = g[0]["error"];
        if (want[i].second == "read_error") {
            EXPECT_EQ(dec.err,
                      "wav_read: " + error + "\nbeacondec: failed to read '" + file + "'\n");
        } else if (want[i].second == "too_short") {
            EXPECT_EQ(dec.err, "");  // beacondec says nothing; beaconscan says why
            EXPECT_NE(error.find("too short"), std::string::npos);
        } else {
            EXPECT_EQ(dec.err, "beacondec: " + error + "\n");
        }
    }
    EXPECT_EQ(spots, 5);
    EXPECT_EQ(groups[1][0]["utc"], "2026-12-06T12:00:01.000Z");
    EXPECT_EQ(groups[1][1]["message"], "__AB1");
}

TEST_F(MixedBatch, OutputDoesNotDependOnTheNumberOfJobs) {
    const RunResult one = scan(args("1"));
    EXPECT_EQ(one.out, run().out);
    EXPECT_EQ(one.status, run().status);
}

TEST_F(MixedBatch, StandardInputIsReadWholeAndDecodedTheSameWay) {
    const std::string file = path("tree/deeper/b_44k.WAV");
    const std::string wav = read_file(file);
    const RunResult r = run_program_with_input(
        kScan, {"beaconscan", "--format", "jsonl", "--start", "2026-12-06T12:00:00Z", file, "-"},
        wav);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<json> records = json_lines(r.out);
    ASSERT_EQ(records.size(), 2u) << r.out;
    EXPECT_EQ(records[1]["file"], "-");
    EXPECT_EQ(records[1]["message"], "PA0ABC");
    EXPECT_EQ(records[1]["utc"], "2026-12-06T12:00:00.500Z");  // no name: the --start time
    records[1]["file"] = records[0]["file"];
    EXPECT_EQ(records[1], records[0]);

    // Nothing on standard input is a file that cannot be read.
    const RunResult empty = run_program_with_input(kScan, {"beaconscan", "-"}, "");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.out, "- read_error: '-' is not a valid RIFF/WAVE file\n");
}

TEST_F(MixedBatch, ExitStatuses) {
    // Every file read, even without a spot: 0 (the batch, with files that
    // could not be read, ends with 1).
    RunResult r = scan({"-q", path("tree/noise.wav"), path("tree/short.wav")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" no_spot: "), std::string::npos);
    EXPECT_NE(r.out.find(" too_short: "), std::string::npos);
    // An empty directory gives nothing to decode, and says so.
    fs::create_directory(path("empty"));
    r = scan({path("empty")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "beaconscan: no WAV files found\n");

    // A command-line error: 2, nothing decoded.
    r = scan({"--format", "xml", path("tree")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("beaconscan: ", 0), 0u) << r.err;
    r = scan({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "beaconscan 1.4.2\n");
}

TEST_F(MixedBatch, ProgressLineOnlyOnATerminal) {
    std::vector<std::string> args = {"beaconscan", path("a_8k.wav"), path("a_8k.wav")};

    RunResult r = run_program_on_terminal(kScan, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("/2 files, 0."), std::string::npos) << r.err;
    EXPECT_NE(
        r.err.find("beaconscan: 2 files (2 with spots, 0 failed), 2 spots, 0.02 h of audio in"),
        std::string::npos)
        << r.err;
    // Standard output is not the terminal: the records are untouched.
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);

    args.push_back("-q");
    r = run_program_on_terminal(kScan, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(BeaconScan, TimeStampsFromNamesElseFromStart) {
    TempDir dir;
    const Bytes wav = pi4_recording({.seconds = 26, .frames = {{"TIME"}}});
    const std::vector<std::pair<std::string, std::string>> names = {
        // Every form is read by the same routine (unit-tested form by form).
        {"261206_120000.wav", "2026-12-06T12:00:01.000Z"},
        {"2026-12-06T13:00:00+01:00.wav", "2026-12-06T12:00:01.000Z"},
        {"HDSDR_20261231_235959Z_7038kHz_AF.wav", "2027-01-01T00:00:00.000Z"},
        {"plain.wav", "2000-02-29T00:00:01.000Z"},
    };
    std::vector<std::string> args = {"--format", "jsonl", "--start", "2000-02-29T00:00:00Z"};
    for (const auto& [name, utc] : names) {
        write_file(dir.file(name), wav);
        args.push_back(dir.file(name));
    }
    const RunResult r = scan(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<json> records = json_lines(r.out);
    ASSERT_EQ(records.size(), names.size()) << r.out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(records[i]["dt_s"], 1.0);
        EXPECT_EQ(records[i]["utc"], names[i].second) << names[i].first;
    }
}

TEST(BeaconScan, CsvKeepsOddFileNamesWhole) {
    TempDir dir;
    const Bytes wav = pi4_recording({.seconds = 26, .frames = {{"CSV"}}});
    for (const char* name : {"a,b.wav", "say \"hi\".wav", "two\nlines.wav", "plain.wav"})
        write_file(dir.file(name), wav);
    const RunResult r = scan({"--format", "csv", dir.path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    // After the header, in sorted order; only what needs it is quoted. No
    // start time from the name or --start: the utc field is empty.
    const std::string d = dir.path().string() + "/";
    const std::string rows[] = {"\"" + d + "a,b.wav\"", d + "plain.wav",
                                "\"" + d + "say \"\"hi\"\".wav\"", "\"" + d + "two\nlines.wav\""};
    std::size_t at = 0;
    for (const std::string& row : rows) {
        at = r.out.find("\n" + row + ",spot,,", at);
        ASSERT_NE(at, std::string::npos) << row << "\n" << r.out;
        ++at;
    }
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "file,status,utc,snr_db,dt_s,freq_hz,message,fano_metric,ccfpeak,flip,error,warning");
}

}  // namespace
}  // namespace beacon::test
