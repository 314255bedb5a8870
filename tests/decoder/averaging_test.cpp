// Averaging of minutes over synthesised minutes, each a span from 2 s before
// the minute as beaconmon cuts it: frames too weak for any minute alone
// decode from the combination, and a beacon that falls silent or gives way
// to another message is never reported with a message its minute does not
// carry.
#include "decoder/averaging.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.hpp"

namespace beacon::test {
namespace {

constexpr double WINDOW = 2.0;
constexpr double SPAN_S = 2 * WINDOW + 24.6;

struct Minute {
    MinuteResult alone;
    AverageOutcome got;
};

// The minutes through an averager as beaconmon runs it: each decoded alone,
// then added with its trace. An empty message is a minute of noise alone.
std::vector<Minute> run_minutes(const std::vector<std::string>& sent, double snr) {
    Averager avg({.max_minutes = 10});
    std::vector<Minute> out;
    for (std::size_t m = 0; m < sent.size(); ++m) {
        const auto x = mix({.message = sent[m].empty() ? "X" : sent[m],
                            .start_s = WINDOW,
                            .duration_s = SPAN_S,
                            .snr_db = snr,
                            .id = "OZ7IGY",
                            .seed = 100 + m},
                           !sent[m].empty());
        Minute got;
        got.alone = minute_decode(x, 800, 150, 2 * WINDOW);
        got.got = avg.add(
            make_minute_trace(x, 800, 150, 2 * WINDOW, -WINDOW, static_cast<std::int64_t>(m)),
            got.alone);
        out.push_back(got);
    }
    return out;
}

TEST(Averaging, CombinedMinutesDecodeWhatNoMinuteDecodesAlone) {
    const std::vector<std::string> sent(12, "OZ7IGY/B");
    const auto minutes = run_minutes(sent, -29.0);
    int combined = 0, alone = 0;
    for (std::size_t m = 0; m < minutes.size(); ++m) {
        SCOPED_TRACE(m);
        const AverageOutcome& g = minutes[m].got;
        EXPECT_LE(g.attempts, m == 0 ? 0 : 2);  // the first minute has none to combine with
        // Only a minute without an accepted decode alone is combined.
        if (minutes[m].alone.status == MinuteStatus::decoded && !g.alone_rejected) {
            ++alone;
            EXPECT_EQ(g.attempts, 0);
            continue;
        }
        if (g.result.status != MinuteStatus::decoded) continue;
        ++combined;
        EXPECT_EQ(g.result.message, "OZ7IGY/B");
        EXPECT_GE(g.minutes, 2);
        EXPECT_LE(g.minutes, static_cast<int>(m) + 1);
        // Where the frame is: 2 s into the span, carrier at 800 Hz; and the
        // SNR of the average minute.
        EXPECT_NEAR(g.result.dt_s, WINDOW, 0.02);
        EXPECT_NEAR(g.result.freq_hz, 800, 1.5);
        EXPECT_NEAR(g.result.snr_db, -29, 2.0);
    }
    EXPECT_LE(alone, 2);  // 6 dB below what a minute alone decodes half of the time
    EXPECT_GE(combined, 3);
}

TEST(Averaging, SilenceAndAChangeOfBeaconAreNeverMixed) {
    // One beacon, then silence, then another message on the same frequency.
    std::vector<std::string> sent(8, "OZ7IGY/B");
    sent.insert(sent.end(), 4, "");
    sent.insert(sent.end(), 12, "PA3ABC");
    const auto minutes = run_minutes(sent, -28.5);
    int first = 0, second = 0;
    for (std::size_t m = 0; m < minutes.size(); ++m) {
        const AverageOutcome& g = minutes[m].got;
        if (g.result.status != MinuteStatus::decoded) continue;
        EXPECT_EQ(g.result.message, sent[m]) << m;
        (sent[m] == "PA3ABC" ? second : first) += g.result.message == sent[m];
    }
    EXPECT_GE(first, 1);
    // The new beacon comes through in spite of the old minutes, once they
    // are left out of its combinations: in 7 of its 12 minutes here.
    EXPECT_GE(second, 5);
}

}  // namespace
}  // namespace beacon::test
