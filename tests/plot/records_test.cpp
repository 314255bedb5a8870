// beaconplot's reading of records: UTC times of both programs' forms to the
// second and below, impossible ones refused, and each kind of line sorted
// into a record, a skip or a reason.
#include "beaconplot/records.hpp"

#include <gtest/gtest.h>

namespace beacon::plotapp {
namespace {

TEST(Records, UtcTimes) {
    const double minute = 1796637660.0;  // 2026-12-07T10:01:00Z
    EXPECT_EQ(parse_utc("2026-12-07T10:01:00Z"), minute);
    EXPECT_EQ(parse_utc("2026-12-07 10:01:00"), minute);
    EXPECT_EQ(parse_utc("2026-12-07T10:01Z"), minute);
    EXPECT_EQ(parse_utc("2026-12-07"), minute - 10 * 3600 - 60);
    EXPECT_NEAR(*parse_utc("2026-12-07T10:01:00.300Z"), minute + 0.3, 1e-6);
    EXPECT_EQ(parse_utc("2024-02-29T23:59:59Z"), 1709251199.0);
    for (const char* bad :
         {"", "2026-12-07T", "2026-12-07T10", "2026-12-07T24:00:00Z", "2026-12-07T10:60:00Z",
          "2026-12-07T10:01:60Z", "2025-02-29", "2026-13-01", "2026-12-07T10:01:00.Z",
          "2026-12-07T10:01:00+01:00", "2026-12-07T10:01:00ZZ", "26-12-07"})
        EXPECT_FALSE(parse_utc(bad)) << bad;
}

TEST(Records, LinesOfBothPrograms) {
    using Kind = LineResult::Kind;
    const LineResult mon = parse_record_line(
        R"({"utc":"2026-12-07T10:01:00Z","freq_set_hz":800.0,"status":"decoded","message":"OZ7IGY/B","snr_db":-15.5,"freq_hz":800.2,"averaged":3,"carrier_hz":800.004,"carrier_snr_db":-12.0})");
    ASSERT_EQ(mon.kind, Kind::record) << mon.why;
    const plot::ChartRecord& r = mon.record;
    EXPECT_EQ(std::tuple(r.decoded, r.message, r.snr_db, r.freq_hz, r.averaged, r.freq_set_hz,
                         r.carrier_hz, r.carrier_snr_db),
              std::tuple(true, "OZ7IGY/B", -15.5, 800.2, 3, 800.0, 800.004, -12.0));

    const LineResult scan = parse_record_line(
        R"({"file":"a.wav","status":"spot","utc":"2026-12-07T10:01:00.300Z","snr_db":-16,"message":"AB1"})");
    ASSERT_EQ(scan.kind, Kind::record);
    EXPECT_TRUE(scan.record.decoded);
    EXPECT_EQ(scan.record.averaged, 1);
    EXPECT_FALSE(scan.record.carrier_hz);

    const LineResult none = parse_record_line(
        R"({"utc":"2026-12-07T10:02:00Z","status":"no_decode","message":null,"snr_db":null})");
    ASSERT_EQ(none.kind, Kind::record);
    EXPECT_FALSE(none.record.decoded);
    EXPECT_FALSE(none.record.snr_db);

    EXPECT_EQ(parse_record_line(" \r\n").kind, Kind::blank);
    const std::pair<const char*, const char*> bad[] = {
        {R"([1,2])", "not a JSON object"},
        {R"({"utc":"10:02","status":"spot"})", "utc '10:02' is not an ISO 8601 UTC time"},
        {R"({"utc":"2026-12-07T10:02:00Z"})", "no status"},
        {R"({"utc":"2026-12-07T10:02:00Z","status":"spot","snr_db":"-5"})",
         "snr_db is not a number"},
        {R"({"utc":"2026-12-07T10:02:00Z","status":"decoded","averaged":0})",
         "averaged is not a count"},
        {R"({"utc":20261207,"status":"spot"})", "utc is not a string"},
    };
    for (const auto& [line, why] : bad) {
        const LineResult r = parse_record_line(line);
        EXPECT_EQ(r.kind, Kind::bad) << line;
        EXPECT_EQ(r.why, why) << line;
    }
}

}  // namespace
}  // namespace beacon::plotapp
