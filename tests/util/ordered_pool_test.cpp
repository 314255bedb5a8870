// Parallel work handed over in order, and the progress line's figures.
#include "util/ordered_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "beaconscan/progress.hpp"

namespace beacon {
namespace {

using std::chrono::milliseconds;

TEST(ScanPool, ResultsComeOutInOrderWhateverOrderTheyFinishIn) {
    for (int jobs : {1, 2, 4, 64}) {
        constexpr std::size_t N = 40;
        std::atomic<int> calls{0};
        std::mutex seen_mutex;
        std::set<std::thread::id> threads;
        std::vector<std::size_t> emitted;
        run_in_order(
            N, jobs,
            [&](std::size_t i) {
                ++calls;
                {
                    const std::lock_guard<std::mutex> lock(seen_mutex);
                    threads.insert(std::this_thread::get_id());
                }
                // Early items take longest, so later ones finish first.
                std::this_thread::sleep_for(std::chrono::microseconds((N - i) * 200));
                return i * i;
            },
            [&](std::size_t i, std::size_t result) {
                EXPECT_EQ(result, i * i);
                emitted.push_back(i);
            },
            [] {}, milliseconds(1));
        EXPECT_EQ(calls.load(), static_cast<int>(N)) << jobs;
        ASSERT_EQ(emitted.size(), N) << jobs;
        for (std::size_t i = 0; i < N; ++i)
            EXPECT_EQ(emitted[i], i) << jobs;
        // Never more threads than jobs, nor more than items.
        EXPECT_LE(threads.size(), std::min<std::size_t>(jobs, N)) << jobs;
        EXPECT_FALSE(threads.count(std::this_thread::get_id())) << jobs;
    }
}

TEST(ScanPool, IdleRunsWhileWaiting) {
    int idle_calls = 0;
    std::vector<int> got;
    run_in_order(
        2, 2,
        [](std::size_t i) {
            std::this_thread::sleep_for(milliseconds(i == 0 ? 60 : 0));
            return static_cast<int>(i);
        },
        [&](std::size_t, int v) { got.push_back(v); }, [&] { ++idle_calls; }, milliseconds(5));
    EXPECT_EQ(got, (std::vector<int>{0, 1}));
    EXPECT_GE(idle_calls, 3);
}

TEST(ScanProgress, EstimateFollowsTheBytesLeft) {
    ProgressCounts c;
    c.files_total = 200;
    EXPECT_EQ(progress_line(c, 0.0), "0/200 files, 0.00 h of audio");

    c.files_done = 50;
    c.audio_seconds = 50 * 60;
    c.bytes_total = 4000;
    c.bytes_done = 1000;
    EXPECT_EQ(progress_line(c, 20.0),
              "50/200 files, 0.83 h of audio, 2.5 files/s (150x real time), about 1:00 left");
    // Large files still to come: a quarter of the files but a tenth of the bytes.
    c.bytes_done = 400;
    EXPECT_EQ(progress_line(c, 20.0),
              "50/200 files, 0.83 h of audio, 2.5 files/s (150x real time), about 3:00 left");
    // Without sizes (standard input, say), by files.
    c.bytes_total = 0;
    c.bytes_done = 0;
    EXPECT_EQ(progress_line(c, 20.0),
              "50/200 files, 0.83 h of audio, 2.5 files/s (150x real time), about 1:00 left");
    c.files_done = 200;
    EXPECT_EQ(progress_line(c, 80.0),
              "200/200 files, 0.83 h of audio, 2.5 files/s (38x real time)");

    EXPECT_EQ(format_duration(0.4), "0 s");
    EXPECT_EQ(format_duration(59.4), "59 s");
    EXPECT_EQ(format_duration(187), "3:07");
    EXPECT_EQ(format_duration(3903), "1:05:03");
}

}  // namespace
}  // namespace beacon
