// Start times from file names and the UTC times written in the records.
#include "util/utc_time.hpp"

#include <gtest/gtest.h>

namespace beacon {
namespace {

constexpr std::int64_t T_123456 = 1796560496;  // 2026-12-06T12:34:56Z

TEST(ScanTime, EveryRecognisedFormGivesTheSameInstant) {
    // Each date form with each of its separators and time forms, a Z, a stamp
    // between other fields as recorders write it, and ISO 8601 offsets.
    for (const char* name :
         {"20261206_123456.wav", "20261206-123456.wav", "20261206T123456Z.wav", "261206_123456.wav",
          "261206-123456Z.wav", "2026-12-06T12:34:56Z.wav", "2026-12-06T123456Z.wav",
          "2026-12-06_12-34-56.wav", "2026-12-06 12:34:56.wav",
          "HDSDR_20261206_123456Z_7038kHz_AF.wav", "rec-261206_123456-40m.wav",
          "2026-12-06T13:34:56+01:00.wav", "2026-12-06T07:04:56-05:30.wav",
          "20261206T143456+0200.wav", "/archive/2025-01-01/20261206_123456.wav"})
        EXPECT_EQ(start_time_from_path(name), T_123456) << name;
}

TEST(ScanTime, OnlyRealDatesAndTimesCount) {
    EXPECT_EQ(start_time_from_path("20240229_235959.wav"), 1709251199);  // a leap day
    // Not leap years (2025, 2100), months, days and times that do not exist,
    // years outside 1970-2099, no seconds, mixed separators, and a separator
    // that no form has.
    for (const char* name :
         {"20250229_120000.wav", "21000229_120000.wav", "20261306_120000.wav",
          "20261200_120000.wav", "20261131_120000.wav", "20261206_240000.wav",
          "20261206_126000.wav", "20261206_125960.wav", "19691231_235959.wav",
          "21000101_000000.wav", "2026-12-06T12:34.wav", "2026-12-06T12:34-56.wav",
          "2026-12-06-12:34:56.wav", "20261206 123456.wav", "rec.wav", ""})
        EXPECT_EQ(start_time_from_path(name), std::nullopt) << name;
}

TEST(ScanTime, DigitsNextToAStampAreNotPartOfIt) {
    // A longer run of digits is a number, not a date.
    EXPECT_EQ(start_time_from_path("120261206_123456.wav"), std::nullopt);
    EXPECT_EQ(start_time_from_path("20261206_1234567.wav"), std::nullopt);
    EXPECT_EQ(start_time_from_path("7038000_20261206_123456.wav"), T_123456);
    // The first stamp of a name counts.
    EXPECT_EQ(start_time_from_path("20261206_123456_to_20261207_000000.wav"), T_123456);
    EXPECT_EQ(start_time_from_path("x9_20261206_123456.wav"), T_123456);
    // A stamp in a directory name is not the file's.
    EXPECT_EQ(start_time_from_path("2026-12-06T12:34:56Z/rec.wav"), std::nullopt);
}

TEST(ScanTime, OffsetsOnlyAfterAnIsoTimeAndOnlyWhenWellFormed) {
    // After '_' a sign starts the next field of the name, not an offset.
    EXPECT_EQ(start_time_from_path("20261206_123456-0100.wav"), T_123456);
    // Digits that cannot be an offset leave the time as UTC.
    EXPECT_EQ(start_time_from_path("20261206T123456-7038000.wav"), T_123456);
    EXPECT_EQ(start_time_from_path("20261206T123456+2500.wav"), T_123456);
    EXPECT_EQ(start_time_from_path("20261206T123456+01.wav"), T_123456);
    EXPECT_EQ(start_time_from_path("2026-12-06T12:34:56Z+01:00.wav"), T_123456);
    // An offset can move the date.
    EXPECT_EQ(start_time_from_path("2026-12-07T00:34:56+12:00.wav"), T_123456);
}

TEST(ScanTime, AWholeValueMustBeOneStamp) {
    EXPECT_EQ(parse_time_stamp("2026-12-06T12:34:56Z"), T_123456);
    EXPECT_EQ(parse_time_stamp("2026-12-06T14:34:56+02:00"), T_123456);
    EXPECT_EQ(parse_time_stamp("20261206_123456"), T_123456);
    EXPECT_EQ(parse_time_stamp("1970-01-01T00:00:00Z"), 0);
    for (const char* text : {"2026-12-06T12:34:56Z ", " 2026-12-06T12:34:56Z", "2026-12-06", "now",
                             "", "2026-12-06T12:34:56Zx"})
        EXPECT_EQ(parse_time_stamp(text), std::nullopt) << text;
}

TEST(ScanTime, CalendarArithmetic) {
    EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
    EXPECT_EQ(days_from_civil(1900, 1, 1), -25567);

    // Reading and writing are done by different routines: each day of the
    // range must come back as itself.
    for (std::int64_t day = 0; day < days_from_civil(2100, 1, 1); ++day) {
        const std::string text = format_utc_seconds(day * 86400000 + 43200000);
        ASSERT_EQ(parse_time_stamp(text), day * 86400 + 43200) << text;
    }
}

TEST(ScanTime, FrameTimesAndTheirText) {
    EXPECT_EQ(format_utc_ms(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(format_utc_ms(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(format_utc_ms(T_123456 * 1000 + 7), "2026-12-06T12:34:56.007Z");

    // DT is added to the start and rounded to the millisecond.
    EXPECT_EQ(frame_time_ms(T_123456, 1.0166666666666666), T_123456 * 1000 + 1017);
    EXPECT_EQ(frame_time_ms(T_123456, 0.0), T_123456 * 1000);
    const std::int64_t new_year = frame_time_ms(1798761590, 10.0004);  // 2026-12-31T23:59:50Z
    EXPECT_EQ(format_utc_ms(new_year), "2027-01-01T00:00:00.000Z");

    // Text records show whole seconds, halves rounded up.
    EXPECT_EQ(format_utc_seconds(T_123456 * 1000 + 499), "2026-12-06T12:34:56Z");
    EXPECT_EQ(format_utc_seconds(T_123456 * 1000 + 500), "2026-12-06T12:34:57Z");
    EXPECT_EQ(format_utc_seconds(1798761599500), "2027-01-01T00:00:00Z");
}

}  // namespace
}  // namespace beacon
