// Time stamps read from names and written as UTC, and work
// handed over in order from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "util/ordered_pool.hpp"
#include "util/utc_time.hpp"

namespace beacon {
namespace {

constexpr std::int64_t T = 1796560496;  // 2026-12-06T12:34:56Z

TEST(UtcTime, EveryFormGivesTheSameInstant) {
    for (const char* name :
         {"20261206_123456.wav", "20261206-123456.wav", "20261206T123456Z.wav", "261206_123456.wav",
          "2026-12-06T12:34:56Z.wav", "2026-12-06T123456Z.wav", "2026-12-06_12-34-56.wav",
          "2026-12-06 12:34:56.wav", "HDSDR_20261206_123456Z_7038kHz_AF.wav",
          "7038000_20261206_123456.wav", "20261206_123456_to_20261207_000000.wav",
          "2026-12-06T13:34:56+01:00.wav", "2026-12-06T07:04:56-05:30.wav",
          "20261206T143456+0200.wav", "2026-12-07T00:34:56+12:00.wav",
          // Signs that are no offsets: after '_', or not two and two digits.
          "20261206_123456-0100.wav", "20261206T123456-7038000.wav", "20261206T123456+2500.wav",
          "20261206T123456+01.wav", "2026-12-06T12:34:56Z+01:00.wav",
          "/archive/2025-01-01/20261206_123456.wav"})
        EXPECT_EQ(start_time_from_path(name), T) << name;
    EXPECT_EQ(start_time_from_path("20240229_235959.wav"), 1709251199);  // a leap day
}

TEST(UtcTime, OnlyRealDatesAndTimesStandingAlone) {
    for (const char* name :
         {"20250229_120000.wav", "21000229_120000.wav", "20261306_120000.wav",
          "20261200_120000.wav", "20261131_120000.wav", "20261206_240000.wav",
          "20261206_126000.wav", "20261206_125960.wav", "19691231_235959.wav",
          "2026-12-06T12:34.wav", "2026-12-06T12:34-56.wav", "2026-12-06-12:34:56.wav",
          "20261206 123456.wav", "120261206_123456.wav", "20261206_1234567.wav",
          "2026-12-06T12:34:56Z/rec.wav", ""})
        EXPECT_EQ(start_time_from_path(name), std::nullopt) << name;
    EXPECT_EQ(parse_time_stamp("2026-12-06T14:34:56+02:00"), T);
    EXPECT_EQ(parse_time_stamp("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parse_time_stamp("2099-12-31T23:59:59Z"), 4102444799);
    for (const char* text : {"2026-12-06T12:34:56Z ", " 2026-12-06T12:34:56Z", "2026-12-06", ""})
        EXPECT_EQ(parse_time_stamp(text), std::nullopt) << text;
}

TEST(UtcTime, CalendarAndText) {
    EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
    EXPECT_EQ(days_from_civil(1900, 3, 1), -25508);
    // Reading and writing are separate routines: each day comes back.
    for (std::int64_t day = 0; day < days_from_civil(2100, 1, 1); day += 7)
        ASSERT_EQ(parse_time_stamp(format_utc_seconds(day * 86400000 + 45296000)),
                  day * 86400 + 45296);
    EXPECT_EQ(format_utc_ms(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(format_utc_ms(T * 1000 + 7), "2026-12-06T12:34:56.007Z");
    EXPECT_EQ(frame_time_ms(T, 1.0166666666666666), T * 1000 + 1017);  // to the millisecond
    EXPECT_EQ(format_utc_ms(frame_time_ms(1798761590, 10.0004)), "2027-01-01T00:00:00.000Z");
    // Whole seconds, halves up.
    EXPECT_EQ(format_utc_seconds(T * 1000 + 499), "2026-12-06T12:34:56Z");
    EXPECT_EQ(format_utc_seconds(T * 1000 + 500), "2026-12-06T12:34:57Z");
    EXPECT_EQ(format_utc_seconds(1798761599500), "2027-01-01T00:00:00Z");
}

TEST(RunInOrder, ResultsInOrderWhateverOrderTheyFinishIn) {
    for (int jobs : {1, 3, 64}) {
        constexpr std::size_t N = 30;
        std::mutex m;
        std::set<std::thread::id> threads;
        std::vector<std::size_t> emitted;
        std::atomic<int> idle{0};
        run_in_order(
            N, jobs,
            [&](std::size_t i) {
                {
                    const std::lock_guard<std::mutex> lock(m);
                    threads.insert(std::this_thread::get_id());
                }
                // Early items take longest, so later ones finish first.
                std::this_thread::sleep_for(std::chrono::microseconds((N - i) * 300));
                return i * i;
            },
            [&](std::size_t i, std::size_t result) {
                EXPECT_EQ(result, i * i);
                emitted.push_back(i);
            },
            [&] { ++idle; }, std::chrono::milliseconds(1));
        ASSERT_EQ(emitted.size(), N) << jobs;
        for (std::size_t i = 0; i < N; ++i)
            EXPECT_EQ(emitted[i], i) << jobs;
        EXPECT_LE(threads.size(), std::min<std::size_t>(jobs, N)) << jobs;
        EXPECT_EQ(threads.size() > 1, jobs > 1) << jobs;
        EXPECT_FALSE(threads.count(std::this_thread::get_id())) << jobs;
        if (jobs == 1) {
            EXPECT_GT(idle.load(), 0);  // called while the first item is under way
        }
    }
    run_in_order(
        0, 4, [](std::size_t) { return 0; }, [](std::size_t, int) { FAIL(); }, [] {},
        std::chrono::milliseconds(1));
}

}  // namespace
}  // namespace beacon
