// The records of beaconscan in its three formats.
#include "beaconscan/records.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

namespace beacon {
namespace {

using nlohmann::json;

FileReport two_spots() {
    FileReport r;
    r.file = "rec/20261206_123456.wav";
    r.status = ScanStatus::spots;
    ScanSpot a;
    a.utc_ms = 1796560497017;
    a.snr_db = -15.5;
    a.dt_s = 1.0166666666666666;
    a.freq_hz = 799.8046875;
    a.message = "__AB1";
    a.fano_metric = -42;
    a.ccfpeak = 12345.64;
    a.flip = -1;
    ScanSpot b = a;
    b.utc_ms.reset();
    b.snr_db = -99.0;
    b.dt_s = 61.0;
    b.message = "";
    b.flip = 1;
    r.spots = {a, b};
    return r;
}

FileReport failed(ScanStatus status, std::string file, std::string error) {
    FileReport r;
    r.file = std::move(file);
    r.status = status;
    r.error = std::move(error);
    return r;
}

std::vector<json> parse_lines(const std::string& text) {
    std::vector<json> objects;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        objects.push_back(json::parse(line));
    return objects;
}

TEST(ScanOutput, TextLinesFollowTheResultLine) {
    FileReport r = two_spots();
    EXPECT_EQ(format_report(OutputFormat::text, r),
              "rec/20261206_123456.wav 2026-12-06T12:34:57Z -16  1.0  800 : __AB1\n"
              "rec/20261206_123456.wav - -99 61.0  800 : \n");
    r.warning = "data chunk claims 10 bytes but only 4 are available in the file; truncating.";
    EXPECT_EQ(format_report(OutputFormat::text, r)
                  .rfind("rec/20261206_123456.wav warning: data "
                         "chunk claims 10 bytes",
                         0),
              0u);
    EXPECT_EQ(format_report(OutputFormat::text,
                            failed(ScanStatus::no_spot, "a.wav", "no valid message decoded")),
              "a.wav no_spot: no valid message decoded\n");
    EXPECT_EQ(format_header(OutputFormat::text), "");
}

TEST(ScanOutput, JsonLinesCarryTheNumbersUnrounded) {
    FileReport r = two_spots();
    r.warning = "truncated";
    const std::vector<json> spots = parse_lines(format_report(OutputFormat::jsonl, r));
    ASSERT_EQ(spots.size(), 2u);
    EXPECT_EQ(spots[0], json::parse(R"({"file":"rec/20261206_123456.wav","status":"spot",
        "utc":"2026-12-06T12:34:57.017Z","snr_db":-15.5,"dt_s":1.0166666666666666,
        "freq_hz":799.8046875,"message":"__AB1","fano_metric":-42,"ccfpeak":12345.64,
        "flip":-1,"warning":"truncated"})"));
    EXPECT_TRUE(spots[0]["fano_metric"].is_number_integer());
    EXPECT_TRUE(spots[1]["utc"].is_null());
    EXPECT_EQ(spots[1]["message"], "");
    EXPECT_EQ(format_header(OutputFormat::jsonl), "");

    const std::vector<json> none = parse_lines(format_report(
        OutputFormat::jsonl, failed(ScanStatus::read_error, "b.wav", "cannot open 'b.wav'")));
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0], json::parse(R"({"file":"b.wav","status":"read_error",)"
                                   R"("error":"cannot open 'b.wav'"})"));

    // Quotes, backslashes and control characters in a file name are escaped;
    // bytes that are not UTF-8 become U+FFFD instead of stopping the run.
    for (const auto& [name, read_back] :
         {std::pair{"a \"b\"\\c\n\td\x01.wav", "a \"b\"\\c\n\td\x01.wav"},
          {"caf\xe9.wav", "caf\xef\xbf\xbd.wav"}}) {
        const std::vector<json> odd = parse_lines(
            format_report(OutputFormat::jsonl, failed(ScanStatus::no_spot, name, "no spot")));
        ASSERT_EQ(odd.size(), 1u);
        EXPECT_EQ(odd[0]["file"], read_back);
    }
}

TEST(ScanOutput, CsvQuotesOnlyWhatNeedsIt) {
    // Commas, quotes and line feeds in names: beaconscan_test's odd names.
    EXPECT_EQ(csv_field("cr\r"), "\"cr\r\"");

    EXPECT_EQ(format_header(OutputFormat::csv),
              "file,status,utc,snr_db,dt_s,freq_hz,message,fano_metric,ccfpeak,flip,error,"
              "warning\n");
    EXPECT_EQ(format_report(OutputFormat::csv, two_spots()),
              "rec/20261206_123456.wav,spot,2026-12-06T12:34:57.017Z,-15.5,1.0166666666666666,"
              "799.8046875,__AB1,-42,12345.64,-1,,\n"
              "rec/20261206_123456.wav,spot,,-99,61,799.8046875,,-42,12345.64,1,,\n");
    EXPECT_EQ(format_report(OutputFormat::csv,
                            failed(ScanStatus::no_spot, "x,y.wav",
                                   "no valid message decoded (candidate at DT=+1.017 s, DF=800 "
                                   "Hz)")),
              "\"x,y.wav\",no_spot,,,,,,,,,\"no valid message decoded (candidate at DT=+1.017 s, "
              "DF=800 Hz)\",\n");
}

}  // namespace
}  // namespace beacon
