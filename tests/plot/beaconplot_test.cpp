// beaconplot as a user runs it: records of beaconmon and beaconscan mixed
// with a bad line and records without a time give a chart and exactly the
// warnings promised; bad options and missing files end with one line.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/png.hpp"
#include "support/support.hpp"

namespace beacon::test {
namespace {

const std::string kPlot = BEACONPLOT_PATH;

const std::string kRecords =
    R"({"utc":"2026-12-07T10:01:00Z","minute":0,"input":"-","freq_set_hz":800.0,"status":"decoded","message":"OZ7IGY/B","snr_db":-15.2,"dt_s":0.3,"freq_hz":800.2,"fano_metric":2400,"ccfpeak":6e4,"flip":1,"averaged":1,"carrier_hz":800.004,"carrier_snr_db":-12.0,"carrier_start_s":31.2,"carrier_end_s":59.3,"carrier_sigma_hz":0.0004})"
    "\n"
    R"({"utc":"2026-12-07T10:02:00Z","minute":1,"input":"-","freq_set_hz":800.0,"status":"no_decode","message":null,"snr_db":null,"dt_s":null,"freq_hz":null,"fano_metric":null,"ccfpeak":null,"flip":null,"averaged":null,"carrier_hz":800.003,"carrier_snr_db":-29.5,"carrier_start_s":31.2,"carrier_end_s":59.3,"carrier_sigma_hz":0.004})"
    "\n"
    R"({"utc":"2026-12-07T10:03:00Z","status":)"
    "\n"
    R"({"file":"rec/noise.wav","status":"no_spot","error":"no valid message decoded"})"
    "\n"
    R"({"file":"rec/20261207_100400.wav","status":"spot","utc":"2026-12-07T10:04:00.300Z","snr_db":-16.8,"dt_s":0.3,"freq_hz":799.8,"message":"OZ7IGY/B","fano_metric":2444,"ccfpeak":61768.4,"flip":1})"
    "\n"
    "\n"
    R"({"utc":null,"minute":5,"status":"no_decode"})"
    "\n";

TEST(Beaconplot, DrawsWhatItCanAndSaysWhatItSkipped) {
    TempDir dir;
    write_file(dir.file("in.jsonl"), Bytes(kRecords.begin(), kRecords.end()));
    const RunResult ok =
        run({kPlot, "-o", dir.file("day.png"), "--title", "test", "--from", "2026-12-07T10:00:00Z",
             "--to", "2026-12-07T11:00:00.5Z", dir.file("in.jsonl")});
    expect_run(ok, "",
               "beaconplot: " + dir.file("in.jsonl") +
                   ":3: not valid JSON; line skipped\n"
                   "beaconplot: 2 records without utc skipped\n",
               0);
    const Png png(dir.file("day.png"));
    ASSERT_TRUE(png.ok());
    EXPECT_EQ(png.width(), 1000);
    EXPECT_EQ(png.height(), 700);

    const RunResult svg = run({kPlot, "-o", dir.file("day.SVG")}, kRecords);
    EXPECT_EQ(svg.status, 0);
    EXPECT_EQ(svg.err,
              "beaconplot: standard input:3: not valid JSON; line skipped\n"
              "beaconplot: 2 records without utc skipped\n");
    EXPECT_EQ(read_file(dir.file("day.SVG")).rfind("<?xml", 0), 0u);
}

TEST(Beaconplot, BadOptionsAndInputsEndWithOneLine) {
    TempDir dir;
    const std::string out = dir.file("x.png"), pdf = dir.file("x.pdf"),
                      none = dir.file("none.jsonl"), nodir = dir.file("no/dir/x.png");
    const std::tuple<int, std::vector<std::string>, std::string> cases[] = {
        {2, {"-o", pdf}, "the output '" + pdf + "' must end in .png or .svg"},
        {2, {"-o", out, "--from", "yesterday"}, "--from 'yesterday' is not an ISO 8601 UTC time"},
        {2, {"-o", out, "--to", "2026-02-30"}, "--to '2026-02-30' is not an ISO 8601 UTC time"},
        {2, {}, "missing -o OUT (see --help)"},
        {2,
         {"-o", out, "--from", "2026-12-07T10:00Z", "--to", "2026-12-07"},
         "--from must come before --to"},
        {2, {"-o", out, "-", "-"}, "standard input ('-') may be given once"},
        {1, {"-o", out, none}, "cannot open '" + none + "': No such file or directory"},
        {1, {"-o", nodir, "/dev/null"}, "cannot create '" + nodir + "': No such file or directory"},
    };
    for (const auto& [status, args, err] : cases)
        expect_run(run(std::vector{kPlot} + args), "", "beaconplot: " + err + "\n", status);
    EXPECT_TRUE(std::filesystem::is_empty(dir.str()));
}

}  // namespace
}  // namespace beacon::test
